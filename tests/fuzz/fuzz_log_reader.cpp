// The traffic-log reader of the tools: any file, read line by line into entries and shown one
// entry per output line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/log_reader.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using ecub::tools::LogEvent;
  const std::string contents(reinterpret_cast<const char*>(data), size);
  size_t lines = 0;
  for (size_t at = 0; at < contents.size(); ++lines) {
    const size_t end = contents.find('\n', at);
    at = end == std::string::npos ? contents.size() : end + 1;
  }
  const auto events = ecub::tools::ParseTrafficLog(contents);
  // Every line gives at most one entry, and entries keep the order of their lines.
  FUZZ_CHECK(events.size() <= lines, std::to_string(events.size()) + " entries");
  size_t previous = 0;
  for (const LogEvent& e : events) {
    FUZZ_CHECK(e.line >= 1 && e.line <= lines, "line " + std::to_string(e.line));
    FUZZ_CHECK(e.line > previous, "line " + std::to_string(e.line));
    previous = e.line;
    const std::string shown = ecub::tools::FormatLogEvent(e);
    FUZZ_CHECK(shown.find('\n') == std::string::npos, shown);
    // A frame is only taken from a line that names a frame-carrying label.
    if (e.frame) {
      FUZZ_CHECK(e.label == "T" || e.label == "R" || e.label == "ERR_DISAL" || e.label == "ERR_H",
                 e.label);
    }
  }
  // A file is refused only when no line of it is a log line; the line named is one it has.
  if (const auto foreign = ecub::tools::FirstForeignLine(events)) {
    FUZZ_CHECK(*foreign >= 1 && *foreign <= std::max<size_t>(lines, 1), std::to_string(*foreign));
    for (const LogEvent& e : events) FUZZ_CHECK(!e.time_ms && e.label.empty(), e.text);
  }
  return 0;
}
