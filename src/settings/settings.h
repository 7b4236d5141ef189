// The settings record and the polling-message table, loaded once from SetComVarno.ini.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace ecub {

class Platform;

// One polling message of a "[MSG]" section, with its stored answers.
struct MsgRecord {
  int32_t MsgNumber = 0;
  std::string MsgText;
  std::string MsgRequest;  // the complete request frame; also the key answers are matched by
  bool MsgTimed = false;
  double MsgNextDue_usec = 0;
  int32_t MsgPeriod_ms = 0;
  int32_t MsgHistoryMax = 0;
  int32_t MsgHistoryLeft = 0;
  std::string MsgLastAnswer;
  int32_t MsgLastTime_ms = 0;
  std::string MsgHistory;  // entries of 4 time bytes + answer, oldest first
  bool MsgCyclic = false;
  // The size of each entry of MsgHistory, oldest first. Answers to one message may differ in
  // length (a short error frame now and then), so entries are dropped and handed out by these
  // sizes, never by the length of the last answer.
  std::deque<size_t> history_entry_sizes;
};

// Appends one entry, the time bytes and the answer, to the history of `r`.
void AppendHistoryEntry(MsgRecord& r, const std::string& time_bytes, const std::string& answer);
// The size of the oldest entry of the history; all of it when its entries are not known.
size_t OldestHistoryEntrySize(const MsgRecord& r);
// Removes the oldest whole entry from the history.
void DropOldestHistoryEntry(MsgRecord& r);

// Field names follow the settings keys ("APPEND LOG" and "CRIPT PROTO" with an underscore).
struct Settings {
  int32_t BaudRate = 38400;
  uint8_t Bit = 8;
  uint8_t StopBit = 0;
  uint8_t Parity = 0;
  double AttesaByteTx_usec = 500;
  double AttesaGlobale_usec = 4000000;
  double MolAttesaGlobale = 500;
  double Idle_usec = 40000;
  int16_t NumResend = 10;
  int32_t DCB_fBitFields = 0;
  bool LOG = false;
  bool APPEND_LOG = false;
  int32_t CRIPT_PROTO = 0;
  double AutoSpegnimento_usec = 5000000;
  // FTDI receive latency in ms (1-255) set when a USB interface is opened; 0 keeps the driver's
  // own value. The driver's 16 ms default would delay every short answer by up to 16 ms.
  uint8_t LatencyTimer_ms = 1;
};

// A problem found in the settings file: the line of the file it is on (0 for the file as a
// whole) and what is wrong, in words.
struct SettingsProblem {
  size_t line = 0;
  std::string text;
};

// Reads the settings file at `path` into `settings` and the polling-message table `table`
// (record 0 unused). False when the file does not exist (every default then stays in force).
// Lines end with LF or CR LF alike, in a protected file too; blanks around a section name are
// ignored. Loading never stops at a problem; each one found (a file that is there but cannot be
// read or is not a regular file, is not text, has a line that does not decode, a value that is
// not a number the setting can take, a section nobody knows) is added to `problems` when given.
bool LoadSettings(Platform& p, const std::string& path, Settings& settings,
                  std::vector<MsgRecord>& table, std::vector<SettingsProblem>* problems = nullptr);

// The lines of a settings text: split at every LF, a CR before it dropped. Text after the last
// line end is a line of its own, possibly empty; an empty text has no lines.
std::vector<std::string> SplitSettingsLines(const std::string& text);

// "PATH:LINE: text", or "PATH: text" for the file as a whole.
std::string DescribeSettingsProblem(const std::string& path, const SettingsProblem& problem);

// Empties the answer history of record `index` and gives back all its places; does nothing
// for an index outside the table.
void ResetMsgRecord(std::vector<MsgRecord>& table, int32_t index);

}  // namespace ecub
