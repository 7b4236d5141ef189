// ECU frames and the command transaction: send, await, check, retry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ecub {

struct Server;

// No frame of the protocol is longer: a length byte of 255 plus the two bytes before it.
inline constexpr size_t kMaxFrameSize = 257;

// XOR of all bytes; 0 for the empty string.
uint8_t FrameChecksum(const std::string& bytes);
// start, second, length (data + 3), command, data, checksum.
std::string BuildFrame(uint8_t start, uint8_t second, uint8_t command, const std::string& data);
// True once RxBuffer holds a whole answer frame.
bool FrameComplete(const std::string& rx);
// Checks a complete answer against the request; on a failure logs the reason and returns false.
bool CheckAnswer(Server& s);
// Sends `frame` and waits for a checked answer, retrying up to NumResend times. On the final
// failure the port is closed and LinkStatus set to 0. `poll_host` serves the host pipe while
// waiting (polling transactions).
bool SendCommand(Server& s, const std::string& frame, std::string& answer, uint8_t poll_host);

}  // namespace ecub
