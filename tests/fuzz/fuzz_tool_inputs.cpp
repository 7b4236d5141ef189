// What the tools read from their users: instruction words and script lines of the host tool,
// the canned-answer file of the simulated unit, request frames, command names and numbers.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codec/text.h"
#include "common/frames.h"
#include "common/host_messages.h"
#include "common/instructions.h"
#include "common/sim_answers.h"
#include "common/text.h"
#include "fuzz_support.h"
#include "link/transaction.h"

namespace {

using ecub::tools::Instruction;

// A message the tool builds itself announces its own length (lo + 255 * hi) and code.
void CheckInstruction(const Instruction& in) {
  const bool raw = ecub::tools::StartsWith(in.text, "raw ");
  if (in.kind != Instruction::Kind::kMessage) {
    FUZZ_CHECK(in.sleep_ms >= 0 && in.sleep_ms <= 3600000, std::to_string(in.sleep_ms));
    return;
  }
  const std::string& m = in.message;
  FUZZ_CHECK(!m.empty() && m.size() <= ecub::kLongestHostMessage, in.text);
  FUZZ_CHECK(in.is_quit == (in.code == 1), in.text);
  if (raw) return;  // sent exactly as given
  FUZZ_CHECK(m.size() >= 8, in.text);
  const size_t announced = ecub::AnnouncedHostLength(m);
  FUZZ_CHECK(announced == m.size() && static_cast<uint8_t>(m[2]) == in.code, in.text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;

  // Script lines, one per line of the input.
  for (const std::string& line : ecub::SplitAt(text, "\n")) {
    std::optional<Instruction> in;
    error.clear();
    if (ecub::tools::ParseScriptLine(line, in, error)) {
      if (in) CheckInstruction(*in);
    } else {
      FUZZ_CHECK(!error.empty(), line);
    }
  }

  // The whole input as command-line words.
  const std::vector<std::string> words = ecub::tools::Words(text);
  for (size_t pos = 0; pos < words.size();) {
    const size_t before = pos;
    Instruction in;
    error.clear();
    if (!ecub::tools::ParseInstructionArgs(words, pos, in, error)) {
      FUZZ_CHECK(!error.empty(), words[before]);
      break;
    }
    FUZZ_CHECK(pos > before && pos <= words.size(), words[before]);
    CheckInstruction(in);
  }

  // The canned answers of the simulated unit: in the order of their lines, or an error that
  // names the line.
  std::vector<ecub::tools::AnswerRule> rules;
  error.clear();
  if (ecub::tools::ParseAnswerRules(text, rules, error)) {
    for (size_t i = 1; i < rules.size(); ++i) {
      FUZZ_CHECK(rules[i].line > rules[i - 1].line, std::to_string(rules[i].line));
    }
  } else {
    FUZZ_CHECK(error.rfind("line ", 0) == 0, error);
  }

  // A request is a whole frame whose checksum holds (or the hex given, as it is).
  std::string frame;
  std::string hex;
  if (ecub::tools::ParseRequest(text, frame) &&
      !ecub::tools::ParseHex(ecub::tools::Trim(text), hex)) {
    FUZZ_CHECK(frame.size() >= 5 && static_cast<uint8_t>(frame[2]) + 2u == frame.size(), text);
    FUZZ_CHECK(ecub::FrameChecksum(frame) == 0, text);
  }
  uint8_t code = 0;
  if (ecub::tools::ParseCommand(text, code)) FUZZ_CHECK(code >= 1, text);

  // Numbers stay inside the asked range, whatever the text.
  for (const auto& [low, high] : std::vector<std::pair<int64_t, int64_t>>{
           {0, 255},
           {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max()},
           {-5, 5}}) {
    int64_t value = 12345;
    if (ecub::tools::ParseNumber(text, low, high, value)) {
      FUZZ_CHECK(value >= low && value <= high, text);
    } else {
      FUZZ_CHECK(value == 12345, text);
    }
  }
  double decimal = -1;
  if (ecub::tools::ParseDecimal(text, 1e6, decimal))
    FUZZ_CHECK(decimal >= 0 && decimal <= 1e6, text);
  return 0;
}
