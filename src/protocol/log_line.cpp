#include "protocol/log_line.h"

#include "host/clock.h"
#include "host/server.h"
#include "protocol/command_table.h"
#include "protocol/hex.h"

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

void LogLine(Server& s, const std::string& label, const std::string& text) {
  // Logging must never disturb the traffic it records: with no log, or a failing one, the
  // lines are simply lost.
  if (!s.settings.LOG || s.log.file == -1) return;
  std::string lines;
  if (IsCommandFrameHex(text)) lines = CommandName(CommandCodeOf(text)) + kLineEnd;
  lines += std::to_string(ElapsedMs(s)) + " " + label + text + kLineEnd;
  s.platform.WriteOpenFile(s.log.file, lines);
}

}  // namespace ecub
