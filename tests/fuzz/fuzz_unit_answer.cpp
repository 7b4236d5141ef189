// The unit's answers to one command transaction: any bytes, arriving in chunks at any times
// from the request's first byte on, over a serial port or a USB interface, with or without
// retries, scrambling, the traffic log and host messages read while the transaction waits.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <string>
#include <utility>

#include "codec/hex.h"
#include "codec/host_codec.h"
#include "crypt/crypt.h"
#include "fuzz_support.h"
#include "link/host_link.h"
#include "link/port.h"
#include "link/transaction.h"
#include "server/server.h"
#include "server/traffic_log.h"
#include "sim/fake_platform.h"

namespace {

using ecub::ByteAt;

// The far end of the line: plays a script of timed chunks, the clock starting at the first
// byte the server writes. A close loses what has not been read, as on a real port.
class ChunkLink : public ecub::ScheduledLink {
 public:
  struct Chunk {
    double after_usec;  // after the previous chunk (the first: after the first byte written)
    std::string bytes;
  };
  std::deque<Chunk> script;
  size_t written = 0;  // bytes the server put on the wire

  void OnByte(uint8_t, double now_usec) override {
    if (written++ == 0) {
      double at = now_usec;
      for (Chunk& c : script) {
        at += c.after_usec;
        Schedule(at, std::move(c.bytes));
      }
      script.clear();
    }
  }
  void OnClose(double) override { Forget(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ecub::fuzz::Input in(data, size);
  const uint8_t flags = in.Byte();
  const bool usb = (flags & 1) != 0;
  const bool poll_host = (flags & 4) != 0;
  const int num_resend = (flags >> 4) & 3;
  const uint8_t command = in.Byte();
  const std::string request_data = in.Bytes(in.Byte() % 8);
  const double timeout_usec = (in.Byte() % 64 + 1) * 1000.0;

  ecub::FakePlatform p;
  p.read_step_ns = 10000;  // every clock read moves 10 us on, so spinning waits end quickly
  ecub::Server s(p, "/app");
  s.settings.LOG = (flags & 2) != 0;
  s.settings.NumResend = static_cast<int16_t>(num_resend);
  s.settings.AttesaByteTx_usec = 200;
  s.settings.Idle_usec = 1000;
  s.AttesaGlobaleCorrente = timeout_usec;
  if (s.settings.LOG) ecub::ApriLog(s);
  s.StartTime_usec = p.NowUsec();
  ecub::ImpostaTabelleProto(s.tables, (flags & 8) != 0);

  ChunkLink link;
  if (usb) {
    p.usb_devices.resize(1);
    p.usb_devices[0].link = &link;
    s.PortaCom = 0;
    s.IndiceUsb = 0;
  } else {
    p.com_ports[3] = &link;
    s.PortaCom = 3;
  }
  FUZZ_CHECK(ecub::ApriPorta(s), "the port must open");
  s.LinkStatus = 1;

  const std::string frame = ecub::BuildFrame(0x41, 0x02, command, request_data);
  // A polled message with this request, so host messages asking for it are answered at once.
  s.MsgTable[0].MsgRequest = frame;
  s.MsgTable[0].MsgCyclic = true;
  s.MsgTable[0].MsgHistoryMax = 2;
  ecub::ResetMsgRecord(s.MsgTable, 0);
  s.MsgTable[0].MsgLastAnswer = "\x44\x01\x03\x0C\x4A";

  size_t host_messages = 0;
  if (poll_host) {
    for (int n = in.Byte() % 4; n > 0; --n) {
      const double delay = in.Byte() * 1000.0;
      const uint8_t code = in.Byte();
      const std::string argument = (code & 0x80) != 0 ? frame : in.Bytes(in.Byte() % 8);
      p.HostSend(ecub::EncodeHostMessage(code & 0x0F, argument), delay);
      ++host_messages;
    }
  }

  size_t answer_bytes = 0;
  while (!in.empty()) {
    const uint8_t timing = in.Byte();
    // Mostly within the answer time-out; now and then far beyond it.
    const double after = (timing & 0x80) != 0 ? (timing & 0x7F) * 5000.0 : timing * 100.0;
    std::string bytes = in.Bytes(in.Byte() % 32 + 1);
    answer_bytes += bytes.size();
    link.script.push_back({after, std::move(bytes)});
  }

  const double start = p.NowUsec();
  std::string answer = "stale";
  const bool ok = ecub::SendCommand(s, frame, answer, poll_host ? 1 : 0);
  const double elapsed = p.NowUsec() - start;

  // Each attempt sends the frame once at most, and there are NumResend + 1 of them at most.
  FUZZ_CHECK(link.written <= frame.size() * static_cast<size_t>(num_resend + 1),
             std::to_string(link.written));
  // Every attempt ends at its deadline: sending, the pause, the answer time-out and one look
  // at the port past it, plus the close after the last.
  const double attempt_bound = frame.size() * (200.0 + 100.0) + 2 * 1000.0 + timeout_usec + 10000;
  FUZZ_CHECK(elapsed <= (num_resend + 1) * attempt_bound + 50000, std::to_string(elapsed));
  FUZZ_CHECK(s.RxBuffer.size() <= answer_bytes, std::to_string(s.RxBuffer.size()));
  FUZZ_CHECK(!s.CommError, "the error flag must not outlive the transaction");

  if (ok) {
    // Only an answer that passes every check is taken: start, length, echo, outcome, checksum.
    const auto a = [&](size_t i) { return ByteAt(answer, i); };
    FUZZ_CHECK(answer == s.RxBuffer && answer.size() >= 4 && answer.size() >= a(2) + 2u &&
                   (a(0) == 0x44 || a(0) == 0x42) && a(1) == 0x01 && a(3) == command &&
                   ecub::FrameChecksum(answer) == 0 &&
                   (answer.size() <= 4 || (a(4) != 0xFE && a(4) != 0xFF)),
               ecub::BytesToHex(answer));
    FUZZ_CHECK(s.LinkStatus == 1 && s.HandlePorta != 0, "a good answer keeps the link");
  } else {
    FUZZ_CHECK(answer.empty(), ecub::BytesToHex(answer));
    FUZZ_CHECK(s.LinkStatus == 0 && s.HandlePorta == 0, "a failed transaction closes the port");
  }

  // Host messages read while waiting: every reply whole, never more replies than messages.
  FUZZ_CHECK(p.replies.size() <= host_messages, std::to_string(p.replies.size()));
  for (const std::string& reply : p.replies) {
    FUZZ_CHECK(reply.size() >= 8 && ecub::ReplyLength(reply) == reply.size(),
               ecub::BytesToHex(reply));
  }
  return 0;
}
