// Handing an answer history to the host.
#pragma once

#include <cstddef>
#include <string>

namespace ecub {

struct Server;

// The largest data block an answer history is returned in.
inline constexpr size_t kHistoryBlockMax = 4088;

// The history block of MsgTable record `index`: a 4-byte little-endian entry size (answer
// length + 4) followed by the oldest entries. Entries returned leave the history and give back
// their places; entries that do not fit stay for the next request, so nothing is lost.
std::string TakeHistory(Server& s, size_t index);

}  // namespace ecub
