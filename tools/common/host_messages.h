// Host messages and the server's replies as the host tool builds and shows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/host_codec.h"

namespace ecub::tools {

// Replies as the server's reply decoder gives them.
using Reply = HostReply;

std::string InstructionName(uint8_t code);  // "echo", "connect", ...; "code N" beyond 14
std::string ResultText(uint8_t result);
std::string LinkStatusText(uint8_t link_status);
std::string PollModeText(uint8_t poll_mode);
std::string PortText(uint8_t porta_com);  // "USB" or "COMn"

// The time of a history entry from its four stamp bytes, which hold bits 8-15, 0-7, 24-31 and
// 16-23 of the millisecond time, in that order.
uint32_t HistoryTime(const std::string& stamp);

struct HistoryEntry {
  uint32_t time_ms = 0;
  std::string answer;
};
struct History {
  bool has_size = false;  // the 4-byte size prefix was there
  uint32_t entry_size = 0;
  std::vector<HistoryEntry> entries;
  std::string rest;  // bytes that do not make a whole entry (a history cut at its size limit)
};
// Cuts a history block: a little-endian 32-bit entry size, then entries of that size.
History SplitHistory(const std::string& data);

struct UsbDevice {
  std::string serial;       // 8 characters, trailing blanks removed
  std::string description;  // 20 characters, trailing blanks removed
};
// Cuts a USB interface list into 28-byte pairs; bytes of an incomplete last pair go to `rest`.
std::vector<UsbDevice> SplitUsbList(const std::string& data, std::string& rest);

// The reply as text lines for a reader, and as one JSON object. `instruction` is what the
// host asked for, as the user wrote it.
std::string ReplyText(const Reply& reply);
std::string ReplyJson(const Reply& reply, const std::string& instruction);
// Why the reply tells of a failure: a refusal (a result other than 0), a connect that found no
// unit, a scan that found none, a relay that got no answer. Empty when it tells of none.
std::string ReplyFailure(const Reply& reply);
// "LinkStatus 1 (linked), PollMode 0 (timed), PortaCom 5 (COM5)".
std::string StatusText(const Reply& reply);

}  // namespace ecub::tools
