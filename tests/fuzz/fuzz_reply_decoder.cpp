// The reply decoder of the tools: any bytes as a whole reply, and any data under any header
// as the host tool shows it, in words and as JSON.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/host_messages.h"
#include "common/json.h"
#include "fuzz_support.h"

namespace {

using ecub::tools::Reply;

void Show(const Reply& r, const std::string& instruction) {
  const std::string text = ecub::tools::ReplyText(r);
  FUZZ_CHECK(!text.empty() && text.back() == '\n', text);
  const std::string json = ecub::tools::ReplyJson(r, instruction);
  FUZZ_CHECK(nlohmann::json::accept(json), json);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // The bytes as a whole reply: taken only when the length field says exactly their size.
  if (const auto reply = ecub::DecodeReply(bytes)) {
    FUZZ_CHECK(size >= 8 && ecub::ReplyLength(bytes) == size, std::to_string(size));
    FUZZ_CHECK(reply->length == size && reply->data == bytes.substr(8), std::to_string(size));
    Show(*reply, "raw");
  }

  // The same bytes as header fields and data, without the length check, so every decoder of
  // reply data sees them. The instruction text is shown in the JSON as given.
  ecub::fuzz::Input in(data, size);
  Reply r;
  r.code = static_cast<uint8_t>(in.Byte() % 16);
  r.result = static_cast<uint8_t>(in.Byte() % 6);
  r.link_status = in.Byte();
  r.poll_mode = in.Byte();
  r.porta_com = in.Byte();
  const std::string instruction = in.Bytes(in.Byte() % 16);
  r.data = in.Rest();
  r.length = r.data.size() + 8;
  Show(r, instruction);

  // Histories are cut into whole entries of the announced size; what is left is shorter than
  // one entry.
  const ecub::tools::History h = ecub::tools::SplitHistory(r.data);
  FUZZ_CHECK(h.has_size == (r.data.size() >= 4), std::to_string(r.data.size()));
  if (h.has_size && h.entry_size >= 4) {
    size_t total = 4 + h.rest.size();
    for (const auto& e : h.entries) {
      FUZZ_CHECK(e.answer.size() + 4 == h.entry_size, std::to_string(e.answer.size()));
      total += h.entry_size;
    }
    FUZZ_CHECK(total == r.data.size(), std::to_string(total));
    FUZZ_CHECK(h.rest.size() < h.entry_size, std::to_string(h.rest.size()));
  }

  // USB lists: 28-byte pairs, fields trimmed to their widths.
  std::string rest;
  const auto devices = ecub::tools::SplitUsbList(r.data, rest);
  FUZZ_CHECK(devices.size() * 28 + rest.size() == r.data.size() && rest.size() < 28,
             std::to_string(devices.size()));
  for (const auto& d : devices) {
    FUZZ_CHECK(d.serial.size() <= 8 && d.description.size() <= 20, d.serial + "|" + d.description);
  }
  return 0;
}
