// Life of the traffic log RxTx.TXT: saving the previous run's log, creating, closing.
#pragma once

#include <cstdint>
#include <string>

namespace ecub {

struct Server;

inline constexpr const char* kLogFileName = "RxTx.TXT";
inline constexpr const char* kLastLogFileName = "Last_RxTx.TXT";

struct TrafficLog {
  int64_t file = -1;  // open log file, -1 when none
};

// Copies RxTx.TXT to Last_RxTx.TXT, or to RxTx_YYYYMMDD_hhmmss.TXT when APPEND LOG is on.
// True when a copy was made.
bool SalvaLogPrecedente(Server& s);
// Saves the previous log, creates RxTx.TXT afresh and writes its first line. When no copy
// was made the new log goes on at the end of the old one instead, so no earlier log is lost.
void ApriLog(Server& s);
void ChiudiLog(Server& s);
// Name of the dated copy for a start at `when`.
std::string DatedLogName(int year, int month, int day, int hour, int minute, int second);

}  // namespace ecub
