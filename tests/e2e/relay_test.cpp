// The server relaying host frames to a simulated control unit on a real pseudo-terminal: the
// port search, the relay with its checks and retries, the traffic log, losing the unit (silent
// or hung up) and the scan of the COM ports.
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

using RelayOverPty = SimHost;

TEST_F(RelayOverPty, ConnectsRelaysRetriesAndLogsTheExactBytes) {
  Write("SetComVarno.ini", FastTimingIni() + IniLines({"[LOG]", "1"}));
  PtyUnit& unit = AddUnit(4);
  unit.With([](EcuSim& sim) {
    sim.SetAnswer(0x05, std::string("\x01\x02\x00\x03", 4));
    sim.SetReply(0x30, EcuSim::Reply("xyz", /*with_outcome=*/false));
  });
  Start();

  const HostReply connected = Connect(4, unit);
  EXPECT_EQ(connected.code, 3);
  EXPECT_EQ(connected.link, 1);
  EXPECT_EQ(connected.reserved, 0);
  EXPECT_EQ(connected.port, 4);
  EXPECT_EQ(connected.result, 0);
  const std::string identity = unit.With([](EcuSim& sim) { return sim.IdentityAnswer(); });
  EXPECT_EQ(connected.data, Byte(4) + " " + identity);
  EXPECT_EQ(Read("PortCom.ini"), "4\r\n");
  unit.With([](EcuSim& sim) {
    ASSERT_EQ(sim.requests().size(), 1u);
    EXPECT_EQ(sim.requests()[0].frame, kIdentRequest);
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
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.link, 1);
    unit.With([&](EcuSim& sim) {
      ASSERT_EQ(sim.requests().size(), before + 1);
      EXPECT_EQ(Hex(sim.requests().back().frame), Hex(frame));
      EXPECT_EQ(Hex(r.data), Hex(sim.answers().back()));
    });
    answers.push_back(r.data);
  }
  EXPECT_EQ(Hex(answers[1]), "44010805000102000348");
  EXPECT_EQ(Hex(answers[2]),
            "44010630" + Hex("xyz") + Hex(Byte(0x44 ^ 0x01 ^ 0x06 ^ 0x30 ^ 'x' ^ 'y' ^ 'z')));
  // Live values carry a sequence byte: the second reading is a fresh transaction.
  EXPECT_NE(answers[0], answers[3]);

  // A spoilt answer is refused and the frame sent again; the good answer is returned.
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kBadChecksum, 1); });
  const std::string status = EcuSim::RequestFrame(0x0D, "\x01");
  const HostReply retried = Call(6, status);
  const auto [spoilt, good] = unit.With([](EcuSim& sim) {
    const auto& sent = sim.answers();
    return std::make_pair(sent[sent.size() - 2], sent.back());
  });
  EXPECT_NE(spoilt, good);
  EXPECT_EQ(Hex(retried.data), Hex(good));
  EXPECT_EQ(retried.link, 1);
  Quit();

  const std::string log = Read("RxTx.TXT");
  const auto has = [&log](const std::string& pattern) {
    return std::regex_search(log, std::regex(pattern));
  };
  const std::string ms = R"(\r\n\d+ )";
  EXPECT_TRUE(has("\r\nCMD_READ_FIRMWARE" + ms + "T " + Hex(kIdentRequest) + ms + "R " +
                  Hex(identity) + "\r\n"))
      << log;
  EXPECT_TRUE(has("\r\nCMD_READ_MEM2" + ms + "T " + Hex(status) + ms + "R " + Hex(spoilt) + ms +
                  "COMUNICATION ERROR:RX ESITO_CKSUM\r\nCMD_READ_MEM2" + ms + "T " + Hex(status) +
                  ms + "R " + Hex(good) + "\r\n"))
      << log;
}

TEST_F(RelayOverPty, LosesASilentOrHungUpUnitAndFindsItAgain) {
  Write("SetComVarno.ini", FastTimingIni());  // NumResend 2, answers awaited 300 ms
  PtyUnit& unit = AddUnit(3);
  Start();
  ASSERT_EQ(Connect(3, unit).link, 1);
  ASSERT_EQ(Call(4, Byte(2)).poll, 2);
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kSilence); });
  const size_t before = unit.RequestCount();
  const HostReply r = Call(6, kReadMem1);
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
  ASSERT_EQ(Connect(3, unit).link, 1);
  const HostReply relayed = Call(6, kReadMem1);
  EXPECT_EQ(relayed.link, 1);
  EXPECT_EQ(Hex(relayed.data), unit.With([](EcuSim& sim) { return Hex(sim.answers().back()); }));

  // Answers are awaited 30 s now: only noticing the hang-up can end the transaction soon.
  EXPECT_EQ(Call(8, std::string("\x30\x75", 2)).data, std::string("\x30\x75\x00\x00", 4));
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kSilence); });
  const size_t asked = unit.RequestCount();
  ASSERT_TRUE(server_.Write(EncodeHostMessage(6, kReadMem1)));
  ASSERT_TRUE(Eventually([&] { return unit.RequestCount() == asked + 1; }));
  unit.HangUp();
  const HostReply hung_up = Reply(20000);
  ASSERT_TRUE(hung_up.ok);
  EXPECT_EQ(hung_up.code, 6);
  EXPECT_EQ(hung_up.link, 0);
  EXPECT_EQ(hung_up.data, "");
  const HostReply echo = Call(0, "still here");
  EXPECT_EQ(echo.data, "still here");
  EXPECT_EQ(echo.link, 0);
  const HostReply later = Call(6, kReadMem1);
  EXPECT_EQ(later.link, 0);
  EXPECT_EQ(later.data, "");
  Quit();
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
