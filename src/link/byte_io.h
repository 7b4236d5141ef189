// Moving the bytes of a transaction between memory and the open port, through the byte
// tables, with the failure lines of the traffic log.
#pragma once

#include <cstdint>
#include <string>

namespace ecub {

struct Server;

// The most bytes one read takes from a port. A queue count above it comes from a faulty driver
// or a flooding line; the bytes beyond are read by the next pass instead of all being
// allocated at once.
inline constexpr uint32_t kMaxPortRead = 65536;
// A queue count as a port read may take it.
inline uint32_t CappedReadCount(uint32_t queued) {
  return queued < kMaxPortRead ? queued : kMaxPortRead;
}

// Sends a frame byte by byte with the per-byte wait; sets TxBuffer, empties RxBuffer.
bool SendBytes(Server& s, const std::string& frame);
// Appends to RxBuffer whatever the port has received.
bool ReceiveBytes(Server& s);
// Throws away what the port has received (on USB also what waits to be sent).
void CleanInputCom(Server& s);
void PurgePort(Server& s);

}  // namespace ecub
