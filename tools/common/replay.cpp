#include "common/replay.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <utility>

#include "codec/command_table.h"
#include "common/log_reader.h"
#include "common/log_summary.h"
#include "common/serve.h"
#include "common/text.h"
#include "platform/posix/posix_platform.h"
#include "sim/posix/pty_link.h"

namespace ecub::tools {

namespace {

constexpr uint8_t kRequestStart = 0x41;
constexpr uint8_t kIdentification = 0x21;
// A request cut short (a port closed mid-frame) is dropped after this long without a byte.
constexpr double kFrameGapUsec = 100000;

bool IsIdentificationRequest(const std::string& frame) {
  return frame.size() > 3 && static_cast<uint8_t>(frame[0]) == kRequestStart &&
         static_cast<uint8_t>(frame[3]) == kIdentification;
}

}  // namespace

bool BuildReplayScript(const std::string& log_contents, ReplayScript& script, std::string& error) {
  script = {};
  const LogSummary summary = SummarizeLog(ParseTrafficLog(log_contents));
  for (const LogRequest& r : summary.requests) {
    for (const LogAttempt& a : r.attempts) {
      // A send cut short never reached the unit as a request.
      if (!a.whole) continue;
      RecordedAnswer answer;
      answer.bytes = a.answer;
      if (a.answer) answer.delay_usec = static_cast<double>(a.answered_ms - a.sent_ms) * 1000.0;
      script.answers[r.frame].push_back(std::move(answer));
      ++script.exchanges;
    }
  }
  if (script.exchanges == 0) {
    error = summary.sends == 0 ? "no request frame in it: is it a traffic log (RxTx.TXT)?"
                               : "no request was sent whole in it, so nothing can be replayed";
    return false;
  }
  return true;
}

ReplayUnit::ReplayUnit(ReplayScript script, double speed, std::optional<ByteTable> permutation)
    : script_(std::move(script)), speed_(speed), permutation_(permutation) {
  if (permutation_) {
    Reader descrambled;
    for (int i = 0; i < 256; ++i) descrambled.table[(*permutation_)[i]] = static_cast<uint8_t>(i);
    readers_.push_back(descrambled);
  }
  readers_.push_back({IdentityTable(), {}});
}

const std::vector<RecordedAnswer>* ReplayUnit::Lookup(const std::string& frame) const {
  if (const auto it = script_.answers.find(frame); it != script_.answers.end()) {
    return &it->second;
  }
  // The identification request comes in a short and a long form (by the scrambling setting);
  // a unit identifies itself the same way to both.
  if (IsIdentificationRequest(frame)) {
    for (const auto& [request, answers] : script_.answers) {
      if (IsIdentificationRequest(request)) return &answers;
    }
  }
  return nullptr;
}

void ReplayUnit::OnByte(uint8_t wire_byte, double now_usec) {
  const bool gap = now_usec - last_byte_usec_ > kFrameGapUsec;
  last_byte_usec_ = now_usec;
  for (Reader& r : readers_) {
    if (gap) r.partial.clear();
    const uint8_t b = r.table[wire_byte];
    if (r.partial.empty() && b != kRequestStart) continue;  // not the start of a request
    r.partial.push_back(static_cast<char>(b));
    if (r.partial.size() < 3) continue;
    const size_t whole = static_cast<size_t>(static_cast<uint8_t>(r.partial[2])) + 2;
    if (r.partial.size() < whole) continue;
    std::string request = std::move(r.partial);
    r.partial.clear();
    uint8_t sum = 0;
    for (const char c : request) sum ^= static_cast<uint8_t>(c);
    // With two readers, noise that happens to start like a frame is told by its checksum.
    if (readers_.size() > 1 && sum != 0) continue;
    for (Reader& other : readers_) other.partial.clear();
    Answer(request, now_usec);
    return;
  }
}

void ReplayUnit::Answer(const std::string& request, double now_usec) {
  ++requests_;
  const std::vector<RecordedAnswer>* answers = Lookup(request);
  RecordedAnswer answer;  // silence for a request the log never saw
  if (answers != nullptr) {
    size_t& k = sent_count_[request];
    answer = (*answers)[std::min(k, answers->size() - 1)];
    ++k;
  } else {
    ++unknown_;
  }
  if (on_request) on_request(request, answer, answers != nullptr, now_usec);
  if (!answer.bytes) return;
  std::string wire = *answer.bytes;
  if (permutation_) {
    for (char& c : wire) c = static_cast<char>((*permutation_)[static_cast<uint8_t>(c)]);
  }
  Schedule(now_usec + answer.delay_usec * speed_, std::move(wire));
}

void ReplayUnit::OnClose(double /*now_usec*/) {
  // A closed port loses what was on its way, as a real line does.
  Forget();
  for (Reader& r : readers_) r.partial.clear();
}

}  // namespace ecub::tools

// --- Serving on a pseudo-terminal ------------------------------------------------------------

namespace ecub::tools {

namespace {

bool ReadFile(const std::string& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int ServeReplay(const ReplayOptions& o) {
  std::string text;
  ReplayScript script;
  std::string error;
  if (!ReadFile(o.log_path, text)) {
    std::cerr << "ecubridge-sim: cannot read " << o.log_path << "\n";
    return 1;
  }
  if (!BuildReplayScript(text, script, error)) {
    std::cerr << "ecubridge-sim: " << o.log_path << ": " << error << "\n";
    return 1;
  }
  std::optional<ByteTable> permutation;
  if (o.scrambled) {
    permutation = BuiltinScramblePermutation();
    if (!o.scramble_table.empty() &&
        (!ReadFile(o.scramble_table, text) || !ParseScrambleTable(text, *permutation))) {
      std::cerr << "ecubridge-sim: " << o.scramble_table
                << ": cannot be read as 512 hex digits forming a permutation of the byte values\n";
      return 1;
    }
  }
  const size_t exchanges = script.exchanges;
  const size_t frames = script.answers.size();
  ReplayUnit unit(std::move(script), o.speed, permutation);
  const double origin = MonotonicUsec();
  unit.on_request = [&](const std::string& request, const RecordedAnswer& answer, bool known,
                        double now_usec) {
    const uint8_t command = request.size() > 3 ? static_cast<uint8_t>(request[3]) : 0;
    if (!known) {
      // Said even with --quiet: the replay has left the recorded session here.
      std::fprintf(stderr, "ecubridge-sim: %s (%s) was never sent in the log: no answer\n",
                   Hex(request).c_str(), Trim(CommandName(command)).c_str());
    }
    if (o.quiet) return;
    const double t = (now_usec - origin) / 1e6;
    std::fprintf(stderr, "%10.3f  <-  %-24s %s\n", t, Trim(CommandName(command)).c_str(),
                 Hex(request).c_str());
    if (answer.bytes) {
      std::fprintf(stderr, "%10.3f  ->  %-24s %s  (after %.0f ms)\n", t,
                   Trim(CommandName(command)).c_str(), Hex(*answer.bytes).c_str(),
                   answer.delay_usec * o.speed / 1000);
    } else if (known) {
      std::fprintf(stderr, "%10.3f  ->  %-24s (silent, as recorded)\n", t,
                   Trim(CommandName(command)).c_str());
    }
  };

  StopOnSignals();

  PtyLink pty(&unit, o.ports, o.com);
  if (!pty.ok()) {
    std::cerr << "ecubridge-sim: cannot set up COM" << o.com << " in " << o.ports << ": "
              << pty.error() << "\n";
    return 1;
  }
  if (!o.quiet) {
    std::fprintf(stderr, "%10.3f  --  replaying %s: %zu exchanges of %zu request frames\n", 0.0,
                 o.log_path.c_str(), exchanges, frames);
  }
  std::cout << pty.link_path() << std::endl;
  ServeUntilStopped(pty, o.seconds, origin);
  if (!o.quiet) {
    std::fprintf(stderr, "%10.3f  --  ending: %zu requests received, %zu never in the log\n",
                 (MonotonicUsec() - origin) / 1e6, unit.requests(), unit.unknown());
  }
  return 0;
}

}  // namespace ecub::tools
