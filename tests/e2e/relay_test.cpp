// The server relaying host frames to a simulated control unit on a real pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <string>

#include "sim_host.h"

namespace ecub::e2e {
namespace {

using Fault = EcuSim::Fault;

const std::string kReadMem1 = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);

using RelayOverPty = SimHost;

// The relay's checks, retries and log lines, the search and the scan are pinned on the fake
// platform; what only a real terminal shows is the unit hanging up while an answer is awaited.
TEST_F(RelayOverPty, AHangUpEndsTheTransactionAtOnceAndTheServerGoesOn) {
  Write("SetComVarno.ini", FastTimingIni());
  PtyUnit& unit = AddUnit(3);
  Start();
  ASSERT_EQ(Connect(3, unit).link, 1);
  ASSERT_EQ(Call(4, Byte(2)).poll, 2);
  // (Relays over a terminal are checked byte for byte with the tools.) Answers are awaited 30 s
  // now: only noticing the hang-up can end the transaction soon.
  EXPECT_EQ(Call(8, std::string("\x30\x75", 2)).data, std::string("\x30\x75\x00\x00", 4));
  unit.With([](EcuSim& sim) { sim.Inject(Fault::kSilence); });
  const size_t asked = unit.RequestCount();
  ASSERT_TRUE(server_.Write(EncodeHostMessage(6, kReadMem1)));
  ASSERT_TRUE(Eventually([&] { return unit.RequestCount() == asked + 1; }));
  unit.HangUp();
  const HostReply hung_up = Reply(20000);
  ASSERT_TRUE(hung_up.ok);
  EXPECT_EQ(std::tuple(hung_up.code, hung_up.link, hung_up.data), std::tuple(6, 0, ""));
  const HostReply later = Call(6, kReadMem1);
  EXPECT_EQ(std::pair(later.link, later.data), std::pair(0, std::string()));
  EXPECT_EQ(unit.RequestCount(), asked + 1);
  Quit();
}

// Hosts commonly end the server with a signal: the port must still be left as it was found, or
// the exclusive flag keeps every other user out while the far end stays open.
TEST_F(RelayOverPty, AStopSignalShutsDownInOrderAndPutsTheTerminalBack) {
  Write("SetComVarno.ini", FastTimingIni());
  PtyUnit& unit = AddUnit(3);
  const int other = open(unit.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  termios found{};
  ASSERT_EQ(tcgetattr(other, &found), 0);
  found.c_lflag |= ICANON;
  ASSERT_EQ(tcsetattr(other, TCSANOW, &found), 0);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    Start();
    ASSERT_EQ(Connect(3, unit).link, 1) << signal;
    int exclusive = 0;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ASSERT_EQ(kill(server_.pid(), signal), 0);
    EXPECT_EQ(server_.WaitExit(5000), 0) << signal;
    ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << signal;
    termios back{};
    ASSERT_EQ(tcgetattr(other, &back), 0);
    EXPECT_EQ(std::tuple(back.c_iflag, back.c_cflag, back.c_lflag),
              std::tuple(found.c_iflag, found.c_cflag, found.c_lflag))
        << signal;
  }
  close(other);
}

}  // namespace
}  // namespace ecub::e2e
