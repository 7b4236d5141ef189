#include "common/log_reader.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <set>
#include <system_error>

#include "codec/command_table.h"
#include "codec/hex.h"
#include "common/frames.h"
#include "common/text.h"

namespace ecub::tools {

namespace {

using Kind = LogEvent::Kind;

// What a failed answer check reports, in plain words.
std::string CheckFailure(const std::string& reason) {
  if (reason == "RX ESITO_CKSUM") return "the answer's checksum is wrong";
  if (reason == "ECO COMANDO") return "the answer echoes another command";
  if (reason == "ESITO_EXE_ERR") return "the unit did not execute the command (outcome FE)";
  if (reason == "TX ESITO_CKSUM") return "the unit found the request's checksum wrong (outcome FF)";
  return {};
}

bool IsCommandNameLine(const std::string& line) {
  // The names of codes 0 to 120 (0 stands for every code without a name), looked up in one go.
  static const std::set<std::string> kNames = [] {
    std::set<std::string> names;
    constexpr int kLastNamed = 120;
    for (int code = 0; code <= kLastNamed; ++code) {
      names.insert(Trim(CommandName(static_cast<uint8_t>(code))));
    }
    return names;
  }();
  const std::string name = Trim(line);
  return !name.empty() && kNames.count(name) > 0;
}

// "ERR_H " carries the error code in decimal directly followed by the frame's hex. The frame
// is the split whose hex makes one whole request frame; failing that, the first hex part
// that starts like a request.
//
// Every split lies inside the leading run of decimal digits, and the text after that run is
// the same for all of them, so one look at that tail and one walk over the run decide every
// split: a log line of any length is read in linear time.
void SplitWriteFailure(LogEvent& e) {
  const std::string& t = e.text;
  size_t run = 0;  // the leading decimal digits
  while (run < t.size() && t[run] >= '0' && t[run] <= '9') ++run;
  // The tail must be hex (blanks allowed between digits); its first digits are kept, as the
  // length byte of a short frame may lie there.
  size_t tail_digits = 0;
  std::string tail_head;
  bool tail_hex = true;
  for (size_t i = run; i < t.size() && tail_hex; ++i) {
    if (IsBlank(t[i])) continue;
    if (HexDigitValue(t[i]) < 0) {
      tail_hex = false;
    } else {
      if (tail_head.size() < 6) tail_head.push_back(t[i]);
      ++tail_digits;
    }
  }
  std::optional<size_t> fallback;
  for (size_t at = 1; tail_hex && at + 2 <= run; ++at) {
    if (t[at] != '4' || t[at + 1] != '1') continue;
    const size_t digits = (run - at) + tail_digits;
    if (digits % 2 != 0) continue;
    if (!fallback) fallback = at;
    // Digits 4 and 5 of the frame's hex are its length byte; the whole frame is that + 2 bytes.
    const size_t size = digits / 2;
    if (size < 3) continue;
    const auto digit = [&](size_t k) {
      return HexDigitValue(at + k < run ? t[at + k] : tail_head[at + k - run]);
    };
    const size_t length = static_cast<size_t>(digit(4) * 16 + digit(5));
    if (length + 2 == size) {
      fallback = at;
      break;
    }
  }
  if (!fallback) {
    e.note = "write failed";
    return;
  }
  std::string bytes;
  ParseHex(t.substr(*fallback), bytes);
  e.frame = bytes;
  e.note = "write failed, error " + t.substr(0, *fallback);
}

bool IsFailureLabel(const std::string& label) {
  static const char* const kDetail[] = {"lpErrors", "GetLastError", "LastDllError", "FtStatus"};
  for (const char* d : kDetail) {
    if (label == d) return true;
  }
  return false;
}

// Splits "<label><text>" after the time. Known labels first; otherwise the label is everything
// up to the first blank.
void Classify(const std::string& rest, LogEvent& e) {
  struct Known {
    const char* label;
    Kind kind;
  };
  static const Known kKnown[] = {
      {"T ", Kind::kSent},
      {"R ", Kind::kReceived},
      {"ERR_DISAL ", Kind::kError},
      {"ERR_H ", Kind::kError},
      {"COMUNICATION ERROR:", Kind::kError},
      {"TimerApi_uSec ", Kind::kStart},
      {"APERTURA ", Kind::kInfo},
  };
  for (const Known& k : kKnown) {
    if (StartsWith(rest, k.label)) {
      e.kind = k.kind;
      e.label = Trim(k.label);
      e.text = rest.substr(std::string(k.label).size());
      return;
    }
  }
  // Failure groups have labels of several words ("ClearCommError Send", "FT_Purge Error#").
  static const char* const kFailureLabels[] = {
      "ClearCommError Send",    "WriteFile Send", "ReadFile Recive", "ClearCommError Recive",
      "FT_GetQueueStatus Send", "FT_Write Send",  "FT_Read Recive",  "FT_GetQueueStatus Recive",
  };
  for (const char* label : kFailureLabels) {
    if (StartsWith(rest, label)) {
      e.kind = Kind::kError;
      e.label = label;
      e.text = rest.substr(std::string(label).size());
      return;
    }
  }
  // Failures of other port calls end their label with '#' ("CreateFile Error#").
  if (const size_t hash = rest.find('#'); hash != std::string::npos) {
    e.kind = Kind::kError;
    e.label = rest.substr(0, hash + 1);
    e.text = rest.substr(hash + 1);
    return;
  }
  const size_t blank = rest.find(' ');
  e.label = rest.substr(0, blank);
  e.text = blank == std::string::npos ? "" : rest.substr(blank + 1);
  e.kind = IsFailureLabel(e.label) ? Kind::kError : Kind::kInfo;
}

void Interpret(LogEvent& e) {
  std::string bytes;
  if (e.label == "T" || e.label == "R" || e.label == "ERR_DISAL") {
    if (ParseHex(e.text, bytes)) {
      e.frame = bytes;
    } else {
      e.note = "not hex";
    }
    if (e.label == "ERR_DISAL") e.note = "sending stopped: the unit talked during the request";
  } else if (e.label == "ERR_H") {
    SplitWriteFailure(e);
  } else if (e.label == "COMUNICATION ERROR:") {
    e.note = CheckFailure(e.text);
  } else if (e.label == "APERTURA") {
    e.note = "opening the port";  // settled by what follows: see ParseTrafficLog
  } else if (e.kind == Kind::kStart) {
    e.note = "log started";
  }
  if (e.frame) {
    const FrameFields f = SplitFrame(*e.frame);
    if (f.command) e.command = f.command;
  }
}

}  // namespace

void TrafficLogReader::Line(std::string line, std::vector<LogEvent>& out) {
  ++line_number_;
  if (!line.empty() && line.back() == '\r') line.pop_back();

  LogEvent e;
  e.line = line_number_;
  size_t digits = (!line.empty() && line[0] == '-') ? 1 : 0;
  const size_t first_digit = digits;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  const bool timed = digits > first_digit && digits < line.size() && line[digits] == ' ';
  if (!timed) {
    // A command-name line, or text that is no log line at all.
    if (name_line_) out.push_back(*name_line_);
    e.kind = Kind::kInfo;
    e.text = line;
    if (IsCommandNameLine(line)) {
      e.note = "command name without a frame";
      name_line_ = e;
    } else {
      name_line_.reset();
      if (!line.empty()) out.push_back(e);
    }
    return;
  }
  // A time too large for 64 bits leaves the line without one; the rest is still read.
  int64_t time_ms = 0;
  const auto parsed = std::from_chars(line.data(), line.data() + digits, time_ms);
  if (parsed.ec == std::errc()) e.time_ms = time_ms;
  Classify(line.substr(digits + 1), e);
  Interpret(e);
  // The name line belongs to the frame line after it; alone it is shown as it stands.
  if (name_line_ && !(e.frame && e.kind != Kind::kReceived)) out.push_back(*name_line_);
  name_line_.reset();
  if (e.frame && e.command) {
    last_command_ = e.command;
  } else if (e.label == "COMUNICATION ERROR:") {
    e.command = last_command_;
  }
  out.push_back(std::move(e));
}

void TrafficLogReader::Feed(const std::string& chunk, std::vector<LogEvent>& out) {
  size_t begin = 0;
  for (size_t end = chunk.find('\n'); end != std::string::npos; end = chunk.find('\n', begin)) {
    if (partial_.empty()) {
      Line(chunk.substr(begin, end - begin), out);
    } else {
      partial_.append(chunk, begin, end - begin);
      Line(std::move(partial_), out);
      partial_.clear();
    }
    begin = end + 1;
  }
  partial_.append(chunk, begin, std::string::npos);
}

void TrafficLogReader::Finish(std::vector<LogEvent>& out) {
  if (!partial_.empty()) {
    Line(std::move(partial_), out);
    partial_.clear();
  }
  if (name_line_) out.push_back(*name_line_);
  name_line_.reset();
}

std::vector<LogEvent> ParseTrafficLog(const std::string& contents) {
  std::vector<LogEvent> events;
  TrafficLogReader reader;
  reader.Feed(contents, events);
  reader.Finish(events);
  SettleOpenings(events);
  return events;
}

void SettleOpenings(std::vector<LogEvent>& events) {
  // An open is logged before it is tried; a failure line right after it means it failed.
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i].label != "APERTURA") continue;
    const bool failed = i + 1 < events.size() && events[i + 1].kind == Kind::kError;
    events[i].note = failed ? "opening the port FAILED" : "port opened";
    if (failed) events[i].kind = Kind::kError;
  }
}

std::optional<size_t> FirstForeignLine(const std::vector<LogEvent>& events) {
  std::optional<size_t> first;
  for (const LogEvent& e : events) {
    // Timed lines carry a label; a command name alone is a log line as well.
    if (e.time_ms || !e.label.empty() || !e.note.empty()) return std::nullopt;
    if (!first) first = e.line;
  }
  return first ? first : std::optional<size_t>(1);
}

std::string FormatLogEvent(const LogEvent& e) {
  char time[32] = "";
  if (e.time_ms) {
    std::snprintf(time, sizeof time, "%10.3f", static_cast<double>(*e.time_ms) / 1000.0);
  }
  std::string direction;
  switch (e.kind) {
    case Kind::kSent:
      direction = "T";
      break;
    case Kind::kReceived:
      direction = "R";
      break;
    case Kind::kError:
      direction = "ERR";
      break;
    case Kind::kStart:
    case Kind::kInfo:
      direction = "INFO";
      break;
  }
  std::string name = e.command ? Trim(CommandName(*e.command)) : "";
  std::string out = time;
  out.resize(10, ' ');
  direction.resize(5, ' ');
  name.resize(std::max<size_t>(name.size(), 24), ' ');
  out += "  " + direction + name + "  ";

  std::string what;
  if (e.frame && e.kind != Kind::kError) {
    what = DescribeFrame(SplitFrame(*e.frame), false);
  } else if (e.frame) {
    what = e.label + ": " + e.note + "; " + DescribeFrame(SplitFrame(*e.frame), false);
  } else {
    // Labels keep their text as written: "COMUNICATION ERROR:" runs into its reason.
    what = e.label;
    if (!e.label.empty() && e.label.back() != ':' && !e.text.empty()) what += " ";
    what += e.text;
    if (!e.note.empty()) what += "  (" + e.note + ")";
  }
  out += what;
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

}  // namespace ecub::tools
