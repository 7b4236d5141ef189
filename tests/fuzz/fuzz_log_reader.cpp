// The traffic-log reader of the tools: any file, read line by line into entries and shown one
// entry per output line; read again in three pieces as a followed file arrives; summed up into
// requests, drawn, counted, and replayed by a unit that also hears the file as wire bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/log_reader.h"
#include "common/log_stats.h"
#include "common/log_summary.h"
#include "common/replay.h"
#include "common/timeline.h"
#include "fuzz_support.h"

namespace {

using ecub::tools::LogEvent;

bool Same(const LogEvent& a, const LogEvent& b) {
  return a.kind == b.kind && a.line == b.line && a.time_ms == b.time_ms && a.label == b.label &&
         a.text == b.text && a.frame == b.frame && a.command == b.command && a.note == b.note;
}

// The reader fed in pieces gives what it gives for the whole.
void CheckPieces(const std::string& contents, const std::vector<LogEvent>& whole) {
  const size_t cut1 = contents.empty() ? 0 : static_cast<uint8_t>(contents[0]) % contents.size();
  const size_t cut2 = cut1 + (contents.size() - cut1) / 2;
  ecub::tools::TrafficLogReader reader;
  std::vector<LogEvent> pieces;
  reader.Feed(contents.substr(0, cut1), pieces);
  reader.Feed(contents.substr(cut1, cut2 - cut1), pieces);
  reader.Feed(contents.substr(cut2), pieces);
  reader.Finish(pieces);
  ecub::tools::SettleOpenings(pieces);
  FUZZ_CHECK(pieces.size() == whole.size(), std::to_string(pieces.size()) + " entries in pieces");
  for (size_t i = 0; i < whole.size(); ++i) {
    FUZZ_CHECK(Same(pieces[i], whole[i]), "entry " + std::to_string(i) + " differs in pieces");
  }
}

void CheckSummary(const std::string& contents, const std::vector<LogEvent>& events) {
  const ecub::tools::LogSummary summary = ecub::tools::SummarizeLog(events);
  for (const ecub::tools::LogRequest& r : summary.requests) {
    FUZZ_CHECK(!r.attempts.empty(), "a request without attempts");
    for (const ecub::tools::LogAttempt& a : r.attempts) {
      FUZZ_CHECK(a.end_ms >= a.sent_ms, "an attempt ends before it starts");
    }
  }
  for (size_t i = 1; i < summary.marks.size(); ++i) {
    FUZZ_CHECK(summary.marks[i - 1].time_ms <= summary.marks[i].time_ms, "marks out of order");
  }
  const std::string json = ecub::tools::DumpJson(ecub::tools::StatsJson(summary));
  FUZZ_CHECK(!json.empty() && json.find('\n') == std::string::npos, json);
  FUZZ_CHECK(!ecub::tools::StatsText(summary).empty(), "no stats");
  const std::string svg = ecub::tools::TimelineSvg(summary, contents.substr(0, 40));
  FUZZ_CHECK(svg.size() >= 7 && svg.compare(svg.size() - 7, 7, "</svg>\n") == 0, "svg cut");
  for (const char c : svg) {
    FUZZ_CHECK(c == '\n' || (c >= 0x20 && c < 0x7F), "a byte the picture must not hold");
  }

  ecub::tools::ReplayScript script;
  std::string error;
  if (!ecub::tools::BuildReplayScript(contents, script, error)) return;
  // The file's own bytes as what the server writes: every request found gets an answer or
  // silence, never more than the bytes allow.
  ecub::tools::ReplayUnit unit(script, 1,
                               (contents.size() & 1) != 0
                                   ? std::optional(ecub::BuiltinScramblePermutation())
                                   : std::nullopt);
  double now = 0;
  for (const char c : contents.substr(0, 4096)) unit.OnByte(static_cast<uint8_t>(c), now += 50);
  FUZZ_CHECK(unit.requests() <= contents.size() / 3 + 1, "more requests than bytes allow");
  unit.Take(1 << 20, 1e18);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string contents(reinterpret_cast<const char*>(data), size);
  // A last line without its line feed counts too.
  const size_t lines = static_cast<size_t>(std::count(contents.begin(), contents.end(), '\n')) +
                       (!contents.empty() && contents.back() != '\n' ? 1 : 0);
  const auto events = ecub::tools::ParseTrafficLog(contents);
  // Every line gives at most one entry, and entries keep the order of their lines.
  FUZZ_CHECK(events.size() <= lines, std::to_string(events.size()) + " entries");
  size_t previous = 0;
  for (const LogEvent& e : events) {
    FUZZ_CHECK(e.line > previous && e.line <= lines, "line " + std::to_string(e.line));
    previous = e.line;
    const std::string shown = ecub::tools::FormatLogEvent(e);
    FUZZ_CHECK(shown.find('\n') == std::string::npos, shown);
  }
  CheckPieces(contents, events);
  CheckSummary(contents, events);
  // A refused file is named by a line it has.
  if (const auto foreign = ecub::tools::FirstForeignLine(events)) {
    FUZZ_CHECK(*foreign >= 1 && *foreign <= std::max<size_t>(lines, 1), std::to_string(*foreign));
  }
  return 0;
}
