// The server relaying host frames to a simulated control unit on a real pseudo-terminal: the
// port search, the relay with its checks and retries, giving up, a unit that hangs up, the
// traffic log and the scan of the COM ports.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "sim_host.h"

namespace ecub::e2e {
namespace {

using Fault = EcuSim::Fault;

const std::string kReadMem1 = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);
// The identification request of the search without scrambling: command 0x21, 54 zero bytes.
const std::string kIdentRequest =
    EcuSim::RequestFrame(EcuSim::kCmdReadFirmware, std::string(54, '\0'));

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  return text;
}

// Connected to the unit on COMn with automatic polling off, as a host relaying its own frames.
class RelayOverPty : public SimHost {
 protected:
  PtyUnit& ConnectedUnit(int com, const std::string& ini = FastTimingIni()) {
    Write("SetComVarno.ini", ini);
    PtyUnit& unit = AddUnit(com);
    Start();
    const HostReply connected = Connect(com, unit);
    EXPECT_EQ(connected.link, 1);
    const HostReply mode = Call(4, Byte(2));
    EXPECT_EQ(mode.poll, 2);
    return unit;
  }
};

TEST_F(RelayOverPty, ConnectsThenRelaysFramesAndAnswersExactly) {
  Write("SetComVarno.ini", FastTimingIni());
  PtyUnit& unit = AddUnit(4);
  unit.With([](EcuSim& sim) {
    sim.SetAnswer(0x05, std::string("\x01\x02\x00\x03", 4));
    sim.SetReply(0x30, EcuSim::Reply("xyz", /*with_outcome=*/false));
  });
  Start();

  const HostReply connected = Connect(4, unit);
  ASSERT_TRUE(connected.ok);
  EXPECT_EQ(connected.code, 3);
  EXPECT_EQ(connected.link, 1);
  EXPECT_EQ(connected.reserved, 0);
  EXPECT_EQ(connected.port, 4);
  EXPECT_EQ(connected.result, 0);
  const std::string identity = unit.With([](EcuSim& sim) { return sim.IdentityAnswer(); });
  EXPECT_EQ(connected.data, Byte(4) + " " + identity);
  EXPECT_EQ(Trimmed(Read("PortCom.ini")), "4");
  unit.With([](EcuSim& sim) {
    ASSERT_EQ(sim.requests().size(), 1u);
    EXPECT_EQ(sim.requests()[0].frame, kIdentRequest);
    EXPECT_TRUE(sim.is_open());
  });

  const HostReply mode = Call(4, Byte(2));
  EXPECT_EQ(mode.data, Byte(2));
  EXPECT_EQ(mode.poll, 2);

  const std::vector<std::string> frames = {
      kReadMem1, EcuSim::RequestFrame(0x05, std::string("\x10\x00\x20", 3)),
      EcuSim::RequestFrame(0x30, "abc"), kReadMem1};
  std::vector<std::string> answers;
  for (const std::string& frame : frames) {
    const size_t before = unit.RequestCount();
    const HostReply r = Call(6, frame);
    ASSERT_TRUE(r.ok) << Hex(frame);
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.link, 1);
    EXPECT_EQ(r.poll, 2);
    EXPECT_EQ(r.port, 4);
    unit.With([&](EcuSim& sim) {
      ASSERT_EQ(sim.requests().size(), before + 1);
      EXPECT_EQ(Hex(sim.requests().back().frame), Hex(frame));
      EXPECT_EQ(Hex(r.data), Hex(sim.answers().back()));
    });
    answers.push_back(r.data);
  }
  const std::string plain = unit.With([](EcuSim& sim) {
    return sim.Frame(0x05, EcuSim::Reply(std::string("\x01\x02\x00\x03", 4)));
  });
  EXPECT_EQ(Hex(answers[1]), Hex(plain));
  EXPECT_EQ(Hex(answers[2]),
            "44010630" + Hex("xyz") + Hex(Byte(0x44 ^ 0x01 ^ 0x06 ^ 0x30 ^ 'x' ^ 'y' ^ 'z')));
  // Live values carry a sequence byte: the second reading is a fresh transaction.
  EXPECT_NE(answers[0], answers[3]);
  Quit();
}

TEST_F(RelayOverPty, RetriesAnAnswerThatFailsItsChecks) {
  PtyUnit& unit = ConnectedUnit(2);
  for (Fault fault : {Fault::kBadChecksum, Fault::kWrongEcho, Fault::kOutcomeFE, Fault::kOutcomeFF,
                      Fault::kTruncate}) {
    const size_t before = unit.RequestCount();
    unit.With([&](EcuSim& sim) { sim.Inject(fault, 1, EcuSim::kCmdReadMem1); });
    const HostReply r = Call(6, kReadMem1);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.link, 1) << static_cast<int>(fault);
    unit.With([&](EcuSim& sim) {
      // The spoilt answer, then the same frame again and a good answer, which is returned.
      ASSERT_EQ(sim.requests().size(), before + 2) << static_cast<int>(fault);
      EXPECT_EQ(sim.requests()[before].frame, kReadMem1);
      EXPECT_EQ(sim.requests()[before + 1].frame, kReadMem1);
      const auto& sent = sim.answers();
      EXPECT_NE(sent[sent.size() - 2], sent.back());
      EXPECT_EQ(Hex(r.data), Hex(sent.back()));
    });
    EXPECT_EQ(EcuSim::Xor(r.data), 0);
  }
  Quit();
}

TEST_F(RelayOverPty, GivesUpOnASilentUnitAndClosesThePort) {
  PtyUnit& unit = ConnectedUnit(3);  // NumResend 2, answers awaited 300 ms
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kSilence); });
  const size_t before = unit.RequestCount();
  const HostReply r = Call(6, kReadMem1);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.code, 6);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.link, 0);
  EXPECT_EQ(r.data, "");
  EXPECT_EQ(unit.RequestCount(), before + 3);  // sent once and again twice
  EXPECT_TRUE(Eventually([&] { return !unit.IsOpen(); }));

  // On the closed port a frame fails at once and nothing reaches the unit.
  const HostReply closed = Call(6, kReadMem1);
  EXPECT_EQ(closed.link, 0);
  EXPECT_EQ(closed.data, "");
  EXPECT_EQ(unit.RequestCount(), before + 3);

  // A new search brings the link back.
  unit.With([](EcuSim& sim) { sim.ClearFaults(); });
  const HostReply again = Connect(3, unit);
  EXPECT_EQ(again.link, 1);
  const HostReply relayed = Call(6, kReadMem1);
  EXPECT_EQ(relayed.link, 1);
  EXPECT_EQ(Hex(relayed.data), unit.With([](EcuSim& sim) { return Hex(sim.answers().back()); }));
  Quit();
}

TEST_F(RelayOverPty, KeepsServingTheHostWhenTheUnitHangsUpMidTransaction) {
  PtyUnit& unit = ConnectedUnit(6);
  // Answers are awaited 30 s now: only noticing the hang-up can end the transaction soon.
  const HostReply timeout = Call(8, std::string("\x30\x75", 2));
  EXPECT_EQ(timeout.data, std::string("\x30\x75\x00\x00", 4));
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kSilence); });
  const size_t before = unit.RequestCount();
  ASSERT_TRUE(server_.Write(EncodeHostMessage(6, kReadMem1)));
  ASSERT_TRUE(Eventually([&] { return unit.RequestCount() == before + 1; }));
  unit.HangUp();

  const HostReply r = Reply(20000);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.code, 6);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.link, 0);
  EXPECT_EQ(r.data, "");

  const HostReply echo = Call(0, "still here");
  ASSERT_TRUE(echo.ok);
  EXPECT_EQ(echo.data, "still here");
  EXPECT_EQ(echo.link, 0);
  const HostReply later = Call(6, kReadMem1);
  ASSERT_TRUE(later.ok);
  EXPECT_EQ(later.link, 0);
  EXPECT_EQ(later.data, "");
  Quit();
}

TEST_F(RelayOverPty, TrafficLogShowsNamesAndFramesBothWays) {
  PtyUnit& unit = ConnectedUnit(2, FastTimingIni() + IniLines({"[LOG]", "1"}));
  const HostReply good = Call(6, kReadMem1);
  ASSERT_FALSE(good.data.empty());
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kBadChecksum, 1); });
  const std::string status = EcuSim::RequestFrame(0x0D, "\x01");
  const HostReply retried = Call(6, status);
  ASSERT_FALSE(retried.data.empty());
  const std::string spoilt = unit.With([](EcuSim& sim) {
    const auto& sent = sim.answers();
    return sent[sent.size() - 2];
  });
  const std::string identity = unit.With([](EcuSim& sim) { return sim.IdentityAnswer(); });
  Quit();

  const std::string log = Read("RxTx.TXT");
  const auto has = [&log](const std::string& pattern) {
    return std::regex_search(log, std::regex(pattern));
  };
  const std::string ms = R"(\r\n\d+ )";
  EXPECT_TRUE(has("\r\nCMD_READ_FIRMWARE" + ms + "T " + Hex(kIdentRequest) + ms + "R " +
                  Hex(identity) + "\r\n"))
      << log;
  EXPECT_TRUE(
      has("\r\nCMD_READ_MEM1" + ms + "T " + Hex(kReadMem1) + ms + "R " + Hex(good.data) + "\r\n"))
      << log;
  // The spoilt answer, the reason it was refused, and the frame sent again.
  EXPECT_TRUE(has("\r\nCMD_READ_MEM2" + ms + "T " + Hex(status) + ms + "R " + Hex(spoilt) + ms +
                  "COMUNICATION ERROR:RX ESITO_CKSUM\r\nCMD_READ_MEM2" + ms + "T " + Hex(status) +
                  ms + "R " + Hex(retried.data) + "\r\n"))
      << log;
}

TEST_F(RelayOverPty, ScanFindsTheLowestPortWhoseUnitMatches) {
  // Every other COM number names a missing device, so the scan touches no real port.
  for (int n = 1; n <= 100; ++n) {
    if (n == 2 || n == 3 || n == 5) continue;
    ASSERT_EQ(symlink("/nonexistent/tty", (home_ + "/ports/COM" + std::to_string(n)).c_str()), 0);
  }
  EcuSim::Config other, first, second;
  other.ident_pieces = {"FW", "1.00", "OTHER-ECU", "X"};  // answers, but is not the one expected
  first.ident_pieces = {"FW", "1.00", "LPGJET-4", "A"};
  second.ident_pieces = {"FW", "1.00", "LPGJET-4", "B"};  // field 3 plays no part
  PtyUnit& com2 = AddUnit(2, other);
  PtyUnit& com3 = AddUnit(3, first);
  PtyUnit& com5 = AddUnit(5, second);
  Write("SetComVarno.ini", FastTimingIni());
  Start();
  const std::string expected = com5.With([](EcuSim& sim) { return sim.ExpectedIdentity(); });
  ASSERT_EQ(Call(10, expected).data, expected);

  const HostReply r = Call(13, Byte(0));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.code, 13);
  EXPECT_EQ(r.link, 0);
  EXPECT_EQ(r.port, 3);
  EXPECT_EQ(r.result, 0);
  const std::string answer3 = com3.With([](EcuSim& sim) { return sim.IdentityAnswer(); });
  EXPECT_EQ(Hex(r.data), Hex(Byte(3) + " " + answer3));
  for (PtyUnit* unit : {&com2, &com3, &com5}) {
    unit->With([](EcuSim& sim) {
      ASSERT_EQ(sim.requests().size(), 1u);
      EXPECT_EQ(sim.requests()[0].frame, kIdentRequest);
    });
    EXPECT_TRUE(Eventually([&] { return !unit->IsOpen(); }));
  }
  // Later replies keep naming the port found, with no link.
  const HostReply echo = Call(0, "x");
  EXPECT_EQ(echo.port, 3);
  EXPECT_EQ(echo.link, 0);
  Quit();
}

}  // namespace
}  // namespace ecub::e2e
