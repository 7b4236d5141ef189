#include "link/port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "link_fixture.h"

namespace ecub::test {
namespace {

using Calls = std::vector<std::string>;
using Texts = std::vector<std::string>;

constexpr int64_t kFirstHandle = 0x1000;  // the fake platform's first serial handle
constexpr int64_t kUsbHandle = 0x7000;    // the fake driver's handle of interface 0

size_t CountOf(const Calls& calls, const std::string& name) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), name));
}

std::vector<uint32_t> Fields(const CommTimeouts& t) {
  return {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
          t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
}

// --- Opening -----------------------------------------------------------------------------------

using SerialOpen = LinkTest;

TEST_F(SerialOpen, ConfiguresTheLineAndRecordsTheHandleAndProbesLeaveItAlone) {
  std::tie(s.settings.BaudRate, s.settings.Bit, s.settings.StopBit, s.settings.Parity) =
      std::tuple(19200, 7, 2, 1);
  ASSERT_TRUE(OpenSerial(12));
  EXPECT_EQ(p.port_calls, (Calls{"CreateFile \\\\.\\COM12", "GetCommState", "GetCommTimeouts",
                                 "SetCommState", "SetCommTimeouts"}));
  EXPECT_EQ(Log(), "0 APERTURA [COM12]\r\n");
  EXPECT_EQ(s.HandlePorta, kFirstHandle);
  EXPECT_EQ(p.files[kHandleIniPath], "4096\r\n");
  EXPECT_EQ(s.held_serial_handles, std::set<int64_t>{kFirstHandle});
  const auto& port = p.open_serial.at(kFirstHandle);
  // No flag word configured: the driver's flags stay.
  EXPECT_EQ(std::tuple(port.dcb.BaudRate, port.dcb.ByteSize, port.dcb.StopBits, port.dcb.Parity,
                       port.dcb.fBitFields),
            std::tuple(19200u, 7, 2, 1, 0x1u));
  EXPECT_EQ(Fields(port.timeouts), (std::vector<uint32_t>{5, 0, 0, 5, 50}));
  EXPECT_EQ(s.dcb.BaudRate, 19200u);
  EXPECT_EQ(Fields(s.timeouts), Fields(port.timeouts));
  // Configuring another port (a scan probe) logs nothing and leaves the open port's blocks alone.
  const Dcb before = s.dcb;
  p.com_ports[4] = &link;
  const int64_t other = p.OpenSerial(SerialDeviceName(4));
  s.settings.BaudRate = 9600;
  s.settings.DCB_fBitFields = 0x1011;  // a configured flag word replaces the driver's flags
  std::string failed = "stale";
  ForgetLog();
  EXPECT_TRUE(ConfigureSerial(s, other, failed));
  EXPECT_EQ(failed, "");
  EXPECT_EQ(std::pair(p.open_serial.at(other).dcb.BaudRate, p.open_serial.at(other).dcb.fBitFields),
            std::pair(9600u, 0x1011u));
  EXPECT_EQ(std::pair(s.dcb.BaudRate, s.dcb.fBitFields),
            std::pair(before.BaudRate, before.fBitFields));
  p.FailCall("SetCommTimeouts");
  EXPECT_FALSE(ConfigureSerial(s, other, failed));
  EXPECT_EQ(failed, "SetCommTimeouts");
  EXPECT_EQ(s.last_dll_error, 31u);
  EXPECT_EQ(Log(), "");
}

// Every step of an open that can fail: the first failure is logged and ends the open; a port
// already opened stays open (and recorded) for the caller's ChiudiPorta.
struct OpenFailure {
  const char* call;  // made to fail; "COM7" and "busy" fail CreateFile instead
  std::string log;   // after the APERTURA line
  int64_t handle;    // HandlePorta afterwards
};

OpenFailure SerialStep(const char* call, const std::string& label) {
  return {call,
          "0 " + label + " Error#0\r\n0 " + label +
              " HandlePorta#4096\r\n0 GetLastError 1F\r\n0 LastDllError 1F\r\n",
          kFirstHandle};
}
OpenFailure UsbStep(const char* call, int64_t handle = kUsbHandle) {
  return {call, "0 " + std::string(call) + " Error#18\r\n", handle};
}

class OpenFailureTest : public LinkTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, LogsTheFirstFailingStepAndStops) {
  const OpenFailure& c = GetParam();
  const std::string call = c.call;
  const bool usb = call.rfind("FT_", 0) == 0;
  if (call == "busy") p.busy_ports.insert(3);
  if (call != "COM7" && call != "busy") p.FailCall(call);
  if (call == "COM7") s.PortaCom = 7;  // nothing behind it
  EXPECT_FALSE(usb ? OpenUsb() : call == "COM7" ? ApriPorta(s) : OpenSerial());
  const char* opened = usb ? "USB ID0" : call == "COM7" ? "COM7" : "COM3";
  EXPECT_EQ(Log(), "0 APERTURA [" + std::string(opened) + "]\r\n" + c.log);
  EXPECT_EQ(s.HandlePorta, c.handle);
  if (usb) {
    EXPECT_EQ(p.port_calls.back(), call);
    EXPECT_EQ(s.FtStatus, 18);
    EXPECT_EQ(p.usb_devices[0].open, call != "FT_Open");
    EXPECT_EQ(p.files.count(kHandleIniPath), 0u);
  } else if (c.handle == kFirstHandle) {
    EXPECT_EQ(p.port_calls.back(), call);
    EXPECT_EQ(CountOf(p.port_calls, call), 1u);
    EXPECT_EQ(p.files[kHandleIniPath], "4096\r\n");
  } else {
    // The Handle.ini check after the failure neither creates the file nor complains.
    EXPECT_TRUE(s.held_serial_handles.empty());
    EXPECT_EQ(p.files.count(kHandleIniPath), 0u);
    EXPECT_TRUE(p.messages.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, OpenFailureTest,
    ::testing::Values(
        OpenFailure{"COM7", "0 CreateFile Error#-1\r\n0 GetLastError 2\r\n0 LastDllError 2\r\n",
                    kInvalidHandle},
        OpenFailure{"busy", "0 CreateFile Error#-1\r\n0 GetLastError 5\r\n0 LastDllError 5\r\n",
                    kInvalidHandle},
        SerialStep("GetCommState", "GetCommState"),
        SerialStep("GetCommTimeouts", "GetCommTimeouts"),
        SerialStep("SetCommState", "SetCommState"),
        SerialStep("SetCommTimeouts", "SetCommTimeouts "),  // the label carries a blank
        UsbStep("FT_Open", 0), UsbStep("FT_SetBaudRate"), UsbStep("FT_SetDataCharacteristics"),
        UsbStep("FT_SetFlowControl"), UsbStep("FT_SetTimeouts"), UsbStep("FT_SetChars")),
    [](const auto& tp) { return std::string(tp.param.call); });

using UsbOpen = LinkTest;

TEST_F(UsbOpen, SetsTheLineOfTheChosenInterfaceThroughTheDriver) {
  std::tie(s.settings.BaudRate, s.settings.Bit, s.settings.StopBit, s.settings.Parity) =
      std::tuple(57600, 7, 2, 1);
  for (int i = 0; i < 2; ++i) p.usb_devices.push_back(Device("S" + std::to_string(i), "D"));
  p.usb_devices.push_back(Device("S2", "D", &link));
  s.PortaCom = 0;
  s.IndiceUsb = 2;
  ASSERT_TRUE(ApriPorta(s));
  EXPECT_EQ(Log(), "0 APERTURA [USB ID2]\r\n");
  EXPECT_EQ(p.driver_args,
            (Texts{"FT_Open 2", "FT_SetBaudRate 57600", "FT_SetDataCharacteristics 7 2 1",
                   "FT_SetFlowControl 0 0 0", "FT_SetTimeouts 50 50", "FT_SetChars 126 0 0 0",
                   "FT_SetLatencyTimer 1"}));
  EXPECT_EQ(s.HandlePorta, kUsbHandle + 2);
  EXPECT_EQ(s.FtStatus, 0);
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);  // no serial handle to record
}

// The latency timer is set after the configuration calls; a driver without the call, or one
// that refuses it, costs one log line and the open still succeeds.
TEST_F(UsbOpen, SetsTheLatencyTimerWhenTheDriverCan) {
  struct Case {
    int setting;
    bool missing;
    const char* failing;  // call made to fail, or nullptr
    const char* call;     // the last driver call recorded
    int timer_ms;         // the device's latency timer afterwards
    const char* log;      // after the APERTURA line
  };
  const Case cases[] = {
      {255, false, nullptr, "FT_SetLatencyTimer 255", 255, ""},
      {0, false, nullptr, "FT_SetChars 126 0 0 0", 16, ""},  // 0: the driver's value stays
      {4, true, nullptr, "FT_SetLatencyTimer 4", 16, "FT_SetLatencyTimer Error#17\r\n"},
      {4, false, "FT_SetLatencyTimer", "FT_SetLatencyTimer 4", 16,
       "FT_SetLatencyTimer Error#18\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting);
    p.usb_devices.assign(1, Device("S0", "D"));
    p.driver_args.clear();
    ForgetLog();
    p.latency_timer_missing = c.missing;
    if (c.failing != nullptr) p.FailCall(c.failing);
    s.settings.LatencyTimer_ms = static_cast<uint8_t>(c.setting);
    s.HandlePorta = 0;
    EXPECT_TRUE(ApriPorta(s));
    EXPECT_EQ(p.driver_args.back(), c.call);
    EXPECT_EQ(p.usb_devices[0].latency_timer_ms, c.timer_ms);
    EXPECT_EQ(LogText(), std::string("APERTURA [USB ID0]\r\n") + c.log);
    if (c.failing != nullptr) p.FailCall(c.failing, -1);
  }
}

// --- Closing -----------------------------------------------------------------------------------

class Close : public LinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(Close, GivesUpAfterFiveAttemptsThenTheNextCloseReleasesThePort) {
  const bool usb = GetParam();
  ASSERT_TRUE(usb ? OpenUsb() : OpenSerial());
  ForgetLog();
  const std::string call = usb ? "FT_Close" : "CloseHandle";
  p.FailCall(call);
  EXPECT_FALSE(ChiudiPorta(s));
  std::string expected;
  for (int i = 0; i < 5; ++i) {
    expected += "0 " + call + (usb ? " Error#18" : " Error#0") + "\r\n0 LastDllError 1F\r\n";
  }
  EXPECT_EQ(Log(), expected);
  EXPECT_EQ(s.HandlePorta, usb ? kUsbHandle : kFirstHandle);
  EXPECT_EQ(p.files.count(kHandleIniPath), usb ? 0u : 1u);
  EXPECT_EQ(p.port_calls.back(), "FT_ListDevices");  // the list is refreshed either way

  p.FailCall(call, -1);
  ForgetLog();
  EXPECT_TRUE(ChiudiPorta(s));
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(link.closes, 1);
  EXPECT_TRUE(s.held_serial_handles.empty());
  if (!usb) {
    EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
  }
}

INSTANTIATE_TEST_SUITE_P(SerialAndUsb, Close, ::testing::Bool());

TEST_F(SerialOpen, AfterAFailureTheInvalidHandleIsClosedAndThenNothingIs) {
  s.PortaCom = 9;
  ASSERT_FALSE(ApriPorta(s));
  p.port_calls.clear();
  // Closing the invalid handle value succeeds without effect, as Windows does it.
  EXPECT_TRUE(ChiudiPorta(s));
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(p.port_calls, (Calls{"CloseHandle", "FT_ListDevices"}));
  EXPECT_EQ(p.files.count(kHandleIniPath), 0u);  // not created
  // With nothing open the list is still refreshed, and Handle.ini left as it is.
  p.files[kHandleIniPath] = "123\r\n";
  s.NumUsbDevices = 2;
  p.port_calls.clear();
  EXPECT_FALSE(ChiudiPorta(s));
  EXPECT_EQ(p.files[kHandleIniPath], "123\r\n");
  EXPECT_EQ(p.port_calls, Calls{"FT_ListDevices"});
  EXPECT_EQ(s.NumUsbDevices, 0);
}

// A handle that failed to close still holds its port: no open may replace it, and the next open
// once the close works releases it by its own kind and fails; the one after starts clean.
TEST_F(LinkTest, AHandleThatCouldNotBeClosedIsReleasedByTheNextOpen) {
  ASSERT_TRUE(OpenSerial(3));
  const int64_t held = s.HandlePorta;
  p.FailCall("CloseHandle");
  ASSERT_FALSE(ChiudiPorta(s));
  // The next search selects the USB interface (absent here, so FT_Open would fail) and then a
  // serial port.
  for (int port : {0, 4}) {
    s.PortaCom = static_cast<uint8_t>(port);
    EXPECT_FALSE(ApriPorta(s)) << port;
    EXPECT_EQ(s.HandlePorta, held) << port;
  }
  p.FailCall("CloseHandle", -1);
  s.PortaCom = 0;
  p.port_calls.clear();
  EXPECT_FALSE(ApriPorta(s));
  EXPECT_EQ(p.port_calls, Calls{"CloseHandle"});
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
  EXPECT_TRUE(s.held_serial_handles.empty());
  EXPECT_TRUE(OpenSerial(3));
  EXPECT_EQ(p.files[kHandleIniPath], std::to_string(s.HandlePorta) + "\r\n");
}

// --- The USB interface list ------------------------------------------------------------------

using UsbList = LinkTest;

TEST_F(UsbList, EntriesArePaddedOrCutAndOldOnesDropped) {
  p.usb_devices.push_back(Device("AB12CD34", "Kit"));
  p.usb_devices.push_back(Device("XY1234", "A description longer than twenty"));
  p.usb_devices.push_back(Device("SERIAL0123", "Exactly twenty chars"));
  RefreshUsbList(s);
  EXPECT_EQ(s.NumUsbDevices, 3);
  EXPECT_EQ(s.UsbSerialList, (Texts{"AB12CD34", "XY1234  ", "SERIAL01"}));
  EXPECT_EQ(s.UsbDescList,
            (Texts{"Kit                 ", "A description longer", "Exactly twenty chars"}));
  // Count first, then per index the description before the serial number.
  EXPECT_EQ(p.driver_args, (Texts{"FT_ListDevices count 80000000", "FT_ListDevices 0 40000002",
                                  "FT_ListDevices 0 40000001", "FT_ListDevices 1 40000002",
                                  "FT_ListDevices 1 40000001", "FT_ListDevices 2 40000002",
                                  "FT_ListDevices 2 40000001"}));
  EXPECT_EQ(Log(), "");
  p.usb_devices.resize(1);
  RefreshUsbList(s);
  EXPECT_EQ(std::pair(s.UsbSerialList, s.UsbDescList),
            std::pair(Texts{"AB12CD34"}, Texts{"Kit                 "}));
  // More interfaces than any list could hold: the list stops at 127.
  p.usb_devices.resize(128, Device("MANY", "Many"));
  RefreshUsbList(s);
  EXPECT_EQ(s.NumUsbDevices, 127);
  p.usb_devices.resize(1);
  // A failed count means no interfaces.
  p.FailCall("FT_ListDevices");
  RefreshUsbList(s);
  EXPECT_EQ(LogText(), "FT_GetNumDevices Error#18\r\n");
  EXPECT_EQ(std::tuple(s.NumUsbDevices, s.UsbSerialList, s.UsbDescList),
            std::tuple(0, Texts{""}, Texts{""}));
}

TEST_F(UsbList, AFailingInterfaceIsTriedTwentyOneTimesTenthsOfASecondApart) {
  p.usb_devices.push_back(Device("ONE", "First"));
  p.usb_devices.push_back(Device("TWO", "Second"));
  p.FailCall("FT_ListDevices", 1);  // the count succeeds
  const double start = p.NowUsec();
  RefreshUsbList(s);
  const double elapsed = p.NowUsec() - start;
  EXPECT_GE(elapsed, 2 * 21 * 100000.0);
  EXPECT_LT(elapsed, 2 * 21 * 100000.0 + 50000);
  std::string expected;
  for (int i = 0; i < 42; ++i) expected += "FT_ListDevices Error#18\r\n";
  EXPECT_EQ(LogText(), expected);
  EXPECT_EQ(std::tuple(s.NumUsbDevices, s.UsbSerialList, s.UsbDescList),
            std::tuple(2, Texts{"", ""}, Texts{"", ""}));

  // One that recovers within its attempts is listed.
  p.usb_devices.pop_back();
  p.FailCall("FT_ListDevices", 1, 3);
  ForgetLog();
  const double again = p.NowUsec();
  RefreshUsbList(s);
  EXPECT_GE(p.NowUsec() - again, 300000.0);
  EXPECT_LT(p.NowUsec() - again, 400000.0);
  EXPECT_EQ(LogText(), expected.substr(0, 3 * 25));
  EXPECT_EQ(s.UsbSerialList, Texts{"ONE     "});

  // A failing serial-number query fails the attempt, which asks for the description again.
  p.driver_args.clear();
  p.FailCall("FT_ListDevices", 2);
  RefreshUsbList(s);
  EXPECT_EQ(CountOf(p.driver_args, "FT_ListDevices 0 40000002"), 21u);
  EXPECT_EQ(CountOf(p.driver_args, "FT_ListDevices 0 40000001"), 1u);
  EXPECT_EQ(std::pair(s.UsbSerialList, s.UsbDescList), std::pair(Texts{""}, Texts{""}));
}

// --- Handle.ini ------------------------------------------------------------------------------

using HandleIni = LinkTest;

// A full disk cuts a file it was writing; a locked file cannot be replaced. Either way the old
// Handle.ini must stay whole, and the failure must be logged.
TEST_F(HandleIni, IsReplacedWholeOrNotAtAll) {
  for (const bool disk_full : {true, false}) {
    p.files[kHandleIniPath] = "77\r\n";
    p.disk_full = disk_full;
    if (!disk_full) p.locked.insert(kHandleIniPath);
    ForgetLog();
    ScriviHandleIni(s, 4096);
    AzzeraHandleIni(s);
    EXPECT_EQ(p.files[kHandleIniPath], "77\r\n") << disk_full;
    const std::string code = disk_full ? "70" : "20";
    const std::string lines = (disk_full ? "WriteFile" : "MoveFileEx") +
                              std::string(" Error#Handle.ini\r\nGetLastError ") + code +
                              "\r\nLastDllError " + code + "\r\n";
    EXPECT_EQ(LogText(), lines + lines);
    p.disk_full = false;
    p.locked.clear();
  }
  ScriviHandleIni(s, 4096);
  EXPECT_EQ(p.files[kHandleIniPath], "4096\r\n");
  AzzeraHandleIni(s);
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
  EXPECT_EQ(p.files.size(), 2u);  // Handle.ini and the log: no temporary file is left
}

TEST_F(HandleIni, OnlyAPlainPositiveHandleThisProcessHoldsIsClosed) {
  ASSERT_TRUE(OpenSerial(3));
  for (const std::string contents :
       {"0\r\n", "-4096\r\n", "abc\r\n", "\r\n", "   \r\n", "40x96\r\n", "4096.0\r\n"}) {
    p.files[kHandleIniPath] = contents;
    FileHandleVerificaChiusura(s);
    EXPECT_EQ(p.open_serial.size(), 1u) << contents;
    EXPECT_EQ(p.files[kHandleIniPath], contents);
  }
  p.unreadable.insert(kHandleIniPath);
  FileHandleVerificaChiusura(s);
  EXPECT_EQ(p.messages,
            Texts{"ecubridge|FileHandleVerificaChiusura: Handle.ini could not be read"});
  EXPECT_EQ(p.open_serial.size(), 1u);
  p.unreadable.clear();
  p.files[kHandleIniPath] = "  4096 ,trailing\r\n";  // the first field, trimmed
  FileHandleVerificaChiusura(s);
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
  // A handle of this process that is no port of ours, e.g. what the log or a pipe got: the
  // number is dropped from the file without a close.
  p.com_ports[5] = &link;
  const int64_t unrelated = p.OpenSerial(SerialDeviceName(5));
  p.files[kHandleIniPath] = std::to_string(unrelated) + "\r\n";
  FileHandleVerificaChiusura(s);
  EXPECT_EQ(p.open_serial.count(unrelated), 1u);
  EXPECT_EQ(p.files[kHandleIniPath], "\r\n");
}

}  // namespace
}  // namespace ecub::test
