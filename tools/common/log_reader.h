// Reading the traffic log RxTx.TXT back: lines "<ms> <label><text>" ending in CR LF, where a
// line holding only a command name comes before the line of every command frame sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ecub::tools {

struct LogEvent {
  enum class Kind {
    kStart,     // the first line: clock reading and date
    kSent,      // "T ": a frame sent whole
    kReceived,  // "R ": what was received
    kError,     // a failed check, a stopped send, a port or driver failure
    kInfo,      // anything else: port opened, stray lines
  };
  Kind kind = Kind::kInfo;
  size_t line = 0;  // 1-based line of the file
  std::optional<int64_t> time_ms;
  std::string label;                 // as written, without its trailing blank
  std::string text;                  // what follows the label
  std::optional<std::string> frame;  // the frame bytes, for lines that carry one
  // The command of the frame, or for a check failure the command of the frame it follows.
  std::optional<uint8_t> command;
  std::string note;  // the line in plain words, where there is something to add
};

std::vector<LogEvent> ParseTrafficLog(const std::string& contents);

// When `events` hold no line of a traffic log at all (another file given by mistake), the first
// line of the file, to name it (1 for an empty file); nothing when they hold one.
std::optional<size_t> FirstForeignLine(const std::vector<LogEvent>& events);

// One line: time in seconds, direction (T, R, ERR, INFO), command name, fields.
std::string FormatLogEvent(const LogEvent& event);

}  // namespace ecub::tools
