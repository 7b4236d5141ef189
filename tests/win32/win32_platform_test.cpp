// The Windows platform against the real kernel32 and user32 (run under Wine in CI).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "host/server.h"
#include "platform/win32/status_window.h"
#include "platform/win32/win32_convert.h"
#include "platform/win32/win32_d2xx.h"
#include "platform/win32/win32_platform.h"
#include "port/ft_program_data.h"

namespace ecub {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A scratch folder of its own under the system's temporary folder, removed afterwards.
class TempFolder {
 public:
  TempFolder() {
    char base[MAX_PATH + 1] = {};
    ::GetTempPathA(sizeof base, base);
    path_ = std::string(base) + "ecub-win32-" + std::to_string(::GetCurrentProcessId()) + "-" +
            std::to_string(counter_++);
    ::CreateDirectoryA(path_.c_str(), nullptr);
  }
  ~TempFolder() {
    for (const std::string& name : created_) ::DeleteFileA(File(name).c_str());
    ::RemoveDirectoryA(path_.c_str());
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

TEST(Win32Platform, HostPipePeeksReadsAndWritesWholeMessages) {
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
  ASSERT_TRUE(::CreatePipe(&in_read, &in_write, nullptr, 0));
  ASSERT_TRUE(::CreatePipe(&out_read, &out_write, nullptr, 0));
  Win32Platform p(in_read, out_write);

  uint32_t available = 99;
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
  const std::string message("\x0A\x00\x00\x00\x00\x00\x00\x00\x41\x42", 10);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(in_write, message.data(), 4, &written, nullptr));
  ASSERT_TRUE(::WriteFile(in_write, message.data() + 4, 6, &written, nullptr));
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 10u);  // both writes, as one message
  std::string got;
  ASSERT_TRUE(p.HostRead(available, got));
  EXPECT_EQ(got, message);
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);

  const std::string reply("\x00\x09\x04\x00\x00\x01\x00\x00\x01", 9);
  ASSERT_TRUE(p.HostWrite(reply));
  std::string back(64, '\0');
  DWORD read = 0;
  ASSERT_TRUE(::ReadFile(out_read, back.data(), 64, &read, nullptr));
  back.resize(read);
  EXPECT_EQ(back, reply);

  p.HostCloseInput();
  p.HostCloseOutput();
  EXPECT_FALSE(p.HostPeek(available));
  EXPECT_FALSE(p.HostWrite(reply));
  // The host sees its pipes end.
  EXPECT_FALSE(::WriteFile(in_write, "x", 1, &written, nullptr));
  EXPECT_FALSE(::ReadFile(out_read, back.data(), 1, &read, nullptr));
  ::CloseHandle(in_write);
  ::CloseHandle(out_read);
}

TEST(Win32Platform, AHostThatHasGoneMakesPeekAndWriteFailQuietly) {
  HANDLE in_read = nullptr, in_write = nullptr, out_read = nullptr, out_write = nullptr;
  ASSERT_TRUE(::CreatePipe(&in_read, &in_write, nullptr, 0));
  ASSERT_TRUE(::CreatePipe(&out_read, &out_write, nullptr, 0));
  Win32Platform p(in_read, out_write);
  ::CloseHandle(in_write);
  ::CloseHandle(out_read);
  uint32_t available = 0;
  EXPECT_FALSE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
  EXPECT_FALSE(p.HostWrite("reply"));
}

// --- Clock ----------------------------------------------------------------------------------

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
  EXPECT_FALSE(p.HasPreciseSleep());  // the waits use 2 ms sleeps and spin the rest
  EXPECT_FALSE(p.WaitPortInput(0, false, 1000));
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
}

#if defined(_WIN64)
// The stand-in driver built as KVELD2XX.DLL beside this program (64-bit build only).
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

  EXPECT_EQ(d2xx.FT_Close(handle), FT_OK);
  EXPECT_NE(d2xx.FT_Close(handle), FT_OK);  // the handle is no longer open
}
#endif

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
