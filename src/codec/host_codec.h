// The byte layout of host messages and replies, for every program that speaks to the server:
// the server itself, the tools, the tests and the benchmarks. Standard library only, so the
// Windows test host and the Linux tools build it alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ecub {

// Messages and replies alike start with an 8-byte header.
inline constexpr size_t kHostHeaderSize = 8;
// The longest message the length field can announce: 255 + 255 * 255.
inline constexpr size_t kLongestHostMessage = 65280;

// The total length a host message announces in its first two bytes: lo + 255 * hi. The bytes
// must hold at least two.
size_t AnnouncedHostLength(const std::string& bytes);

// Parse results, sent to the host as the reply's result byte.
enum ParseResult : int32_t {
  kParseOk = 0,
  kParseLength = 1,
  kParseCode = 2,
  kParseArgument = 3,
};

// Checks a whole host message and takes its code and argument; the result goes back to the
// host as the reply's result byte.
int32_t ParseHostMessage(const std::string& message, int32_t& code, std::string& argument);

// lo, hi, code, five zero bytes, argument. The longest message announces itself as lo 255,
// hi 255; below it lo stays under 255. An argument that would make the message longer than
// kLongestHostMessage is cut to fit, since no length field could announce more.
std::string EncodeHostMessage(uint8_t code, const std::string& argument = {});

// A reply: len_hi len_lo code LinkStatus 0 PollMode PortaCom result data...
struct HostReply {
  size_t length = 0;  // from the header, big-endian, header included
  uint8_t code = 0;
  uint8_t link_status = 0;
  uint8_t reserved = 0;
  uint8_t poll_mode = 0;
  uint8_t porta_com = 0;
  uint8_t result = 0;
  std::string data;
};

// The framed reply bytes, as SendReply writes them.
std::string BuildReply(int32_t code, uint8_t link_status, uint8_t reserved, uint8_t poll_mode,
                       uint8_t port, int32_t result, const std::string& data);
// The total length announced by a reply's first two bytes (big-endian); 0 when fewer than two.
size_t ReplyLength(const std::string& header);
// A whole reply: the header and exactly the data it announces. Nothing when `bytes` is shorter
// than the header or its length field disagrees with its size.
std::optional<HostReply> DecodeReply(const std::string& bytes);

}  // namespace ecub
