// Life of the traffic log RxTx.TXT: saving the previous run's log, creating, closing.
#pragma once

#include <cstdint>
#include <string>

namespace ecub {

struct Server;

inline constexpr const char* kLogFileName = "RxTx.TXT";
inline constexpr const char* kLastLogFileName = "Last_RxTx.TXT";

// Copies RxTx.TXT to Last_RxTx.TXT, or to RxTx_YYYYMMDD_hhmmss.TXT when APPEND LOG is on.
// True when a copy was made.
bool SalvaLogPrecedente(Server& s);
// Saves the previous log, creates RxTx.TXT afresh and writes its first line. When no copy
// was made the new log goes on at the end of the old one instead, so no earlier log is lost.
void ApriLog(Server& s);
void ChiudiLog(Server& s);
// Writes one traffic-log line "<ms> <label><text>" (preceded by a command-name line when the
// text is the hex of a command frame); nothing when LOG is off.
void LogLine(Server& s, const std::string& label, const std::string& text);
// Name of the dated copy for a start at `when`.
std::string DatedLogName(int year, int month, int day, int hour, int minute, int second);

}  // namespace ecub
