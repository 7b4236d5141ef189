// A whole server in-process on the fake platform, with simulated control units.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/main_loop.h"
#include "codec/hex.h"
#include "link/host_link.h"
#include "server/server.h"
#include "sim/ecu_sim.h"
#include "sim/fake_platform.h"
#include "test_util.h"

namespace ecub::test {

// A "[MSG]" section of the settings file.
inline std::string MsgSection(const std::string& frame, bool timed, int period_ms, int history,
                              bool cyclic) {
  return "[MSG]\r\n1\r\ntext\r\n" + BytesToHex(frame) + "\r\n" + (timed ? "1" : "0") + "\r\n" +
         std::to_string(period_ms) + "\r\n" + std::to_string(history) + "\r\n\r\n" +
         (cyclic ? "1" : "0") + "\r\n";
}

// A request for the live engine values, with one data byte to tell requests apart.
inline std::string LiveRequest(uint8_t tag = 0) {
  return EcuSim::RequestFrame(EcuSim::kCmdReadMem1, std::string(1, static_cast<char>(tag)));
}

class ServerFixture : public ::testing::Test {
 protected:
  ServerFixture() : s(p, "/app") {}

  void Start(const std::string& settings = {}) {
    if (!settings.empty()) p.files["/app/SetComVarno.ini"] = settings;
    ServerStartup(s);
  }
  // A simulated unit on COMn.
  EcuSim& UnitOn(int port) {
    units.push_back(std::make_unique<EcuSim>());
    p.com_ports[port] = units.back().get();
    return *units.back();
  }
  // A simulated USB interface with a unit behind it.
  EcuSim& UsbUnit(const std::string& serial, const std::string& description) {
    units.push_back(std::make_unique<EcuSim>());
    p.usb_devices.push_back(Device(serial, description, units.back().get()));
    return *units.back();
  }
  // Runs loop passes until `count` replies have come or `max_usec` of virtual time passed.
  std::vector<std::string> Replies(size_t count = 1, double max_usec = 600e6) {
    const double end = p.NowUsec() + max_usec;
    while (p.replies.size() < count && p.NowUsec() < end) {
      if (!LoopPass(s)) break;
    }
    return p.TakeReplies();
  }
  // Sends one message and returns its reply (empty when none came).
  std::string Ask(const std::string& message, double max_usec = 600e6) {
    p.HostSend(message);
    const auto replies = Replies(1, max_usec);
    return replies.empty() ? std::string() : replies.front();
  }
  std::string Connect(int port, const std::string& ident) {
    Ask(HostMsg(10, ident));
    return Ask(HostMsg(3, std::string(1, static_cast<char>(port))));
  }
  // A server started with `settings` and linked to a unit on COMn.
  EcuSim& Linked(int port, const std::string& settings = {}) {
    EcuSim& unit = UnitOn(port);
    Start(settings);
    Connect(port, unit.ExpectedIdentity());
    return unit;
  }
  // Runs loop passes for `usec` of virtual time; false when the loop ended.
  bool RunFor(double usec) {
    const double end = p.NowUsec() + usec;
    while (p.NowUsec() < end) {
      if (!LoopPass(s)) return false;
    }
    return true;
  }

  FakePlatform p;
  Server s;
  std::vector<std::unique_ptr<EcuSim>> units;
};

}  // namespace ecub::test
