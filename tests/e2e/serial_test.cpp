// Serial ports on real pseudo-terminals, and the D2XX driver loaded from a test library.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>

#include "d2xx_double.h"
#include "platform/ft_program_data.h"
#include "platform/posix/any_baud.h"
#include "platform/posix/posix_d2xx.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/serial_termios.h"
#include "platform/posix/temp_folder.h"
#include "sim_host.h"

namespace ecub {
namespace {

using e2e::ListEntry;

const std::string kCom7 = "\\\\.\\COM7";

// COM7 of a program folder linked to the slave of a raw pseudo-terminal, and opened.
class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.empty());
    std::filesystem::create_directory(folder_ + "/ports");
    master_ = e2e::OpenTerminal();
    ASSERT_GE(master_, 0);
    termios tio = Line();
    cfmakeraw(&tio);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &tio), 0);
    ASSERT_EQ(symlink(ptsname(master_), (folder_ + "/ports/COM7").c_str()), 0);
    h_ = p_.OpenSerial(kCom7);
    ASSERT_GE(h_, 0) << std::strerror(static_cast<int>(p_.GetLastError()));
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
  }
  // The line as the terminal holds it (the master sees the slave's termios).
  termios Line() {
    termios tio{};
    EXPECT_EQ(tcgetattr(master_, &tio), 0);
    return tio;
  }
  void FromUnit(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  std::string ToUnit(size_t count) {
    std::string got;
    while (got.size() < count && e2e::ReadSome(master_, got, 2000)) {
    }
    return got;
  }
  uint32_t Queued() {
    uint32_t errors = 0, queued = 0;
    EXPECT_TRUE(p_.ClearCommError(h_, errors, queued));
    EXPECT_EQ(errors, 0u);
    return queued;
  }
  void AwaitQueued(uint32_t count) {
    for (int i = 0; i < 200 && Queued() < count; ++i) p_.WaitPortInput(h_, false, 10'000);
  }

  TempFolder temp_{"serial-test"};
  const std::string folder_ = temp_.path();
  PosixPlatform p_{-1, -1, folder_};
  int master_ = -1;
  int64_t h_ = kInvalidHandle;
};

TEST_F(PtyPort, LineSettingsReachTheTerminalAndReadBack) {
  Dcb dcb;
  ASSERT_TRUE(p_.GetCommState(h_, dcb));
  // Opened raw (every byte value travels, see below) as 8N1, binary, DTR and RTS on.
  EXPECT_EQ(std::tuple(dcb.ByteSize, dcb.Parity, dcb.StopBits, dcb.fBitFields),
            std::tuple(8, 0, 0, 0x1011u));
  std::tie(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits) = std::tuple(19200, 7, 2, 2);
  dcb.fBitFields = 0x1 | 0x2 | 0x4 | 0x100 | 0x200 | (1u << 4) | (1u << 12);
  dcb.EvtChar = 0x7E;  // not in termios: kept per handle
  ASSERT_TRUE(p_.SetCommState(h_, dcb));
  termios tio = Line();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
  EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), static_cast<tcflag_t>(CSTOPB | CRTSCTS));
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXON | IXOFF | INPCK));
  // A pseudo-terminal keeps eight bits without parity; the port still reads back 7E2.
  Dcb back;
  ASSERT_TRUE(p_.GetCommState(h_, back));
  EXPECT_EQ(std::tuple(back.BaudRate, back.ByteSize, back.Parity, back.StopBits, back.EvtChar),
            std::tuple(19200u, 7, 2, 2, 0x7E));
  EXPECT_EQ(back.fBitFields, dcb.fBitFields);
  // Someone else changing the line makes the terminal's own format count again.
  termios changed = Line();
  changed.c_cflag &= ~CSTOPB;
  ASSERT_EQ(tcsetattr(master_, TCSANOW, &changed), 0);
  ASSERT_TRUE(p_.GetCommState(h_, back));
  EXPECT_EQ(std::tuple(back.StopBits, back.ByteSize), std::tuple(0, 8));

  // A speed off the termios table is set as it is, and reads back so.
  dcb.BaudRate = 10400;
  ASSERT_TRUE(p_.SetCommState(h_, dcb));
  tio = Line();
  EXPECT_TRUE(IsAnyBaudCode(cfgetospeed(&tio)));
  EXPECT_EQ(GetAnyBaud(master_), 10400u);
  ASSERT_TRUE(p_.GetCommState(h_, back));
  EXPECT_EQ(back.BaudRate, 10400u);
  // A speed rounds to a terminal one within 2%; settings termios cannot hold change nothing.
  dcb.BaudRate = 115000;
  ASSERT_TRUE(p_.SetCommState(h_, dcb));
  for (const auto& [baud, size, stop] :
       {std::tuple{0u, 8, 0}, std::tuple{9600u, 9, 0}, std::tuple{9600u, 8, 3}}) {
    Dcb bad = dcb;
    std::tie(bad.BaudRate, bad.ByteSize, bad.StopBits) = std::tuple(baud, size, stop);
    EXPECT_FALSE(p_.SetCommState(h_, bad)) << baud << " " << size << " " << stop;
    EXPECT_EQ(p_.GetLastError(), static_cast<uint32_t>(EINVAL));
  }
  tio = Line();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  ASSERT_TRUE(p_.GetCommState(h_, back));
  EXPECT_EQ(back.BaudRate, 115000u);
}

TEST_F(PtyPort, CloseLeavesTheTerminalAsItWasFound) {
  ASSERT_TRUE(p_.CloseHandle(h_));
  // A line set up by someone else: cooked, at a rate off the termios table.
  termios found = Line();
  found.c_lflag |= ICANON | ECHO;
  found.c_cflag |= HUPCL;
  ASSERT_EQ(tcsetattr(master_, TCSANOW, &found), 0);
  uint32_t kept = 0;
  ASSERT_TRUE(SetAnyBaud(master_, 10400, kept));
  found = Line();
  const int other = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  const auto exclusive = [&] {
    int flag = -1;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &flag), 0);
    return flag;
  };
  EXPECT_EQ(exclusive(), 0);  // the close above let it go
  h_ = p_.OpenSerial(kCom7);
  ASSERT_GE(h_, 0);
  EXPECT_EQ(exclusive(), 1);
  Dcb dcb;
  ASSERT_TRUE(p_.GetCommState(h_, dcb));
  EXPECT_EQ(dcb.BaudRate, 10400u);
  dcb.BaudRate = 19200;
  ASSERT_TRUE(p_.SetCommState(h_, dcb));
  EXPECT_FALSE(Line().c_lflag & ICANON);
  ASSERT_TRUE(p_.CloseHandle(h_));
  // Left exclusive, the device would refuse every other user while its far end stays open.
  EXPECT_EQ(exclusive(), 0);
  const termios back = Line();
  EXPECT_EQ(std::tuple(back.c_iflag, back.c_oflag, back.c_cflag, back.c_lflag),
            std::tuple(found.c_iflag, found.c_oflag, found.c_cflag, found.c_lflag));
  EXPECT_EQ(GetAnyBaud(master_), 10400u);
  close(other);
}

TEST_F(PtyPort, BytesTravelBothWaysUnchangedPurgeDropsInputAndWaitsWakeForBytes) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  uint32_t written = 0;
  ASSERT_TRUE(p_.WriteFile(h_, bytes, written));
  EXPECT_EQ(ToUnit(256), bytes);
  FromUnit(bytes);
  AwaitQueued(256);
  std::string got;
  uint32_t read = 0;
  ASSERT_TRUE(p_.ReadFile(h_, 100, got, read));  // never more than asked
  EXPECT_EQ(got, bytes.substr(0, 100));
  ASSERT_TRUE(p_.ReadFile(h_, 1000, got, read));  // never waits for more than queued
  EXPECT_EQ(read, 156u);
  EXPECT_EQ(got, bytes.substr(100));
  ASSERT_TRUE(p_.ReadFile(h_, 10, got, read));
  EXPECT_EQ(got, "");

  FromUnit("12345");
  AwaitQueued(5);
  ASSERT_TRUE(p_.PurgeComm(h_, 2));  // abort reads: nothing to abort, input stays
  EXPECT_EQ(Queued(), 5u);
  ASSERT_TRUE(p_.PurgeComm(h_, 8));
  EXPECT_EQ(Queued(), 0u);
  EXPECT_FALSE(p_.PurgeComm(h_, 16));

  // A wait wakes when bytes arrive and sleeps out a hang-up.
  std::thread unit([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FromUnit("A");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(p_.WaitPortInput(h_, false, 20e6));
  const auto waited = std::chrono::steady_clock::now() - start;
  unit.join();
  EXPECT_LT(waited, std::chrono::seconds(10));  // woken by the byte, not the 20 s limit
  EXPECT_EQ(Queued(), 1u);
  // The USB interface and unknown handles cannot be waited on.
  EXPECT_FALSE(p_.WaitPortInput(h_, true, 1000));
  EXPECT_FALSE(p_.WaitPortInput(h_ + 100, false, 1000));

  // Hung up: the status call fails, and a wait sleeps its time instead of spinning.
  close(master_);
  master_ = -1;
  uint32_t errors = 0, queued = 0;
  EXPECT_FALSE(p_.ClearCommError(h_, errors, queued));
  EXPECT_EQ(p_.GetLastError(), static_cast<uint32_t>(EIO));
  const auto hung_up = std::chrono::steady_clock::now();
  EXPECT_TRUE(p_.WaitPortInput(h_, false, 20'000));
  EXPECT_GE(std::chrono::steady_clock::now() - hung_up, std::chrono::milliseconds(19));
}

TEST_F(PtyPort, OnlyComNamesOpenOnceAndCloseTakesOnlyOurPorts) {
  EXPECT_EQ(p_.OpenSerial(kCom7), kInvalidHandle);
  EXPECT_EQ(p_.GetLastError(), static_cast<uint32_t>(EBUSY));
  // Only COM names open, and the ports entry is final: a link to a vanished device does not
  // fall back to /dev/ttyS, and a plain file is no port.
  ASSERT_EQ(symlink("/dev/ttyS-gone", (folder_ + "/ports/COM1").c_str()), 0);
  for (const char* name : {"COM7", "\\\\.\\COM", "\\\\.\\COM7x", "\\\\.\\COM0", "\\\\.\\LPT1",
                           "\\\\.\\COM99999999999", "\\\\.\\COM1"}) {
    EXPECT_EQ(p_.OpenSerial(name), kInvalidHandle) << name;
    EXPECT_EQ(p_.GetLastError(), static_cast<uint32_t>(ENOENT)) << name;
  }
  ASSERT_TRUE(p_.WriteWholeFile(folder_ + "/ports/COM3", "x"));
  EXPECT_EQ(p_.OpenSerial("\\\\.\\COM3"), kInvalidHandle);
  EXPECT_EQ(p_.GetLastError(), static_cast<uint32_t>(ENOTTY));
  PosixPlatform other(-1, -1, folder_);  // another user of the same device
  EXPECT_EQ(other.OpenSerial(kCom7), kInvalidHandle);
  ASSERT_TRUE(p_.CloseHandle(h_));
  EXPECT_GE(other.OpenSerial(kCom7), 0);
  EXPECT_FALSE(p_.CloseHandle(h_));
  EXPECT_EQ(p_.GetLastError(), static_cast<uint32_t>(EBADF));
  EXPECT_TRUE(p_.CloseHandle(kInvalidHandle));
  // A number recorded by an earlier run may now be one of our own files: left alone.
  const int own = dup(STDERR_FILENO);
  EXPECT_FALSE(p_.CloseHandle(own));
  EXPECT_NE(fcntl(own, F_GETFD), -1);
  close(own);
}

TEST(SerialTermios, FormatFieldsFlowControlAndModemLinesMapBothWays) {
  for (const auto& [size, parity, stop, flags] :
       {std::tuple<uint8_t, uint8_t, uint8_t, tcflag_t>{8, 0, 0, CS8},
        {7, 1, 0, CS7 | PARENB | PARODD},
        {6, 2, 2, CS6 | PARENB | CSTOPB},
        {5, 3, 1, CS5 | PARENB | PARODD | CMSPAR | CSTOPB},
        {8, 4, 0, CS8 | PARENB | CMSPAR}}) {
    termios tio{};
    tio.c_cflag = CREAD | CLOCAL | CS8 | CSTOPB | PARENB;
    bool any = true;
    Dcb dcb;
    std::tie(dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits) =
        std::tuple(2400, size, parity, stop);
    ASSERT_TRUE(DcbToTermios(dcb, tio, any));
    EXPECT_FALSE(any);
    EXPECT_EQ(tio.c_cflag & kFormatFlags, flags) << int(size) << int(parity);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B2400));
    const Dcb back = TermiosToDcb(tio, dcb);
    EXPECT_EQ(std::tuple(back.BaudRate, back.ByteSize, back.Parity, back.StopBits),
              std::tuple(2400u, size, parity, stop));
  }

  termios tio{};
  bool any = false;
  Dcb dcb;  // RTS handshake, XOFF sent on a full queue
  std::tie(dcb.BaudRate, dcb.fBitFields, dcb.XonChar, dcb.XoffChar) =
      std::tuple(9600, 0x1 | (2u << 12) | 0x200, 0x21, 0x23);
  ASSERT_TRUE(DcbToTermios(dcb, tio, any));
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK), static_cast<tcflag_t>(IXOFF));
  EXPECT_EQ(tio.c_cc[VSTART], 0x21);
  EXPECT_EQ(tio.c_cc[VSTOP], 0x23);
  // Read back: the handshake stays RTS handshake, not CTS flow.
  EXPECT_EQ(TermiosToDcb(tio, dcb).fBitFields, dcb.fBitFields);
  // Seen without a block that asked for it, CTS flow shows as both.
  Dcb fresh;
  fresh.fBitFields = 0x1 | (1u << 12);
  EXPECT_EQ(TermiosToDcb(tio, fresh).fBitFields, 0x1u | 0x4 | (2u << 12) | 0x200);
  // A zero flag word leaves flow control as it was.
  Dcb plain = dcb;
  plain.fBitFields = 0;
  ASSERT_TRUE(DcbToTermios(plain, tio, any));
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);
  EXPECT_TRUE(tio.c_iflag & IXOFF);
  // A flag word without them turns them off; RTS handshake reads back as plain RTS on.
  Dcb none = dcb;
  none.fBitFields = 0x1;
  ASSERT_TRUE(DcbToTermios(none, tio, any));
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
  EXPECT_EQ(RtsControl(TermiosToDcb(tio, dcb).fBitFields), kLineEnable);

  // The modem lines show in the flag word unless they are under handshake or toggle control.
  dcb.fBitFields = 0x1 | (1u << 4) | (1u << 12);
  ModemLinesToDcb(TIOCM_RTS, dcb);
  EXPECT_EQ(DtrControl(dcb.fBitFields), kLineDisable);
  EXPECT_EQ(RtsControl(dcb.fBitFields), kLineEnable);
  dcb.fBitFields = 0x1 | (2u << 4) | (3u << 12);  // DTR handshake, RTS toggle
  ModemLinesToDcb(0, dcb);
  EXPECT_EQ(dcb.fBitFields, 0x1u | (2u << 4) | (3u << 12));
}

// --- D2XX driver -------------------------------------------------------------------------------

// Points the driver loading at `library` while it lives (the server children of other tests
// must not inherit it).
struct D2xxLibrary {
  explicit D2xxLibrary(const char* library) { setenv("ECUBRIDGE_D2XX", library, 1); }
  ~D2xxLibrary() { unsetenv("ECUBRIDGE_D2XX"); }
};

// Writes `bytes` one at a time, then reads all that is queued.
std::string Exchange(D2xx& ft, int64_t h, std::string bytes) {
  uint32_t count = 0;
  for (char& byte : bytes) EXPECT_EQ(ft.FT_Write(h, &byte, 1, &count), FT_OK);
  EXPECT_EQ(ft.FT_GetQueueStatus(h, &count), FT_OK);
  std::string got(count, '?');
  EXPECT_EQ(ft.FT_Read(h, got.data(), count, &count), FT_OK);
  return got.substr(0, count);
}

TEST(D2xx, ListsOpensMovesBytesAndProgramsTheEepromThroughTheLoadedLibrary) {
  D2xxLibrary library(ECUBRIDGE_D2XX_DOUBLE);
  PosixPlatform p(-1, -1, "/nonexistent");
  D2xx& ft = p.Ftdi();
  uint32_t count = 0;
  ASSERT_EQ(ft.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(ListEntry(ft, 0, FT_OPEN_BY_SERIAL_NUMBER), "FT4KV001");
  EXPECT_EQ(ListEntry(ft, 1, FT_OPEN_BY_SERIAL_NUMBER), "KV02");
  EXPECT_EQ(ListEntry(ft, 0, FT_OPEN_BY_DESCRIPTION), "KVEL USB Interface A");
  EXPECT_EQ(ListEntry(ft, 2, FT_OPEN_BY_DESCRIPTION), "status 2");

  int64_t loop = 0;
  ASSERT_EQ(ft.FT_Open(0, &loop), FT_OK);
  EXPECT_EQ(ft.FT_SetBaudRate(loop, 19200), FT_OK);
  EXPECT_EQ(ft.FT_SetDataCharacteristics(loop, 7, 2, 4), FT_OK);
  EXPECT_NE(ft.FT_SetDataCharacteristics(loop, 2, 7, 0), FT_OK);  // the order counts
  EXPECT_EQ(ft.FT_SetFlowControl(loop, 0, 0, 0), FT_OK);
  EXPECT_EQ(ft.FT_SetTimeouts(loop, 50, 70), FT_OK);
  EXPECT_EQ(ft.FT_SetChars(loop, 126, 0, 0, 0), FT_OK);
  // What the driver was given, as the stand-in recorded it: the read time-out first.
  void* driver = dlopen(ECUBRIDGE_D2XX_DOUBLE, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(driver, nullptr);
  const auto state = reinterpret_cast<D2xxDoubleStateFn>(dlsym(driver, kD2xxDoubleStateExport));
  EXPECT_EQ(std::pair(state(0)->read_timeout_ms, state(0)->write_timeout_ms), std::pair(50u, 70u));
  dlclose(driver);
  EXPECT_EQ(Exchange(ft, loop, std::string("\x00\x41\xff", 3)), std::string("\x00\x41\xff", 3));
  uint32_t queued = 0, written = 0;
  ASSERT_EQ(ft.FT_Write(loop, "abc", 3, &written), FT_OK);
  ASSERT_EQ(ft.FT_Purge(loop, 3), FT_OK);
  ASSERT_EQ(ft.FT_GetQueueStatus(loop, &queued), FT_OK);
  EXPECT_EQ(queued, 0u);

  // The EEPROM record reads and programs in the driver's layout.
  char manufacturer[kFtManufacturerSize] = {}, id[kFtManufacturerIdSize] = {};
  char description[kFtDescriptionSize] = {}, serial[kFtSerialNumberSize] = {};
  FtProgramData data;
  std::tie(data.Manufacturer, data.ManufacturerId, data.Description, data.SerialNumber) =
      std::tuple(manufacturer, id, description, serial);
  ASSERT_EQ(ft.FT_EE_Read(loop, &data), FT_OK);
  EXPECT_EQ(std::tuple(data.VendorId, data.ProductId, data.MaxPower, data.USBVersion),
            std::tuple(0x0403, 0x6001, 90, 0x0200));
  EXPECT_STREQ(manufacturer, "FTDI");
  EXPECT_STREQ(description, "KVEL USB Interface A");
  EXPECT_STREQ(serial, "FT4KV001");
  // The fields after each group of the record land where this side expects them.
  EXPECT_EQ(std::tuple(data.BIsVCP, data.EndpointSize, data.Cbus4, data.RIsD2XX, data.reserved[0]),
            std::tuple(1, 64, 7, 1, 0));

  std::strcpy(description, "ECU LINK 2");
  ASSERT_EQ(ft.FT_EE_Program(loop, &data), FT_OK);
  EXPECT_EQ(ListEntry(ft, 0, FT_OPEN_BY_DESCRIPTION), "ECU LINK 2");
  std::strcpy(description, "KVEL USB Interface A");
  EXPECT_EQ(ft.FT_EE_Program(loop, &data), FT_OK);
  data.Signature2 = 0;  // not a record the driver knows
  EXPECT_NE(ft.FT_EE_Read(loop, &data), FT_OK);
  EXPECT_EQ(ft.FT_Close(loop), FT_OK);
  EXPECT_NE(ft.FT_Close(loop), FT_OK);
  EXPECT_NE(ft.FT_GetQueueStatus(loop, &queued), FT_OK);
}

TEST(D2xx, LoadingIsTriedOnceAndALackingLibraryFailsEveryCall) {
  setenv("ECUBRIDGE_SYSROOT", "/nonexistent", 1);  // a machine without FTDI interfaces
  PosixPlatform p(-1, -1, "/nonexistent");
  uint32_t count = 7;
  int64_t h = 0;
  {
    D2xxLibrary library("/nonexistent/libftd2xx.so");
    p.Ftdi();
  }
  // The library appearing later is not picked up: the kernel's driver still answers.
  D2xxLibrary library(ECUBRIDGE_D2XX_DOUBLE);
  EXPECT_EQ(p.Ftdi().FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  EXPECT_EQ(count, 0u);
  {
    // A library lacking one function is not used, and the user is told which one.
    D2xxLibrary lacking(ECUBRIDGE_D2XX_LACKING);
    PosixPlatform fresh(-1, -1, "/nonexistent");
    testing::internal::CaptureStderr();
    EXPECT_EQ(fresh.Ftdi().FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("ecubridge: ") + ECUBRIDGE_D2XX_LACKING +
                  ": the driver library lacks FT_EE_Program; the kernel's FTDI driver serves the "
                  "USB interfaces instead\n");
  }
  unsetenv("ECUBRIDGE_SYSROOT");
  // A library without the driver's functions is loaded but incomplete, so never used; the one
  // optional function, the latency timer, must not report success when it is missing.
  PosixD2xx ft("libm.so.6");
  ASSERT_TRUE(ft.Load()) << ft.error();
  EXPECT_FALSE(ft.Complete());
  EXPECT_NE(ft.FT_Open(0, &h), FT_OK);
  h = 0x1234;
  EXPECT_NE(ft.FT_SetLatencyTimer(h, 2), FT_OK);
}

}  // namespace
}  // namespace ecub
