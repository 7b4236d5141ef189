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

// Reads a log that arrives in pieces (a file being written): whole lines are read as they
// come, the piece of a line after the last line end waits for the rest.
class TrafficLogReader {
 public:
  // Appends the entries of the lines `chunk` completes.
  void Feed(const std::string& chunk, std::vector<LogEvent>& out);
  // The end of the file: the last line even without its line end, and a lone name line.
  void Finish(std::vector<LogEvent>& out);
  // A name line still waiting for the frame line after it.
  bool waiting() const { return name_line_.has_value() || !partial_.empty(); }

 private:
  void Line(std::string line, std::vector<LogEvent>& out);

  std::string partial_;
  std::optional<LogEvent> name_line_;
  std::optional<uint8_t> last_command_;
  size_t line_number_ = 0;
};

std::vector<LogEvent> ParseTrafficLog(const std::string& contents);

// Marks each port opening as done or failed by the entry after it (the whole-file reader does
// this itself; a reader fed in pieces leaves the opening unsettled until the caller asks).
void SettleOpenings(std::vector<LogEvent>& events);

// When `events` hold no line of a traffic log at all (another file given by mistake), the first
// line of the file, to name it (1 for an empty file); nothing when they hold one.
std::optional<size_t> FirstForeignLine(const std::vector<LogEvent>& events);

// One line: time in seconds, direction (T, R, ERR, INFO), command name, fields.
std::string FormatLogEvent(const LogEvent& event);

}  // namespace ecub::tools
