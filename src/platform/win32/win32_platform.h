// The Windows platform: every call is the kernel32, winmm or user32 call of the same name.
// The host pipe is the inherited standard input and output, the clock the performance counter,
// serial ports the "\\.\COMn" devices, and the D2XX driver is taken from KVELD2XX.DLL. Paths
// are UTF-8 on the portable side and go to the wide-character calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace ecub {

class HostInputReader;

class Win32Platform : public Platform {
 public:
  // Takes the standard handles the host gave the process (GetStdHandle); they are not checked,
  // so a server started without pipes simply reads nothing.
  Win32Platform();
  // Talks to the host through the given handles instead (tests).
  Win32Platform(void* host_input, void* host_output);
  ~Win32Platform() override;
  Win32Platform(const Win32Platform&) = delete;
  Win32Platform& operator=(const Win32Platform&) = delete;

  // When standard input is a pipe, a thread of its own blocks in ReadFile on it and hands the
  // bytes over, because an anonymous pipe cannot be waited on: HostPeek and HostRead then
  // report and take those bytes, and HostWaitInput sleeps until they come. Otherwise the pipe
  // calls are made directly.
  bool HostPeek(uint32_t& available) override;
  bool HostRead(uint32_t count, std::string& out) override;
  bool HostWrite(const std::string& data) override;
  // Stops the reader thread; its handle is closed after the output, when the thread has left
  // its read within a few milliseconds (a read it cannot leave ends with the process).
  void HostCloseInput() override;
  // True once the reader thread has met the end of the input (a read of no bytes or a failed
  // read) and every byte before it has been taken.
  bool HostInputEnded() override;
  void HostCloseOutput() override;
  // Sleeps until host bytes arrive, a window message comes (it is let run before the return)
  // or the time is up; returns at once after WakeHostWait.
  void HostWaitInput(double max_usec) override;
  // Makes the next host wait, or the one under way, return at once: a window message has just
  // asked something of the main loop (the status form was closed) that must not wait for host
  // bytes or the next idle work. Called on the loop's own thread, from a window procedure.
  void WakeHostWait() { wake_ = true; }

  bool QueryPerformanceFrequency(int64_t& frequency) override;
  bool QueryPerformanceCounter(int64_t& counter) override;
  uint64_t TickCountMs() override;
  void Sleep(uint32_t milliseconds) override;
  // True where Windows offers a high-resolution waitable timer; otherwise sleeps are only
  // millisecond-precise and the waits use 2 ms steps and spin the rest.
  bool HasPreciseSleep() override { return precise_timer_ != nullptr; }
  // Sleeps on the high-resolution timer, waking early by what its wake-ups have been seen to
  // run late, so the caller's final spin stays short. Window messages run meanwhile.
  void SleepMicroseconds(double usec) override;
  void TimeBeginPeriod(uint32_t milliseconds) override;
  void TimeEndPeriod(uint32_t milliseconds) override;
  void PumpMessages() override;

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
  uint32_t GetLastError() override;
  // Serial reads are polled every 5 ms by the transaction; there is nothing to wait on.
  bool WaitPortInput(int64_t, bool, double) override { return false; }
  // The 5 ms between two looks at the port, cut short when the host writes.
  bool WaitPortOrHostInput(int64_t handle, bool usb, double max_usec) override;

  D2xx& Ftdi() override;

  bool ListProcesses(std::vector<std::string>& names) override;

  char PathSeparator() override { return '\\'; }
  bool FileReadable(const std::string& path) override;
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

  // A window whose keyboard navigation (Tab between its boxes) PumpMessages hands to the
  // dialog manager; null for none.
  void SetDialogWindow(void* window) { dialog_window_ = window; }

  // True while host input comes through the reader thread.
  bool HasHostReader() const { return reader_ != nullptr; }
  // How late the high-resolution timer has been waking, in microseconds (its running estimate).
  double TimerLateness_usec() const { return timer_lateness_usec_; }

 private:
  // Waits for `handle` (may be null: nothing but the time and window messages) up to
  // `max_usec` (negative: no limit); window messages end the wait early.
  void WaitFor(void* handle, double max_usec);
  // True, once, after WakeHostWait.
  bool TakeWake();

  void* host_input_;
  void* host_output_;
  // The input handle HostCloseInput left to HostCloseOutput, while the reader may still read it.
  void* host_input_for_close_ = nullptr;
  bool input_close_pending_ = false;
  void* dialog_window_ = nullptr;
  bool wake_ = false;
  std::shared_ptr<HostInputReader> reader_;
  void* precise_timer_ = nullptr;
  double timer_lateness_usec_;
  std::unique_ptr<D2xx> ftdi_;
};

// The folder of the running executable, without a trailing separator, in UTF-8.
std::string Win32ProgramFolder();

// A Windows handle carried in the 64 bits the portable code keeps handles in, and back. The
// invalid handle value becomes -1 (kInvalidHandle) on both the 32-bit and the 64-bit build.
int64_t HandleToInt(void* handle);
void* IntToHandle(int64_t value);

}  // namespace ecub
