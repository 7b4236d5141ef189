// Runs the real ecubridge server as a child over real pipes, as a host does. How it cuts the
// stream, reads its settings, watches the host process and rotates its log is pinned on the fake
// platform, the pipes themselves (pieces, replies beyond a pipe buffer) in posix_platform_test.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim_host.h"

namespace ecub::e2e {
namespace {

using ServerOverPipes = SimHost;

// Settings written by the ini tool turn the log on; started with standard output closed, the
// server must not hand descriptor 1 to the traffic log: the replies would be written into it.
TEST_F(ServerOverPipes, ProtectedSettingsTurnTheTrafficLogOnAndItNeverTakesStandardOutput) {
  Write("plain.ini", Lines({"[LOG]", "1"}, "\r\n"));
  const std::string encode = std::string(ECUBRIDGE_INI_EXE) + " encode " + Path("plain.ini") +
                             " -o " + Path("SetComVarno.ini");
  ASSERT_EQ(std::system(encode.c_str()), 0);
  ASSERT_TRUE(server_.Start({"/bin/sh", "-c", "exec \"$0\" >&-", ECUBRIDGE_EXE},
                            {{"ECUBRIDGE_HOME", home_}}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "REPLY-MARKER") + EncodeHostMessage(1)));
  EXPECT_EQ(server_.WaitExit(10000), 0);
  const std::string log = Read("RxTx.TXT");
  EXPECT_EQ(log.rfind("0 TimerApi_uSec ", 0), 0u) << log;
  EXPECT_NE(log.find(" Now "), std::string::npos);
  EXPECT_EQ(log.find("REPLY-MARKER"), std::string::npos) << log;
}

// A host that ends (closes its pipe, or is killed) ends its server as instruction 1 would: the
// unit's port is put back, PortCom.ini and the log are written, exit 0. Before, the server ran
// on for ever and held the port. The same for input that ends at once (</dev/null) and Ctrl-D
// at a terminal, where a person learns first, in one line on standard error, what it is.
TEST_F(ServerOverPipes, EndOfHostInputShutsTheServerDownAsQuitDoes) {
  Write("SetComVarno.ini", FastTimingIni() + Lines({"[LOG]", "1"}, "\r\n"));
  PtyUnit& unit = AddUnit(5);
  Start();
  ASSERT_EQ(Connect(5, unit).link, 1);
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "last")));
  server_.CloseStdin();
  const auto closed = std::chrono::steady_clock::now();
  EXPECT_EQ(server_.WaitExit(5000), 0);
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - closed;
  std::printf("host input closed to server exit: %.2f ms\n", took.count());
  EXPECT_EQ(Reply().data, "last");  // answered before the end
  EXPECT_TRUE(Eventually([&] { return !unit.IsOpen(); }));
  EXPECT_EQ(Read("PortCom.ini").rfind("5", 0), 0u);
  const std::string log = Read("RxTx.TXT");
  EXPECT_GT(std::count(log.begin(), log.end(), '\n'), 2) << log;  // the search's frames too

  const int master = OpenTerminal();
  ASSERT_GE(master, 0);
  for (const std::string& input : {std::string("/dev/null"), std::string(ptsname(master))}) {
    ChildProcess server;  // its standard error on the pipe the test reads
    ASSERT_TRUE(
        server.Start({"/bin/sh", "-c", "exec \"$0\" <\"$1\" 2>&1 >/dev/null", ECUBRIDGE_EXE, input},
                     {{"ECUBRIDGE_HOME", home_}}));
    ASSERT_TRUE(input == "/dev/null" || write(master, "\x04", 1) == 1);  // Ctrl-D
    const std::string note = ReadAll(server);
    EXPECT_EQ(server.WaitExit(5000), 0) << input;
    if (input == "/dev/null") {
      EXPECT_EQ(note, "");
    } else {
      EXPECT_EQ(note.rfind(std::string("ecubridge ") + ECUB_VERSION + ": ", 0), 0u) << note;
      EXPECT_TRUE(Has(note, "ecubridge-host --interactive")) << note;
      EXPECT_EQ(note.find('\n'), note.size() - 1) << note;
    }
  }
  close(master);
}

}  // namespace
}  // namespace ecub::e2e
