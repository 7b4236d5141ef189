#include "codec/log_line.h"

#include "codec/command_table.h"
#include "codec/hex.h"

namespace ecub {

namespace {

constexpr const char* kLineEnd = "\r\n";

// The hex text of a request frame begins with its start byte 0x41; the command byte sits at
// frame offset 3, i.e. hex characters 6 and 7. Answers start with 44 or 42 and get no name.
bool IsCommandFrameHex(const std::string& text) {
  return text.size() >= 8 && text.compare(0, 2, "41") == 0;
}

uint8_t CommandCodeOf(const std::string& frame_hex) {
  const std::string byte = HexToBytes(frame_hex.substr(6, 2));
  // Text that is not hex is still logged; it just cannot name a command.
  return byte.size() == 1 ? static_cast<uint8_t>(byte[0]) : 0;
}

}  // namespace

std::string FormatLogLines(int64_t elapsed_ms, const std::string& label, const std::string& text) {
  std::string lines;
  if (IsCommandFrameHex(text)) lines = CommandName(CommandCodeOf(text)) + kLineEnd;
  lines += std::to_string(elapsed_ms) + " " + label + text + kLineEnd;
  return lines;
}

}  // namespace ecub
