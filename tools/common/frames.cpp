#include "common/frames.h"

#include "codec/command_table.h"
#include "codec/hex.h"
#include "codec/text.h"
#include "common/text.h"
#include "link/transaction.h"

namespace ecub::tools {

namespace {

constexpr uint8_t kRequestStart = 0x41;
constexpr uint8_t kRequestSecond = 0x02;
constexpr uint8_t kAnswerStartD = 0x44;
constexpr uint8_t kAnswerStartB = 0x42;
constexpr int kFirstNamed = 1;
constexpr int kLastNamed = 120;

std::string ByteHex(uint8_t b) {
  return Hex(std::string(1, static_cast<char>(b)));
}

}  // namespace

FrameFields SplitFrame(const std::string& bytes) {
  FrameFields f;
  f.size = bytes.size();
  if (!bytes.empty()) f.start = ByteAt(bytes, 0);
  if (bytes.size() > 1) f.second = ByteAt(bytes, 1);
  if (f.start == kRequestStart) {
    f.kind = FrameKind::kRequest;
  } else if (f.start == kAnswerStartD || f.start == kAnswerStartB) {
    f.kind = FrameKind::kAnswer;
  }
  if (bytes.size() < 3) return f;
  f.length = ByteAt(bytes, 2);
  f.expected_size = static_cast<size_t>(f.length) + 2;
  f.complete = bytes.size() >= f.expected_size;
  // Up to the checksum when the frame is complete, else everything there is.
  const size_t body_end = f.complete ? f.expected_size - 1 : bytes.size();
  size_t at = 3;
  if (at < body_end) f.command = ByteAt(bytes, at++);
  // An answer with only the echo before its checksum has no outcome byte.
  if (f.kind == FrameKind::kAnswer && at < body_end) f.outcome = ByteAt(bytes, at++);
  if (at < body_end) f.data = bytes.substr(at, body_end - at);
  if (f.complete && f.expected_size >= 1) {
    f.checksum = ByteAt(bytes, f.expected_size - 1);
    f.checksum_ok = FrameChecksum(bytes.substr(0, f.expected_size)) == 0;
    f.trailing = bytes.substr(f.expected_size);
  }
  return f;
}

std::string OutcomeText(uint8_t outcome) {
  if (outcome == 0xFE) return "not executed";
  if (outcome == 0xFF) return "request checksum wrong";
  return "ok";
}

std::string CommandLabel(uint8_t code) {
  return Trim(CommandName(code)) + " (" + ByteHex(code) + ")";
}

std::string DescribeFrame(const FrameFields& f, bool with_name) {
  if (f.size == 0) return "empty";
  std::string text = "start " + ByteHex(f.start);
  if (f.size > 1) text += " " + ByteHex(f.second);
  if (f.size < 3) return text + ", incomplete (" + std::to_string(f.size) + " bytes)";
  text += ", length " + std::to_string(f.length);
  if (f.command) {
    text += ", command " + ByteHex(*f.command);
    if (with_name) text += " " + Trim(CommandName(*f.command));
  }
  if (f.outcome) text += ", outcome " + ByteHex(*f.outcome) + " " + OutcomeText(*f.outcome);
  if (f.data.empty()) {
    text += ", no data";
  } else {
    text += ", data " + Hex(f.data) + " (" + std::to_string(f.data.size()) +
            (f.data.size() == 1 ? " byte)" : " bytes)");
  }
  if (!f.complete) {
    return text + ", incomplete (" + std::to_string(f.size) + " of " +
           std::to_string(f.expected_size) + " bytes)";
  }
  if (f.checksum) text += ", checksum " + ByteHex(*f.checksum) + (f.checksum_ok ? " ok" : " WRONG");
  if (!f.trailing.empty()) text += ", then " + Hex(f.trailing);
  return text;
}

Json FrameJson(const FrameFields& f) {
  Json o;
  o["kind"] = f.kind == FrameKind::kRequest  ? "request"
              : f.kind == FrameKind::kAnswer ? "answer"
                                             : "other";
  o["complete"] = f.complete;
  if (f.size > 0) o["start"] = ByteHex(f.start);
  if (f.size > 1) o["second"] = ByteHex(f.second);
  if (f.size > 2) o["length"] = f.length;
  if (f.command) {
    o["command"] = *f.command;
    o["name"] = Trim(CommandName(*f.command));
  }
  if (f.outcome) {
    o["outcome"] = ByteHex(*f.outcome);
    o["outcome_text"] = OutcomeText(*f.outcome);
  }
  o["data"] = Hex(f.data);
  if (f.checksum) {
    o["checksum"] = ByteHex(*f.checksum);
    o["checksum_ok"] = f.checksum_ok;
  }
  if (!f.trailing.empty()) o["trailing"] = Hex(f.trailing);
  return o;
}

bool ParseCommand(const std::string& text, uint8_t& code) {
  int64_t number = 0;
  if (ParseNumber(text, 1, 255, number)) {
    code = static_cast<uint8_t>(number);
    return true;
  }
  std::string name = AsciiUpper(text);
  if (!StartsWith(name, "CMD_")) name = "CMD_" + name;
  for (int c = kFirstNamed; c <= kLastNamed; ++c) {
    if (CommandName(static_cast<uint8_t>(c)) == name) {
      code = static_cast<uint8_t>(c);
      return true;
    }
  }
  return false;
}

bool ParseRequest(const std::string& text, std::string& frame) {
  const std::string trimmed = Trim(text);
  std::string bytes;
  if (!trimmed.empty() && ParseHex(trimmed, bytes)) {
    frame = bytes;
    return true;
  }
  const size_t colon = trimmed.find(':');
  uint8_t code = 0;
  if (!ParseCommand(Trim(trimmed.substr(0, colon)), code)) return false;
  std::string data;
  if (colon != std::string::npos && !ParseHex(trimmed.substr(colon + 1), data)) return false;
  // The length byte counts data + 3 and must fit in one byte.
  if (data.size() > 252) return false;
  frame = BuildFrame(kRequestStart, kRequestSecond, code, data);
  return true;
}

}  // namespace ecub::tools
