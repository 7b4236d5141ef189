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

// The serial device control block, field for field as the Windows communications API has it.
struct Dcb {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t fBitFields = 0;  // fBinary, fParity, fOutxCtsFlow, fOutxDsrFlow, fDtrControl (2 bits),
                            // fDsrSensitivity, fTXContinueOnXoff, fOutX, fInX, fErrorChar,
                            // fNull, fRtsControl (2 bits), fAbortOnError, from bit 0 upwards
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};

// Serial time-outs in milliseconds, as the Windows COMMTIMEOUTS.
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// The handle value of a failed open, as Windows returns it.
inline constexpr int64_t kInvalidHandle = -1;

// D2XX status codes: 0 is success, everything else a failure.
using FtResult = uint32_t;
inline constexpr FtResult FT_OK = 0;
inline constexpr FtResult FT_INVALID_HANDLE = 1;
inline constexpr FtResult FT_DEVICE_NOT_FOUND = 2;
inline constexpr FtResult FT_DEVICE_NOT_OPENED = 3;
inline constexpr FtResult FT_IO_ERROR = 4;
inline constexpr FtResult FT_INVALID_PARAMETER = 6;
inline constexpr FtResult FT_INVALID_BAUD_RATE = 7;
inline constexpr FtResult FT_NOT_SUPPORTED = 17;
inline constexpr FtResult FT_OTHER_ERROR = 18;
inline constexpr uint32_t FT_LIST_NUMBER_ONLY = 0x80000000;
inline constexpr uint32_t FT_LIST_BY_INDEX = 0x40000000;
inline constexpr uint32_t FT_OPEN_BY_SERIAL_NUMBER = 1;
inline constexpr uint32_t FT_OPEN_BY_DESCRIPTION = 2;

struct FtProgramData;  // the driver's EEPROM record, declared in platform/ft_program_data.h

// The FTDI D2XX driver interface: the fourteen calls the server relies on and the optional
// latency timer, with the driver's own argument conventions. Handles are carried in 64 bits so a
// pointer-sized driver handle fits.
class D2xx {
 public:
  virtual ~D2xx() = default;
  // With FT_LIST_NUMBER_ONLY, `arg1` points to a 32-bit count; with FT_LIST_BY_INDEX, `arg1`
  // is the device index (cast to a pointer) and `arg2` a buffer of at least 64 bytes.
  virtual FtResult FT_ListDevices(void* arg1, void* arg2, uint32_t flags) = 0;
  virtual FtResult FT_Open(int device, int64_t* handle) = 0;
  virtual FtResult FT_SetBaudRate(int64_t handle, uint32_t baud) = 0;
  virtual FtResult FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                             uint8_t parity) = 0;
  virtual FtResult FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) = 0;
  virtual FtResult FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) = 0;
  virtual FtResult FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                               uint8_t error_char, uint8_t error_enabled) = 0;
  virtual FtResult FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) = 0;
  virtual FtResult FT_Write(int64_t handle, const void* buffer, uint32_t count,
                            uint32_t* written) = 0;
  virtual FtResult FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) = 0;
  virtual FtResult FT_Purge(int64_t handle, uint32_t mask) = 0;
  virtual FtResult FT_Close(int64_t handle) = 0;
  virtual FtResult FT_EE_Read(int64_t handle, FtProgramData* data) = 0;
  virtual FtResult FT_EE_Program(int64_t handle, FtProgramData* data) = 0;
  // How long the driver holds a partly filled receive buffer before it hands the bytes over.
  // Optional: FT_NOT_SUPPORTED when the driver library does not export it.
  virtual FtResult FT_SetLatencyTimer(int64_t handle, uint8_t milliseconds) = 0;
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
  // True once standard input has ended for good (end of file, a broken pipe, a failed read):
  // nothing can arrive any more. Only after every byte before the end has been read.
  virtual bool HostInputEnded() { return false; }
  virtual void HostCloseOutput() = 0;
  // Blocks until host input may be waiting or `max_usec` has passed, whichever comes first;
  // a negative `max_usec` means no limit. Spurious early returns are allowed. Windows keeps
  // the plain 1 ms sleep of the loop here.
  virtual void HostWaitInput(double max_usec) = 0;
  // True once the system has asked the process to end (SIGTERM, SIGINT, SIGHUP on Linux); the
  // loop then shuts down as instruction 1 does, putting the port back as it was found.
  virtual bool StopRequested() { return false; }

  // --- Clock and sleep ------------------------------------------------------------------
  virtual bool QueryPerformanceFrequency(int64_t& frequency) = 0;
  virtual bool QueryPerformanceCounter(int64_t& counter) = 0;
  // Milliseconds since an arbitrary origin from a coarse clock that cannot fail and never goes
  // back (GetTickCount, carried past its 49.7-day wrap); the clock falls back on it when the
  // performance counter cannot be read.
  virtual uint64_t TickCountMs() = 0;
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

  // --- Serial port (Windows communications calls) ------------------------------------------
  // Opens "\\.\COMn" for reading and writing, exclusive; kInvalidHandle on failure.
  virtual int64_t OpenSerial(const std::string& name) = 0;  // CreateFileA
  virtual bool GetCommState(int64_t handle, Dcb& dcb) = 0;
  virtual bool SetCommState(int64_t handle, const Dcb& dcb) = 0;
  virtual bool GetCommTimeouts(int64_t handle, CommTimeouts& timeouts) = 0;
  virtual bool SetCommTimeouts(int64_t handle, const CommTimeouts& timeouts) = 0;
  // Clears the error state; `errors` gets the error mask, `in_queue` the received bytes waiting.
  virtual bool ClearCommError(int64_t handle, uint32_t& errors, uint32_t& in_queue) = 0;
  virtual bool PurgeComm(int64_t handle, uint32_t flags) = 0;
  // Reads up to `count` bytes without waiting for more than are queued.
  virtual bool ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) = 0;
  virtual bool WriteFile(int64_t handle, const std::string& data, uint32_t& written) = 0;
  virtual bool CloseHandle(int64_t handle) = 0;
  // The last-error code of the calling thread (errno on Linux).
  virtual uint32_t GetLastError() = 0;
  // Blocks until bytes arrive on the open port or `max_usec` has passed. False when the
  // platform cannot wait on the port (the caller then waits the time itself).
  virtual bool WaitPortInput(int64_t handle, bool usb, double max_usec) = 0;
  // As WaitPortInput, but also returns as soon as host input arrives, so a host waiting on a
  // polling transaction is served at once. Platforms that cannot watch both just wait the port.
  virtual bool WaitPortOrHostInput(int64_t handle, bool usb, double max_usec) {
    return WaitPortInput(handle, usb, max_usec);
  }

  // --- FTDI driver --------------------------------------------------------------------------
  // The D2XX calls, loaded on first use; without the driver library every call fails.
  virtual D2xx& Ftdi() = 0;

  // --- Process list -----------------------------------------------------------------------
  // Executable file names (without folder) of the running processes, in the order the
  // operating system lists them. False when no list can be taken.
  virtual bool ListProcesses(std::vector<std::string>& names) = 0;

  // --- Files ------------------------------------------------------------------------------
  // Separator placed between a folder and a file name ("\" on Windows, "/" elsewhere).
  virtual char PathSeparator() = 0;
  // True when `path` names a file that can be opened for reading (a folder is not).
  virtual bool FileReadable(const std::string& path) = 0;
  // What `path` names, so that a file that is there but cannot be used can be told from one
  // that is missing. Platforms that cannot tell call every unreadable path missing.
  enum class PathKind { kMissing, kFile, kOther };
  virtual PathKind KindOfPath(const std::string& path) {
    return FileReadable(path) ? PathKind::kFile : PathKind::kMissing;
  }
  virtual bool ReadWholeFile(const std::string& path, std::string& contents) = 0;
  // Creates or truncates `path` and writes `contents`.
  virtual bool WriteWholeFile(const std::string& path, const std::string& contents) = 0;
  // Copies `from` to `to`, replacing an existing `to`.
  virtual bool CopyFileReplace(const std::string& from, const std::string& to) = 0;
  // Renames `from` to `to` in the same folder, replacing an existing `to` in one step
  // (MoveFileExA with MOVEFILE_REPLACE_EXISTING); `to` is never left cut or missing.
  virtual bool MoveFileReplace(const std::string& from, const std::string& to) = 0;
  // Opens `path` for writing, created or truncated; kept open. Returns -1 on failure.
  virtual int64_t OpenWriteFile(const std::string& path) = 0;
  // Opens `path` for writing at its end, created when missing; kept open. -1 on failure.
  virtual int64_t OpenAppendFile(const std::string& path) = 0;
  virtual bool WriteOpenFile(int64_t file, const std::string& data) = 0;
  virtual void CloseOpenFile(int64_t file) = 0;
  virtual LocalDateTime LocalNow() = 0;
  // Local date and time in the system's general format (short date, a blank, long time).
  virtual std::string FormatGeneralDate(const LocalDateTime& when) = 0;

  // --- Standard error -----------------------------------------------------------------------
  // One line for the person running the server about a problem they can fix (a settings file
  // it cannot use, a file it cannot write), without stopping anything. Nothing where no one
  // could read it.
  virtual void WriteStandardError(const std::string& line) { static_cast<void>(line); }

  // --- Message box --------------------------------------------------------------------------
  // A modal box on Windows; standard error elsewhere. Returns when the user has closed it.
  virtual void ShowMessage(const std::string& text, const std::string& title) = 0;
};

// True when `path` can be opened for reading.
inline bool FileExist(Platform& p, const std::string& path) {
  return p.FileReadable(path);
}

}  // namespace ecub
