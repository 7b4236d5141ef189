// The one door between the portable server and the operating system.
//
// Every call the server makes into the operating system or a driver goes through this
// interface, grouped by concern. The groups mirror the Windows calls the server was designed
// around (kernel32, winmm), so the Win32 implementation is a thin 1:1 mapping; the POSIX
// implementation emulates them on Linux, and the fake implementation drives tests on a virtual
// clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecub {

struct LocalDateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Host pipe (standard input and output) -------------------------------------------
  // Number of bytes waiting on standard input, without blocking (PeekNamedPipe).
  virtual bool HostPeek(uint32_t& available) = 0;
  // Reads exactly `count` bytes that HostPeek reported as waiting (ReadFile).
  virtual bool HostRead(uint32_t count, std::string& out) = 0;
  // Writes one whole reply in one call (WriteFile). The result is informational only.
  virtual bool HostWrite(const std::string& data) = 0;
  virtual void HostCloseInput() = 0;
  virtual void HostCloseOutput() = 0;
  // Blocks until host input may be waiting or `max_usec` has passed, whichever comes first;
  // a negative `max_usec` means no limit. Spurious early returns are allowed. Windows keeps
  // the plain 1 ms sleep of the loop here.
  virtual void HostWaitInput(double max_usec) = 0;

  // --- Clock and sleep ------------------------------------------------------------------
  virtual bool QueryPerformanceFrequency(int64_t& frequency) = 0;
  virtual bool QueryPerformanceCounter(int64_t& counter) = 0;
  virtual void Sleep(uint32_t milliseconds) = 0;
  // True when SleepMicroseconds wakes within a few tens of microseconds of the requested time;
  // the waits then sleep for most of their length instead of using 2 ms steps.
  virtual bool HasPreciseSleep() = 0;
  // Sleeps about `usec` microseconds (only used when HasPreciseSleep is true).
  virtual void SleepMicroseconds(double usec) = 0;
  virtual void TimeBeginPeriod(uint32_t milliseconds) = 0;
  virtual void TimeEndPeriod(uint32_t milliseconds) = 0;
  // Lets pending window messages of this thread run (a no-op without a window).
  virtual void PumpMessages() = 0;

  // --- Process list -----------------------------------------------------------------------
  // Executable file names (without folder) of the running processes, in the order the
  // operating system lists them. False when no list can be taken.
  virtual bool ListProcesses(std::vector<std::string>& names) = 0;

  // --- Files ------------------------------------------------------------------------------
  // Separator placed between a folder and a file name ("\" on Windows, "/" elsewhere).
  virtual char PathSeparator() = 0;
  // True when `path` names a file that can be opened for reading (a folder is not).
  virtual bool FileReadable(const std::string& path) = 0;
  virtual bool ReadWholeFile(const std::string& path, std::string& contents) = 0;
  // Creates or truncates `path` and writes `contents`.
  virtual bool WriteWholeFile(const std::string& path, const std::string& contents) = 0;
  // Copies `from` to `to`, replacing an existing `to`.
  virtual bool CopyFileReplace(const std::string& from, const std::string& to) = 0;
  // Opens `path` for writing, created or truncated; kept open. Returns -1 on failure.
  virtual int64_t OpenWriteFile(const std::string& path) = 0;
  virtual bool WriteOpenFile(int64_t file, const std::string& data) = 0;
  virtual void CloseOpenFile(int64_t file) = 0;
  virtual LocalDateTime LocalNow() = 0;
  // Local date and time in the system's general format (short date, a blank, long time).
  virtual std::string FormatGeneralDate(const LocalDateTime& when) = 0;

  // --- Message box --------------------------------------------------------------------------
  // A modal box on Windows; standard error elsewhere. Returns when the user has closed it.
  virtual void ShowMessage(const std::string& text, const std::string& title) = 0;
};

}  // namespace ecub
