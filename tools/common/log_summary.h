// A traffic log read back as transactions: every request the server sent, its attempts (the
// same frame sent again after a missing or refused answer) and how it ended, with the marks
// around them (log starts, ports opened, port failures, links given up). The replay, the
// timeline and the statistics all stand on this one reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/log_reader.h"

namespace ecub::tools {

struct LogAttempt {
  int64_t sent_ms = 0;                // on the summary's time line (see LogSummary)
  bool whole = true;                  // false: sending stopped early ("ERR_DISAL", "ERR_H")
  std::optional<std::string> answer;  // what the last "R " line of the attempt holds
  int64_t answered_ms = 0;            // when `answer` was complete
  int64_t end_ms = 0;                 // the answer, or the next line of the log
  bool accepted = false;
  std::string failure;  // why it was not accepted, in plain words
};

struct LogRequest {
  enum class Outcome { kAnswered, kRetried, kFailed };
  std::string frame;
  uint8_t command = 0;
  size_t session = 0;
  std::vector<LogAttempt> attempts;  // never empty
  Outcome outcome = Outcome::kFailed;
  int64_t start_ms() const { return attempts.front().sent_ms; }
  int64_t end_ms() const { return attempts.back().end_ms; }
};

struct LogMark {
  enum class Kind { kStart, kOpen, kPortError, kGivenUp };
  Kind kind = Kind::kStart;
  int64_t time_ms = 0;
  std::string text;
  size_t session = 0;
};

struct LogSession {
  int64_t first_ms = 0;
  int64_t last_ms = 0;
  size_t connects = 0;  // ports opened for the unit
  size_t port_errors = 0;
  size_t requests = 0;
};

struct LogSummary {
  // Each start of the server begins a session; a file holding several runs (one appended to
  // the other) puts them one after the other on one time line, as each restarts its clock.
  std::vector<LogSession> sessions;
  std::vector<LogRequest> requests;  // in the order sent
  std::vector<LogMark> marks;        // in the order written
  size_t sends = 0;                  // lines that sent a frame ("T ", "ERR_DISAL", "ERR_H")
  size_t answers = 0;                // "R " lines
};

LogSummary SummarizeLog(const std::vector<LogEvent>& events);

const char* OutcomeName(LogRequest::Outcome outcome);  // "answered", "retried", "failed"

}  // namespace ecub::tools
