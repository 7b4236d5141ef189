#include "codec/host_codec.h"

#include <algorithm>

namespace ecub {

namespace {

uint8_t At(const std::string& bytes, size_t offset) {
  return static_cast<uint8_t>(bytes[offset]);
}

// The reply's length field is 16 bits wide.
constexpr size_t kMaxReplyData = 65535 - kHostHeaderSize;

}  // namespace

size_t AnnouncedHostLength(const std::string& bytes) {
  return At(bytes, 0) + 255u * At(bytes, 1);
}

std::string EncodeHostMessage(uint8_t code, const std::string& argument) {
  const size_t room = kLongestHostMessage - kHostHeaderSize;
  const size_t length = kHostHeaderSize + std::min(argument.size(), room);
  // 256 * 255 would need hi 256, which a byte cannot hold: it is sent as 255 + 255 * 255.
  const size_t high = std::min<size_t>(length / 255, 255);
  std::string m(kHostHeaderSize, '\0');
  m[0] = static_cast<char>(length - 255 * high);
  m[1] = static_cast<char>(high);
  m[2] = static_cast<char>(code);
  m.append(argument, 0, room);
  return m;
}

int32_t ParseHostMessage(const std::string& message, int32_t& code, std::string& argument) {
  int32_t result = kParseOk;
  const size_t length = message.size();
  if (length < kHostHeaderSize || AnnouncedHostLength(message) != length) result = kParseLength;
  code = -1;
  if (result == kParseOk) {
    code = static_cast<int32_t>(At(message, 2));
    if (code > 14) result = kParseCode;
  }
  argument.clear();
  if (result != kParseOk) return result;

  switch (code) {
    case 1:
    case 2:
    case 5:
      break;
    case 0:
      argument = message.substr(kHostHeaderSize);
      break;
    case 3:
    case 4:
      if (length > kHostHeaderSize) {
        argument = message.substr(kHostHeaderSize, 1);
      } else {
        result = kParseArgument;
      }
      break;
    case 11:
      if (length > kHostHeaderSize + 1) {
        argument = message.substr(kHostHeaderSize, 2);
      } else {
        result = kParseArgument;
      }
      break;
    case 12:
      if (length == kHostHeaderSize + 20) {
        argument = message.substr(kHostHeaderSize, 20);
      } else {
        result = kParseArgument;
      }
      break;
    default:  // 6, 7, 8, 9, 10, 13, 14: everything after the header, at least one byte
      if (length > kHostHeaderSize) {
        argument = message.substr(kHostHeaderSize);
      } else {
        result = kParseArgument;
      }
      break;
  }
  return result;
}

std::string BuildReply(int32_t code, uint8_t link_status, uint8_t reserved, uint8_t poll_mode,
                       uint8_t port, int32_t result, const std::string& data) {
  const std::string& body = data.size() > kMaxReplyData ? data.substr(0, kMaxReplyData) : data;
  const size_t length = body.size() + kHostHeaderSize;
  std::string reply(kHostHeaderSize, '\0');
  reply[0] = static_cast<char>((length >> 8) & 0xFF);
  reply[1] = static_cast<char>(length & 0xFF);
  if (code >= 0 && code <= 255) reply[2] = static_cast<char>(code);
  reply[3] = static_cast<char>(link_status);
  reply[4] = static_cast<char>(reserved);
  reply[5] = static_cast<char>(poll_mode);
  reply[6] = static_cast<char>(port);
  if (result >= 0 && result <= 255) reply[7] = static_cast<char>(result);
  reply += body;
  return reply;
}

size_t ReplyLength(const std::string& header) {
  if (header.size() < 2) return 0;
  return (static_cast<size_t>(At(header, 0)) << 8) | At(header, 1);
}

std::optional<HostReply> DecodeReply(const std::string& bytes) {
  if (bytes.size() < kHostHeaderSize || ReplyLength(bytes) != bytes.size()) return std::nullopt;
  HostReply r;
  r.length = bytes.size();
  r.code = At(bytes, 2);
  r.link_status = At(bytes, 3);
  r.reserved = At(bytes, 4);
  r.poll_mode = At(bytes, 5);
  r.porta_com = At(bytes, 6);
  r.result = At(bytes, 7);
  r.data = bytes.substr(kHostHeaderSize);
  return r;
}

}  // namespace ecub
