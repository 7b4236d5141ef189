// Test ends of the port: a scripted far end of the line, a platform that records the
// arguments of the driver calls, and a fixture with an open traffic log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codec/hex.h"
#include "link/port.h"
#include "server/server.h"
#include "server/traffic_log.h"
#include "sim/fake_platform.h"
#include "test_util.h"

namespace ecub::test {

// The far end of a line that answers from a script: bytes due at given virtual times, bytes
// sent once the server has written a given number of bytes, and one reply per request.
class ScriptedLink : public ScheduledLink {
 public:
  struct Piece {
    double delay_usec;  // after the request's last byte
    std::string bytes;  // as they arrive on the wire
  };
  using Reply = std::vector<Piece>;

  // Requests are cut from the received bytes by this size; 0 counts no requests.
  size_t request_size = 0;
  // Taken one per request; an empty reply, or none left, keeps the line silent.
  std::deque<Reply> replies;

  std::string received;  // every wire byte the server wrote, in order
  std::vector<double> received_at;
  int requests = 0;
  int closes = 0;

  // Bytes that arrive `delay_usec` after the server's `count`-th byte.
  void AfterBytes(size_t count, double delay_usec, const std::string& bytes) {
    triggers_[count] = Piece{delay_usec, bytes};
  }

  void OnByte(uint8_t wire_byte, double now_usec) override {
    received.push_back(static_cast<char>(wire_byte));
    received_at.push_back(now_usec);
    if (auto it = triggers_.find(received.size()); it != triggers_.end()) {
      Schedule(now_usec + it->second.delay_usec, it->second.bytes);
    }
    if (request_size == 0 || ++in_request_ < request_size) return;
    in_request_ = 0;
    ++requests;
    if (replies.empty()) return;
    for (const Piece& piece : replies.front()) Schedule(now_usec + piece.delay_usec, piece.bytes);
    replies.pop_front();
  }
  void OnClose(double) override { ++closes; }

 private:
  std::map<size_t, Piece> triggers_;
  size_t in_request_ = 0;
};

// The fake platform, recording the arguments of the calls whose values matter on the wire, with
// files that pass the readable check but whose reading fails.
class RecordingPlatform : public FakePlatform {
 public:
  std::vector<std::string> driver_args;  // "FT_SetChars 126 0 0 0", ...
  std::vector<uint32_t> purge_comm_flags;
  std::vector<uint32_t> read_counts;  // the count of every serial ReadFile
  std::set<std::string> unreadable;   // hides the fake platform's own set

  bool PurgeComm(int64_t handle, uint32_t flags) override {
    purge_comm_flags.push_back(flags);
    return FakePlatform::PurgeComm(handle, flags);
  }
  bool ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) override {
    read_counts.push_back(count);
    return FakePlatform::ReadFile(handle, count, out, read);
  }
  bool ReadWholeFile(const std::string& path, std::string& contents) override {
    return unreadable.count(path) == 0 && FakePlatform::ReadWholeFile(path, contents);
  }
  D2xx& Ftdi() override { return driver_; }

 private:
  class Driver : public D2xx {
   public:
    explicit Driver(RecordingPlatform& p) : p_(p) {}
    FtResult FT_ListDevices(void* a1, void* a2, uint32_t flags) override {
      const bool by_index = (flags & FT_LIST_BY_INDEX) != 0;
      Record("FT_ListDevices " +
             (by_index ? std::to_string(reinterpret_cast<uintptr_t>(a1)) : std::string("count")) +
             " " + HexNoPad(flags));
      return Base().FT_ListDevices(a1, a2, flags);
    }
    FtResult FT_Open(int device, int64_t* handle) override {
      return Record("FT_Open", Base().FT_Open(device, handle), device);
    }
    FtResult FT_SetBaudRate(int64_t h, uint32_t baud) override {
      return Record("FT_SetBaudRate", Base().FT_SetBaudRate(h, baud), baud);
    }
    FtResult FT_SetDataCharacteristics(int64_t h, uint8_t bits, uint8_t stop,
                                       uint8_t par) override {
      return Record("FT_SetDataCharacteristics",
                    Base().FT_SetDataCharacteristics(h, bits, stop, par), bits, stop, par);
    }
    FtResult FT_SetFlowControl(int64_t h, uint16_t flow, uint8_t xon, uint8_t xoff) override {
      return Record("FT_SetFlowControl", Base().FT_SetFlowControl(h, flow, xon, xoff), flow, xon,
                    xoff);
    }
    FtResult FT_SetTimeouts(int64_t h, uint32_t read_ms, uint32_t write_ms) override {
      return Record("FT_SetTimeouts", Base().FT_SetTimeouts(h, read_ms, write_ms), read_ms,
                    write_ms);
    }
    FtResult FT_SetChars(int64_t h, uint8_t ev, uint8_t on, uint8_t err, uint8_t err_on) override {
      return Record("FT_SetChars", Base().FT_SetChars(h, ev, on, err, err_on), ev, on, err, err_on);
    }
    FtResult FT_GetQueueStatus(int64_t h, uint32_t* rx) override {
      return Base().FT_GetQueueStatus(h, rx);
    }
    FtResult FT_Write(int64_t h, const void* buffer, uint32_t count, uint32_t* written) override {
      if (count != 1) Record("FT_Write of " + std::to_string(count));
      return Base().FT_Write(h, buffer, count, written);
    }
    FtResult FT_Read(int64_t h, void* buffer, uint32_t count, uint32_t* read) override {
      return Record("FT_Read", Base().FT_Read(h, buffer, count, read), count);
    }
    FtResult FT_Purge(int64_t h, uint32_t mask) override {
      return Record("FT_Purge", Base().FT_Purge(h, mask), mask);
    }
    FtResult FT_Close(int64_t h) override { return Base().FT_Close(h); }
    FtResult FT_EE_Read(int64_t h, FtProgramData* d) override { return Base().FT_EE_Read(h, d); }
    FtResult FT_EE_Program(int64_t h, FtProgramData* d) override {
      return Base().FT_EE_Program(h, d);
    }
    FtResult FT_SetLatencyTimer(int64_t h, uint8_t ms) override {
      return Record("FT_SetLatencyTimer", Base().FT_SetLatencyTimer(h, ms), ms);
    }

   private:
    D2xx& Base() { return p_.FakePlatform::Ftdi(); }
    void Record(const std::string& call) { p_.driver_args.push_back(call); }
    // "name v1 v2 ...", recorded after the call it names (no other call records in between).
    template <typename... V>
    FtResult Record(const char* name, FtResult result, V... values) {
      Record((name + ((" " + std::to_string(values)) + ...)));
      return result;
    }
    RecordingPlatform& p_;
  };
  Driver driver_{*this};
};

inline constexpr const char* kLogPath = "/app/RxTx.TXT";
inline constexpr const char* kHandleIniPath = "/app/Handle.ini";

// A server with LOG on, its log open and the clock origin at "now"; a scripted unit that can
// be plugged in as COM3 or as the only USB interface.
class LinkTest : public ::testing::Test {
 protected:
  LinkTest() {
    s.settings.LOG = true;
    ApriLog(s);
    s.StartTime_usec = p.NowUsec();
    ForgetLog();
  }

  // The log written since the fixture started or since the last ForgetLog, exactly.
  std::string Log() { return p.files[kLogPath].substr(log_mark_); }
  // The same without the millisecond stamp that starts every timed line (name lines have none).
  std::string LogText() { return std::regex_replace(Log(), std::regex("(^|\n)[0-9]+ "), "$1"); }
  void ForgetLog() { log_mark_ = p.files[kLogPath].size(); }

  bool OpenSerial(int port = 3) {
    p.com_ports[port] = &link;
    s.PortaCom = static_cast<uint8_t>(port);
    return ApriPorta(s);
  }
  bool OpenUsb() {
    p.usb_devices.push_back(Device("FT0001", "ECU USB", &link));
    s.PortaCom = 0;
    s.IndiceUsb = 0;
    return ApriPorta(s);
  }

  ScriptedLink link;
  RecordingPlatform p;
  Server s{p, "/app"};

 private:
  size_t log_mark_ = 0;
};

}  // namespace ecub::test
