// The Windows platform against the real kernel32 and user32 (run under Wine in CI).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "app/main_loop.h"
#include "app/status_window.h"
#include "codec/host_codec.h"
#include "d2xx_double.h"
#include "link/port.h"
#include "platform/ft_program_data.h"
#include "platform/win32/win32_convert.h"
#include "platform/win32/win32_d2xx.h"
#include "platform/win32/win32_platform.h"
#include "server/clock.h"
#include "server/server.h"

namespace ecub {
namespace {

// A scratch folder of its own under the system's temporary folder, removed afterwards. Its name
// holds Cyrillic and CJK letters, outside any ANSI code page, as a user name may.
struct TempFolder {
  TempFolder() {
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, base);
    path = Utf8Path(base) +
           "ecub-\xD0\x9F\xD1\x80\xD0\xBE\xD0\xB1\xD0\xB0-\xE6\xB8\xAC\xE8\xA9\xA6-" +
           std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(counter++);
    ::CreateDirectoryW(WidePath(path).c_str(), nullptr);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(WidePath(path), ignored);
  }
  // A path in the folder; the file goes with the folder.
  std::string File(const std::string& name) const { return path + "\\" + name; }

  static inline int counter = 0;
  std::string path;
};

// A platform without host pipes, and a scratch folder for its files.
class PlainPlatform : public ::testing::Test {
 protected:
  bool Write(const std::string& name, const std::string& text) {
    return p.WriteWholeFile(folder.File(name), text);
  }
  // The whole file, or "(unreadable)".
  std::string Read(const std::string& name) {
    std::string text;
    return p.ReadWholeFile(folder.File(name), text) ? text : "(unreadable)";
  }

  TempFolder folder;
  Win32Platform p{nullptr, nullptr};
};

// --- Conversions ----------------------------------------------------------------------------

TEST(Win32Convert, TheFlagWordIsTheDcbsOwnThirdDoubleWord) {
  // A flag word from the settings file must set exactly the bits Windows keeps at that place:
  // each bit alone finds its field, the patterns the fields' widths. One DCB for all of them,
  // so that a bit left over from the word before shows too.
  std::vector<uint32_t> words = {0xFFFFFFFFu, 0x00001091u, 0x0000501Fu, 0xA5A5A5A5u};
  for (int bit = 0; bit < 32; ++bit) words.push_back(1u << bit);
  DCB out{};
  for (const uint32_t word : words) {
    Dcb dcb;
    dcb.fBitFields = word;
    ToWin32Dcb(dcb, out);
    uint32_t raw = 0;
    std::memcpy(&raw, reinterpret_cast<const char*>(&out) + 8, sizeof raw);
    EXPECT_EQ(raw, word);
    EXPECT_EQ(FromWin32Dcb(out).fBitFields, word);
  }
}

TEST(Win32Convert, EveryOtherFieldGoesBothWays) {
  // Each field a value of its own, so that two fields mixed up show.
  const auto fields = [](auto& d) {
    return std::tie(d.BaudRate, d.wReserved, d.XonLim, d.XoffLim, d.ByteSize, d.Parity, d.StopBits,
                    d.XonChar, d.XoffChar, d.ErrorChar, d.EofChar, d.EvtChar, d.wReserved1);
  };
  Dcb dcb;
  fields(dcb) = std::make_tuple(115200, 3, 2048, 512, 7, 2, 1, 0x11, 0x13, '?', 0x1A, '~', 9);
  DCB out{};
  ToWin32Dcb(dcb, out);
  const Dcb dcb_back = FromWin32Dcb(out);
  EXPECT_EQ(out.DCBlength, sizeof(DCB));
  EXPECT_EQ(dcb_back.DCBlength, sizeof(DCB));
  EXPECT_EQ(fields(out), fields(dcb));
  EXPECT_EQ(fields(dcb_back), fields(dcb));

  const auto times = [](auto& x) {
    return std::tie(x.ReadIntervalTimeout, x.ReadTotalTimeoutMultiplier, x.ReadTotalTimeoutConstant,
                    x.WriteTotalTimeoutMultiplier, x.WriteTotalTimeoutConstant);
  };
  CommTimeouts t;
  times(t) = std::make_tuple(5, 1, 2, 7, 50);
  COMMTIMEOUTS w{};
  ToWin32Timeouts(t, w);
  const CommTimeouts t_back = FromWin32Timeouts(w);
  EXPECT_EQ(times(w), times(t));
  EXPECT_EQ(times(t_back), times(t));

  const SYSTEMTIME st = ToSystemTime({2025, 3, 5, 9, 7, 3});
  EXPECT_EQ(std::make_tuple(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond),
            std::make_tuple(2025, 3, 5, 9, 7, 3));
  const LocalDateTime back = FromSystemTime(st);
  EXPECT_EQ(std::make_tuple(back.year, back.month, back.day, back.hour, back.minute, back.second),
            std::make_tuple(2025, 3, 5, 9, 7, 3));
}

TEST(Win32Convert, AProcessNameEndsAtItsFirstZero) {
  PROCESSENTRY32 entry{};
  std::memcpy(entry.szExeFile, "HOST.EXE\0junk", 13);
  EXPECT_EQ(ProcessEntryName(entry), "HOST.EXE");
  std::memset(entry.szExeFile, 'A', sizeof entry.szExeFile);
  EXPECT_EQ(ProcessEntryName(entry), "");  // no zero at all: skipped
}

TEST_F(PlainPlatform, HandlesKeepTheirValueAndTheInvalidHandleIsMinusOne) {
  EXPECT_EQ(HandleToInt(INVALID_HANDLE_VALUE), kInvalidHandle);
  EXPECT_EQ(IntToHandle(kInvalidHandle), INVALID_HANDLE_VALUE);
  const HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const int64_t value = HandleToInt(event);
  EXPECT_GT(value, 0);
  EXPECT_TRUE(p.CloseHandle(value));
  EXPECT_FALSE(p.CloseHandle(value));  // already closed
}

// --- Host pipe ------------------------------------------------------------------------------

// The whole of `bytes` in one write.
bool WriteAll(HANDLE h, const std::string& bytes) {
  DWORD written = 0;
  return ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

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
  bool Write(const std::string& bytes) { return WriteAll(in_write, bytes); }
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

// The host's input has ended with `waiting` still unread: those bytes are handed over before the
// input counts as ended; then it peeks as failed and a wait lasts its whole time: about three
// 100 ms waits in 300 ms, many more when a wait returns at once (a reader that spins or an end
// reported as input).
void ExpectEndAfter(Win32Platform& p, const std::string& waiting) {
  ::Sleep(50);
  EXPECT_FALSE(p.HostInputEnded());
  std::string got;
  ASSERT_TRUE(p.HostRead(static_cast<uint32_t>(waiting.size()), got));
  EXPECT_EQ(got, waiting);
  EXPECT_TRUE(p.HostInputEnded());
  const ULONGLONG deadline = ::GetTickCount64() + 1000;
  uint32_t available = 0;
  while (p.HostPeek(available) && ::GetTickCount64() < deadline) p.HostWaitInput(10000);
  EXPECT_FALSE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
  int waits = 0;
  for (const ULONGLONG start = ::GetTickCount64(); ::GetTickCount64() - start < 300; ++waits) {
    p.HostWaitInput(100000);
  }
  EXPECT_LE(waits, 5);
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

  // The host goes with the message still waiting.
  ::CloseHandle(pipes.in_write);
  pipes.in_write = nullptr;
  ExpectEndAfter(p, std::string("\x08\x00\x00\x00\x00\x00\x00\x00", 8));
  // A host that no longer reads either makes a reply fail, quietly.
  ::CloseHandle(pipes.out_read);
  pipes.out_read = nullptr;
  EXPECT_FALSE(p.HostWrite("reply"));
}

// A pipe read that hands over no bytes: what a socket or a pipe given as standard input reads at
// its end (Wine's, for a Linux pipe). A message pipe gives it for a message of no bytes.
TEST(Win32Platform, AReadOfNoBytesEndsTheInputForGood) {
  const wchar_t* name = L"\\\\.\\pipe\\ecub-zero-read-test";
  const HANDLE server = ::CreateNamedPipeW(name, PIPE_ACCESS_INBOUND,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                           0, 1 << 20, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  const HANDLE client = ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  Win32Platform p(server, nullptr);
  // A message longer than the reader's buffer comes in parts, all of them.
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(WriteAll(client, big));
  EXPECT_EQ(AwaitBytes(p, 70000), 70000u);
  std::string got;
  ASSERT_TRUE(p.HostRead(70000, got));
  EXPECT_TRUE(got == big);
  ASSERT_TRUE(WriteAll(client, "abc"));
  EXPECT_EQ(AwaitBytes(p, 3), 3u);
  ASSERT_TRUE(WriteAll(client, ""));
  ASSERT_TRUE(WriteAll(client, "later"));  // after the end: never read
  ExpectEndAfter(p, "abc");
  p.HostCloseInput();
  ::CloseHandle(client);
}

// --- Clock and waits --------------------------------------------------------------------------

TEST_F(PlainPlatform, TheClocksRunForwardsAndWaitsNeverEndEarly) {
  int64_t frequency = 0, before = 0, after = 0;
  ASSERT_TRUE(p.QueryPerformanceFrequency(frequency));
  EXPECT_GT(frequency, 0);
  ASSERT_TRUE(p.QueryPerformanceCounter(before));
  const uint64_t ticks = p.TickCountMs();
  p.Sleep(50);
  ASSERT_TRUE(p.QueryPerformanceCounter(after));
  EXPECT_GT(after, before);
  const uint64_t elapsed = p.TickCountMs() - ticks;
  EXPECT_GE(elapsed, 30u);  // the tick count's grain is 10-16 ms
  EXPECT_LT(elapsed, 1000u);

  Server s(p, ".");
  for (const double usec : {300.0, 500.0, 2500.0, 5000.0, 20000.0}) {
    for (int i = 0; i < 5; ++i) {
      const double start = TimerApi_uSec(s);
      WaitMicroseconds(s, usec);
      EXPECT_GE(TimerApi_uSec(s) - start, usec) << usec;
    }
  }
}

// --- Files ----------------------------------------------------------------------------------

TEST_F(PlainPlatform, FilesKeepEveryByte) {
  EXPECT_EQ(p.PathSeparator(), '\\');
  std::string bytes("[LOG]\r\n1\r\n\0\xFF\n", 12);
  bytes += std::string(100000, 'x');  // more than one read
  EXPECT_FALSE(p.FileReadable(folder.File("SetComVarno.ini")));
  ASSERT_TRUE(Write("SetComVarno.ini", bytes));
  EXPECT_TRUE(p.FileReadable(folder.File("SetComVarno.ini")));
  EXPECT_TRUE(Read("SetComVarno.ini") == bytes);
  ASSERT_TRUE(Write("SetComVarno.ini", "short"));  // replaced, not overwritten in place
  EXPECT_EQ(Read("SetComVarno.ini"), "short");
  EXPECT_FALSE(p.FileReadable(folder.path));  // a folder is not a file
  EXPECT_EQ(Read("missing.ini"), "(unreadable)");
  EXPECT_FALSE(p.WriteWholeFile(folder.path + "\\no\\such\\folder.ini", "x"));
}

TEST_F(PlainPlatform, CopyAndRenameReplaceTheTarget) {
  ASSERT_TRUE(Write("RxTx.TXT", "second run\r\n"));
  ASSERT_TRUE(Write("Last_RxTx.TXT", "first run, a longer log\r\n"));
  ASSERT_TRUE(p.CopyFileReplace(folder.File("RxTx.TXT"), folder.File("Last_RxTx.TXT")));
  EXPECT_EQ(Read("Last_RxTx.TXT"), "second run\r\n");
  EXPECT_FALSE(p.CopyFileReplace(folder.File("missing.TXT"), folder.File("Last_RxTx.TXT")));
  // A rename replaces the target in one step; a failed one leaves it as it was.
  ASSERT_TRUE(Write("PortCom.ini.tmp", "7\r\n"));
  ASSERT_TRUE(Write("PortCom.ini", "3\r\n"));
  for (const bool renamed : {true, false}) {
    EXPECT_EQ(p.MoveFileReplace(folder.File("PortCom.ini.tmp"), folder.File("PortCom.ini")),
              renamed);
    EXPECT_EQ(Read("PortCom.ini"), "7\r\n");
    EXPECT_EQ(Read("PortCom.ini.tmp"), "(unreadable)");
  }
}

TEST_F(PlainPlatform, AnOpenLogTakesLinesAndCanBeReadMeanwhile) {
  ASSERT_TRUE(Write("RxTx.TXT", "old contents that must go"));
  const int64_t file = p.OpenWriteFile(folder.File("RxTx.TXT"));
  ASSERT_NE(file, kInvalidHandle);
  ASSERT_TRUE(p.WriteOpenFile(file, "0 TimerApi_uSec 1 Now x\r\n"));
  ASSERT_TRUE(p.WriteOpenFile(file, "5 T 41\r\n"));
  EXPECT_EQ(Read("RxTx.TXT"), "0 TimerApi_uSec 1 Now x\r\n5 T 41\r\n");  // shared for reading
  p.CloseOpenFile(file);
  EXPECT_EQ(p.OpenWriteFile(folder.path + "\\no\\such\\RxTx.TXT"), kInvalidHandle);
  // Opened for appending, the log keeps its lines; a missing one is created.
  for (const char* name : {"RxTx.TXT", "Other.TXT"}) {
    const int64_t more = p.OpenAppendFile(folder.File(name));
    ASSERT_NE(more, kInvalidHandle);
    ASSERT_TRUE(p.WriteOpenFile(more, "9 R 44\r\n"));
    p.CloseOpenFile(more);
  }
  EXPECT_EQ(Read("RxTx.TXT"), "0 TimerApi_uSec 1 Now x\r\n5 T 41\r\n9 R 44\r\n");
  EXPECT_EQ(Read("Other.TXT"), "9 R 44\r\n");
}

TEST_F(PlainPlatform, AnInputThatIsNotAPipeIsPeekedDirectlyAndFails) {
  ASSERT_TRUE(Write("input.bin", "not host messages"));
  HANDLE file = ::CreateFileW(WidePath(folder.File("input.bin")).c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  Win32Platform input(file, nullptr);
  EXPECT_FALSE(input.HasHostReader());
  uint32_t available = 0;
  EXPECT_FALSE(input.HostPeek(available));
  input.HostCloseInput();
}

TEST_F(PlainPlatform, DatesComeInTheUsersFormat) {
  EXPECT_GE(p.LocalNow().year, 2020);
  const std::string text = p.FormatGeneralDate({2025, 3, 5, 21, 7, 3});
  // Whatever the locale's order, the year, the minutes and the seconds show, the date first.
  const size_t year = text.find("25"), time = text.find("07");
  ASSERT_TRUE(year != std::string::npos && time != std::string::npos) << text;
  EXPECT_LT(year, time) << text;
  EXPECT_NE(text.find("03", time), std::string::npos) << text;
  EXPECT_NE(text.find(' '), std::string::npos) << text;
}

// --- Processes and serial ports ---------------------------------------------------------------

TEST_F(PlainPlatform, TheProcessListNamesThisProgram) {
  std::vector<std::string> names;
  ASSERT_TRUE(p.ListProcesses(names));
  char exe[MAX_PATH + 1] = {};
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  const char* own = std::strrchr(exe, '\\') + 1;
  bool found = false;
  for (const std::string& name : names) {
    EXPECT_EQ(name.find('\\'), std::string::npos) << name;  // file names, without a folder
    found = found || ::lstrcmpiA(name.c_str(), own) == 0;
  }
  EXPECT_TRUE(found) << own;
}

TEST_F(PlainPlatform, AMissingComPortFailsWithTheInvalidHandleAndAnErrorCode) {
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

TEST(Win32D2xx, WithoutTheLibraryOrItsFunctionsTheCallsFailWithoutACrash) {
  Win32D2xx missing("ecub-no-such-driver.dll");
  uint32_t count = 5;
  int64_t handle = 0;
  EXPECT_NE(missing.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_NE(missing.FT_Open(0, &handle), FT_OK);
  EXPECT_FALSE(missing.Load());
  EXPECT_NE(missing.error().find("ecub-no-such-driver.dll"), std::string::npos);

  // kernel32 loads fine but exports none of the driver's functions.
  Win32D2xx lacking("kernel32.dll");
  EXPECT_TRUE(lacking.Load());
  EXPECT_EQ(lacking.functions_found(), 0);
  EXPECT_EQ(lacking.FT_Open(0, &handle), FT_OTHER_ERROR);
  EXPECT_EQ(lacking.FT_Purge(handle, 3), FT_OTHER_ERROR);
  EXPECT_EQ(lacking.FT_SetLatencyTimer(handle, 1), FT_NOT_SUPPORTED);  // optional: told apart
}

TEST(Win32D2xx, TheDriverIsLoadedByItsFullPathInTheProgramFolder) {
  // Not by its bare name, which would also search the current folder and PATH.
  wchar_t exe[MAX_PATH + 1] = {};
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  const std::string own = Utf8Path(exe);
  Win32D2xx d2xx;
  EXPECT_EQ(d2xx.library(), own.substr(0, own.find_last_of('\\')) + "\\KVELD2XX.DLL");
  ASSERT_TRUE(d2xx.Load()) << d2xx.error();
  EXPECT_EQ(d2xx.functions_found(), 14);
}

// --- The server over the D2XX stand-in ---------------------------------------------------------

// The EEPROM record of an interface as read through the server's declaration of it, which must
// be the driver's layout (stdcall and 32-bit pointers included on the 32-bit build).
struct Eeprom {
  FtResult Read(D2xx& driver, int64_t handle) {
    std::tie(record.Manufacturer, record.ManufacturerId, record.Description, record.SerialNumber) =
        std::tuple(manufacturer, id, description, serial);
    return driver.FT_EE_Read(handle, &record);
  }
  std::vector<std::string> Texts() const { return {manufacturer, id, description, serial}; }
  // Every field but the four text pointers, byte for byte (the record has no gaps up to its
  // last field).
  std::string Fields() const {
    const char* bytes = reinterpret_cast<const char*>(&record);
    return std::string(bytes, offsetof(FtProgramData, Manufacturer)) +
           std::string(bytes + offsetof(FtProgramData, MaxPower),
                       bytes + offsetof(FtProgramData, RIsD2XX) + 1);
  }

  FtProgramData record;
  char manufacturer[kFtManufacturerSize] = {}, id[kFtManufacturerIdSize] = {};
  char description[kFtDescriptionSize] = {}, serial[kFtSerialNumberSize] = {};
};

// A server on the Windows platform whose driver is the stand-in, spoken to through its host
// pipes; the stand-in tells what the server asked of it.
class OverStandIn : public ::testing::Test {
 protected:
  OverStandIn() : platform(pipes.in_read, pipes.out_write), s(platform, folder.path) {
    Settings& set = s.settings;
    std::tie(set.BaudRate, set.Bit, set.StopBit, set.Parity, set.LatencyTimer_ms) =
        std::tuple(19200, 7, 2, 2, 3);
    std::tie(set.AttesaByteTx_usec, set.Idle_usec, set.AttesaGlobale_usec,
             s.AttesaGlobaleCorrente) = std::tuple(0, 0, 30000, 30000);
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

  // Runs one instruction as the main loop would and returns its reply, which the server
  // writes in one piece.
  std::string Ask(int code, const std::string& argument = {}) {
    s.Argument = argument;
    EseguiIstruzione(s, code);
    std::string reply(kLongestHostMessage, '\0');
    DWORD read = 0;
    if (!::ReadFile(pipes.out_read, reply.data(), kLongestHostMessage, &read, nullptr)) return {};
    reply.resize(read);
    return reply;
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

// (The interface list through the stand-in is checked end to end, by ecub_win_host.)
TEST_F(OverStandIn, SetsTheLineUpAndTheEepromWriteChangesOnlyTheDescription) {
  const uint32_t opens = state_of(1)->opens;
  Connect();
  const D2xxDoubleState& unit = *state_of(1);
  EXPECT_EQ(unit.opens, opens + 1);
  // Every argument crossed to the driver's own declarations intact.
  EXPECT_EQ(std::vector<uint32_t>({unit.baud, unit.bits, unit.stop_bits, unit.parity, unit.flow,
                                   unit.xon, unit.xoff, unit.read_timeout_ms, unit.write_timeout_ms,
                                   unit.event_char, unit.event_enabled, unit.error_char,
                                   unit.error_enabled, unit.latency_ms}),
            std::vector<uint32_t>({19200, 7, 2, 2, 0, 0, 0, 50, 50, 126, 0, 0, 0, 3}));

  Eeprom before, after;
  ASSERT_EQ(before.Read(platform.Ftdi(), s.HandlePorta), FT_OK);
  // A field of each part of the record, as the stand-in's factory record has them.
  const FtProgramData& r = before.record;
  EXPECT_EQ(std::vector<int>({r.VendorId, r.ProductId, r.MaxPower, r.USBVersion, r.BIsVCP,
                              r.EndpointSize, r.Cbus4, r.RIsD2XX}),
            std::vector<int>({0x0403, 0x6001, 90, 0x0200, 1, 64, 7, 1}));
  EXPECT_EQ(before.Texts(), std::vector<std::string>(
                                {"FTDI", "FT", "Gas injection interface B, long name", "KV02"}));

  const std::string reply = Ask(12, "NEW NAME 12345678901");
  EXPECT_EQ(reply[7], 0) << "result";
  EXPECT_EQ(reply.substr(8), "NEW NAME 12345678901");
  EXPECT_EQ(state_of(1)->eeprom_programs, 1u);
  ASSERT_EQ(after.Read(platform.Ftdi(), s.HandlePorta), FT_OK);
  EXPECT_EQ(after.Texts(),
            std::vector<std::string>({"FTDI", "FT", "NEW NAME 12345678901", "KV02"}));
  EXPECT_EQ(after.Fields(), before.Fields());
  // The stand-in lives as long as the process: its factory record goes back for the other tests.
  Connect();
  EXPECT_EQ(platform.Ftdi().FT_EE_Program(s.HandlePorta, &before.record), FT_OK);
}

// --- The status form ------------------------------------------------------------------------

class StatusWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(window.ok()); }
  HWND Form() const { return static_cast<HWND>(window.window()); }
  // A notification from a control, as Windows sends it to the form.
  void Notify(int id, int code) {
    ::SendMessageA(Form(), WM_COMMAND, MAKEWPARAM(id, code),
                   reinterpret_cast<LPARAM>(::GetDlgItem(Form(), id)));
  }
  std::vector<std::string> Texts(std::initializer_list<int> ids) const {
    std::vector<std::string> texts;
    for (const int id : ids) texts.push_back(window.ControlText(id));
    return texts;
  }

  Win32Platform platform{nullptr, nullptr};
  Server server{platform, "."};
  StatusWindow window{server, platform};
};

TEST_F(StatusWindowTest, TheFormShowsTheLinkStateAndInviaInjectsTheBoxesMessage) {
  using W = StatusWindow;
  char caption[32] = {};
  ::GetWindowTextA(Form(), caption, sizeof caption);
  EXPECT_STREQ(caption, "Form1");
  EXPECT_EQ(Texts({W::kLabel1Cmd, W::kLabel1Argomento, W::kInvia}),
            std::vector<std::string>({"Cmd", "Argomento", "Invia"}));
  EXPECT_EQ(Texts({W::kLabel2, W::kLabel3, W::kLabel4}),
            std::vector<std::string>({"Com: 0", "Mod: 0", "Port: 0"}));
  std::tie(server.LinkStatus, server.PollMode, server.PortaCom) = std::tuple(1, 2, 7);
  // Timer1 ticks twice a second; its messages run within the main loop's wait for the host.
  const ULONGLONG deadline = ::GetTickCount64() + 5000;
  while (window.ControlText(W::kLabel2) == "Com: 0" && ::GetTickCount64() < deadline) {
    platform.HostWaitInput(100000);
  }
  EXPECT_EQ(Texts({W::kLabel2, W::kLabel3, W::kLabel4}),
            std::vector<std::string>({"Com: 1", "Mod: 2", "Port: 7"}));

  window.SetControlText(W::kCode, "6");
  window.SetControlText(W::kArgument, "4102042");
  Notify(W::kArgument, EN_KILLFOCUS);
  EXPECT_EQ(window.ControlText(W::kArgument), "41020420");
  window.SetControlText(W::kArgument, "41020421");
  Notify(W::kInvia, BN_CLICKED);
  EXPECT_EQ(server.PendingMessage,
            std::string("\x0C\x00\x06\x00\x00\x00\x00\x00\x41\x02\x04\x21", 12));

  // Closing ends the server; the window stays until the server takes it down.
  ::SendMessageA(Form(), WM_CLOSE, 0, 0);
  EXPECT_TRUE(server.QuitRequested);
  EXPECT_TRUE(::IsWindow(Form()));
}

// The main loop waits for the host after letting window messages run: a close met in either
// must end that wait at once, not at the form's next timer tick or host message.
TEST_F(StatusWindowTest, ClosingTheFormEndsTheHostWaitAtOnce) {
  ::KillTimer(Form(), StatusWindow::kTimer1);  // no tick to end a wait meanwhile
  // Closed while the loop waits: the close is run inside the wait.
  ASSERT_TRUE(::PostMessageA(Form(), WM_CLOSE, 0, 0));
  ULONGLONG start = ::GetTickCount64();
  platform.HostWaitInput(10e6);
  EXPECT_TRUE(server.QuitRequested);
  EXPECT_LT(::GetTickCount64() - start, 5000u);

  // Closed as the loop let messages run before its wait: the wait does not begin.
  server.QuitRequested = false;
  ::SendMessageA(Form(), WM_CLOSE, 0, 0);
  ASSERT_TRUE(server.QuitRequested);
  start = ::GetTickCount64();
  platform.HostWaitInput(10e6);
  EXPECT_LT(::GetTickCount64() - start, 5000u);
  // Only that wait: the next one sleeps as usual.
  start = ::GetTickCount64();
  platform.HostWaitInput(100e3);
  EXPECT_GE(::GetTickCount64() - start, 90u);
}

}  // namespace
}  // namespace ecub
