// The canned-answer file of the simulated unit: one rule per line,
//
//   KEY [->] DATAHEX        # comment
//
// where KEY is a command (two hex digits such as 0C, or a name such as CMD_READ_MEM2) or the
// hex of a whole request frame, and DATAHEX the answer data after the outcome byte (blanks
// allowed, empty for none). "raw:HEX" instead of the data sends exactly those bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecub::tools {

struct AnswerRule {
  bool by_frame = false;  // true: `frame` must match exactly; false: any request of `command`
  uint8_t command = 0;
  std::string frame;
  std::string data;  // the answer data, or the exact answer bytes when `raw`
  bool raw = false;
  int line = 0;
};

// False with "line N: ..." in `error` at the first line that is not a rule.
bool ParseAnswerRules(const std::string& text, std::vector<AnswerRule>& rules, std::string& error);

}  // namespace ecub::tools
