// The host tool's instruction words ("connect 5", "send CMD_READ_MEM1", ...) and the host
// messages they stand for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ecub::tools {

struct Instruction {
  enum class Kind {
    kMessage,  // a host message that gets one reply
    kSleep,    // a pause on the host's side; nothing is sent
  };
  Kind kind = Kind::kMessage;
  std::string text;     // as the user wrote it, for display
  uint8_t code = 0;     // the instruction code (the code byte of a raw message)
  std::string message;  // the whole host message
  int sleep_ms = 0;
  bool is_quit = false;
};

// Parses the instruction that starts at args[pos] with its arguments, one per command-line
// word, and moves `pos` past them. False with a message in `error`.
bool ParseInstructionArgs(const std::vector<std::string>& args, size_t& pos, Instruction& out,
                          std::string& error);
// Parses one script line: the word, then its arguments; a text or frame argument takes the rest
// of the line. Blank lines and lines starting with # give no instruction (true, nullopt).
bool ParseScriptLine(const std::string& line, std::optional<Instruction>& out, std::string& error);

// The instruction list for --help.
std::string InstructionHelp();

}  // namespace ecub::tools
