// Reads replies and answer history blocks as the host does, and says what is wrong with them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecub::test {

struct HistoryEntry {
  uint32_t time_ms = 0;
  std::string answer;
};

// The time of an entry: two 16-bit halves, low half first, each with its high byte first.
inline uint32_t HistoryEntryTime(const std::string& b, size_t at) {
  const auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[at + i])); };
  return (u(2) << 24) | (u(3) << 16) | (u(0) << 8) | u(1);
}

// What is wrong with a reply to a message of `code`: its length field or its code; empty when
// neither.
inline std::string ReplyProblem(const std::string& reply, int code) {
  const auto at = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(reply[i])); };
  if (reply.size() < 8 || at(0) * 256 + at(1) != reply.size()) {
    return "reply length field does not match";
  }
  if (static_cast<int>(at(2)) != code) return "reply with code " + std::to_string(at(2));
  return {};
}

// Splits the data of an instruction 7 reply into its entries. Every entry must be 4 time bytes
// and a whole answer frame to `command` (start 44 or 42, 01, its own length, XOR 0), and the
// entries must fill the block exactly. With `uniform`, every entry must also be as long as the
// entry size the block announces. Returns an empty text when the block is sound.
inline std::string ParseHistoryBlock(const std::string& data, uint8_t command, bool uniform,
                                     std::vector<HistoryEntry>& entries) {
  entries.clear();
  if (data.size() < 4) return "block shorter than its entry size field";
  uint32_t announced = 0;
  for (int i = 3; i >= 0; --i) announced = (announced << 8) | static_cast<uint8_t>(data[i]);
  size_t at = 4;
  while (at < data.size()) {
    const std::string where = "entry at offset " + std::to_string(at) + ": ";
    if (data.size() - at < 4 + 5) return where + "too short for a time and a frame";
    const std::string frame_start = data.substr(at + 4, 3);
    const uint8_t start = static_cast<uint8_t>(frame_start[0]);
    if ((start != 0x44 && start != 0x42) || frame_start[1] != '\x01') {
      return where + "does not begin with an answer frame";
    }
    const size_t frame_size = static_cast<size_t>(static_cast<uint8_t>(frame_start[2])) + 2;
    if (at + 4 + frame_size > data.size()) return where + "frame runs past the block";
    HistoryEntry entry;
    entry.time_ms = HistoryEntryTime(data, at);
    entry.answer = data.substr(at + 4, frame_size);
    uint8_t x = 0;
    for (char c : entry.answer) x = static_cast<uint8_t>(x ^ static_cast<uint8_t>(c));
    if (x != 0) return where + "frame checksum is wrong";
    if (frame_size < 5 || static_cast<uint8_t>(entry.answer[3]) != command) {
      return where + "frame does not answer the command";
    }
    if (uniform && frame_size + 4 != announced) return where + "size differs from the announced";
    entries.push_back(entry);
    at += 4 + frame_size;
  }
  return {};
}

}  // namespace ecub::test
