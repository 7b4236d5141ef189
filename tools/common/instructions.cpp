#include "common/instructions.h"

#include "common/frames.h"
#include "common/host_messages.h"
#include "common/text.h"

namespace ecub::tools {

namespace {

enum class Arg {
  kNone,
  kFiller,    // no argument of the user's; one zero byte that the server requires and ignores
  kText,      // text, or exact bytes after "hex:"
  kNonEmpty,  // the same, at least one byte
  kIdent,     // an identification text (see BuildIdent), or exact bytes after "hex:"
  kUsbDesc,   // up to 20 bytes, padded with zero bytes
  kByte,      // 0 to 255
  kWord,      // 0 to 65535, sent little-endian
  kTimed,     // index 0 to 255, flag 0 to 255
  kRequest,   // a request frame: hex, or NAME[:DATAHEX]
  kSleep,     // milliseconds
  kRaw,       // a whole host message in hex
};

struct Spec {
  const char* word;
  int code;  // -1: no message of its own
  Arg arg;
  const char* synopsis;
  const char* what;
};

constexpr Spec kSpecs[] = {
    {"echo", 0, Arg::kText, "echo TEXT", "instruction 0: the server echoes TEXT"},
    {"quit", 1, Arg::kNone, "quit", "instruction 1: the server ends"},
    {"close", 2, Arg::kNone, "close", "instruction 2: close the port"},
    {"connect", 3, Arg::kByte, "connect N", "instruction 3: find the unit on COM N (0: USB)"},
    {"poll-mode", 4, Arg::kByte, "poll-mode N", "instruction 4: 0 timed, 1 cyclic, other off"},
    {"usb-list", 5, Arg::kNone, "usb-list", "instruction 5: list the USB interfaces"},
    {"send", 6, Arg::kRequest, "send FRAME", "instruction 6: relay a request frame"},
    {"history", 7, Arg::kRequest, "history FRAME", "instruction 7: a message's answer history"},
    {"timeout", 8, Arg::kWord, "timeout MS", "instruction 8: answer time-out, milliseconds"},
    {"byte-wait", 9, Arg::kWord, "byte-wait US", "instruction 9: wait after each byte, us"},
    {"ident", 10, Arg::kIdent, "ident TEXT", "instruction 10: the expected identification"},
    {"timed", 11, Arg::kTimed, "timed INDEX 0|1", "instruction 11: message INDEX timed or not"},
    {"usb-desc", 12, Arg::kUsbDesc, "usb-desc TEXT", "instruction 12: USB EEPROM description"},
    {"scan", 13, Arg::kFiller, "scan", "instruction 13: probe COM1 to COM100"},
    {"watch", 14, Arg::kNonEmpty, "watch NAME", "instruction 14: end when process NAME is gone"},
    {"sleep", -1, Arg::kSleep, "sleep MS", "pause on the host's side; nothing is sent"},
    {"raw", -1, Arg::kRaw, "raw HEX", "send a whole host message exactly as given"},
};

constexpr size_t kUsbDescSize = 20;
// The server compares the expected identification from this offset on, as it does the unit's
// answer frame, so a plain text is put behind as many filler bytes.
constexpr size_t kIdentHead = 12;
constexpr int kMaxSleepMs = 3'600'000;

const Spec* Find(const std::string& word) {
  for (const Spec& s : kSpecs) {
    if (word == s.word) return &s;
  }
  return nullptr;
}

bool TextBytes(const std::string& text, std::string& bytes, std::string& error) {
  if (!StartsWith(text, "hex:")) {
    bytes = text;
    return true;
  }
  if (!ParseHex(text.substr(4), bytes)) {
    error = "'" + text + "' is not hex after \"hex:\"";
    return false;
  }
  return true;
}

size_t Arity(Arg arg) {
  switch (arg) {
    case Arg::kNone:
    case Arg::kFiller:
      return 0;
    case Arg::kTimed:
      return 2;
    default:
      return 1;
  }
}

// The argument bytes (or the whole message for kRaw, the pause for kSleep) from the words.
bool Build(const Spec& spec, const std::vector<std::string>& words, Instruction& out,
           std::string& error) {
  const std::string word = spec.word;
  if (words.size() != Arity(spec.arg)) {
    error =
        Arity(spec.arg) == 0 ? word + " takes no argument" : "usage: " + std::string(spec.synopsis);
    return false;
  }
  out = Instruction{};
  out.text = word;
  for (const std::string& w : words) out.text += " " + w;
  out.code = static_cast<uint8_t>(spec.code < 0 ? 0 : spec.code);
  out.is_quit = spec.code == 1;
  std::string argument;
  int64_t n = 0;
  switch (spec.arg) {
    case Arg::kNone:
      break;
    case Arg::kFiller:
      argument.push_back('\0');
      break;
    case Arg::kText:
    case Arg::kNonEmpty:
      if (!TextBytes(words[0], argument, error)) return false;
      if (spec.arg == Arg::kNonEmpty && argument.empty()) {
        error = word + " needs a non-empty argument";
        return false;
      }
      break;
    case Arg::kIdent:
      if (!StartsWith(words[0], "hex:")) {
        if (words[0].empty()) {
          error = "ident needs a text";
          return false;
        }
        argument = std::string(kIdentHead, '\0') + words[0];
      } else if (!TextBytes(words[0], argument, error)) {
        return false;
      } else if (argument.empty()) {
        error = "ident needs at least one byte";
        return false;
      }
      break;
    case Arg::kUsbDesc:
      if (!TextBytes(words[0], argument, error)) return false;
      if (argument.size() > kUsbDescSize) {
        error = "usb-desc takes at most 20 bytes";
        return false;
      }
      argument.resize(kUsbDescSize, '\0');
      break;
    case Arg::kByte:
      if (!ParseNumber(words[0], 0, 255, n)) {
        error = word + ": '" + words[0] + "' is not a number from 0 to 255";
        return false;
      }
      argument.push_back(static_cast<char>(n));
      break;
    case Arg::kWord:
      if (!ParseNumber(words[0], 0, 65535, n)) {
        error = word + ": '" + words[0] + "' is not a number from 0 to 65535";
        return false;
      }
      argument.push_back(static_cast<char>(n & 0xFF));
      argument.push_back(static_cast<char>(n >> 8));
      break;
    case Arg::kTimed:
      for (const std::string& w : words) {
        if (!ParseNumber(w, 0, 255, n)) {
          error = "timed: '" + w + "' is not a number from 0 to 255";
          return false;
        }
        argument.push_back(static_cast<char>(n));
      }
      break;
    case Arg::kRequest:
      if (!ParseRequest(words[0], argument) || argument.empty()) {
        error = word + ": '" + words[0] +
                "' is neither hex of a frame nor a command name with optional :DATAHEX";
        return false;
      }
      break;
    case Arg::kSleep:
      if (!ParseNumber(words[0], 0, kMaxSleepMs, n)) {
        error = "sleep: '" + words[0] + "' is not a number of milliseconds up to 3600000";
        return false;
      }
      out.kind = Instruction::Kind::kSleep;
      out.sleep_ms = static_cast<int>(n);
      return true;
    case Arg::kRaw:
      if (!ParseHex(words[0], out.message) || out.message.empty()) {
        error = "raw: '" + words[0] + "' is not hex of a message";
        return false;
      }
      if (out.message.size() > kLongestHostMessage) {
        error = "raw: a message holds at most 65280 bytes";
        return false;
      }
      out.code = out.message.size() > 2 ? static_cast<uint8_t>(out.message[2]) : 0;
      out.is_quit = out.code == 1;
      return true;
  }
  if (argument.size() + kHostHeaderSize > kLongestHostMessage) {
    error = word + ": the argument makes the message longer than 65280 bytes";
    return false;
  }
  out.message = EncodeHostMessage(out.code, argument);
  return true;
}

}  // namespace

bool ParseInstructionArgs(const std::vector<std::string>& args, size_t& pos, Instruction& out,
                          std::string& error) {
  const Spec* spec = pos < args.size() ? Find(args[pos]) : nullptr;
  if (spec == nullptr) {
    error = pos < args.size() ? "unknown instruction '" + args[pos] + "'" : "missing instruction";
    return false;
  }
  const size_t arity = Arity(spec->arg);
  if (args.size() - pos - 1 < arity) {
    error = std::string(spec->word) + ": missing argument (usage: " + spec->synopsis + ")";
    return false;
  }
  const std::vector<std::string> words(args.begin() + static_cast<ptrdiff_t>(pos) + 1,
                                       args.begin() + static_cast<ptrdiff_t>(pos + 1 + arity));
  if (!Build(*spec, words, out, error)) return false;
  pos += 1 + arity;
  return true;
}

bool ParseScriptLine(const std::string& line, std::optional<Instruction>& out, std::string& error) {
  out.reset();
  const std::string text = Trim(line);
  if (text.empty() || text[0] == '#') return true;
  const size_t blank = text.find_first_of(" \t");
  const std::string word = text.substr(0, blank);
  const std::string rest = blank == std::string::npos ? "" : Trim(text.substr(blank));
  const Spec* spec = Find(word);
  if (spec == nullptr) {
    error = "unknown instruction '" + word + "'";
    return false;
  }
  std::vector<std::string> words;
  switch (spec->arg) {
    case Arg::kNone:
    case Arg::kFiller:
    case Arg::kByte:
    case Arg::kWord:
    case Arg::kTimed:
    case Arg::kSleep:
      words = Words(rest);
      break;
    case Arg::kText:
      words = {rest};  // an echo may be empty
      break;
    default:
      if (!rest.empty()) words = {rest};
      break;
  }
  Instruction instruction;
  if (!Build(*spec, words, instruction, error)) return false;
  out = instruction;
  return true;
}

std::string InstructionHelp() {
  std::string help;
  for (const Spec& s : kSpecs) {
    std::string synopsis = s.synopsis;
    synopsis.resize(18, ' ');
    help += "  " + synopsis + s.what + "\n";
  }
  return help;
}

}  // namespace ecub::tools
