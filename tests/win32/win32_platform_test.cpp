// The Windows platform against the real kernel32 and user32 (run under Wine in CI).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "d2xx_double.h"
#include "host/clock.h"
#include "host/main_loop.h"
#include "host/server.h"
#include "platform/ft_program_data.h"
#include "platform/win32/status_window.h"
#include "platform/win32/win32_convert.h"
#include "platform/win32/win32_d2xx.h"
#include "platform/win32/win32_platform.h"
#include "port/port.h"
#include "service/traffic_log.h"

namespace ecub {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A scratch folder of its own under the system's temporary folder, removed afterwards. Its name
// holds Cyrillic and CJK letters, outside any ANSI code page, as a user name may.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, base);
    path_ = Utf8Path(base) +
            "ecub-\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB1\xD0\xB0-\xE6\xB8\xAC\xE8\xA9\xA6-" +
            std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter_++);
    ::CreateDirectoryW(WidePath(path_).c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::string& name : created_) ::DeleteFileW(WidePath(File(name)).c_str());
    ::RemoveDirectoryW(WidePath(path_).c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // A path in the folder; the file is deleted with the folder.
  std::string File(const std::string& name) {
    if (std::find(created_.begin(), created_.end(), name) == created_.end()) {
      created_.push_back(name);
    }
    return path_ + "\\" + name;
  }
  const std::string& path() const { return path_; }
  // True when the folder really exists under its own name (not one with '?' for the letters).
  bool Exists() const {
    const DWORD attributes = ::GetFileAttributesW(WidePath(path_).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

 private:
  static inline int counter_ = 0;
  std::string path_;
  std::vector<std::string> created_;
};

// --- Conversions ----------------------------------------------------------------------------

TEST(Win32Convert, EachDcbFlagBitLandsOnItsOwnBitField) {
  Dcb dcb;
  DCB out{};
  dcb.fBitFields = 0x0001;
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.fBinary, 1u);
  EXPECT_EQ(out.fParity, 0u);
  dcb.fBitFields = 0x0030;
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.fDtrControl, 3u);
  EXPECT_EQ(out.fOutxDsrFlow, 0u);
  EXPECT_EQ(out.fDsrSensitivity, 0u);
  dcb.fBitFields = 0x0200;
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.fInX, 1u);
  EXPECT_EQ(out.fOutX, 0u);
  dcb.fBitFields = 0x2000;
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.fRtsControl, 2u);
  dcb.fBitFields = 0x4000;
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.fAbortOnError, 1u);
  EXPECT_EQ(out.fRtsControl, 0u);
  dcb.fBitFields = 0xFFFF8000u;
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.fDummy2, 0x1FFFFu);
  EXPECT_EQ(out.fAbortOnError, 0u);
}

TEST(Win32Convert, TheFlagWordIsTheDcbsOwnThirdDoubleWord) {
  // A flag word from the settings file must set exactly the bits Windows keeps at that place.
  for (uint32_t word : {0x00000000u, 0x00000011u, 0x00001091u, 0x0000501Fu, 0xA5A5A5A5u,
                        0xFFFFFFFFu, 0x80000000u}) {
    Dcb dcb;
    dcb.fBitFields = word;
    DCB out{};
    ToWin32Dcb(dcb, out);
    uint32_t raw = 0;
    std::memcpy(&raw, reinterpret_cast<const char*>(&out) + 8, sizeof raw);
    EXPECT_EQ(raw, word);
    EXPECT_EQ(FromWin32Dcb(out).fBitFields, word);
  }
}

TEST(Win32Convert, EveryOtherDcbFieldGoesBothWays) {
  Dcb dcb;
  dcb.BaudRate = 115200;
  dcb.wReserved = 3;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 7;
  dcb.Parity = 2;
  dcb.StopBits = 2;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = '?';
  dcb.EofChar = 0x1A;
  dcb.EvtChar = '~';
  dcb.wReserved1 = 9;
  DCB out{};
  ToWin32Dcb(dcb, out);
  EXPECT_EQ(out.DCBlength, sizeof(DCB));
  EXPECT_EQ(out.BaudRate, 115200u);
  EXPECT_EQ(out.XonLim, 2048);
  EXPECT_EQ(out.XoffLim, 512);
  EXPECT_EQ(out.ByteSize, 7);
  EXPECT_EQ(out.Parity, 2);
  EXPECT_EQ(out.StopBits, 2);
  EXPECT_EQ(out.EvtChar, '~');
  const Dcb back = FromWin32Dcb(out);
  EXPECT_EQ(back.DCBlength, sizeof(DCB));
  EXPECT_EQ(back.BaudRate, dcb.BaudRate);
  EXPECT_EQ(back.wReserved, dcb.wReserved);
  EXPECT_EQ(back.XonLim, dcb.XonLim);
  EXPECT_EQ(back.XoffLim, dcb.XoffLim);
  EXPECT_EQ(back.ByteSize, dcb.ByteSize);
  EXPECT_EQ(back.Parity, dcb.Parity);
  EXPECT_EQ(back.StopBits, dcb.StopBits);
  EXPECT_EQ(back.XonChar, dcb.XonChar);
  EXPECT_EQ(back.XoffChar, dcb.XoffChar);
  EXPECT_EQ(back.ErrorChar, dcb.ErrorChar);
  EXPECT_EQ(back.EofChar, dcb.EofChar);
  EXPECT_EQ(back.EvtChar, dcb.EvtChar);
  EXPECT_EQ(back.wReserved1, dcb.wReserved1);
}

TEST(Win32Convert, TimeoutsAndDatesGoBothWays) {
  CommTimeouts t;
  t.ReadIntervalTimeout = 5;
  t.ReadTotalTimeoutMultiplier = 1;
  t.ReadTotalTimeoutConstant = 2;
  t.WriteTotalTimeoutMultiplier = 5;
  t.WriteTotalTimeoutConstant = 50;
  COMMTIMEOUTS w{};
  ToWin32Timeouts(t, w);
  EXPECT_EQ(w.ReadIntervalTimeout, 5u);
  EXPECT_EQ(w.WriteTotalTimeoutConstant, 50u);
  const CommTimeouts back = FromWin32Timeouts(w);
  EXPECT_EQ(back.ReadTotalTimeoutMultiplier, 1u);
  EXPECT_EQ(back.ReadTotalTimeoutConstant, 2u);
  EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 5u);

  const LocalDateTime when{2025, 3, 5, 9, 7, 3};
  const SYSTEMTIME st = ToSystemTime(when);
  EXPECT_EQ(st.wYear, 2025);
  EXPECT_EQ(st.wMonth, 3);
  EXPECT_EQ(st.wDay, 5);
  EXPECT_EQ(st.wSecond, 3);
  const LocalDateTime back_when = FromSystemTime(st);
  EXPECT_EQ(back_when.hour, 9);
  EXPECT_EQ(back_when.minute, 7);
}

TEST(Win32Convert, AProcessNameEndsAtItsFirstZero) {
  PROCESSENTRY32 entry{};
  std::memcpy(entry.szExeFile, "HOST.EXE\0junk", 13);
  EXPECT_EQ(ProcessEntryName(entry), "HOST.EXE");
  std::memset(entry.szExeFile, 'A', sizeof entry.szExeFile);
  EXPECT_EQ(ProcessEntryName(entry), "");  // no zero at all: skipped
}

TEST(Win32Convert, HandlesKeepTheirValueAndTheInvalidHandleIsMinusOne) {
  EXPECT_EQ(HandleToInt(INVALID_HANDLE_VALUE), kInvalidHandle);
  EXPECT_EQ(IntToHandle(kInvalidHandle), INVALID_HANDLE_VALUE);
  const HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const int64_t value = HandleToInt(event);
  EXPECT_GT(value, 0);
  EXPECT_EQ(IntToHandle(value), event);
  Win32Platform p(nullptr, nullptr);
  EXPECT_TRUE(p.CloseHandle(value));
  EXPECT_FALSE(p.CloseHandle(value));  // already closed
}

// --- Host pipe ------------------------------------------------------------------------------

// The two anonymous pipes a host gives the server, and the platform on the server's ends.
struct HostPipes {
  HostPipes() {
    ok = ::CreatePipe(&in_read, &in_write, nullptr, 0) &&
         ::CreatePipe(&out_read, &out_write, nullptr, 0);
  }
  ~HostPipes() {
    for (HANDLE h : {in_write, out_read}) {
      if (h != nullptr) ::CloseHandle(h);
    }
  }
  bool Write(const std::string& bytes) {
    DWORD written = 0;
    return ::WriteFile(in_write, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                       nullptr) &&
           written == bytes.size();
  }
  void CloseHostInput() {
    ::CloseHandle(in_write);
    in_write = nullptr;
  }
  bool ok = false;
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
};

// Waits (as the main loop does) until `count` bytes are waiting or a second has passed.
uint32_t AwaitBytes(Win32Platform& p, uint32_t count) {
  const ULONGLONG deadline = ::GetTickCount64() + 1000;
  uint32_t available = 0;
  while (p.HostPeek(available) && available < count && ::GetTickCount64() < deadline) {
    p.HostWaitInput(100000);
  }
  return available;
}

TEST(Win32Platform, HostPipePeeksReadsAndWritesWholeMessages) {
  HostPipes pipes;
  ASSERT_TRUE(pipes.ok);
  Win32Platform p(pipes.in_read, pipes.out_write);
  EXPECT_TRUE(p.HasHostReader());

  uint32_t available = 99;
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
  const std::string message("\x0A\x00\x00\x00\x00\x00\x00\x00\x41\x42", 10);
  ASSERT_TRUE(pipes.Write(message.substr(0, 4)));
  ASSERT_TRUE(pipes.Write(message.substr(4)));
  EXPECT_EQ(AwaitBytes(p, 10), 10u);  // both writes, as one run of bytes
  std::string got;
  EXPECT_FALSE(p.HostRead(11, got));  // never more than is waiting
  ASSERT_TRUE(p.HostRead(4, got));
  EXPECT_EQ(got, message.substr(0, 4));
  ASSERT_TRUE(p.HostRead(6, got));
  EXPECT_EQ(got, message.substr(4));
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);

  const std::string reply("\x00\x09\x04\x00\x00\x01\x00\x00\x01", 9);
  ASSERT_TRUE(p.HostWrite(reply));
  std::string back(64, '\0');
  DWORD read = 0;
  ASSERT_TRUE(::ReadFile(pipes.out_read, back.data(), 64, &read, nullptr));
  back.resize(read);
  EXPECT_EQ(back, reply);

  // Closing the input stops the reader, which is blocked in ReadFile, without hanging.
  const ULONGLONG before = ::GetTickCount64();
  p.HostCloseInput();
  p.HostCloseOutput();
  EXPECT_LT(::GetTickCount64() - before, 2000u);
  EXPECT_FALSE(p.HostPeek(available));
  EXPECT_FALSE(p.HostWrite(reply));
  EXPECT_FALSE(::ReadFile(pipes.out_read, back.data(), 1, &read, nullptr));  // the host sees it
}

// A host that writes an 8-byte message 50 ms from now (a thread's start routine).
DWORD WINAPI WriteOneMessageSoon(void* pipes) {
  ::Sleep(50);
  static_cast<HostPipes*>(pipes)->Write(std::string("\x08\x00\x00\x00\x00\x00\x00\x00", 8));
  return 0;
}

TEST(Win32Platform, TheWaitEndsWhenTheHostWritesAndSleepsOnceTheHostHasGone) {
  HostPipes pipes;
  ASSERT_TRUE(pipes.ok);
  Win32Platform p(pipes.in_read, pipes.out_write);
  // A host that writes while the server waits without a time limit wakes it.
  HANDLE writer = ::CreateThread(nullptr, 0, &WriteOneMessageSoon, &pipes, 0, nullptr);
  ASSERT_NE(writer, nullptr);
  p.HostWaitInput(-1);
  ::WaitForSingleObject(writer, INFINITE);
  ::CloseHandle(writer);
  EXPECT_EQ(AwaitBytes(p, 8), 8u);

  // Bytes still waiting when the host goes are handed over; then the input reads as failed and
  // a wait lasts its whole time instead of returning at once.
  pipes.CloseHostInput();
  std::string got;
  ASSERT_TRUE(p.HostRead(8, got));
  const ULONGLONG deadline = ::GetTickCount64() + 1000;
  uint32_t available = 0;
  while (p.HostPeek(available) && ::GetTickCount64() < deadline) p.HostWaitInput(10000);
  EXPECT_FALSE(p.HostPeek(available));
  int waits = 0;
  const ULONGLONG start = ::GetTickCount64();
  while (::GetTickCount64() - start < 300) {
    p.HostWaitInput(100000);
    ++waits;
  }
  EXPECT_LE(waits, 5);
}

TEST(Win32Platform, AHostThatHasGoneMakesPeekAndWriteFailQuietly) {
  HostPipes pipes;
  ASSERT_TRUE(pipes.ok);
  Win32Platform p(pipes.in_read, pipes.out_write);
  pipes.CloseHostInput();
  ::CloseHandle(pipes.out_read);
  pipes.out_read = nullptr;
  p.HostWaitInput(1000000);  // wakes once to see the end
  uint32_t available = 0;
  EXPECT_FALSE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
  EXPECT_FALSE(p.HostWrite("reply"));
}

TEST(Win32Platform, AnInputThatIsNotAPipeIsPeekedDirectlyAndFails) {
  TempFolder folder;
  const std::string path = folder.File("input.bin");
  Win32Platform writer(nullptr, nullptr);
  ASSERT_TRUE(writer.WriteWholeFile(path, "not host messages"));
  HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Win32Platform p(file, nullptr);
  EXPECT_FALSE(p.HasHostReader());
  uint32_t available = 0;
  EXPECT_FALSE(p.HostPeek(available));
  p.HostCloseInput();
}

// --- Clock and waits --------------------------------------------------------------------------

TEST(Win32Platform, ThePerformanceCounterRunsForwards) {
  Win32Platform p(nullptr, nullptr);
  int64_t frequency = 0;
  ASSERT_TRUE(p.QueryPerformanceFrequency(frequency));
  EXPECT_GT(frequency, 0);
  int64_t previous = 0;
  ASSERT_TRUE(p.QueryPerformanceCounter(previous));
  const uint64_t ticks = p.TickCountMs();
  p.Sleep(50);
  EXPECT_GE(p.TickCountMs() - ticks, 30u);  // the tick count's grain is 10-16 ms
  for (int i = 0; i < 1000; ++i) {
    int64_t now = 0;
    ASSERT_TRUE(p.QueryPerformanceCounter(now));
    ASSERT_GE(now, previous);
    previous = now;
  }
  EXPECT_FALSE(p.WaitPortInput(0, false, 1000));
}

TEST(Win32Platform, WaitsNeverEndEarly) {
  Win32Platform p(nullptr, nullptr);
  Server s(p, ".");
  for (const double usec : {300.0, 500.0, 2500.0, 5000.0, 20000.0}) {
    for (int i = 0; i < 5; ++i) {
      const double start = TimerApi_uSec(s);
      WaitMicroseconds(s, usec);
      EXPECT_GE(TimerApi_uSec(s) - start, usec) << usec;
    }
  }
  // The timer's lateness is learned, and stays within what a wait could absorb.
  EXPECT_GE(p.TimerLateness_usec(), 0);
  EXPECT_LE(p.TimerLateness_usec(), 5000);
}

// --- Files ----------------------------------------------------------------------------------

TEST(Win32Platform, FilesKeepEveryByte) {
  TempFolder folder;
  Win32Platform p(nullptr, nullptr);
  EXPECT_EQ(p.PathSeparator(), '\\');
  const std::string path = folder.File("SetComVarno.ini");
  std::string bytes("[LOG]\r\n1\r\n\0\xFF\n", 12);
  bytes += std::string(100000, 'x');  // more than one read
  EXPECT_FALSE(p.FileReadable(path));
  ASSERT_TRUE(p.WriteWholeFile(path, bytes));
  EXPECT_TRUE(p.FileReadable(path));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(path, back));
  EXPECT_TRUE(back == bytes);
  ASSERT_TRUE(p.WriteWholeFile(path, "short"));  // replaced, not overwritten in place
  ASSERT_TRUE(p.ReadWholeFile(path, back));
  EXPECT_EQ(back, "short");
  EXPECT_FALSE(p.FileReadable(folder.path()));  // a folder is not a file
  EXPECT_FALSE(p.ReadWholeFile(folder.File("missing.ini"), back));
  EXPECT_FALSE(p.WriteWholeFile(folder.path() + "\\no\\such\\folder.ini", "x"));
}

TEST(Win32Platform, CopyReplacesTheTarget) {
  TempFolder folder;
  Win32Platform p(nullptr, nullptr);
  const std::string log = folder.File("RxTx.TXT");
  const std::string last = folder.File("Last_RxTx.TXT");
  ASSERT_TRUE(p.WriteWholeFile(log, "second run\r\n"));
  ASSERT_TRUE(p.WriteWholeFile(last, "first run, a longer log\r\n"));
  ASSERT_TRUE(p.CopyFileReplace(log, last));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(last, back));
  EXPECT_EQ(back, "second run\r\n");
  EXPECT_FALSE(p.CopyFileReplace(folder.File("missing.TXT"), last));
  // A rename replaces the target in one step; a failed one leaves it as it was.
  ASSERT_TRUE(p.WriteWholeFile(folder.File("PortCom.ini.tmp"), "7\r\n"));
  ASSERT_TRUE(p.WriteWholeFile(folder.File("PortCom.ini"), "3\r\n"));
  ASSERT_TRUE(p.MoveFileReplace(folder.File("PortCom.ini.tmp"), folder.File("PortCom.ini")));
  ASSERT_TRUE(p.ReadWholeFile(folder.File("PortCom.ini"), back));
  EXPECT_EQ(back, "7\r\n");
  EXPECT_FALSE(p.FileReadable(folder.File("PortCom.ini.tmp")));
  EXPECT_FALSE(p.MoveFileReplace(folder.File("PortCom.ini.tmp"), folder.File("PortCom.ini")));
  ASSERT_TRUE(p.ReadWholeFile(folder.File("PortCom.ini"), back));
  EXPECT_EQ(back, "7\r\n");
}

TEST(Win32Platform, AnOpenLogTakesLinesAndCanBeReadMeanwhile) {
  TempFolder folder;
  Win32Platform p(nullptr, nullptr);
  const std::string path = folder.File("RxTx.TXT");
  ASSERT_TRUE(p.WriteWholeFile(path, "old contents that must go"));
  const int64_t file = p.OpenWriteFile(path);
  ASSERT_NE(file, kInvalidHandle);
  ASSERT_TRUE(p.WriteOpenFile(file, "0 TimerApi_uSec 1 Now x\r\n"));
  ASSERT_TRUE(p.WriteOpenFile(file, "5 T 41\r\n"));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(path, back));  // shared for reading while open
  EXPECT_EQ(back, "0 TimerApi_uSec 1 Now x\r\n5 T 41\r\n");
  p.CloseOpenFile(file);
  EXPECT_FALSE(p.WriteOpenFile(kInvalidHandle, "x"));
  EXPECT_EQ(p.OpenWriteFile(folder.path() + "\\no\\such\\RxTx.TXT"), kInvalidHandle);
  // Opened for appending, the log keeps its lines; a missing one is created.
  for (const char* name : {"RxTx.TXT", "Other.TXT"}) {
    const int64_t more = p.OpenAppendFile(folder.File(name));
    ASSERT_NE(more, kInvalidHandle);
    ASSERT_TRUE(p.WriteOpenFile(more, "9 R 44\r\n"));
    p.CloseOpenFile(more);
  }
  ASSERT_TRUE(p.ReadWholeFile(path, back));
  EXPECT_EQ(back, "0 TimerApi_uSec 1 Now x\r\n5 T 41\r\n9 R 44\r\n");
  ASSERT_TRUE(p.ReadWholeFile(folder.File("Other.TXT"), back));
  EXPECT_EQ(back, "9 R 44\r\n");
}

TEST(Win32Platform, DatesComeInTheUsersFormat) {
  Win32Platform p(nullptr, nullptr);
  const LocalDateTime now = p.LocalNow();
  EXPECT_GE(now.year, 2020);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_GE(now.day, 1);
  EXPECT_LE(now.day, 31);
  const std::string text = p.FormatGeneralDate({2025, 3, 5, 21, 7, 3});
  // Whatever the locale's order, the year, the minutes and the seconds show, the date first.
  const size_t year = text.find("25");
  const size_t time = text.find("07");
  ASSERT_NE(year, std::string::npos) << text;
  ASSERT_NE(time, std::string::npos) << text;
  EXPECT_LT(year, time) << text;
  EXPECT_NE(text.find("03", time), std::string::npos) << text;
  EXPECT_NE(text.find(' '), std::string::npos) << text;
}

TEST(Win32Platform, TheProgramFolderHoldsTheRunningExecutable) {
  const std::string folder = Win32ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '\\');
  char exe[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  EXPECT_EQ(std::string(exe).rfind(folder + "\\", 0), 0u) << exe;
}

// --- Processes ------------------------------------------------------------------------------

TEST(Win32Platform, TheProcessListNamesThisProgram) {
  Win32Platform p(nullptr, nullptr);
  std::vector<std::string> names;
  ASSERT_TRUE(p.ListProcesses(names));
  char exe[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string own = exe;
  own = own.substr(own.find_last_of("\\/") + 1);
  bool found = false;
  for (const std::string& name : names) {
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name.find('\\'), std::string::npos) << name;  // file names, without a folder
    found = found || Lower(name) == Lower(own);
  }
  EXPECT_TRUE(found) << own;
}

// --- Serial ports ---------------------------------------------------------------------------

TEST(Win32Platform, AMissingComPortFailsWithTheInvalidHandleAndAnErrorCode) {
  Win32Platform p(nullptr, nullptr);
  const int64_t handle = p.OpenSerial("\\\\.\\COM249");
  EXPECT_EQ(handle, kInvalidHandle);
  EXPECT_NE(p.GetLastError(), 0u);
  Dcb dcb;
  EXPECT_FALSE(p.GetCommState(handle, dcb));
  uint32_t errors = 0, queued = 7;
  EXPECT_FALSE(p.ClearCommError(handle, errors, queued));
  EXPECT_EQ(queued, 0u);
}

// --- D2XX driver ----------------------------------------------------------------------------

TEST(Win32D2xx, WithoutTheDriverLibraryEveryCallFailsWithoutACrash) {
  Win32D2xx d2xx("ecub-no-such-driver.dll");
  uint32_t count = 5;
  EXPECT_NE(d2xx.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  int64_t handle = 0;
  EXPECT_NE(d2xx.FT_Open(0, &handle), FT_OK);
  EXPECT_NE(d2xx.FT_GetQueueStatus(handle, &count), FT_OK);
  char byte = 'x';
  uint32_t done = 0;
  EXPECT_NE(d2xx.FT_Write(handle, &byte, 1, &done), FT_OK);
  EXPECT_NE(d2xx.FT_Close(handle), FT_OK);
  FtProgramData data;
  EXPECT_NE(d2xx.FT_EE_Read(handle, &data), FT_OK);
  EXPECT_FALSE(d2xx.Load());
  EXPECT_NE(d2xx.error().find("ecub-no-such-driver.dll"), std::string::npos);
  EXPECT_EQ(d2xx.functions_found(), 0);
}

TEST(Win32D2xx, ALibraryWithoutTheFunctionsFailsEachCall) {
  // kernel32 loads fine but exports none of the driver's functions.
  Win32D2xx d2xx("kernel32.dll");
  EXPECT_TRUE(d2xx.Load());
  EXPECT_EQ(d2xx.functions_found(), 0);
  int64_t handle = 0;
  EXPECT_EQ(d2xx.FT_Open(0, &handle), FT_OTHER_ERROR);
  EXPECT_EQ(d2xx.FT_Purge(handle, 3), FT_OTHER_ERROR);
  EXPECT_EQ(d2xx.FT_SetLatencyTimer(handle, 1), FT_NOT_SUPPORTED);  // optional: told apart
}

TEST(Win32D2xx, TheDriverIsLoadedByItsFullPathInTheProgramFolder) {
  // Not by its bare name, which would also search the current folder and PATH.
  Win32D2xx d2xx;
  EXPECT_EQ(d2xx.library(), Win32ProgramFolder() + "\\KVELD2XX.DLL");
  ASSERT_TRUE(d2xx.Load()) << d2xx.error();
  EXPECT_EQ(d2xx.functions_found(), 14);
}

// The stand-in driver built as KVELD2XX.DLL beside this program: every argument and the record
// cross to its own declarations intact, which on the 32-bit build needs the stdcall convention
// on both sides and the driver's layout of FT_PROGRAM_DATA.
TEST(Win32D2xx, TheDriverLibraryIsFoundByItsNameAndDrivesBothInterfaces) {
  Win32Platform p(nullptr, nullptr);
  D2xx& d2xx = p.Ftdi();
  uint32_t count = 0;
  ASSERT_EQ(d2xx.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 2u);
  char text[129] = {};
  ASSERT_EQ(d2xx.FT_ListDevices(reinterpret_cast<void*>(uintptr_t{0}), text,
                                FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER),
            FT_OK);
  EXPECT_STREQ(text, "FT4KV001");
  ASSERT_EQ(d2xx.FT_ListDevices(reinterpret_cast<void*>(uintptr_t{1}), text,
                                FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION),
            FT_OK);
  EXPECT_STREQ(text, "Gas injection interface B, long name");

  int64_t handle = 0;
  ASSERT_EQ(d2xx.FT_Open(0, &handle), FT_OK);
  EXPECT_NE(handle, 0);
  EXPECT_EQ(d2xx.FT_SetBaudRate(handle, 38400), FT_OK);
  EXPECT_EQ(d2xx.FT_SetDataCharacteristics(handle, 8, 0, 0), FT_OK);
  EXPECT_NE(d2xx.FT_SetDataCharacteristics(handle, 5, 0, 0), FT_OK);  // arguments arrive
  EXPECT_EQ(d2xx.FT_SetFlowControl(handle, 0, 0, 0), FT_OK);
  EXPECT_EQ(d2xx.FT_SetTimeouts(handle, 50, 50), FT_OK);
  EXPECT_EQ(d2xx.FT_SetChars(handle, 126, 0, 0, 0), FT_OK);
  uint32_t written = 0;
  ASSERT_EQ(d2xx.FT_Write(handle, "\x41\x02", 2, &written), FT_OK);
  EXPECT_EQ(written, 2u);
  uint32_t queued = 0;
  ASSERT_EQ(d2xx.FT_GetQueueStatus(handle, &queued), FT_OK);
  EXPECT_EQ(queued, 2u);  // interface 0 is a loopback
  char back[2] = {};
  uint32_t read = 0;
  ASSERT_EQ(d2xx.FT_Read(handle, back, queued, &read), FT_OK);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(std::string(back, 2), "\x41\x02");
  EXPECT_EQ(d2xx.FT_Purge(handle, 3), FT_OK);

  // The EEPROM record crosses to the driver's own declaration of it intact.
  char manufacturer[kFtManufacturerSize] = {};
  char manufacturer_id[kFtManufacturerIdSize] = {};
  char description[kFtDescriptionSize] = {};
  char serial[kFtSerialNumberSize] = {};
  FtProgramData data;
  data.Manufacturer = manufacturer;
  data.ManufacturerId = manufacturer_id;
  data.Description = description;
  data.SerialNumber = serial;
  ASSERT_EQ(d2xx.FT_EE_Read(handle, &data), FT_OK);
  EXPECT_EQ(data.VendorId, 0x0403);
  EXPECT_EQ(data.ProductId, 0x6001);
  EXPECT_STREQ(manufacturer, "FTDI");
  EXPECT_STREQ(description, "KVEL USB Interface A");
  EXPECT_STREQ(serial, "FT4KV001");
  EXPECT_EQ(data.MaxPower, 90);
  EXPECT_EQ(data.USBVersion, 0x0200);
  EXPECT_EQ(data.EndpointSize, 64);
  EXPECT_EQ(data.Cbus4, 7);
  EXPECT_EQ(data.RIsD2XX, 1);
  std::strcpy(description, "Renamed");
  ASSERT_EQ(d2xx.FT_EE_Program(handle, &data), FT_OK);
  std::memset(description, 0, sizeof description);
  ASSERT_EQ(d2xx.FT_EE_Read(handle, &data), FT_OK);
  EXPECT_STREQ(description, "Renamed");

  std::strcpy(description, "KVEL USB Interface A");  // as it was, for the tests after this one
  ASSERT_EQ(d2xx.FT_EE_Program(handle, &data), FT_OK);

  EXPECT_EQ(d2xx.FT_Close(handle), FT_OK);
  EXPECT_NE(d2xx.FT_Close(handle), FT_OK);  // the handle is no longer open
}

// --- The server over the D2XX stand-in ---------------------------------------------------------

// A server on the Windows platform whose driver is the stand-in, spoken to through its host
// pipes; the stand-in tells what the server asked of it.
class OverStandIn : public ::testing::Test {
 protected:
  OverStandIn() : platform(pipes.in_read, pipes.out_write), s(platform, folder.path()) {
    s.settings.LOG = true;
    s.settings.BaudRate = 19200;
    s.settings.Bit = 7;
    s.settings.StopBit = 2;
    s.settings.Parity = 2;
    s.settings.LatencyTimer_ms = 3;
    s.settings.NumResend = 2;
    s.settings.AttesaByteTx_usec = 0;
    s.settings.Idle_usec = 0;
    s.settings.AttesaGlobale_usec = 30000;
    s.AttesaGlobaleCorrente = 30000;
    ApriLog(s);
  }
  void SetUp() override {
    // Loaded by the first call into the driver.
    uint32_t count = 0;
    platform.Ftdi().FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    const HMODULE driver =
        ::GetModuleHandleW(WidePath(Win32ProgramFolder() + "\\KVELD2XX.DLL").c_str());
    ASSERT_NE(driver, nullptr);
    state_of = reinterpret_cast<D2xxDoubleStateFn>(
        reinterpret_cast<void (*)()>(::GetProcAddress(driver, kD2xxDoubleStateExport)));
    ASSERT_NE(state_of, nullptr);
  }
  void TearDown() override { ChiudiPorta(s); }

  // Runs one instruction as the main loop would and returns its reply.
  std::string Ask(int code, const std::string& argument = {}) {
    s.Argument = argument;
    EseguiIstruzione(s, code);
    std::string reply(8, '\0');
    DWORD read = 0;
    if (!::ReadFile(pipes.out_read, reply.data(), 8, &read, nullptr) || read != 8) return {};
    const size_t length =
        (static_cast<unsigned char>(reply[0]) << 8) | static_cast<unsigned char>(reply[1]);
    if (length > 8) {
      std::string data(length - 8, '\0');
      if (!::ReadFile(pipes.out_read, data.data(), static_cast<DWORD>(data.size()), &read,
                      nullptr)) {
        return reply;
      }
      reply += data.substr(0, read);
    }
    return reply;
  }
  std::string Log() {
    std::string text;
    platform.ReadWholeFile(folder.File("RxTx.TXT"), text);
    return text;
  }
  // Connects over USB (instruction 3, port 0): interface 0 echoes the request and is passed
  // over, interface 1 gives the short answer and is taken.
  void Connect() {
    Ask(10, std::string(12, '\0') + "FW 9.99 NONE X");
    const std::string reply = Ask(3, std::string(1, '\0'));
    ASSERT_GE(reply.size(), 10u);
    ASSERT_EQ(reply[3], 1) << "LinkStatus";
    ASSERT_EQ(s.IndiceUsb, 1);
  }

  HostPipes pipes;
  TempFolder folder;
  Win32Platform platform;
  Server s;
  D2xxDoubleStateFn state_of = nullptr;
};

TEST_F(OverStandIn, ListsConnectsAndSetsTheLineUp) {
  ChiudiPorta(s);  // every close refreshes the list
  const std::string list = Ask(5);
  EXPECT_EQ(list.substr(8), "FT4KV001KVEL USB Interface AKV02    Gas injection interf");

  const D2xxDoubleState before = *state_of(1);
  const uint32_t passed_over_opens = state_of(0)->opens;
  Connect();
  const D2xxDoubleState& unit = *state_of(1);
  EXPECT_EQ(unit.opens, before.opens + 1);
  EXPECT_EQ(unit.baud, 19200u);
  EXPECT_EQ(std::vector<int>({unit.bits, unit.stop_bits, unit.parity}),
            std::vector<int>({7, 2, 2}));
  EXPECT_EQ(std::vector<int>({unit.flow, unit.xon, unit.xoff}), std::vector<int>({0, 0, 0}));
  EXPECT_EQ(unit.read_timeout_ms, 50u);
  EXPECT_EQ(unit.write_timeout_ms, 50u);
  EXPECT_EQ(
      std::vector<int>({unit.event_char, unit.event_enabled, unit.error_char, unit.error_enabled}),
      std::vector<int>({126, 0, 0, 0}));
  EXPECT_EQ(unit.latency_ms, 3);
  // Interface 0 was tried and let go again.
  EXPECT_GT(state_of(0)->opens, passed_over_opens);
  EXPECT_EQ(state_of(0)->closes, state_of(0)->opens);

  // A relayed command: the request goes out byte by byte and the answer comes back whole.
  const std::string request("\x42\x01\x04\x21\x5A\x3C", 6);
  const std::string reply = Ask(6, request);
  EXPECT_EQ(reply.substr(8), request);  // this unit's answer to a 0x21 request
  EXPECT_EQ(reply[3], 1);
  EXPECT_NE(Log().find(" T 4201"), std::string::npos);
}

TEST_F(OverStandIn, AnAnswerThatNeverFitsEndsInPurgesAndAClose) {
  Connect();
  const D2xxDoubleState before = *state_of(1);
  // Interface 1 answers every request with the short identification, which is no answer to a
  // 0x30 request: each attempt fails, is followed by a purge of the transmit buffer, and after
  // the last one the port is closed.
  const std::string reply = Ask(6, std::string("\x42\x01\x04\x30\x00\x77", 6));
  const D2xxDoubleState& unit = *state_of(1);
  EXPECT_EQ(reply[3], 0) << "LinkStatus";
  EXPECT_EQ(unit.purges[2] - before.purges[2], 3u);  // NumResend 2: three attempts
  EXPECT_EQ(unit.closes, before.closes + 1);
  EXPECT_EQ(s.HandlePorta, 0);
}

TEST_F(OverStandIn, TheEepromWriteChangesOnlyTheDescription) {
  Connect();
  D2xx& driver = platform.Ftdi();
  const auto read_record = [&](FtProgramData& record, std::string texts[4]) {
    char manufacturer[kFtManufacturerSize] = {}, id[kFtManufacturerIdSize] = {};
    char description[kFtDescriptionSize] = {}, serial[kFtSerialNumberSize] = {};
    record.Manufacturer = manufacturer;
    record.ManufacturerId = id;
    record.Description = description;
    record.SerialNumber = serial;
    const FtResult status = driver.FT_EE_Read(s.HandlePorta, &record);
    texts[0] = manufacturer;
    texts[1] = id;
    texts[2] = description;
    texts[3] = serial;
    record.Manufacturer = record.ManufacturerId = record.Description = record.SerialNumber =
        nullptr;
    return status;
  };
  FtProgramData before;
  std::string before_texts[4];
  ASSERT_EQ(read_record(before, before_texts), FT_OK);
  EXPECT_EQ(before_texts[2], "Gas injection interface B, long name");
  EXPECT_EQ(before.EndpointSize, 64);

  const std::string reply = Ask(12, "NEW NAME 12345678901");
  EXPECT_EQ(reply[7], 0) << "result";
  EXPECT_EQ(reply.substr(8), "NEW NAME 12345678901");
  EXPECT_EQ(state_of(1)->eeprom_programs, 1u);

  FtProgramData after;
  std::string after_texts[4];
  ASSERT_EQ(read_record(after, after_texts), FT_OK);
  EXPECT_EQ(after_texts[2], "NEW NAME 12345678901");
  EXPECT_EQ(after_texts[0], before_texts[0]);
  EXPECT_EQ(after_texts[1], before_texts[1]);
  EXPECT_EQ(after_texts[3], before_texts[3]);
  // Every other field of the record, byte for byte (the record has no gaps up to its last
  // field; the texts are compared above).
  const auto fields = [](const FtProgramData& r) {
    return std::string(reinterpret_cast<const char*>(&r), offsetof(FtProgramData, RIsD2XX) + 1);
  };
  EXPECT_EQ(fields(after), fields(before));
  // The list shows the new name once the interface is listed again.
  ChiudiPorta(s);
  EXPECT_EQ(s.UsbDescList.at(1), "NEW NAME 12345678901");
  ASSERT_NE(state_of(1), nullptr);
}

TEST_F(OverStandIn, CloseTriesFiveTimes) {
  Connect();
  const D2xxDoubleState before = *state_of(1);
  state_of(1)->close_failures = 3;
  Ask(2);
  EXPECT_EQ(state_of(1)->closes, before.closes + 1);  // the fourth attempt
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_NE(Log().find("FT_Close Error#4\r\n"), std::string::npos);

  Connect();
  state_of(1)->close_failures = 5;
  EXPECT_FALSE(ChiudiPorta(s));  // five failed attempts: the handle stays
  EXPECT_NE(s.HandlePorta, 0);
  EXPECT_TRUE(ChiudiPorta(s));
  EXPECT_EQ(s.HandlePorta, 0);
}

// --- Window messages and the status form -----------------------------------------------------

class StatusWindowTest : public ::testing::Test {
 protected:
  StatusWindowTest() : server(platform, ".") {}
  Win32Platform platform{nullptr, nullptr};
  Server server;
};

TEST_F(StatusWindowTest, TheFormShowsTheLinkStateOnEveryTick) {
  StatusWindow window(server, platform);
  ASSERT_TRUE(window.ok());
  char caption[32] = {};
  ::GetWindowTextA(static_cast<HWND>(window.window()), caption, sizeof caption);
  EXPECT_STREQ(caption, "Form1");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel2), "Com: 0");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel3), "Mod: 0");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel4), "Port: 0");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel1Cmd), "Cmd");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel1Argomento), "Argomento");
  EXPECT_EQ(window.ControlText(StatusWindow::kInvia), "Invia");
  server.LinkStatus = 1;
  server.PollMode = 2;
  server.PortaCom = 7;
  // A timer message through the thread's queue, as Timer1 delivers it.
  ASSERT_TRUE(
      ::PostMessageA(static_cast<HWND>(window.window()), WM_TIMER, StatusWindow::kTimer1, 0));
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel2), "Com: 0");
  platform.PumpMessages();
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel2), "Com: 1");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel3), "Mod: 2");
  EXPECT_EQ(window.ControlText(StatusWindow::kLabel4), "Port: 7");
}

TEST_F(StatusWindowTest, TheBoxesBuildTheMessageThatInviaInjects) {
  StatusWindow window(server, platform);
  ASSERT_TRUE(window.ok());
  const HWND form = static_cast<HWND>(window.window());
  window.SetControlText(StatusWindow::kCode, "6");
  window.SetControlText(StatusWindow::kArgument, "4102042");
  const HWND argument = ::GetDlgItem(form, StatusWindow::kArgument);
  ::SendMessageA(form, WM_COMMAND, MAKEWPARAM(StatusWindow::kArgument, EN_KILLFOCUS),
                 reinterpret_cast<LPARAM>(argument));
  EXPECT_EQ(window.ControlText(StatusWindow::kArgument), "41020420");
  window.SetControlText(StatusWindow::kArgument, "41020421");
  const HWND invia = ::GetDlgItem(form, StatusWindow::kInvia);
  ::SendMessageA(form, WM_COMMAND, MAKEWPARAM(StatusWindow::kInvia, BN_CLICKED),
                 reinterpret_cast<LPARAM>(invia));
  EXPECT_EQ(server.PendingMessage,
            std::string("\x0C\x00\x06\x00\x00\x00\x00\x00\x41\x02\x04\x21", 12));
}

TEST_F(StatusWindowTest, ClosingTheFormEndsTheServerAndKeepsTheWindow) {
  StatusWindow window(server, platform);
  ASSERT_TRUE(window.ok());
  const HWND form = static_cast<HWND>(window.window());
  ::SendMessageA(form, WM_CLOSE, 0, 0);
  EXPECT_TRUE(server.QuitRequested);
  EXPECT_TRUE(::IsWindow(form));
}

}  // namespace
}  // namespace ecub
