#include "host/host_link.h"

#include <algorithm>
#include <exception>

#include "host/clock.h"
#include "host/server.h"

namespace ecub {

namespace {

constexpr size_t kHeaderSize = 8;
// The reply's length field is 16 bits wide.
constexpr size_t kMaxReplyData = 65535 - kHeaderSize;

unsigned Byte(const std::string& bytes, size_t offset) {
  return static_cast<unsigned char>(bytes[offset]);
}

// The length a message announces: low part plus 255 times the high part.
size_t AnnouncedLength(const std::string& bytes) {
  return Byte(bytes, 0) + 255u * Byte(bytes, 1);
}

}  // namespace

void PullHostPipe(Server& s) {
  const size_t held = s.host_stream.buffered.size();
  if (held >= kMaxHostBuffered) return;  // a whole message is held: take it first
  uint32_t available = 0;
  if (!s.platform.HostPeek(available) || available == 0) return;
  const uint32_t count =
      static_cast<uint32_t>(std::min<size_t>(available, kMaxHostBuffered - held));
  std::string bytes;
  if (!s.platform.HostRead(count, bytes)) return;
  if (s.host_stream.buffered.empty()) s.host_stream.since_usec = TimerApi_uSec(s);
  s.host_stream.buffered += bytes;
}

// The pipe is a byte stream: messages are cut by their own length field, so messages that
// arrive together are handled one by one and a message that arrives in pieces is completed
// from later reads. Bytes that cannot form a message are handed over whole, to be answered
// with a length error.
void TakeHostMessage(Server& s, std::string& message) {
  message.clear();
  HostStream& stream = s.host_stream;
  std::string& buffered = stream.buffered;
  if (buffered.empty()) return;
  if (buffered.size() >= 2) {
    const size_t announced = AnnouncedLength(buffered);
    if (announced < kHeaderSize) {
      // No message is that short: the stream has lost its framing, so drop what is buffered.
      message.swap(buffered);
      buffered.clear();
      return;
    }
    if (buffered.size() >= announced) {
      message = buffered.substr(0, announced);
      buffered.erase(0, announced);
      if (!buffered.empty()) stream.since_usec = TimerApi_uSec(s);
      return;
    }
  }
  if (TimerApi_uSec(s) - stream.since_usec > kReassemblyLimit_usec) {
    message.swap(buffered);
    buffered.clear();
  }
}

double HostStreamDeadline(const Server& s) {
  const std::string& buffered = s.host_stream.buffered;
  if (buffered.empty()) return -1;
  if (buffered.size() >= 2) {
    const size_t announced = AnnouncedLength(buffered);
    if (announced < kHeaderSize || buffered.size() >= announced) return 0;  // ready now
  }
  return s.host_stream.since_usec + kReassemblyLimit_usec;
}

void ReadHostMessage(Server& s) {
  if (!s.PendingMessage.empty()) {
    s.HostMessage = std::move(s.PendingMessage);
    s.PendingMessage.clear();
    return;
  }
  PullHostPipe(s);
  TakeHostMessage(s, s.HostMessage);
}

int32_t ParseHostMessage(const std::string& message, int32_t& code, std::string& argument) {
  int32_t result = kParseOk;
  const size_t length = message.size();
  if (length < kHeaderSize || AnnouncedLength(message) != length) result = kParseLength;
  code = -1;
  if (result == kParseOk) {
    code = static_cast<int32_t>(Byte(message, 2));
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
      argument = message.substr(kHeaderSize);
      break;
    case 3:
    case 4:
      if (length > kHeaderSize) {
        argument = message.substr(kHeaderSize, 1);
      } else {
        result = kParseArgument;
      }
      break;
    case 11:
      if (length > kHeaderSize + 1) {
        argument = message.substr(kHeaderSize, 2);
      } else {
        result = kParseArgument;
      }
      break;
    case 12:
      if (length == kHeaderSize + 20) {
        argument = message.substr(kHeaderSize, 20);
      } else {
        result = kParseArgument;
      }
      break;
    default:  // 6, 7, 8, 9, 10, 13, 14: everything after the header, at least one byte
      if (length > kHeaderSize) {
        argument = message.substr(kHeaderSize);
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
  const size_t length = body.size() + kHeaderSize;
  std::string reply(kHeaderSize, '\0');
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

void SendReply(Server& s, int32_t code, int32_t result, const std::string& data) {
  // A failed write means the host has gone; the loop carries on regardless.
  s.platform.HostWrite(BuildReply(code, s.LinkStatus, 0, s.PollMode, s.PortaCom, result, data));
}

std::string HistoryTimeBytes(int32_t time_ms) {
  const uint32_t t = static_cast<uint32_t>(time_ms);
  // Two 16-bit halves, low half first, each with its high byte first.
  return {static_cast<char>((t >> 8) & 0xFF), static_cast<char>(t & 0xFF),
          static_cast<char>((t >> 24) & 0xFF), static_cast<char>((t >> 16) & 0xFF)};
}

void ScomponiMessaggio(Server& s, std::string request, std::string answer) {
  // Each step runs on its own: one that fails is shown and the next still runs. It is reached
  // from the idle path too, where nothing else would catch a failure.
  const auto step = [&s](auto&& action) {
    try {
      action();
    } catch (const std::exception& e) {
      s.platform.ShowMessage(std::string("ScomponiMessaggio_Err") + e.what(), "ecubridge");
    }
  };
  MsgRecord* record = nullptr;
  step([&] {
    auto it = std::find_if(s.MsgTable.begin(), s.MsgTable.end(),
                           [&](const MsgRecord& r) { return r.MsgRequest == request; });
    if (it != s.MsgTable.end()) record = &*it;
  });
  if (record == nullptr) return;
  step([&] { record->MsgLastAnswer = answer; });
  // The stamp wraps after 2^31 ms (24.8 days) instead of failing, so a long-running server keeps
  // storing answers; the history keeps the same 32 bits either way.
  step([&] { record->MsgLastTime_ms = static_cast<int32_t>(static_cast<uint32_t>(ElapsedMs(s))); });
  step([&] { AppendHistoryEntry(*record, HistoryTimeBytes(record->MsgLastTime_ms), answer); });
  step([&] {
    if (record->MsgHistoryLeft > 0) {
      --record->MsgHistoryLeft;
    } else {
      DropOldestHistoryEntry(*record);
    }
  });
}

}  // namespace ecub
