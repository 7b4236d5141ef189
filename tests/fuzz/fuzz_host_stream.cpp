// The host byte stream through the main loop: a whole server on the fake platform, with a
// simulated control unit on COM5 or a USB interface, fed host messages whose bytes arrive in
// pieces at fuzzer-chosen points and times, and stray bytes now and then.
//
// What must hold for every input:
// - every reply's length field equals its length;
// - every complete message gets exactly one reply, in order, with its code; the one exception
//   is instruction 6 while polling is in an unknown mode, which gets none; after the loop has
//   ended (quit, or the watched process gone) nothing more is answered;
// - the server's buffers and histories stay bounded.
//
// Speed: a run is a few hundred loop passes. The settings keep every protocol time short (a
// 20 ms answer time-out, no retries, 20 us per byte sent), the virtual clock moves 10 us per
// reading so the waits spin only a few times, the unit's answers mostly arrive whole rather
// than byte by byte, and an input holds at most kMaxSegments host messages. Time-outs the host
// sets with instruction 8 are kept below 256 ms: longer ones only make a silent unit's
// transaction longer in virtual time and reach no other code.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "codec/hex.h"
#include "codec/host_codec.h"
#include "fuzz_support.h"
#include "link/host_link.h"
#include "server/server.h"
#include "sim/ecu_sim.h"
#include "sim/fake_platform.h"

namespace {

using ecub::ByteAt;
using ecub::EcuSim;
using ecub::FakePlatform;

constexpr size_t kMaxSegments = 12;
constexpr size_t kMaxRecords = 3;
constexpr int kUnitPort = 5;
constexpr size_t kHistoryBlockMax = 4088;
// No answer the unit gives, with what may trail it in the same read, comes near this.
constexpr size_t kMaxStoredAnswer = 1024;
// A run that needs more loop passes than this has stopped making progress.
constexpr int kMaxPasses = 200000;

std::string Settings(uint8_t flags, uint8_t records, uint8_t timing,
                     const std::vector<std::string>& frames) {
  std::string text =
      "[AttesaGlobale_usec]\r\n20000\r\n[Idle_usec]\r\n2000\r\n[AttesaByteTx_usec]\r\n20\r\n"
      "[NumResend]\r\n0\r\n[AutoSpegnimento_usec]\r\n1000000\r\n";
  text += std::string("[LOG]\r\n") + ((flags & 1) != 0 ? "1" : "0") + "\r\n";
  text += "[CRIPT PROTO]\r\n" + std::to_string((flags >> 4) & 3) + "\r\n";
  for (size_t i = 0; i < frames.size(); ++i) {
    const bool timed = (records >> (2 + i)) & 1;
    const bool cyclic = (timing >> i) & 1;
    const int period_ms = 20 + 40 * ((timing >> 3) & 3);
    // Long histories reach the cut of the 4088-byte block that instruction 7 hands out.
    static constexpr int kHistorySizes[] = {0, 1, 2, 3, 4, 6, 64, 200};
    const int history = kHistorySizes[timing >> 5];
    text += "[MSG]\r\n" + std::to_string(i + 1) + "\r\nvalues\r\n" + ecub::BytesToHex(frames[i]) +
            "\r\n" + (timed ? "1" : "0") + "\r\n" + std::to_string(period_ms) + "\r\n" +
            std::to_string(history) + "\r\n\r\n" + (cyclic ? "1" : "0") + "\r\n";
  }
  return text;
}

// One part of the host stream: a whole message, or stray bytes.
struct Part {
  bool stray = false;
  uint8_t code = 0;
  bool has_argument = false;
  size_t replies_before = 0;  // stray bytes: the replies before and after them
  size_t replies_after = 0;
};

class Run {
 public:
  Run() : s_(p_, "/app") {}

  void Go(ecub::fuzz::Input& in) {
    Configure(in);
    ecub::ServerStartup(s_);
    for (size_t n = 0; n < kMaxSegments && !in.empty() && running_; ++n) Send(in);
    if (running_) Settle();
    if (running_) RunFor(30000);  // a little idle time for the polling
    Check();
    // Shutdown closes the port, whatever happened before: no serial port or USB interface is
    // left held, and none is forgotten while still open.
    ecub::ServerShutdown(s_);
    FUZZ_CHECK(s_.HandlePorta == 0 || s_.HandlePorta == ecub::kInvalidHandle,
               "shutdown leaves HandlePorta set");
    FUZZ_CHECK(p_.open_serial.empty(), "shutdown leaves a serial port open");
    for (const FakePlatform::UsbDevice& d : p_.usb_devices) {
      FUZZ_CHECK(!d.open, "shutdown leaves USB interface " + d.serial + " open");
    }
  }

 private:
  void Configure(ecub::fuzz::Input& in) {
    const uint8_t flags = in.Byte();
    const uint8_t fault = in.Byte();
    const uint8_t records = in.Byte();
    const uint8_t timing = in.Byte();
    p_.read_step_ns = 10000;
    p_.processes = {"host.exe"};

    EcuSim::Config config;
    config.short_ident = (flags & 4) != 0;
    config.scrambled = (flags & 8) != 0;
    // An answer that arrives whole costs one look at the port; byte by byte, one per byte.
    config.baud = (flags & 0x80) != 0 ? 38400 : 0;
    unit_.config = config;
    if ((fault & 0x0F) != 0 && (fault & 0x0F) <= 11) {
      const int count = (fault >> 4) == 15 ? EcuSim::kForever : (fault >> 4) + 1;
      unit_.Inject(static_cast<EcuSim::Fault>((fault & 0x0F) - 1), count);
    }
    if ((flags & 2) != 0) {
      // Bit 6: a second interface with nothing behind it.
      p_.usb_devices.resize((flags & 0x40) != 0 ? 2 : 1);
      for (size_t i = 0; i < p_.usb_devices.size(); ++i) {
        p_.usb_devices[i].serial = "FT00000" + std::to_string(i + 1);
        p_.usb_devices[i].description = "ECU USB";
      }
      p_.usb_devices[0].link = &unit_;
    } else {
      p_.com_ports[kUnitPort] = &unit_;
    }
    for (size_t i = 0; i < (records & 3u) && i < kMaxRecords; ++i) {
      // Bit 7: the second record asks the same as the first.
      const bool same = i == 1 && (records & 0x80) != 0;
      frames_.push_back(
          same ? frames_[0]
               : EcuSim::RequestFrame(EcuSim::kCmdReadMem1, std::string(1, static_cast<char>(i))));
    }
    p_.files["/app/SetComVarno.ini"] = Settings(flags, records, timing, frames_);
  }

  void Send(ecub::fuzz::Input& in) {
    const uint8_t kind = in.Byte();
    std::string bytes;
    Part seg;
    switch (kind & 3) {
      case 0: {  // any instruction, any argument
        const uint8_t c = in.Byte();
        seg.code = c < 240 ? c % 15 : c;
        std::string argument = in.Bytes(in.Byte() % 41);
        if (seg.code == 8 && argument.size() >= 2) argument[1] = '\0';
        seg.has_argument = !argument.empty();
        bytes = ecub::EncodeHostMessage(seg.code, argument);
        break;
      }
      case 1: {  // the identification the unit gives, or a near miss
        std::string ident = unit_.ExpectedIdentity();
        const uint8_t spoil = in.Byte();
        if ((spoil & 0x80) != 0) ident[spoil % ident.size()] ^= static_cast<char>(in.Byte() | 1);
        seg.code = 10;
        bytes = ecub::EncodeHostMessage(10, ident);
        break;
      }
      case 2: {  // a polled message's answer or history, or its time switch
        const uint8_t pick = in.Byte();
        // One of the records' frames, or one that no record holds.
        const size_t index = (pick >> 2) % (frames_.size() + 1);
        const std::string frame = index < frames_.size()
                                      ? frames_[index]
                                      : EcuSim::RequestFrame(EcuSim::kCmdReadMem1, "\x09");
        if ((pick & 3) == 3) {
          seg.code = 11;
          bytes = ecub::EncodeHostMessage(11, std::string(1, static_cast<char>((pick >> 2) % 4)) +
                                                  std::string(1, static_cast<char>(in.Byte() & 1)));
        } else {
          seg.code = (pick & 1) != 0 ? 7 : 6;
          seg.has_argument = true;
          bytes = ecub::EncodeHostMessage(seg.code, frame);
        }
        break;
      }
      default:  // stray bytes
        seg.stray = true;
        bytes = in.Bytes(in.Byte() % 65 + 1);
        break;
    }
    // The host may write before the last reply has come; stray bytes always come alone.
    const bool pipelined = (kind & 0x10) != 0 && !seg.stray;
    if (!pipelined && !Settle()) return;
    if (seg.stray) seg.replies_before = p_.replies.size();

    // Up to three cuts, each piece 0 to 25.5 ms after the one before: a message is always
    // whole within the 100 ms the server waits for the rest of it. The first piece comes 0 to
    // 28 ms after the last byte sent before.
    double at = std::max(p_.NowUsec(), last_arrival_usec_) + ((kind >> 5) & 7) * 4000.0;
    size_t from = 0;
    for (int cuts = (kind >> 2) & 3; cuts > 0 && from < bytes.size(); --cuts) {
      const size_t to = from + in.Byte() % (bytes.size() - from + 1);
      Deliver(bytes.substr(from, to - from), at);
      from = to;
      at += in.Byte() * 100.0;
    }
    Deliver(bytes.substr(from), at);

    if (seg.stray) {
      Settle();
      seg.replies_after = p_.replies.size();
    }
    parts_.push_back(seg);
  }

  void Deliver(const std::string& bytes, double at_usec) {
    if (bytes.empty()) return;
    p_.HostSend(bytes, at_usec - p_.NowUsec());
    last_arrival_usec_ = std::max(last_arrival_usec_, at_usec);
  }

  bool Pass() {
    FUZZ_CHECK(++passes_ <= kMaxPasses, "the loop makes no progress");
    // The fake platform's record of every port call is not looked at here; kept short, it
    // costs no reallocation.
    p_.port_calls.clear();
    if (!ecub::LoopPass(s_)) running_ = false;
    return running_;
  }

  // Runs the loop until everything sent has arrived and been taken; false when it ended.
  bool Settle() {
    while (running_) {
      uint32_t waiting = 0;
      const bool quiet = p_.NowUsec() >= last_arrival_usec_ && p_.HostPeek(waiting) &&
                         waiting == 0 && s_.host_stream.buffered.empty() &&
                         s_.PendingMessage.empty();
      if (quiet) return true;
      Pass();
    }
    return false;
  }

  void RunFor(double usec) {
    const double end = p_.NowUsec() + usec;
    while (running_ && p_.NowUsec() < end) Pass();
  }

  void Check() {
    const std::vector<std::string>& replies = p_.replies;
    bool watched = false;
    for (const std::string& r : replies) {
      FUZZ_CHECK(r.size() >= 8 && ecub::ReplyLength(r) == r.size() && ByteAt(r, 4) == 0,
                 ecub::BytesToHex(r.substr(0, 8)));
      const uint8_t code = ByteAt(r, 2);
      const uint8_t result = ByteAt(r, 7);
      if (code == 14 && result == 0) watched = true;
      if (code == 7 && result == 0) {
        // A history: the 4-byte entry size, then at most the block limit.
        FUZZ_CHECK(r.size() >= 12 && r.size() - 8 <= kHistoryBlockMax, std::to_string(r.size()));
      }
    }

    // One reply per complete message, in order.
    size_t next = 0;
    uint8_t poll_mode = 0;
    for (size_t k = 0; k < parts_.size(); ++k) {
      const Part& seg = parts_[k];
      if (!running_ && next == replies.size()) break;  // the server ended before it
      if (seg.stray) {
        FUZZ_CHECK(next == seg.replies_before, "message " + std::to_string(k));
        next = seg.replies_after;
        if (next > seg.replies_before) poll_mode = ByteAt(replies[next - 1], 5);
        continue;
      }
      // An accepted instruction 6 while polling is in an unknown mode gets no reply.
      if (seg.code == 6 && seg.has_argument && poll_mode > 2) continue;
      FUZZ_CHECK(next < replies.size(), "message " + std::to_string(k) + " code " +
                                            std::to_string(seg.code) + " got no reply");
      const std::string& r = replies[next++];
      FUZZ_CHECK(ByteAt(r, 2) == seg.code, "message " + std::to_string(k) + " answered as code " +
                                               std::to_string(ByteAt(r, 2)));
      FUZZ_CHECK(seg.code < 15 ? ByteAt(r, 7) <= 4 : ByteAt(r, 7) == 2,
                 ecub::BytesToHex(r.substr(0, 8)));
      poll_mode = ByteAt(r, 5);
    }
    FUZZ_CHECK(next == replies.size(),
               std::to_string(replies.size() - next) + " replies to no message");
    // The loop ends only after a quit or when the watched process is gone.
    if (!running_) {
      const bool quit = !replies.empty() && ByteAt(replies.back(), 2) == 1;
      FUZZ_CHECK(quit || watched, "the server ended by itself");
    }

    // Bounded memory: nothing buffered beyond one message, histories within their places.
    const size_t held = std::max(s_.host_stream.buffered.size(), s_.PendingMessage.size());
    FUZZ_CHECK(held <= ecub::kLongestHostMessage, std::to_string(held));
    FUZZ_CHECK(s_.MsgTable.size() == std::max<size_t>(frames_.size(), 1),
               std::to_string(s_.MsgTable.size()));
    for (const ecub::MsgRecord& r : s_.MsgTable) {
      const size_t places = r.MsgHistoryMax > 0 ? static_cast<size_t>(r.MsgHistoryMax) : 0;
      FUZZ_CHECK(
          r.MsgHistory.size() <= places * (4 + kMaxStoredAnswer) &&
              r.MsgLastAnswer.size() <= kMaxStoredAnswer,
          std::to_string(r.MsgHistory.size()) + " " + std::to_string(r.MsgLastAnswer.size()));
    }
    FUZZ_CHECK(s_.RxBuffer.size() <= kMaxStoredAnswer, std::to_string(s_.RxBuffer.size()));
  }

  FakePlatform p_;
  ecub::Server s_;
  EcuSim unit_;
  std::vector<std::string> frames_;
  std::vector<Part> parts_;
  double last_arrival_usec_ = 0;
  int passes_ = 0;
  bool running_ = true;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ecub::fuzz::Input in(data, size);
  Run run;
  run.Go(in);
  return 0;
}
