// The D2XX calls served by the kernel's FTDI driver when the vendor's library is missing, over
// a fixture sysfs tree with pseudo-terminals as the cables.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/ft_program_data.h"
#include "platform/posix/any_baud.h"
#include "platform/posix/kernel_ftdi.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/temp_folder.h"
#include "sim_host.h"
#include "sysfs_fixture.h"

namespace ecub {
namespace {

using e2e::ListEntry;
using test::FtdiSpec;
using test::SysfsFixture;
using test::UsbSerialSpec;

class KernelFtdiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(root_.empty());
    fixture_ = std::make_unique<SysfsFixture>(root_);
    setenv("ECUBRIDGE_SYSROOT", root_.c_str(), 1);
    setenv("ECUBRIDGE_D2XX", (root_ + "/no-such-library.so").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ECUBRIDGE_SYSROOT");
    unsetenv("ECUBRIDGE_D2XX");
    cables_.clear();
  }

  // A cable whose far end is a simulated unit (answering at once) on a pseudo-terminal.
  void AddCable(UsbSerialSpec spec) {
    EcuSim::Config at_once;
    at_once.baud = 0;
    const int number = static_cast<int>(cables_.size()) + 1;
    auto cable = std::make_unique<e2e::PtyUnit>(root_, number, at_once);
    EXPECT_TRUE(cable->ok()) << cable->error();
    cable->Start();
    spec.node = cable->slave_path();
    fixture_->AddUsbSerial(spec);
    cables_.push_back(std::move(cable));
  }

  TempFolder folder_{"sysfs"};
  const std::string root_ = folder_.path();
  std::unique_ptr<SysfsFixture> fixture_;
  std::vector<std::unique_ptr<e2e::PtyUnit>> cables_;
  PosixPlatform p_{-1, -1, "/nonexistent"};
};

TEST_F(KernelFtdiTest, ListsOnlyFtdiInterfacesInBusOrderWithTheDriversTexts) {
  fixture_->AddUsbSerial(FtdiSpec("ttyUSB0", "1-1.10", "A10KX7Z9QRSTUVWXYZ", "FT232R USB UART"));
  fixture_->AddUsbSerial(FtdiSpec("ttyUSB1", "1-1.4", "FT12", std::string(70, 'd')));
  UsbSerialSpec not_ftdi = FtdiSpec("ttyUSB2", "1-1.3", "X", "CP2102");
  not_ftdi.driver = "cp210x";
  fixture_->AddUsbSerial(not_ftdi);
  UsbSerialSpec dual = FtdiSpec("ttyUSB3", "2-1", "FT9X8Y7Z", "Dual RS232-HS");
  dual.interfaces = 2;
  dual.interface = 1;
  fixture_->AddUsbSerial(dual);
  dual.tty = "ttyUSB4";
  dual.interface = 0;
  fixture_->AddUsbSerial(dual);
  // A terminal whose device lies outside sys/, in a sibling whose name begins the same.
  SysfsFixture beside(root_ + "/sys-old");
  beside.AddUsbSerial(FtdiSpec("ttyUSB5", "3-1", "OLD", "FT232R USB UART"));
  std::filesystem::create_symlink(beside.Sys("class/tty/ttyUSB5"),
                                  fixture_->Sys("class/tty/ttyUSB5"));

  D2xx& ft = p_.Ftdi();
  uint32_t count = 0;
  ASSERT_EQ(ft.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
  ASSERT_EQ(count, 4u);
  std::vector<std::string> serials, descriptions;
  for (uintptr_t i = 0; i <= count; ++i) {
    serials.push_back(ListEntry(ft, i, FT_OPEN_BY_SERIAL_NUMBER));
    descriptions.push_back(ListEntry(ft, i, FT_OPEN_BY_DESCRIPTION));
  }
  EXPECT_EQ(serials, (std::vector<std::string>{"FT12", "A10KX7Z9QRSTUVW", "FT9X8Y7ZA", "FT9X8Y7ZB",
                                               "status 2"}));
  EXPECT_EQ(descriptions,
            (std::vector<std::string>{std::string(63, 'd'), "FT232R USB UART", "Dual RS232-HS A",
                                      "Dual RS232-HS B", "status 2"}));
  char buffer[64];
  EXPECT_EQ(ft.FT_ListDevices(nullptr, buffer, FT_LIST_BY_INDEX | 4), FT_NOT_SUPPORTED);
  EXPECT_EQ(ft.FT_ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), FT_INVALID_PARAMETER);
}

TEST_F(KernelFtdiTest, OpensExclusivelyConfiguresTheTerminalAndMovesBytes) {
  AddCable(FtdiSpec("ttyUSB0", "1-1", "S1", "Cable"));
  D2xx& ft = p_.Ftdi();
  int64_t h = 0, again = 0;
  EXPECT_EQ(ft.FT_Open(1, &h), FT_DEVICE_NOT_FOUND);
  ASSERT_EQ(ft.FT_Open(0, &h), FT_OK);
  // Its interfaces are terminals, so a transaction waits on them rather than polling.
  EXPECT_TRUE(p_.WaitPortInput(h, true, 0));

  const int fd = static_cast<int>(h);
  termios tio{};
  EXPECT_EQ(ft.FT_SetBaudRate(h, 19200), FT_OK);
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  EXPECT_EQ(cfgetospeed(&tio), B19200);
  // Rates off the termios table (engine units use 10400 and 62500) are set as they are.
  EXPECT_EQ(ft.FT_SetBaudRate(h, 62500), FT_OK);
  EXPECT_EQ(GetAnyBaud(fd), 62500u);
  EXPECT_EQ(ft.FT_SetBaudRate(h, 0), FT_INVALID_BAUD_RATE);
  EXPECT_EQ(ft.FT_SetDataCharacteristics(h, 8, 0, 0), FT_OK);
  EXPECT_EQ(ft.FT_SetDataCharacteristics(h, 2, 7, 0), FT_INVALID_PARAMETER);
  // XON/XOFF takes its characters along; DTR/DSR has no termios counterpart and changes nothing.
  for (const auto& [flow, status, in_flow, cts_flow] :
       {std::tuple<uint16_t, FtResult, tcflag_t, tcflag_t>{0x0400, FT_OK, IXON | IXOFF, 0},
        {0x0100, FT_OK, 0, CRTSCTS},
        {0x0000, FT_OK, 0, 0},
        {0x0200, FT_NOT_SUPPORTED, 0, 0}}) {
    EXPECT_EQ(ft.FT_SetFlowControl(h, flow, 0x21, 0x23), status) << flow;
    ASSERT_EQ(tcgetattr(fd, &tio), 0);
    EXPECT_EQ(std::tuple(tio.c_iflag & (IXON | IXOFF), tio.c_cflag & CRTSCTS, tio.c_cc[VSTART],
                         tio.c_cc[VSTOP]),
              std::tuple(in_flow, cts_flow, 0x21, 0x23))
        << flow;
  }
  EXPECT_EQ(ft.FT_SetChars(h, 126, 0, 0, 0), FT_OK);
  EXPECT_EQ(ft.FT_SetChars(h, 126, 0, '?', 1), FT_NOT_SUPPORTED);
  ASSERT_EQ(ft.FT_SetTimeouts(h, 2000, 50), FT_OK);

  // Received bytes wait in the queue until a purge of the receive side drops them. (The bytes
  // themselves are checked end to end through the server over this driver.)
  const std::string request = EcuSim::RequestFrame(EcuSim::kCmdReadFirmware, std::string(11, '\0'));
  const std::string expected = cables_[0]->With([](EcuSim& u) { return u.IdentityAnswer(); });
  uint32_t written = 0;
  ASSERT_EQ(ft.FT_Write(h, request.data(), static_cast<uint32_t>(request.size()), &written), FT_OK);
  uint32_t queued = 0;
  ASSERT_TRUE(e2e::Eventually(
      [&] { return ft.FT_GetQueueStatus(h, &queued) == FT_OK && queued >= expected.size(); }));
  for (const auto& [mask, status, left] : {std::tuple{2u, FT_OK, expected.size()},
                                           {1u, FT_OK, size_t{0}},
                                           {4u, FT_INVALID_PARAMETER, size_t{0}}}) {
    EXPECT_EQ(ft.FT_Purge(h, mask), status) << mask;
    ASSERT_EQ(ft.FT_GetQueueStatus(h, &queued), FT_OK);
    EXPECT_EQ(queued, left) << mask;
  }
  EXPECT_EQ(ft.FT_GetQueueStatus(h, nullptr), FT_INVALID_PARAMETER);

  FtProgramData record;
  EXPECT_EQ(ft.FT_EE_Read(h, &record), FT_NOT_SUPPORTED);
  EXPECT_EQ(ft.FT_EE_Program(h, &record), FT_NOT_SUPPORTED);
  // (The simulated unit takes the close of this refused open for the port's close, so this
  // comes after the exchanges.)
  EXPECT_EQ(ft.FT_Open(0, &again), FT_DEVICE_NOT_OPENED);  // held, as a COM port is
  EXPECT_EQ(ft.FT_Close(h), FT_OK);
  EXPECT_FALSE(p_.WaitPortInput(h, true, 0));
  EXPECT_EQ(ft.FT_Close(h), FT_INVALID_HANDLE);
  EXPECT_EQ(ft.FT_GetQueueStatus(h, &queued), FT_INVALID_HANDLE);
  EXPECT_EQ(ft.FT_EE_Read(h, &record), FT_INVALID_HANDLE);
  ASSERT_EQ(ft.FT_Open(0, &again), FT_OK);  // free again
  EXPECT_EQ(ft.FT_Close(again), FT_OK);
}

TEST_F(KernelFtdiTest, LatencyTimerIsSetWhereWritableAndPutBackAtClose) {
  UsbSerialSpec cable = FtdiSpec("ttyUSB0", "1-1", "S1", "Cable");
  UsbSerialSpec without = FtdiSpec("ttyUSB1", "1-2", "S2", "Cable");
  UsbSerialSpec refusing = FtdiSpec("ttyUSB2", "1-3", "S3", "Cable");
  without.latency.clear();
  refusing.latency = "unknown";
  for (const UsbSerialSpec& spec : {cable, without, refusing}) AddCable(spec);
  const std::string timer = fixture_->LatencyTimer(cable);
  const std::string refused = fixture_->LatencyTimer(refusing);

  D2xx& ft = p_.Ftdi();
  int64_t h = 0, h_without = 0, h_refusing = 0;
  ASSERT_EQ(ft.FT_Open(0, &h), FT_OK);
  ASSERT_EQ(ft.FT_Open(1, &h_without), FT_OK);
  ASSERT_EQ(ft.FT_Open(2, &h_refusing), FT_OK);
  EXPECT_EQ(ft.FT_SetLatencyTimer(h, 0), FT_INVALID_PARAMETER);
  EXPECT_EQ(ft.FT_SetLatencyTimer(h, 1), FT_OK);
  EXPECT_EQ(SysfsFixture::Read(timer), "1\n");
  EXPECT_EQ(ft.FT_SetLatencyTimer(h, 4), FT_OK);
  EXPECT_EQ(SysfsFixture::Read(timer), "4\n");
  EXPECT_EQ(ft.FT_SetLatencyTimer(h_without, 1), FT_NOT_SUPPORTED);
  // A value that cannot be put back is not changed.
  EXPECT_EQ(ft.FT_SetLatencyTimer(h_refusing, 1), FT_IO_ERROR);
  EXPECT_EQ(SysfsFixture::Read(refused), "unknown\n");
  EXPECT_EQ(ft.FT_Close(h), FT_OK);
  EXPECT_EQ(SysfsFixture::Read(timer), "16\n");  // the first value found, not the last set
  EXPECT_EQ(ft.FT_Close(h_refusing), FT_OK);
  EXPECT_EQ(SysfsFixture::Read(refused), "unknown\n");

  // A driver that goes with the device still open puts the value back too.
  {
    KernelFtdi scoped(p_, root_);
    int64_t h2 = 0;
    ASSERT_EQ(scoped.FT_Open(0, &h2), FT_OK);
    ASSERT_EQ(scoped.FT_SetLatencyTimer(h2, 2), FT_OK);
    EXPECT_EQ(SysfsFixture::Read(timer), "2\n");
  }
  EXPECT_EQ(SysfsFixture::Read(timer), "16\n");
}

}  // namespace
}  // namespace ecub
