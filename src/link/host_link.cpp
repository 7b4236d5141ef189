#include "link/host_link.h"

#include <algorithm>
#include <exception>

#include "server/clock.h"
#include "server/server.h"

namespace ecub {

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
    const size_t announced = AnnouncedHostLength(buffered);
    if (announced < kHostHeaderSize) {
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
    const size_t announced = AnnouncedHostLength(buffered);
    if (announced < kHostHeaderSize || buffered.size() >= announced) return 0;  // ready now
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
  // One step: a slot is used up only when the entry was really stored, so the free slots and
  // the stored entries always add up to the history's size.
  step([&] {
    AppendHistoryEntry(*record, HistoryTimeBytes(record->MsgLastTime_ms), answer);
    if (record->MsgHistoryLeft > 0) {
      --record->MsgHistoryLeft;
    } else {
      DropOldestHistoryEntry(*record);
    }
  });
}

}  // namespace ecub
