#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "link/transaction.h"
#include "server_fixture.h"
#include "service/search.h"

namespace ecub::test {
namespace {

class Instructions : public ServerFixture {};

TEST_F(Instructions, ConnectFindsTheUnitOnANamedPortAndKeepsPortComIniWhole) {
  EcuSim& unit = UnitOn(5);
  Start("[LOG]\r\n1\r\n");
  // Linked (LinkStatus 1) on PortaCom 5; the data: the port, a blank and the unit's answer.
  EXPECT_EQ(Connect(5, unit.ExpectedIdentity()),
            Bytes({0, 41, 3, 1, 0, 0, 5, 0, 5, 0x20}) + unit.IdentityAnswer());
  EXPECT_EQ(p.files["/app/PortCom.ini"], "5\r\n");
  ASSERT_EQ(unit.requests().size(), 1u);
  EXPECT_EQ(unit.requests()[0].frame,
            Bytes({0x41, 0x02, 0x39, 0x21}) + std::string(54, '\0') + Bytes({0x5B}));
  EXPECT_EQ(s.settings.NumResend, 10);
  EXPECT_EQ(p.open_serial.size(), 1u);
  // A full disk leaves PortCom.ini as it was.
  p.files["/app/PortCom.ini"] = "3\r\n";
  p.disk_full = true;
  EXPECT_EQ(At(Connect(5, unit.ExpectedIdentity()), 3), 1);
  EXPECT_EQ(p.files["/app/PortCom.ini"], "3\r\n");
  EXPECT_NE(p.files["/app/RxTx.TXT"].find(" WriteFile Error#PortCom.ini\r\n"), std::string::npos);
  // Said once on standard error, however often it fails.
  Connect(5, unit.ExpectedIdentity());
  const std::string said =
      "ecubridge: cannot write /app/PortCom.ini; the program folder must be "
      "writable to keep it";
  EXPECT_EQ(std::count(p.stderr_lines.begin(), p.stderr_lines.end(), said), 1)
      << p.stderr_lines.size();
  p.disk_full = false;
  Connect(5, unit.ExpectedIdentity());
  EXPECT_EQ(p.files["/app/PortCom.ini"], "5\r\n");
}

TEST_F(Instructions, AMissingPortOrAWrongIdentityIsNotTheUnit) {
  EcuSim& unit = UnitOn(2);
  unit.config.ident_pieces = {"FW", "2.00", "OTHER", "X"};
  UsbUnit("A1", "Cable").config.ident_pieces = unit.config.ident_pieces;
  Start();
  EXPECT_EQ(Connect(7, "0123456789AB x FW 1"), Bytes({0, 10, 3, 0, 0, 0, 7, 0, 7, 0x20}));
  EXPECT_EQ(s.settings.NumResend, 10);
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(p.files.count("/app/PortCom.ini"), 0u);
  EcuSim reference;
  EXPECT_EQ(At(Connect(2, reference.ExpectedIdentity()), 3), 0);
  EXPECT_TRUE(p.open_serial.empty());
  // The USB search ends at the last interface listed, without trying one past it.
  EXPECT_EQ(At(Connect(0, reference.ExpectedIdentity()), 3), 0);
  EXPECT_EQ(s.IndiceUsb, 0);
}

TEST_F(Instructions, ConnectTriesEachUsbInterfaceInTurn) {
  EcuSim& first = UsbUnit("A1", "Cable one");
  EcuSim& second = UsbUnit("B2", "Cable two");
  EcuSim& third = UsbUnit("C3", "Cable three");
  first.Inject(EcuSim::Fault::kSilence);
  second.config.ident_pieces = {"FW", "9", "SOMETHING", "X"};
  Start();
  EXPECT_EQ(At(Connect(0, third.ExpectedIdentity()), 3), 1);
  EXPECT_EQ(s.IndiceUsb, 2);
  EXPECT_EQ(p.files["/app/PortCom.ini"], "0\r\n");
  EXPECT_EQ(first.requests().size(), 3u);  // the search sends at most three times
  EXPECT_EQ(second.requests().size(), 1u);
  EXPECT_TRUE(p.usb_devices[2].open);
  EXPECT_FALSE(p.usb_devices[0].open);
}

TEST_F(Instructions, ShortAnswerTurnsPollingOff) {
  EcuSim& unit = UnitOn(1);
  unit.config.short_ident = true;
  Start(MsgSection(LiveRequest(), true, 100, 5, false));
  const std::string reply = Connect(1, "no matter");
  EXPECT_EQ(At(reply, 3), 1);
  EXPECT_EQ(At(reply, 5), 2);             // PollMode
  EXPECT_EQ(unit.requests().size(), 1u);  // no timed message was sent
}

TEST_F(Instructions, ScramblingModeTwoFallsBackToScrambledFrames) {
  EcuSim& unit = UnitOn(6);
  unit.config.scrambled = true;
  Start("[CRIPT PROTO]\r\n2\r\n");
  EXPECT_EQ(At(Connect(6, unit.ExpectedIdentity()), 3), 1);
  // Only the scrambled search reached the unit; its probe is the short one.
  ASSERT_EQ(unit.requests().size(), 1u);
  EXPECT_EQ(unit.requests()[0].frame.size(), 16u);
  // Scrambling stays on for later traffic.
  Ask(HostMsg(4, "\x02"));
  p.wire_written.clear();
  const std::string request = EcuSim::RequestFrame(0x1A);
  Ask(HostMsg(6, request));
  std::string scrambled;
  for (unsigned char b : request) scrambled.push_back(static_cast<char>(unit.permutation()[b]));
  EXPECT_EQ(p.wire_written, scrambled);
}

TEST_F(Instructions, ScramblingModeOneScramblesFromTheFirstProbe) {
  EcuSim& unit = UnitOn(6);
  unit.config.scrambled = true;
  Start("[CRIPT PROTO]\r\n1\r\n");
  EXPECT_EQ(At(Connect(6, unit.ExpectedIdentity()), 3), 1);
  EXPECT_EQ(unit.requests().size(), 1u);
}

TEST_F(Instructions, ScanFindsTheLowestMatchingPortAndClosesAll) {
  EcuSim& com3 = UnitOn(3);
  EcuSim& com5 = UnitOn(5);
  UnitOn(8).config.ident_pieces = {"FW", "0", "NOPE", "X"};
  p.busy_ports.insert(9);
  UnitOn(9);
  EcuSim& last = UnitOn(kScanLastPort);
  Start();
  Ask(HostMsg(10, com3.ExpectedIdentity()));
  EXPECT_EQ(Ask(HostMsg(13, "x")),
            Bytes({0, 41, 13, 0, 0, 0, 3, 0, 3, 0x20}) + com3.IdentityAnswer());
  EXPECT_EQ(com5.requests().size(), 1u);  // asked too, in the same round
  EXPECT_EQ(last.requests().size(), 1u);
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(s.HandlePorta, 0);
}

// The scan leaves no port open: a port linked before it is closed by its own kind, so later
// instructions never hand a handle of one kind to the calls of the other.
TEST_F(Instructions, ScanClosesALinkedUsbInterfaceFirst) {
  EcuSim& usb = UsbUnit("A1", "Cable");
  EcuSim& com5 = UnitOn(5);
  Start();
  ASSERT_EQ(At(Connect(0, usb.ExpectedIdentity()), 3), 1);
  Ask(HostMsg(10, com5.ExpectedIdentity()));
  EXPECT_EQ(At(Ask(HostMsg(13, "x")), 6), 5);
  EXPECT_FALSE(p.usb_devices[0].open);
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_TRUE(p.open_serial.empty());
  // The interface can be linked again at once.
  EXPECT_EQ(At(Connect(0, usb.ExpectedIdentity()), 3), 1);
  EXPECT_TRUE(p.usb_devices[0].open);
}

TEST_F(Instructions, ScanClosesALinkedSerialPortFirstAndWaitsOnceForNone) {
  UsbUnit("A1", "Cable");
  Linked(5);
  ASSERT_EQ(s.LinkStatus, 1);
  // The EEPROM is written only through an open USB interface.
  EXPECT_EQ(Ask(HostMsg(12, std::string(20, 'd'))).substr(7), std::string(1, 4) + "1");
  EXPECT_EQ(p.ee_program_calls, 0);
  EXPECT_EQ(std::count(p.port_calls.begin(), p.port_calls.end(), "FT_EE_Read"), 0);
  Ask(HostMsg(10, "0123456789AB x NOBODY 1"));
  const double before = p.NowUsec();
  EXPECT_EQ(Ask(HostMsg(13, "x")), Bytes({0, 10, 13, 0, 0, 0, 0, 0, 0, 0x20}));
  EXPECT_GE(p.NowUsec() - before, 4e6);  // one wait for answers, whatever the ports
  EXPECT_LT(p.NowUsec() - before, 4.1e6);
  EXPECT_TRUE(p.open_serial.empty());
  EXPECT_EQ(s.HandlePorta, 0);
  p.port_calls.clear();
  EXPECT_EQ(Ask(HostMsg(12, std::string(20, 'd'))).substr(7), std::string(1, 4) + "1");
  Ask(HostMsg(2));
  for (const char* call : {"FT_EE_Read", "FT_Close", "CloseHandle"}) {
    EXPECT_EQ(std::count(p.port_calls.begin(), p.port_calls.end(), call), 0) << call;
  }
}

TEST_F(Instructions, HandlerResultsAndData) {
  Start(MsgSection(LiveRequest(1), false, 0, 3, false) +
        MsgSection(LiveRequest(2), false, 0, 3, true));
  EXPECT_EQ(Ask(HostMsg(5)), Bytes({0, 36, 5, 0, 0, 0, 0, 0}) + std::string(28, ' '));
  EXPECT_EQ(Ask(HostMsg(8, "\xE8\x03")), Bytes({0, 12, 8, 0, 0, 0, 0, 0, 0xE8, 3, 0, 0}));
  EXPECT_EQ(s.AttesaGlobaleCorrente, 1e6);
  EXPECT_EQ(Ask(HostMsg(9, "\x64")), Bytes({0, 12, 9, 0, 0, 0, 0, 0, 0x64, 0, 0, 0}));
  EXPECT_EQ(s.settings.AttesaByteTx_usec, 100);
  // Two records: index 2 is the first past the table; any non-zero flag means timed.
  EXPECT_EQ(Ask(HostMsg(11, "\x02\x01")), Bytes({0, 10, 11, 0, 0, 0, 0, 3, 2, 1}));
  EXPECT_EQ(Ask(HostMsg(11, "\x01\x05")), Bytes({0, 10, 11, 0, 0, 0, 0, 0, 1, 5}));
  EXPECT_TRUE(s.MsgTable[1].MsgTimed);
  // A history is kept only for cyclic messages.
  EXPECT_EQ(Ask(HostMsg(7, LiveRequest(1))), Bytes({0, 14, 7, 0, 0, 0, 0, 3}) + LiveRequest(1));
  EXPECT_EQ(Ask(HostMsg(7, LiveRequest(2))), Bytes({0, 12, 7, 0, 0, 0, 0, 0, 4, 0, 0, 0}));
  // Cyclic mode answers only from the table's cyclic records, not from a timed one's answer.
  Ask(HostMsg(11, Bytes({0, 1})));
  s.MsgTable[0].MsgLastAnswer = "TIMED";
  Ask(HostMsg(4, "\x01"));
  EXPECT_EQ(At(Ask(HostMsg(6, LiveRequest(1))), 7), 3);
  EXPECT_EQ(At(Ask(HostMsg(6, LiveRequest(2))), 7), 3);
  // Longer than any frame: refused with the argument, in every poll mode, nothing sent.
  const std::string too_long = LiveRequest(2) + std::string(258 - 6, '\x55');
  for (const char* mode : {"\x00", "\x02", "\x07"}) {
    Ask(HostMsg(4, mode));
    for (const int code : {6, 7}) {
      const std::string reply = Ask(HostMsg(code, too_long));
      EXPECT_EQ(reply.substr(2, 1) + reply.substr(7),
                std::string(1, static_cast<char>(code)) + "\x03" + too_long);
    }
  }
  EXPECT_TRUE(p.wire_written.empty());
  // Another poll mode: no reply at all, for the longest frame too.
  Ask(HostMsg(4, "\x07"));
  p.HostSend(HostMsg(6, LiveRequest(2)));
  p.HostSend(HostMsg(6, too_long.substr(0, 257)));
  EXPECT_TRUE(Replies(1, 1e6).empty());
}

TEST_F(Instructions, UsbDescriptionIsRewrittenAlone) {
  EcuSim& unit = UsbUnit("FT12AB", "USB <-> Serial Cable Long Name");
  Start("[LOG]\r\n1\r\n");
  EXPECT_EQ(Ask(HostMsg(12, std::string(20, 'd'))).substr(7),
            std::string(1, 4) + "1");  // nothing open
  Connect(0, unit.ExpectedIdentity());
  EXPECT_EQ(Ask(HostMsg(5)).substr(8), "FT12AB  USB <-> Serial Cable");
  const std::string description = std::string("LPG interface") + std::string(7, '\0');
  const std::string reply = Ask(HostMsg(12, description));
  EXPECT_EQ(At(reply, 7), 0);
  EXPECT_EQ(reply.substr(8), description);
  EXPECT_EQ(std::tuple(p.ee_program_calls, p.last_programmed_description,
                       p.usb_devices[0].eeprom_manufacturer, p.last_programmed.VendorId),
            std::tuple(1, "LPG interface", "FTDI", 0x0403));
  p.FailCall("FT_EE_Program");
  EXPECT_EQ(Ask(HostMsg(12, description)).substr(7), std::string(1, 4) + "0");
  EXPECT_NE(p.files["/app/RxTx.TXT"].find(" FT_EE_Program Error#18\r\n"), std::string::npos);
}

// A failing close once cost a port: the close after the scan, and the close of a port whose
// set-up failed, must still release it.
TEST_F(Instructions, AScanWhoseCloseFailsOnceStillReleasesThePort) {
  EcuSim& unit = UnitOn(5);
  Start();
  Ask(HostMsg(10, unit.ExpectedIdentity()));
  for (const char* set_up_failure : {"", "GetCommState"}) {
    if (*set_up_failure) p.FailCall(set_up_failure, 0, 1);
    p.FailCall("CloseHandle", 0, 1);
    Ask(HostMsg(13, std::string(1, '\0')));
    EXPECT_TRUE(p.open_serial.empty()) << set_up_failure;
    EXPECT_EQ(At(Ask(HostMsg(3, std::string(1, '\x05'))), 3), 1) << set_up_failure;
    Ask(HostMsg(2));
  }
}

TEST(IdentMatches, FieldsOneAndTwoMustMatchAndNotBeEmpty) {
  const std::string head(12, 'h');
  EXPECT_TRUE(IdentMatches(head + "a FW 1.0 z", head + "b FW 1.0 y"));
  EXPECT_FALSE(IdentMatches(head + "a FW 1.1 z", head + "b FW 1.0 y"));
  // The first 12 bytes are skipped even where the twelfth is a blank.
  EXPECT_FALSE(IdentMatches(head.substr(1) + " FW 1.0 z", head + "a FW 1.0 z"));
  EXPECT_FALSE(IdentMatches(head + "a  1.0", head + "a  1.0"));  // field 1 empty in both
  EXPECT_FALSE(IdentMatches(head, head));
  EXPECT_TRUE(IdentMatches(Bytes({0x42, 1, 4, 0x21, 9, 9}), ""));
  EXPECT_FALSE(IdentMatches(Bytes({0x42, 1, 4, 0x21, 9, 9, 9}), ""));
}

}  // namespace
}  // namespace ecub::test
