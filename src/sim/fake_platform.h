// A platform for tests: a virtual clock that jumps forward on every wait, an in-memory host
// pipe with scheduled arrivals, in-memory files and a scripted process list.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/ft_program_data.h"
#include "platform/platform.h"
#include "sim/sim_link.h"

namespace ecub {

class FakePlatform : public Platform {
 public:
  FakePlatform();

  // --- Numbered faults ---
  // Every call into the platform or the driver is counted. Each call that can fail is also a
  // fault point, numbered from 1 in the order the calls are made; with `fail_point` set to N,
  // point N fails the way the real call fails (false, -1 or a driver error status, the
  // last-error code set; a file write may leave the file cut short) and every other call
  // behaves. Clock reads are numbered apart, as a conversation reads the clock far more often
  // than it makes any other call: `call_fault_points` and `clock_fault_points` choose which
  // of the two are fault points.
  int64_t platform_calls = 0;
  int64_t fault_points = 0;  // fault points passed so far
  int64_t fail_point = 0;    // 0: no call fails
  bool call_fault_points = true;
  bool clock_fault_points = false;
  bool record_fault_points = false;
  std::vector<std::string> fault_point_names;  // each point's call, when recorded
  std::string failed_call;                     // the call made to fail; empty until it was

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
  // The host closes its end once every byte sent so far (scheduled ones too) has arrived.
  void HostEndInput() { input_end_ = true; }
  std::string host_output;               // everything written to standard output
  std::vector<std::string> replies;      // each HostWrite call
  std::vector<double> reply_times_usec;  // virtual time of each HostWrite call
  bool peek_fails = false;
  bool input_closed = false;
  bool output_closed = false;
  int forever_waits = 0;  // HostWaitInput calls with no limit and nothing scheduled
  // Pops the replies written so far.
  std::vector<std::string> TakeReplies();
  // Host bytes sent that the server has not read yet, scheduled ones included.
  size_t HostBytesUnread() const;
  // Drops the records kept for inspection (calls, sleeps, replies, bytes on the wire), so a
  // long run does not pile them up; the state of the simulated system is kept.
  void ForgetRecords();

  // --- Processes ---
  std::vector<std::string> processes;
  bool process_list_fails = false;
  int process_list_calls = 0;

  // --- Files ---
  std::map<std::string, std::string> files;  // path -> contents
  std::set<std::string> folders;
  std::set<std::string> unreadable;  // files that are there but may not be read
  std::set<std::string> locked;      // paths that cannot be written or replaced
  bool disk_full = false;            // whole-file writes then create or cut the file and fail
  bool copy_fails = false;
  LocalDateTime local_now{2025, 3, 5, 9, 7, 3};

  // --- Serial ports ---
  // COMn answered by `link` (not owned). A port without a link does not exist.
  std::map<int, SimLink*> com_ports;
  std::set<int> busy_ports;  // held by another process: opening them fails
  struct OpenSerialPort {
    int number = 0;
    Dcb dcb;
    CommTimeouts timeouts;
  };
  std::map<int64_t, OpenSerialPort> open_serial;  // handle -> port
  uint32_t last_error = 0;
  std::vector<std::string> port_calls;  // names of the serial and D2XX calls, in order
  // Makes the named call ("WriteFile", "FT_Read", ...) fail after `successes` more successful
  // calls; it then fails `times` times (-1: until FailCall(name, -1) clears it).
  void FailCall(const std::string& name, int successes = 0, int times = -1);
  // Calls that throw instead of returning, as an unexpected failure inside the platform (an
  // allocation that fails) would: the port calls by name, "QueryPerformanceCounter" and
  // "ListProcesses".
  std::set<std::string> throwing_calls;
  std::string wire_written;  // every byte the server wrote to any port, as on the wire

  // --- USB interfaces (the D2XX driver) ---
  struct UsbDevice {
    std::string serial;  // as the driver reports it
    std::string description;
    SimLink* link = nullptr;  // not owned
    std::string eeprom_manufacturer = "FTDI";
    std::string eeprom_description;  // starts as `description` when empty
    bool open = false;
    int latency_timer_ms = 16;  // the driver's own value until the server sets it
  };
  std::vector<UsbDevice> usb_devices;
  bool driver_missing = false;         // every D2XX call then fails
  bool latency_timer_missing = false;  // an older driver without FT_SetLatencyTimer
  int ee_program_calls = 0;
  FtProgramData last_programmed;  // the record of the last FT_EE_Program (strings not kept)
  std::string last_programmed_description;

  // --- Message boxes ---
  std::vector<std::string> messages;  // "title|text"
  std::vector<std::string> stderr_lines;

  // Platform
  bool HostPeek(uint32_t& available) override;
  bool HostRead(uint32_t count, std::string& out) override;
  bool HostWrite(const std::string& data) override;
  void HostCloseInput() override {
    ++platform_calls;
    input_closed = true;
  }
  void HostCloseOutput() override {
    ++platform_calls;
    output_closed = true;
  }
  bool HostInputEnded() override;
  void HostWaitInput(double max_usec) override;
  bool QueryPerformanceFrequency(int64_t& frequency) override;
  bool QueryPerformanceCounter(int64_t& counter) override;
  uint64_t TickCountMs() override;
  void Sleep(uint32_t milliseconds) override;
  bool HasPreciseSleep() override {
    ++platform_calls;
    return precise_sleep;
  }
  void SleepMicroseconds(double usec) override;
  void TimeBeginPeriod(uint32_t ms) override;
  void TimeEndPeriod(uint32_t ms) override;
  void PumpMessages() override;
  bool ListProcesses(std::vector<std::string>& names) override;
  char PathSeparator() override {
    ++platform_calls;
    return '/';
  }
  bool FileReadable(const std::string& path) override;
  bool ReadWholeFile(const std::string& path, std::string& contents) override;
  bool WriteWholeFile(const std::string& path, const std::string& contents) override;
  bool CopyFileReplace(const std::string& from, const std::string& to) override;
  bool MoveFileReplace(const std::string& from, const std::string& to) override;
  int64_t OpenWriteFile(const std::string& path) override;
  int64_t OpenAppendFile(const std::string& path) override;
  bool WriteOpenFile(int64_t file, const std::string& data) override;
  void CloseOpenFile(int64_t file) override;
  LocalDateTime LocalNow() override {
    ++platform_calls;
    return local_now;
  }
  std::string FormatGeneralDate(const LocalDateTime& when) override;
  void ShowMessage(const std::string& text, const std::string& title) override;
  void WriteStandardError(const std::string& line) override { stderr_lines.push_back(line); }
  PathKind KindOfPath(const std::string& path) override;
  int64_t OpenSerial(const std::string& name) override;
  bool GetCommState(int64_t handle, Dcb& dcb) override;
  bool SetCommState(int64_t handle, const Dcb& dcb) override;
  bool GetCommTimeouts(int64_t handle, CommTimeouts& timeouts) override;
  bool SetCommTimeouts(int64_t handle, const CommTimeouts& timeouts) override;
  bool ClearCommError(int64_t handle, uint32_t& errors, uint32_t& in_queue) override;
  bool PurgeComm(int64_t handle, uint32_t flags) override;
  bool ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) override;
  bool WriteFile(int64_t handle, const std::string& data, uint32_t& written) override;
  bool CloseHandle(int64_t handle) override;
  uint32_t GetLastError() override {
    ++platform_calls;
    return last_error;
  }
  bool WaitPortInput(int64_t handle, bool usb, double max_usec) override;
  bool WaitPortOrHostInput(int64_t handle, bool usb, double max_usec) override;
  D2xx& Ftdi() override;

  // The link behind an open handle (serial or USB); nullptr when the handle is not open.
  SimLink* LinkOf(int64_t handle, bool usb);
  // True (and the call recorded) unless the named call is set to fail now.
  bool CallSucceeds(const std::string& name);
  // What kind of fault point a call is: none (it has no failure of its own), a call, a clock
  // read.
  enum class Fallible { kNo, kCall, kClock };
  // Counts one call; true when it is the numbered fault point set to fail.
  bool FaultNow(const char* name, Fallible kind = Fallible::kCall);

  int timer_period_depth = 0;
  std::map<int64_t, std::string> open_files;  // handle -> path

 private:
  void DeliverDueInput();
  bool WaitPort(int64_t handle, bool usb, double max_usec);
  class FakeD2xx;
  std::deque<std::pair<int64_t, std::string>> scheduled_;
  struct Failure {
    int successes = 0;  // left before the call fails
    int times = -1;     // failures left; -1: no end
  };
  std::map<std::string, Failure> failures_;
  int64_t next_handle_ = 0x1000;
  std::unique_ptr<D2xx> ftdi_;  // arrival time (ns), bytes
  std::string pipe_;
  bool input_end_ = false;
  int64_t next_file_ = 3;
};

}  // namespace ecub
