// Host messages in, replies out, and the answers stored for polled messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "codec/host_codec.h"

namespace ecub {

struct Server;

// How long bytes of an incomplete message may wait for the rest before they are answered as
// a length error.
inline constexpr double kReassemblyLimit_usec = 100000;
// The most host bytes held at a time. The largest message (65280 bytes) fits, so a full buffer
// always holds a whole message; what the host writes beyond stays in the pipe until then, so
// the pipe's byte count is never taken as the size of one allocation.
inline constexpr size_t kMaxHostBuffered = 131072;

// Takes the next host message into HostMessage: PendingMessage first, then the pipe.
void ReadHostMessage(Server& s);
// Cuts one whole message from the buffered host stream into `message` (empty when none is
// complete yet). Shared by the main loop and the pipe poll inside transactions.
void TakeHostMessage(Server& s, std::string& message);
// Reads whatever the host pipe holds into the buffered host stream.
void PullHostPipe(Server& s);
// When buffered bytes of an incomplete message will be given up (negative when none wait).
double HostStreamDeadline(const Server& s);

// Frames a reply with the current link state and writes it to the host in one write.
void SendReply(Server& s, int32_t code, int32_t result, const std::string& data);
// Stores an answer of the control unit in the first MsgTable record holding `request`.
void ScomponiMessaggio(Server& s, std::string request, std::string answer);
// The four time bytes of a history entry.
std::string HistoryTimeBytes(int32_t time_ms);

}  // namespace ecub
