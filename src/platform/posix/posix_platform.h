// The Linux platform: the host pipe on file descriptors, CLOCK_MONOTONIC, /proc for the process
// list, plain POSIX files, and standard error in place of message boxes.
#pragma once

#include <linux/serial.h>
#include <signal.h>
#include <termios.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ecub {

// Nanoseconds of the monotonic clock, which no change of the wall clock moves.
int64_t MonotonicNs();
// The same in microseconds, the unit the simulated links and the benchmarks count in.
double MonotonicUsec();
class KernelFtdi;

class PosixPlatform : public Platform {
 public:
  // Talks to the host through `input_fd` and `output_fd`. Makes writes to a vanished host fail
  // instead of killing the process, and asks for the finest timer slack so that precise sleeps
  // wake on time.
  // Serial ports "\\.\COMn" are looked up in `<program_folder>/ports/COMn` first; an empty
  // folder means PosixProgramFolder(), taken at each open.
  explicit PosixPlatform(int input_fd = 0, int output_fd = 1, std::string program_folder = {});
  ~PosixPlatform() override;
  PosixPlatform(const PosixPlatform&) = delete;
  PosixPlatform& operator=(const PosixPlatform&) = delete;

  bool HostPeek(uint32_t& available) override;
  bool HostRead(uint32_t count, std::string& out) override;
  bool HostWrite(const std::string& data) override;
  void HostCloseInput() override;
  bool HostInputEnded() override { return input_gone_ && held_.empty(); }
  void HostCloseOutput() override;
  void HostWaitInput(double max_usec) override;
  bool StopRequested() override;

  bool QueryPerformanceFrequency(int64_t& frequency) override;
  bool QueryPerformanceCounter(int64_t& counter) override;
  uint64_t TickCountMs() override;
  void Sleep(uint32_t milliseconds) override;
  bool HasPreciseSleep() override { return true; }
  void SleepMicroseconds(double usec) override;
  void TimeBeginPeriod(uint32_t) override {}
  void TimeEndPeriod(uint32_t) override {}
  void PumpMessages() override {}

  int64_t OpenSerial(const std::string& name) override;
  // Opens the terminal at `path` as OpenSerial opens a COM port (exclusive, raw, not
  // blocking); the handle then takes every serial call. kInvalidHandle on failure. The line
  // settings, serial flags, modem lines and exclusive flag found are put back at the close.
  // `low_latency` sets the driver's low-latency flag for the time the port is open; the FTDI
  // driver turns it into a latency timer of 1 ms that outlives the open, so its interfaces go
  // without it.
  int64_t OpenTerminal(const std::string& path, bool low_latency = true);
  bool GetCommState(int64_t handle, Dcb& dcb) override;
  bool SetCommState(int64_t handle, const Dcb& dcb) override;
  bool GetCommTimeouts(int64_t handle, CommTimeouts& timeouts) override;
  bool SetCommTimeouts(int64_t handle, const CommTimeouts& timeouts) override;
  bool ClearCommError(int64_t handle, uint32_t& errors, uint32_t& in_queue) override;
  bool PurgeComm(int64_t handle, uint32_t flags) override;
  bool ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) override;
  bool WriteFile(int64_t handle, const std::string& data, uint32_t& written) override;
  bool CloseHandle(int64_t handle) override;
  uint32_t GetLastError() override { return last_error_; }
  bool WaitPortInput(int64_t handle, bool usb, double max_usec) override;
  bool WaitPortOrHostInput(int64_t handle, bool usb, double max_usec) override;

  D2xx& Ftdi() override;

  bool ListProcesses(std::vector<std::string>& names) override;

  char PathSeparator() override { return '/'; }
  bool FileReadable(const std::string& path) override;
  PathKind KindOfPath(const std::string& path) override;
  bool ReadWholeFile(const std::string& path, std::string& contents) override;
  bool WriteWholeFile(const std::string& path, const std::string& contents) override;
  bool CopyFileReplace(const std::string& from, const std::string& to) override;
  bool MoveFileReplace(const std::string& from, const std::string& to) override;
  int64_t OpenWriteFile(const std::string& path) override;
  int64_t OpenAppendFile(const std::string& path) override;
  bool WriteOpenFile(int64_t file, const std::string& data) override;
  void CloseOpenFile(int64_t file) override;
  LocalDateTime LocalNow() override;
  std::string FormatGeneralDate(const LocalDateTime& when) override;

  void ShowMessage(const std::string& text, const std::string& title) override;
  void WriteStandardError(const std::string& line) override;

  // True once the host's end of the input was seen to hang up (or fail).
  bool host_input_gone() const { return input_gone_; }

 private:
  // A terminal's state as the open found it.
  struct FoundTerminal {
    termios tio{};
    uint32_t any_baud = 0;  // the speed, when termios held it as any rate
    serial_struct serial{};
    bool serial_changed = false;  // the serial flags were changed and are put back
    int lines = 0;
    bool has_lines = false;
    bool exclusive = false;
  };
  // Puts back what `found` holds on the terminal `fd`, as far as it still answers.
  static void RestoreTerminal(int fd, const FoundTerminal& found);

  // What the Windows calls keep per open port that termios cannot hold.
  struct SerialPort {
    FoundTerminal found;
    Dcb dcb;  // as last set (or as found at the open)
    CommTimeouts timeouts;
    // The character-format bits last asked of termios, and what the driver kept of them (a
    // pseudo-terminal always keeps eight bits without parity).
    uint32_t asked_format = 0;
    uint32_t kept_format = 0;
    bool format_set = false;
  };
  // The open port behind `handle`, or null (with EBADF as the last error).
  SerialPort* Port(int64_t handle);
  // True when `handle` is a terminal this platform can wait on.
  bool HasDescriptor(int64_t handle, bool usb) const;
  bool Fail();  // records errno as the last error; returns false

  // The signal mask for the waits: the one found, with the stop signals let through, so a stop
  // signal that PosixCatchStopSignals holds back ends the wait it finds, never the work.
  sigset_t wait_mask_{};
  int input_fd_;
  int output_fd_;
  bool input_gone_ = false;
  // A byte read while telling the end of the input from a quiet one, handed out first.
  std::string held_;
  std::string program_folder_;
  std::map<int, SerialPort> ports_;
  uint32_t last_error_ = 0;
  std::unique_ptr<D2xx> ftdi_;
  KernelFtdi* kernel_ftdi_ = nullptr;  // ftdi_, when the kernel's driver serves the calls
};

// The folder the server keeps its files in, without a trailing slash: $ECUBRIDGE_HOME when set
// and not empty; else the executable's folder when it holds SetComVarno.ini, or when it can be
// written and is not the bin/ of an installed tree; else ${XDG_DATA_HOME:-$HOME/.local/share}
// /ecubridge, made when `create` is set (see program_folder.h).
std::string PosixProgramFolder(bool create = true);

// Makes SIGTERM, SIGINT and SIGHUP set a flag that StopRequested reports, and holds them back
// outside the platform's waits, so that the main loop notices them and shuts down in order.
void PosixCatchStopSignals();

// Opens /dev/null onto every standard descriptor (0 to 2) that is closed. Run first thing at
// start-up: a process started with one of them closed would otherwise hand that number to the
// next file it opens, and a log file on 1 would receive the replies, a serial port on 0 would
// be read as host messages.
void PosixReserveStandardDescriptors();

// The file name of `path` without its folder.
std::string PosixBaseName(const std::string& path);

}  // namespace ecub
