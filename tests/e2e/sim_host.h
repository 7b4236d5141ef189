// A host session against the real server binary with simulated control units on real
// pseudo-terminals: the test process plays both the host (over the server's pipes) and the
// units (EcuSim served by PtyLink on its own thread, linked as <home>/ports/COMn).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "codec/host_codec.h"
#include "common/text.h"
#include "platform/platform.h"
#include "platform/posix/child_process.h"
#include "platform/posix/temp_folder.h"
#include "sim/ecu_sim.h"
#include "sim/posix/pty_link.h"
#include "sysfs_fixture.h"

namespace ecub::e2e {

inline std::string Byte(int value) {
  return std::string(1, static_cast<char>(value));
}

using tools::Hex;  // two upper-case digits per byte, as the traffic log writes frames

// A reply cut into its header fields; `ok` false when no whole reply came.
struct HostReply {
  bool ok = false;
  int code = -1;
  int link = -1;
  int poll = -1;
  int port = -1;
  int result = -1;
  std::string data;
};

// Lines of text, each ended by `end` (settings files want CR LF).
inline std::string Lines(const std::vector<std::string>& lines, const char* end = "\n") {
  std::string text;
  for (const std::string& line : lines) text += line + end;
  return text;
}

// Short waits so a session with silent units stays fast.
inline std::string FastTimingIni() {
  return "[AttesaGlobale_usec]\r\n300000\r\n[Idle_usec]\r\n0\r\n[AttesaByteTx_usec]\r\n0\r\n"
         "[NumResend]\r\n2\r\n";
}

// One simulated unit on COMn. The pseudo-terminal is served on a background thread; touch the
// simulator only through With().
class PtyUnit {
 public:
  PtyUnit(const std::string& home, int com, const EcuSim::Config& config)
      : sim_(config), pty_(&sim_, home + "/ports", com) {}
  bool ok() const { return pty_.ok(); }
  const std::string& error() const { return pty_.error(); }
  const std::string& slave_path() const { return pty_.slave_path(); }
  void Start() { pty_.Start(); }
  void HangUp() { pty_.HangUp(); }

  template <typename F>
  auto With(F f) {
    const auto lock = pty_.Lock();
    return f(sim_);
  }
  size_t RequestCount() {
    return With([](EcuSim& sim) { return sim.requests().size(); });
  }
  bool IsOpen() {
    return With([](EcuSim& sim) { return sim.is_open(); });
  }

 private:
  EcuSim sim_;  // declared first: the terminal serving it goes first
  PtyLink pty_;
};

// Polls `condition` every few milliseconds until it holds or `limit_ms` has passed.
inline bool Eventually(const std::function<bool()>& condition, int limit_ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A command's exit code and its standard output and error together.
struct Outcome {
  int exit_code = -1;
  std::string output;
};

inline Outcome RunCommand(const std::string& command) {
  Outcome r;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  for (size_t n = 0; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

inline bool Has(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

// Fails once for each of `parts` that `text` lacks.
inline void ExpectHas(const std::string& text, std::initializer_list<std::string> parts) {
  for (const std::string& part : parts) EXPECT_TRUE(Has(text, part)) << part << " in:\n" << text;
}

// Entry `index` of a D2XX device list by serial number or description (`what`), or the status
// of the failing call. A missing terminator shows as trailing x.
inline std::string ListEntry(D2xx& ft, uintptr_t index, uint32_t what) {
  char buffer[129];
  std::fill(std::begin(buffer), std::end(buffer), 'x');
  const FtResult status =
      ft.FT_ListDevices(reinterpret_cast<void*>(index), buffer, FT_LIST_BY_INDEX | what);
  return status == FT_OK ? std::string(buffer, strnlen(buffer, sizeof buffer))
                         : "status " + std::to_string(status);
}

// The master side of a new pseudo-terminal (the slave is at ptsname()), or -1.
inline int OpenTerminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master >= 0 && (grantpt(master) != 0 || unlockpt(master) != 0)) {
    close(master);
    return -1;
  }
  return master;
}

// Appends what `fd` has to read within `wait_ms`; false when nothing came.
inline bool ReadSome(int fd, std::string& into, int wait_ms) {
  pollfd pfd{fd, POLLIN, 0};
  char buffer[4096];
  const ssize_t n = poll(&pfd, 1, wait_ms) > 0 ? read(fd, buffer, sizeof buffer) : 0;
  if (n > 0) into.append(buffer, static_cast<size_t>(n));
  return n > 0;
}

// Everything a child writes to its standard output until it ends.
inline std::string ReadAll(ChildProcess& child) {
  std::string out;
  for (std::string got; !(got = child.ReadAvailable(5000)).empty();) out += got;
  return out;
}

class SimHost : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(home_.empty());
    std::filesystem::create_directory(home_ + "/ports");
  }
  void TearDown() override {
    server_.Kill();
    server_.WaitExit(5000);
    units_.clear();
  }

  std::string Path(const std::string& name) const { return home_ + "/" + name; }
  void Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
  }
  std::string Read(const std::string& name) const { return test::SysfsFixture::Read(Path(name)); }

  // A unit on COMn, already served.
  PtyUnit& AddUnit(int com, const EcuSim::Config& config = {}) {
    auto unit = std::make_unique<PtyUnit>(home_, com, config);
    EXPECT_TRUE(unit->ok()) << unit->error();
    unit->Start();
    PtyUnit& added = *unit;
    units_[com] = std::move(unit);
    return added;
  }

  void Start() { ASSERT_TRUE(server_.Start({ECUBRIDGE_EXE}, {{"ECUBRIDGE_HOME", home_}})); }

  // One whole reply: the header, then the data its length field announces.
  HostReply Reply(int timeout_ms = 10000) {
    auto bytes = server_.ReadExactly(kHostHeaderSize, timeout_ms);
    if (!bytes) return {};
    const size_t length = ReplyLength(*bytes);
    if (length > kHostHeaderSize) {  // a short read leaves no whole reply to decode
      *bytes += server_.ReadExactly(length - kHostHeaderSize, timeout_ms).value_or("");
    }
    const auto d = DecodeReply(*bytes);
    if (!d) return {};
    return {true, d->code, d->link_status, d->poll_mode, d->porta_com, d->result, d->data};
  }

  HostReply Call(int code, const std::string& argument = {}, int timeout_ms = 10000) {
    if (!server_.Write(EncodeHostMessage(static_cast<uint8_t>(code), argument))) return {};
    return Reply(timeout_ms);
  }

  // Instructions 10 and 3: the unit on COMn with the identification it answers.
  HostReply Connect(int com, PtyUnit& unit) {
    const std::string identity = unit.With([](EcuSim& sim) { return sim.ExpectedIdentity(); });
    EXPECT_EQ(Call(10, identity).data, identity);
    return Call(3, Byte(com));
  }

  void Quit() {
    const HostReply r = Call(1);
    EXPECT_EQ(std::tuple(r.ok, r.code, r.result), std::tuple(true, 1, 0));
    EXPECT_EQ(server_.WaitExit(5000), 0);
  }

  TempFolder folder_{"sim-e2e"};
  const std::string home_ = folder_.path();
  std::map<int, std::unique_ptr<PtyUnit>> units_;
  ChildProcess server_;
};

// The developer tools around the real server: ecubridge-sim serving COM5 of the home (its
// standard error appended to sim.log), ecubridge-host and ecubridge-log.
class ToolSession : public SimHost {
 protected:
  void TearDown() override {
    if (sim_.running()) {
      StopSim();  // cleanly, on SIGTERM
      EXPECT_FALSE(std::filesystem::exists(Path("ports/COM5"), ec_)) << "link left behind";
    }
    sim_.Kill();
    sim_.WaitExit(5000);
    SimHost::TearDown();
  }

  // True once the simulator has printed its port.
  bool StartSim(const std::string& options) {
    const std::string command = std::string("exec ") + ECUBRIDGE_SIM_EXE + " --ports " +
                                Path("ports") + " --com 5 " + options + " 2>>" + Path("sim.log");
    if (!sim_.Start({"/bin/sh", "-c", command})) return false;
    std::string out;
    for (int i = 0; i < 100 && out.find('\n') == std::string::npos && !sim_.OutputEnded(); ++i) {
      out += sim_.ReadAvailable(100);
    }
    EXPECT_EQ(out, Path("ports/COM5") + "\n") << Read("sim.log");
    return out == Path("ports/COM5") + "\n";
  }
  void StopSim() {
    sim_.Terminate();
    EXPECT_EQ(sim_.WaitExit(5000), 0);
  }

  Outcome Host(const std::string& arguments) {
    return RunCommand(std::string(ECUBRIDGE_HOST_EXE) + " --server " + ECUBRIDGE_EXE + " --home " +
                      home_ + " " + arguments);
  }
  Outcome LogTool(const std::string& arguments) {
    return RunCommand(std::string(ECUBRIDGE_LOG_EXE) + " " + arguments);
  }

  // Answer time-outs short enough that a search or transaction that fails costs little.
  static constexpr const char* kQuickSettings =
      "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n150000\r\n[NumResend]\r\n2\r\n";

  ChildProcess sim_;
  std::error_code ec_;
};

}  // namespace ecub::e2e
