#include "common/host_messages.h"

#include <algorithm>

#include "codec/hex.h"
#include "common/frames.h"
#include "common/text.h"

namespace ecub::tools {

namespace {

// Reply data offsets of instructions 3 and 13: the port byte, a blank, then the unit's answer.
constexpr size_t kPortAnswerOffset = 2;
// The unit's identification text starts after a 12-byte head of its answer frame.
constexpr size_t kIdentTextOffset = 12;
constexpr size_t kUsbSerialSize = 8;
constexpr size_t kUsbDescriptionSize = 20;
constexpr size_t kHistoryStampSize = 4;

uint32_t LittleEndian(const std::string& bytes) {
  uint32_t v = 0;
  for (size_t i = std::min<size_t>(bytes.size(), 4); i-- > 0;) v = (v << 8) | ByteAt(bytes, i);
  return v;
}

std::string TrimRight(const std::string& text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  return text.substr(0, end);
}

// The text of an identification answer: what follows its head, without the checksum.
std::string IdentText(const std::string& answer) {
  const FrameFields f = SplitFrame(answer);
  if (!f.complete || f.expected_size <= kIdentTextOffset + 1) return {};
  return answer.substr(kIdentTextOffset, f.expected_size - 1 - kIdentTextOffset);
}

bool HasPortAnswer(const Reply& r) {
  return (r.code == 3 || r.code == 13) && r.result == 0 && !r.data.empty();
}

}  // namespace

std::string InstructionName(uint8_t code) {
  static const char* const kNames[] = {
      "echo",    "quit",      "close", "connect", "poll-mode", "usb-list", "send",  "history",
      "timeout", "byte-wait", "ident", "timed",   "usb-desc",  "scan",     "watch",
  };
  if (code < std::size(kNames)) return kNames[code];
  return "code " + std::to_string(code);
}

std::string ResultText(uint8_t result) {
  switch (result) {
    case 0:
      return "done";
    case 1:
      return "length error";
    case 2:
      return "unknown instruction code";
    case 3:
      return "argument refused or no such message";
    case 4:
      return "EEPROM operation failed";
    default:
      return "unknown result";
  }
}

std::string LinkStatusText(uint8_t link_status) {
  switch (link_status) {
    case 0:
      return "no unit";
    case 1:
      return "linked";
    case 7:
      return "searching";
    default:
      return "unknown";
  }
}

std::string PollModeText(uint8_t poll_mode) {
  if (poll_mode == 0) return "timed";
  if (poll_mode == 1) return "cyclic";
  return "off";
}

std::string PortText(uint8_t porta_com) {
  return porta_com == 0 ? "USB" : "COM" + std::to_string(porta_com);
}

uint32_t HistoryTime(const std::string& stamp) {
  if (stamp.size() < kHistoryStampSize) return 0;
  return (static_cast<uint32_t>(ByteAt(stamp, 2)) << 24) |
         (static_cast<uint32_t>(ByteAt(stamp, 3)) << 16) |
         (static_cast<uint32_t>(ByteAt(stamp, 0)) << 8) | ByteAt(stamp, 1);
}

History SplitHistory(const std::string& data) {
  History h;
  if (data.size() < 4) {
    h.rest = data;
    return h;
  }
  h.has_size = true;
  h.entry_size = LittleEndian(data.substr(0, 4));
  size_t at = 4;
  // An entry is a stamp and an answer; a size below that cannot step through the block.
  if (h.entry_size >= kHistoryStampSize) {
    while (data.size() - at >= h.entry_size) {
      h.entries.push_back({HistoryTime(data.substr(at, kHistoryStampSize)),
                           data.substr(at + kHistoryStampSize, h.entry_size - kHistoryStampSize)});
      at += h.entry_size;
    }
  }
  h.rest = data.substr(at);
  return h;
}

std::vector<UsbDevice> SplitUsbList(const std::string& data, std::string& rest) {
  constexpr size_t kPair = kUsbSerialSize + kUsbDescriptionSize;
  std::vector<UsbDevice> devices;
  size_t at = 0;
  for (; data.size() - at >= kPair; at += kPair) {
    devices.push_back({TrimRight(data.substr(at, kUsbSerialSize)),
                       TrimRight(data.substr(at + kUsbSerialSize, kUsbDescriptionSize))});
  }
  rest = data.substr(at);
  return devices;
}

std::string StatusText(const Reply& r) {
  return "LinkStatus " + std::to_string(r.link_status) + " (" + LinkStatusText(r.link_status) +
         "), PollMode " + std::to_string(r.poll_mode) + " (" + PollModeText(r.poll_mode) +
         "), PortaCom " + std::to_string(r.porta_com) + " (" + PortText(r.porta_com) + ")";
}

std::string ReplyText(const Reply& r) {
  std::string t = "  reply: code " + std::to_string(r.code) + " (" + InstructionName(r.code) +
                  "), result " + std::to_string(r.result) + " (" + ResultText(r.result) + ")\n";
  t += "  " + StatusText(r) + "\n";
  const auto line = [&t](const std::string& text) { t += "  " + text + "\n"; };
  if (const std::string failure = ReplyFailure(r); !failure.empty()) line("FAILED: " + failure);
  const std::string& d = r.data;
  if (r.result != 0) {
    if (!d.empty()) line("data: " + SpacedHex(d) + "  \"" + Printable(d) + "\"");
    if (r.code == 12 && (d == "1" || d == "0")) {
      line(d == "1" ? "the EEPROM could not be read" : "the EEPROM could not be written");
    } else if ((r.code == 6 || r.code == 7) && !d.empty()) {
      line("refused request: " + DescribeFrame(SplitFrame(d)));
    }
    return t;
  }
  switch (r.code) {
    case 3:
    case 13: {
      if (!HasPortAnswer(r)) {
        line("no data");
        break;
      }
      line("port " + std::to_string(ByteAt(d, 0)));
      const std::string answer = d.size() > kPortAnswerOffset ? d.substr(kPortAnswerOffset) : "";
      if (answer.empty()) {
        // The server keeps an answer only when it passed the frame checks.
        line("identification: no valid answer (none came, or it failed the frame checks)");
      } else {
        line("identification: " + DescribeFrame(SplitFrame(answer)));
        const std::string ident = IdentText(answer);
        if (!ident.empty()) line("identification text: \"" + Printable(ident) + "\"");
        // The server keeps its last answer when a port cannot even be opened.
        if (r.code == 3 && r.link_status == 0) {
          line(
              "(the last identification answer the server got: from this port unless it "
              "could not be opened)");
        }
      }
      break;
    }
    case 4:
      if (!d.empty())
        line("poll mode " + std::to_string(ByteAt(d, 0)) + " (" + PollModeText(ByteAt(d, 0)) + ")");
      break;
    case 5: {
      std::string rest;
      const std::vector<UsbDevice> devices = SplitUsbList(d, rest);
      if (devices.empty()) line("no USB interfaces");
      for (size_t i = 0; i < devices.size(); ++i) {
        line("USB " + std::to_string(i) + ": serial \"" + Printable(devices[i].serial) +
             "\", description \"" + Printable(devices[i].description) + "\"");
      }
      if (!rest.empty()) line("incomplete entry: " + SpacedHex(rest));
      break;
    }
    case 6:
      if (d.empty()) {
        line("no answer");
      } else {
        line("answer: " + DescribeFrame(SplitFrame(d)));
      }
      break;
    case 7: {
      const History h = SplitHistory(d);
      if (!h.has_size) {
        line("history: malformed (" + std::to_string(d.size()) + " bytes)");
        break;
      }
      line("history: entry size " + std::to_string(h.entry_size) + ", " +
           std::to_string(h.entries.size()) + (h.entries.size() == 1 ? " entry" : " entries"));
      for (const HistoryEntry& e : h.entries) {
        line("  " + std::to_string(e.time_ms) + " ms: " + DescribeFrame(SplitFrame(e.answer)));
      }
      if (!h.rest.empty()) line("  incomplete entry (" + std::to_string(h.rest.size()) + " bytes)");
      break;
    }
    case 8:
      line("answer time-out " + std::to_string(LittleEndian(d)) + " ms");
      break;
    case 9:
      line("wait after each byte " + std::to_string(LittleEndian(d)) + " us");
      break;
    case 11:
      if (d.size() >= 2) {
        line("message " + std::to_string(ByteAt(d, 0)) +
             (ByteAt(d, 1) != 0 ? " timed" : " not timed"));
      }
      break;
    case 12:
      line("description \"" + Printable(d) + "\"");
      break;
    default:  // 0, 10, 14 echo their argument; 1 and 2 have none
      if (!d.empty()) line("data: \"" + Printable(d) + "\"  " + SpacedHex(d));
      break;
  }
  return t;
}

namespace {

Json ReplyJsonObject(const Reply& r, const std::string& instruction) {
  // Texts that come from the host or the unit may hold any bytes: they go through JsonText.
  Json o;
  o["instruction"] = JsonText(instruction);
  o["code"] = r.code;
  o["name"] = InstructionName(r.code);
  o["length"] = r.length;
  o["link_status"] = r.link_status;
  o["link"] = LinkStatusText(r.link_status);
  o["poll_mode"] = r.poll_mode;
  o["poll"] = PollModeText(r.poll_mode);
  o["porta_com"] = r.porta_com;
  o["port"] = PortText(r.porta_com);
  o["result"] = r.result;
  o["result_text"] = ResultText(r.result);
  o["data"] = Hex(r.data);
  const std::string& d = r.data;
  if (r.result != 0) return o;
  switch (r.code) {
    case 0:
    case 10:
    case 14:
      o["text"] = JsonText(d);
      break;
    case 3:
    case 13:
      if (HasPortAnswer(r)) {
        o["port_number"] = ByteAt(d, 0);
        const std::string answer = d.size() > kPortAnswerOffset ? d.substr(kPortAnswerOffset) : "";
        if (!answer.empty()) {
          o["identification"] = FrameJson(SplitFrame(answer));
          o["identification_text"] = JsonText(IdentText(answer));
        }
      }
      break;
    case 5: {
      std::string rest;
      Json devices = Json::array();
      for (const UsbDevice& u : SplitUsbList(d, rest)) {
        devices.push_back(
            {{"serial", JsonText(u.serial)}, {"description", JsonText(u.description)}});
      }
      o["devices"] = std::move(devices);
      break;
    }
    case 6:
      if (!d.empty()) o["answer"] = FrameJson(SplitFrame(d));
      break;
    case 7: {
      const History h = SplitHistory(d);
      Json entries = Json::array();
      for (const HistoryEntry& e : h.entries) {
        entries.push_back({{"time_ms", e.time_ms}, {"answer", FrameJson(SplitFrame(e.answer))}});
      }
      o["history"] = {
          {"entry_size", h.entry_size}, {"entries", std::move(entries)}, {"rest", Hex(h.rest)}};
      break;
    }
    case 8:
    case 9:
      o["value"] = LittleEndian(d);
      break;
    case 4:
      if (!d.empty()) o["mode"] = ByteAt(d, 0);
      break;
    case 11:
      if (d.size() >= 2) {
        o["index"] = ByteAt(d, 0);
        o["timed"] = ByteAt(d, 1) != 0;
      }
      break;
    case 12:
      o["description"] = JsonText(d);
      break;
    default:
      break;
  }
  return o;
}

}  // namespace

std::string ReplyJson(const Reply& r, const std::string& instruction) {
  Json o = ReplyJsonObject(r, instruction);
  if (const std::string failure = ReplyFailure(r); !failure.empty()) o["failure"] = failure;
  return DumpJson(o);
}

std::string ReplyFailure(const Reply& r) {
  if (r.result != 0) {
    return "refused with result " + std::to_string(r.result) + " (" + ResultText(r.result) + ")";
  }
  switch (r.code) {
    case 3:
      if (r.link_status == 0) return "no unit with the expected identification was found";
      break;
    case 13:
      if (r.porta_com == 0) return "the scan found no unit with the expected identification";
      break;
    case 6:
      if (r.data.empty()) return "the relay failed: no checked answer after every attempt";
      break;
    default:
      break;
  }
  return std::string();
}

}  // namespace ecub::tools
