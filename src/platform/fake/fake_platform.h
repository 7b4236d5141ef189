// A platform for tests: a virtual clock that jumps forward on every wait, an in-memory host
// pipe with scheduled arrivals, in-memory files and a scripted process list.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace ecub {

class FakePlatform : public Platform {
 public:
  FakePlatform();

  // --- Virtual clock ---
  int64_t now_ns;                   // the counter; starts at an arbitrary origin
  int64_t read_step_ns = 1000;      // each counter read moves the clock on, so spinning ends
  bool precise_sleep = true;        // false models a platform with coarse millisecond sleeps
  std::vector<uint32_t> sleeps_ms;  // every Sleep() call
  std::vector<double> precise_sleeps_usec;
  int pump_calls = 0;
  bool has_counter = true;
  double NowUsec() const { return static_cast<double>(now_ns) / 1000.0; }
  void Advance(double usec) { now_ns += static_cast<int64_t>(usec * 1000.0); }

  // --- Host pipe ---
  // Bytes that reach standard input `delay_usec` from now (0: at once).
  void HostSend(const std::string& bytes, double delay_usec = 0);
  std::string host_output;           // everything written to standard output
  std::vector<std::string> replies;  // each HostWrite call
  bool peek_fails = false;
  bool input_closed = false;
  bool output_closed = false;
  int forever_waits = 0;  // HostWaitInput calls with no limit and nothing scheduled
  // Pops the replies written so far.
  std::vector<std::string> TakeReplies();

  // --- Processes ---
  std::vector<std::string> processes;
  bool process_list_fails = false;
  int process_list_calls = 0;

  // --- Files ---
  std::map<std::string, std::string> files;  // path -> contents
  std::set<std::string> folders;
  std::set<std::string> locked;  // paths that cannot be written
  bool copy_fails = false;
  LocalDateTime local_now{2025, 3, 5, 9, 7, 3};

  // --- Message boxes ---
  std::vector<std::string> messages;  // "title|text"

  // Platform
  bool HostPeek(uint32_t& available) override;
  bool HostRead(uint32_t count, std::string& out) override;
  bool HostWrite(const std::string& data) override;
  void HostCloseInput() override { input_closed = true; }
  void HostCloseOutput() override { output_closed = true; }
  void HostWaitInput(double max_usec) override;
  bool QueryPerformanceFrequency(int64_t& frequency) override;
  bool QueryPerformanceCounter(int64_t& counter) override;
  void Sleep(uint32_t milliseconds) override;
  bool HasPreciseSleep() override { return precise_sleep; }
  void SleepMicroseconds(double usec) override;
  void TimeBeginPeriod(uint32_t ms) override { timer_period_depth += ms > 0 ? 1 : 0; }
  void TimeEndPeriod(uint32_t ms) override { timer_period_depth -= ms > 0 ? 1 : 0; }
  void PumpMessages() override { ++pump_calls; }
  bool ListProcesses(std::vector<std::string>& names) override;
  char PathSeparator() override { return '/'; }
  bool FileReadable(const std::string& path) override;
  bool ReadWholeFile(const std::string& path, std::string& contents) override;
  bool WriteWholeFile(const std::string& path, const std::string& contents) override;
  bool CopyFileReplace(const std::string& from, const std::string& to) override;
  int64_t OpenWriteFile(const std::string& path) override;
  bool WriteOpenFile(int64_t file, const std::string& data) override;
  void CloseOpenFile(int64_t file) override;
  LocalDateTime LocalNow() override { return local_now; }
  std::string FormatGeneralDate(const LocalDateTime& when) override;
  void ShowMessage(const std::string& text, const std::string& title) override;

  int timer_period_depth = 0;
  std::map<int64_t, std::string> open_files;  // handle -> path

 private:
  void DeliverDueInput();
  std::deque<std::pair<int64_t, std::string>> scheduled_;  // arrival time (ns), bytes
  std::string pipe_;
  int64_t next_file_ = 3;
};

}  // namespace ecub
