#include "port/port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "link_fixture.h"

namespace ecub {
namespace {

using test::Device;
using test::kHandleIniPath;
using test::LinkTest;

constexpr int64_t kFirstHandle = 0x1000;  // the fake platform's first serial handle
constexpr int64_t kUsbHandle = 0x7000;    // the fake driver's handle of interface 0

std::vector<std::string> CallsNamed(const std::vector<std::string>& calls,
                                    const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& c : calls) {
    if (c.rfind(prefix, 0) == 0) out.push_back(c);
  }
  return out;
}

// --- Opening a serial port ------------------------------------------------------------------

using SerialOpen = LinkTest;

TEST_F(SerialOpen, ConfiguresTheLineAndRecordsTheHandle) {
  s.settings.BaudRate = 19200;
  s.settings.Bit = 7;
  s.settings.StopBit = 2;
  s.settings.Parity = 2;
  ASSERT_TRUE(OpenSerial(12));

  EXPECT_EQ(p.port_calls,
            (std::vector<std::string>{"CreateFile \\\\.\\COM12", "GetCommState", "GetCommTimeouts",
                                      "SetCommState", "SetCommTimeouts"}));
  EXPECT_EQ(Log(), "0 APERTURA [COM12]\r\n");
  EXPECT_EQ(s.HandlePorta, kFirstHandle);
  EXPECT_EQ(p.files[kHandleIniPath], "4096\r\n");
  EXPECT_EQ(s.held_serial_handles, std::set<int64_t>{kFirstHandle});

  const auto& port = p.open_serial.at(kFirstHandle);
  EXPECT_EQ(port.dcb.BaudRate, 19200u);
  EXPECT_EQ(port.dcb.ByteSize, 7);
  EXPECT_EQ(port.dcb.StopBits, 2);
  EXPECT_EQ(port.dcb.Parity, 2);
  // With no flag word configured the driver's own flags stay.
  EXPECT_EQ(port.dcb.fBitFields, 0x1u);
  EXPECT_EQ(port.timeouts.ReadIntervalTimeout, 5u);
  EXPECT_EQ(port.timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(port.timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(port.timeouts.WriteTotalTimeoutMultiplier, 5u);
  EXPECT_EQ(port.timeouts.WriteTotalTimeoutConstant, 50u);
  EXPECT_EQ(s.dcb.BaudRate, 19200u);
  EXPECT_EQ(s.timeouts.WriteTotalTimeoutConstant, 50u);
  EXPECT_EQ(link.opens, 1);
}

TEST_F(SerialOpen, ConfiguredFlagWordReplacesTheDriversFlags) {
  s.settings.DCB_fBitFields = 0x1011;
  ASSERT_TRUE(OpenSerial());
  EXPECT_EQ(p.open_serial.at(kFirstHandle).dcb.fBitFields, 0x1011u);
}

TEST_F(SerialOpen, MissingPortLogsTheCreateFileFailure) {
  s.PortaCom = 7;  // no such port
  EXPECT_FALSE(ApriPorta(s));
  EXPECT_EQ(Log(),
            "0 APERTURA [COM7]\r\n"
            "0 CreateFile Error#-1\r\n"
            "0 GetLastError 2\r\n"
            "0 LastDllError 2\r\n");
  EXPECT_EQ(s.HandlePorta, kInvalidHandle);
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);
  EXPECT_TRUE(s.held_serial_handles.empty());
}

TEST_F(SerialOpen, PortHeldElsewhereReportsAccessDenied) {
  p.busy_ports.insert(3);
  EXPECT_FALSE(OpenSerial(3));
  EXPECT_EQ(Log(),
            "0 APERTURA [COM3]\r\n"
            "0 CreateFile Error#-1\r\n"
            "0 GetLastError 5\r\n"
            "0 LastDllError 5\r\n");
}

struct ConfigStep {
  const char* call;
  const char* error_label;
  const char* handle_label;
  size_t calls_made;  // serial calls up to and including the failing one
};

class SerialConfigFailure : public LinkTest, public ::testing::WithParamInterface<ConfigStep> {};

TEST_P(SerialConfigFailure, LogsFourLinesAndKeepsThePortRecorded) {
  const ConfigStep& step = GetParam();
  p.FailCall(step.call);
  EXPECT_FALSE(OpenSerial());
  EXPECT_EQ(Log(), std::string("0 APERTURA [COM3]\r\n") + "0 " + step.error_label + "0\r\n" + "0 " +
                       step.handle_label + "4096\r\n" +
                       "0 GetLastError 1F\r\n"
                       "0 LastDllError 1F\r\n");
  // Nothing after the failing call runs; the port stays open for the caller to close.
  EXPECT_EQ(p.port_calls.size(), step.calls_made);
  EXPECT_EQ(p.port_calls.back(), step.call);
  EXPECT_EQ(s.HandlePorta, kFirstHandle);
  EXPECT_EQ(p.open_serial.count(kFirstHandle), 1u);
  EXPECT_EQ(p.files[kHandleIniPath], "4096\r\n");
}

INSTANTIATE_TEST_SUITE_P(EachStep, SerialConfigFailure,
                         ::testing::Values(ConfigStep{"GetCommState", "GetCommState Error#",
                                                      "GetCommState HandlePorta#", 2},
                                           ConfigStep{"GetCommTimeouts", "GetCommTimeouts Error#",
                                                      "GetCommTimeouts HandlePorta#", 3},
                                           ConfigStep{"SetCommState", "SetCommState Error#",
                                                      "SetCommState HandlePorta#", 4},
                                           ConfigStep{"SetCommTimeouts", "SetCommTimeouts  Error#",
                                                      "SetCommTimeouts  HandlePorta#", 5}),
                         [](const auto& tp) { return std::string(tp.param.call); });

TEST_F(SerialOpen, ConfigurationWithoutLoggingLeavesTheOpenPortsBlocksAlone) {
  ASSERT_TRUE(OpenSerial(3));
  const Dcb before = s.dcb;
  p.com_ports[4] = &link;
  const int64_t other = p.OpenSerial(SerialDeviceName(4));
  s.settings.BaudRate = 9600;
  std::string failed = "stale";
  ForgetLog();
  EXPECT_TRUE(ConfiguraSeriale(s, other, failed));
  EXPECT_EQ(failed, "");
  EXPECT_EQ(p.open_serial.at(other).dcb.BaudRate, 9600u);
  EXPECT_EQ(s.dcb.BaudRate, before.BaudRate);

  p.FailCall("SetCommTimeouts");
  EXPECT_FALSE(ConfiguraSeriale(s, other, failed));
  EXPECT_EQ(failed, "SetCommTimeouts");
  EXPECT_EQ(s.LastDllError, 31u);
  EXPECT_EQ(Log(), "");
}

// --- Opening the USB interface --------------------------------------------------------------

using UsbOpen = LinkTest;

TEST_F(UsbOpen, SetsTheLineThroughTheDriver) {
  s.settings.BaudRate = 57600;
  s.settings.Bit = 7;
  s.settings.StopBit = 2;
  s.settings.Parity = 1;
  ASSERT_TRUE(OpenUsb());
  EXPECT_EQ(Log(), "0 APERTURA [USB ID0]\r\n");
  EXPECT_EQ(p.driver_args,
            (std::vector<std::string>{"FT_Open 0", "FT_SetBaudRate 57600",
                                      "FT_SetDataCharacteristics 7 2 1", "FT_SetFlowControl 0 0 0",
                                      "FT_SetTimeouts 50 50", "FT_SetChars 126 0 0 0"}));
  EXPECT_EQ(s.HandlePorta, kUsbHandle);
  EXPECT_EQ(s.FtStatus, 0);
  // The USB interface has no serial handle to record.
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);
}

TEST_F(UsbOpen, OpensTheChosenInterface) {
  for (int i = 0; i < 3; ++i) p.usb_devices.push_back(Device("S" + std::to_string(i), "D", &link));
  s.PortaCom = 0;
  s.IndiceUsb = 2;
  ASSERT_TRUE(ApriPorta(s));
  EXPECT_EQ(Log(), "0 APERTURA [USB ID2]\r\n");
  EXPECT_EQ(p.driver_args.front(), "FT_Open 2");
  EXPECT_EQ(s.HandlePorta, kUsbHandle + 2);
}

class UsbOpenFailure : public LinkTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(UsbOpenFailure, LogsTheStatusAndStops) {
  const std::string call = GetParam();
  p.FailCall(call);
  EXPECT_FALSE(OpenUsb());
  EXPECT_EQ(Log(), "0 APERTURA [USB ID0]\r\n0 " + call + " Error#18\r\n");
  EXPECT_EQ(p.port_calls.back(), call);
  EXPECT_EQ(s.FtStatus, 18);
  // The device is not closed here; an opened one stays open for the caller's ChiudiPorta.
  EXPECT_EQ(p.usb_devices[0].open, call != "FT_Open");
  EXPECT_EQ(s.HandlePorta, call == "FT_Open" ? 0 : kUsbHandle);
}

INSTANTIATE_TEST_SUITE_P(EachStep, UsbOpenFailure,
                         ::testing::Values("FT_Open", "FT_SetBaudRate", "FT_SetDataCharacteristics",
                                           "FT_SetFlowControl", "FT_SetTimeouts", "FT_SetChars"));

// --- Closing ---------------------------------------------------------------------------------

using Close = LinkTest;

TEST_F(Close, SerialCloseClearsHandleIniAndRefreshesTheList) {
  p.usb_devices.push_back(Device("AB12CD34", "Kit", nullptr));
  ASSERT_TRUE(OpenSerial());
  ForgetLog();
  EXPECT_TRUE(ChiudiPorta(s));
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
  EXPECT_TRUE(s.held_serial_handles.empty());
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(link.closes, 1);
  EXPECT_EQ(s.NumUsbDevices, 1);
  EXPECT_EQ(s.UsbSerialList, std::vector<std::string>{"AB12CD34"});
  EXPECT_EQ(Log(), "");
}

TEST_F(Close, UsbCloseReleasesTheDevice) {
  ASSERT_TRUE(OpenUsb());
  EXPECT_TRUE(ChiudiPorta(s));
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_FALSE(p.usb_devices[0].open);
  EXPECT_EQ(CallsNamed(p.port_calls, "FT_Close").size(), 1u);
}

TEST_F(Close, NothingOpenStillRefreshesTheList) {
  EXPECT_FALSE(ChiudiPorta(s));
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);  // not created
  p.files[kHandleIniPath] = "123\r\n";
  s.UsbSerialList = {"A", "B"};
  s.UsbDescList = {"C", "D"};
  s.NumUsbDevices = 2;
  p.port_calls.clear();
  EXPECT_FALSE(ChiudiPorta(s));
  EXPECT_EQ(p.files[kHandleIniPath], "123\r\n");  // not touched
  EXPECT_EQ(p.port_calls, std::vector<std::string>{"FT_ListDevices"});
  EXPECT_EQ(s.NumUsbDevices, 0);
  EXPECT_EQ(s.UsbSerialList, std::vector<std::string>{""});
  EXPECT_EQ(s.UsbDescList, std::vector<std::string>{""});
}

TEST_F(Close, SerialCloseGivesUpAfterFiveAttempts) {
  ASSERT_TRUE(OpenSerial());
  ForgetLog();
  p.FailCall("CloseHandle");
  EXPECT_FALSE(ChiudiPorta(s));
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += "0 CloseHandle Error#0\r\n0 LastDllError 1F\r\n";
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(CallsNamed(p.port_calls, "CloseHandle").size(), 5u);
  EXPECT_EQ(s.HandlePorta, kFirstHandle);
  EXPECT_EQ(p.files[kHandleIniPath], "4096\r\n");
  EXPECT_EQ(s.held_serial_handles.count(kFirstHandle), 1u);
  EXPECT_EQ(p.port_calls.back(), "FT_ListDevices");
}

TEST_F(Close, UsbCloseGivesUpAfterFiveAttempts) {
  ASSERT_TRUE(OpenUsb());
  ForgetLog();
  p.FailCall("FT_Close");
  EXPECT_FALSE(ChiudiPorta(s));
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += "0 FT_Close Error#18\r\n0 LastDllError 1F\r\n";
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(s.HandlePorta, kUsbHandle);
  EXPECT_TRUE(p.usb_devices[0].open);
}

TEST_F(Close, AfterAFailedOpenTheInvalidHandleIsClosedToo) {
  s.PortaCom = 9;
  ASSERT_FALSE(ApriPorta(s));
  ForgetLog();
  p.port_calls.clear();
  // Closing the invalid handle value succeeds without effect, as Windows does it.
  EXPECT_TRUE(ChiudiPorta(s));
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(p.port_calls, (std::vector<std::string>{"CloseHandle", "FT_ListDevices"}));
  EXPECT_EQ(Log(), "");
}

// --- The USB interface list ----------------------------------------------------------------

using UsbList = LinkTest;

TEST_F(UsbList, EntriesArePaddedOrCut) {
  p.usb_devices.push_back(Device("AB12CD34", "Kit", nullptr));
  p.usb_devices.push_back(Device("XY1234", "A description longer than twenty", nullptr));
  p.usb_devices.push_back(Device("SERIAL0123", "Exactly twenty chars", nullptr));
  AggiornaListaUsb(s);
  EXPECT_EQ(s.NumUsbDevices, 3);
  EXPECT_EQ(s.UsbSerialList, (std::vector<std::string>{"AB12CD34", "XY1234  ", "SERIAL01"}));
  EXPECT_EQ(s.UsbDescList, (std::vector<std::string>{"Kit                 ", "A description longer",
                                                     "Exactly twenty chars"}));
  // Count first, then per index the description before the serial number.
  EXPECT_EQ(p.driver_args, (std::vector<std::string>{
                               "FT_ListDevices count 2147483648", "FT_ListDevices 0 1073741826",
                               "FT_ListDevices 0 1073741825", "FT_ListDevices 1 1073741826",
                               "FT_ListDevices 1 1073741825", "FT_ListDevices 2 1073741826",
                               "FT_ListDevices 2 1073741825"}));
  EXPECT_EQ(Log(), "");
}

TEST_F(UsbList, OldEntriesAreDropped) {
  p.usb_devices.push_back(Device("ONE", "First", nullptr));
  p.usb_devices.push_back(Device("TWO", "Second", nullptr));
  AggiornaListaUsb(s);
  ASSERT_EQ(s.UsbSerialList.size(), 2u);
  p.usb_devices.pop_back();
  AggiornaListaUsb(s);
  EXPECT_EQ(s.UsbSerialList, std::vector<std::string>{"ONE     "});
  EXPECT_EQ(s.UsbDescList, std::vector<std::string>{"First               "});
}

TEST_F(UsbList, CountFailureMeansNoInterfaces) {
  p.usb_devices.push_back(Device("ONE", "First", nullptr));
  s.NumUsbDevices = 1;
  p.FailCall("FT_ListDevices");
  AggiornaListaUsb(s);
  EXPECT_EQ(Log(), "0 FT_GetNumDevices Error#18\r\n");
  EXPECT_EQ(s.NumUsbDevices, 0);
  EXPECT_EQ(s.UsbSerialList, std::vector<std::string>{""});
  EXPECT_EQ(s.UsbDescList, std::vector<std::string>{""});
}

TEST_F(UsbList, AFailingInterfaceIsTriedTwentyOneTimesTenthsOfASecondApart) {
  p.usb_devices.push_back(Device("ONE", "First", nullptr));
  p.usb_devices.push_back(Device("TWO", "Second", nullptr));
  p.list_failures_left = 1000;
  const double start = p.NowUsec();
  AggiornaListaUsb(s);
  const double elapsed = p.NowUsec() - start;
  EXPECT_GE(elapsed, 2 * 21 * 100000.0);
  EXPECT_LT(elapsed, 2 * 21 * 100000.0 + 50000);
  std::string expected;
  for (int i = 0; i < 42; ++i) expected += "FT_ListDevices Error#18\r\n";
  EXPECT_EQ(LogText(), expected);
  EXPECT_EQ(s.NumUsbDevices, 2);
  EXPECT_EQ(s.UsbSerialList, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(s.UsbDescList, (std::vector<std::string>{"", ""}));
}

TEST_F(UsbList, AnInterfaceThatRecoversIsListed) {
  p.usb_devices.push_back(Device("ONE", "First", nullptr));
  p.list_failures_left = 3;
  const double start = p.NowUsec();
  AggiornaListaUsb(s);
  EXPECT_GE(p.NowUsec() - start, 300000.0);
  EXPECT_LT(p.NowUsec() - start, 400000.0);
  EXPECT_EQ(LogText(),
            "FT_ListDevices Error#18\r\nFT_ListDevices Error#18\r\nFT_ListDevices Error#18\r\n");
  EXPECT_EQ(s.UsbSerialList, std::vector<std::string>{"ONE     "});
}

TEST_F(UsbList, AFailingSerialQueryFailsTheAttempt) {
  p.usb_devices.push_back(Device("ONE", "First", nullptr));
  p.FailCall("FT_ListDevices", 2);  // the count and the first description succeed
  AggiornaListaUsb(s);
  // Every attempt queries the description again before the serial number.
  EXPECT_EQ(CallsNamed(p.driver_args, "FT_ListDevices 0 1073741826").size(), 21u);
  EXPECT_EQ(CallsNamed(p.driver_args, "FT_ListDevices 0 1073741825").size(), 1u);
  EXPECT_EQ(s.UsbSerialList, std::vector<std::string>{""});
  EXPECT_EQ(s.UsbDescList, std::vector<std::string>{""});
}

// --- Handle.ini ------------------------------------------------------------------------------

using HandleIni = LinkTest;

TEST_F(HandleIni, WrittenAndClearedButNeverCreatedEmpty) {
  AzzeraHandleIni(s);
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);
  ScriviHandleIni(s, 1234);
  EXPECT_EQ(p.files[kHandleIniPath], "1234\r\n");
  AzzeraHandleIni(s);
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
}

TEST_F(HandleIni, AHandleLeftOpenByThisProcessIsReleasedByTheNextOpen) {
  ASSERT_TRUE(OpenSerial(3));
  p.FailCall("CloseHandle");
  ASSERT_FALSE(ChiudiPorta(s));
  p.FailCall("CloseHandle", -1);

  // The port is still held through the leaked handle: this open fails but releases it.
  EXPECT_FALSE(OpenSerial(3));
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
  EXPECT_TRUE(s.held_serial_handles.empty());

  EXPECT_TRUE(OpenSerial(3));
  EXPECT_EQ(p.files[kHandleIniPath], std::to_string(s.HandlePorta) + "\r\n");
}

TEST_F(HandleIni, ANumberThisProcessDoesNotHoldIsNeverClosed) {
  // A handle of this process that is no port of ours, e.g. what the log or a pipe got.
  p.com_ports[5] = &link;
  const int64_t unrelated = p.OpenSerial(SerialDeviceName(5));
  p.files[kHandleIniPath] = std::to_string(unrelated) + "\r\n";
  p.port_calls.clear();
  FileHandleVerificaChiusura(s);
  EXPECT_TRUE(CallsNamed(p.port_calls, "CloseHandle").empty());
  EXPECT_EQ(p.open_serial.count(unrelated), 1u);
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
}

TEST_F(HandleIni, FirstFieldIsTrimmedBeforeUse) {
  ASSERT_TRUE(OpenSerial(3));
  p.files[kHandleIniPath] = "  4096 ,trailing\r\n";
  FileHandleVerificaChiusura(s);
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
}

TEST_F(HandleIni, NoNumberNoClose) {
  ASSERT_TRUE(OpenSerial(3));
  for (const std::string contents :
       {"0\r\n", "-4096\r\n", "abc\r\n", "\r\n", "   \r\n", "40x96\r\n", "4096.0\r\n"}) {
    p.files[kHandleIniPath] = contents;
    FileHandleVerificaChiusura(s);
    EXPECT_EQ(p.open_serial.size(), 1u) << contents;
    EXPECT_EQ(p.files[kHandleIniPath], contents);
  }
  EXPECT_TRUE(CallsNamed(p.port_calls, "CloseHandle").empty());
}

TEST_F(HandleIni, MissingFileIsNotCreated) {
  FileHandleVerificaChiusura(s);
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);
  EXPECT_TRUE(p.messages.empty());
}

TEST_F(HandleIni, UnreadableFileShowsAMessage) {
  ASSERT_TRUE(OpenSerial(3));
  p.unreadable.insert(kHandleIniPath);
  FileHandleVerificaChiusura(s);
  EXPECT_EQ(p.messages, std::vector<std::string>{
                            "ecubridge|FileHandleVerificaChiusura: Handle.ini could not be read"});
  EXPECT_EQ(p.open_serial.size(), 1u);
}

}  // namespace
}  // namespace ecub
