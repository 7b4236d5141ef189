// Shared pieces of the benchmarks that drive the real server against a simulated control unit
// on a pseudo-terminal: a temporary program folder, the host side of the pipes, process CPU
// readings and percentiles.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "codec/host_codec.h"
#include "platform/posix/child_process.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/temp_folder.h"
#include "sim/ecu_sim.h"
#include "sim/posix/pty_link.h"

namespace ecub::bench {

constexpr int kReplyTimeout_ms = 10000;

inline std::string IniLines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// Value at `fraction` (0 to 1) of the sorted values; 0 for none.
inline double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Fields 14 and 15 of /proc/PID/stat (user and system time) in seconds, or -1.
inline double StatCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0;
  for (int number = 3; fields >> field; ++number) {  // field 3 is the state
    if (number == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (number == 15) {
      const unsigned long long stime = std::strtoull(field.c_str(), nullptr, 10);
      return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return -1;
}

// Time on a processor in seconds from /proc/PID/schedstat (nanoseconds), or -1.
inline double SchedCpuSeconds(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long on_cpu_ns = 0;
  if (!(in >> on_cpu_ns)) return -1;
  return static_cast<double>(on_cpu_ns) / 1e9;
}

// Voluntary plus involuntary context switches of a process: how often it went to sleep and
// woke again. -1 when unknown.
inline long long ContextSwitches(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  long long total = 0;
  bool found = false;
  while (std::getline(in, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
        line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
      total += std::atoll(line.substr(line.find(':') + 1).c_str());
      found = true;
    }
  }
  return found ? total : -1;
}

// CPU readings of a process at one moment.
struct CpuMark {
  double wall_usec = 0;
  double stat_sec = -1;
  double sched_sec = -1;
  long long switches = -1;
};

inline CpuMark MarkCpu(int pid) {
  return {MonotonicUsec(), StatCpuSeconds(pid), SchedCpuSeconds(pid), ContextSwitches(pid)};
}

// Share of one core between two marks, from the clock ticks (stat) or nanoseconds (sched).
inline double StatPercent(const CpuMark& a, const CpuMark& b) {
  if (a.stat_sec < 0 || b.stat_sec < 0) return -1;
  return (b.stat_sec - a.stat_sec) / ((b.wall_usec - a.wall_usec) / 1e6) * 100;
}
inline double SchedPercent(const CpuMark& a, const CpuMark& b) {
  if (a.sched_sec < 0 || b.sched_sec < 0) return -1;
  return (b.sched_sec - a.sched_sec) / ((b.wall_usec - a.wall_usec) / 1e6) * 100;
}
inline double WakeupsPerSecond(const CpuMark& a, const CpuMark& b) {
  if (a.switches < 0 || b.switches < 0) return -1;
  return static_cast<double>(b.switches - a.switches) / ((b.wall_usec - a.wall_usec) / 1e6);
}

// A reply cut into its header fields; `ok` false when no whole reply came.
struct HostReply {
  bool ok = false;
  int code = -1;
  int link = -1;
  int poll = -1;
  int result = -1;
  std::string data;
};

// A temporary program folder with its ports/ folder; removed with the object.
class Folder : public TempFolder {
 public:
  Folder() : TempFolder("bench") {
    if (ok()) std::filesystem::create_directory(path() + "/ports");
  }
  bool ok() const { return !path().empty(); }
  void Write(const std::string& name, const std::string& contents) const {
    std::ofstream(*this / name, std::ios::binary) << contents;
  }
};

// One simulated unit on COMn of a folder, served on a background thread.
class Unit {
 public:
  Unit(const std::string& folder, int com, const EcuSim::Config& config)
      : sim_(config), pty_(&sim_, folder + "/ports", com) {
    if (pty_.ok()) pty_.Start();
  }
  bool ok() const { return pty_.ok(); }
  const std::string& error() const { return pty_.error(); }
  const std::string& link_path() const { return pty_.link_path(); }
  template <typename F>
  auto With(F f) {
    const auto lock = pty_.Lock();
    return f(sim_);
  }
  size_t RequestCount() {
    return With([](EcuSim& sim) { return sim.requests().size(); });
  }

 private:
  EcuSim sim_;
  PtyLink pty_;
};

// The server as a child of this process, spoken to as a host.
class Host {
 public:
  bool Start(const std::string& folder) {
    return server_.Start({ECUBRIDGE_EXE}, {{"ECUBRIDGE_HOME", folder}});
  }
  int pid() const { return server_.pid(); }
  bool Send(int code, const std::string& argument = {}) {
    return server_.Write(EncodeHostMessage(static_cast<uint8_t>(code), argument));
  }
  HostReply Reply(int timeout_ms = kReplyTimeout_ms) {
    HostReply r;
    auto bytes = server_.ReadExactly(kHostHeaderSize, timeout_ms);
    if (!bytes) return r;
    const size_t length = ReplyLength(*bytes);
    if (length > kHostHeaderSize) {
      const auto data = server_.ReadExactly(length - kHostHeaderSize, timeout_ms);
      if (!data) return r;
      *bytes += *data;
    }
    const auto decoded = DecodeReply(*bytes);
    if (!decoded) return r;
    r.ok = true;
    r.code = decoded->code;
    r.link = decoded->link_status;
    r.poll = decoded->poll_mode;
    r.result = decoded->result;
    r.data = decoded->data;
    return r;
  }
  HostReply Call(int code, const std::string& argument = {}) {
    if (!Send(code, argument)) return {};
    return Reply();
  }
  // Instructions 10 and 3; true when the unit on COMn was found.
  bool Connect(int com, Unit& unit) {
    const std::string identity = unit.With([](EcuSim& sim) { return sim.ExpectedIdentity(); });
    if (Call(10, identity).data != identity) return false;
    return Call(3, std::string(1, static_cast<char>(com))).link == 1;
  }
  void Stop() {
    server_.Kill();
    server_.WaitExit(5000);
  }

 private:
  ChildProcess server_;
};

inline const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

// One row of a result table: what, the result and its unit, the goal, met or missed ("-" for
// rows without a goal).
inline void Row(const char* what, double value, const char* unit, const std::string& goal,
                const char* verdict) {
  std::printf("%-44s %12.2f %-4s %-14s %s\n", what, value, unit, goal.c_str(), verdict);
}

inline void Header(const char* title) {
  std::printf("%s\n%-44s %17s %-14s %s\n", title, "measure", "result", "goal", "");
}

}  // namespace ecub::bench
