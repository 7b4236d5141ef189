// Runs the real ecubridge server as a child over real pipes, as a host does. How it cuts the
// stream, watches the host process and rotates its log is pinned on the fake platform, the
// pipes themselves in posix_platform_test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sim_host.h"

namespace ecub::e2e {
namespace {

using ServerOverPipes = SimHost;

// The largest message the length field can announce, far beyond one pipe buffer, comes back
// whole through the real pipes.
TEST_F(ServerOverPipes, TheLongestMessageCrossesThePipesWhole) {
  Start();
  const std::string big(65280 - 8, 'b');
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, big)));
  const std::string echoed = RawReply();
  ASSERT_EQ(echoed.size(), 65280u);
  EXPECT_TRUE(echoed.substr(8) == big);
  Quit();
}

// Settings written by the ini tool turn the log on; started with standard output closed, the
// server must not hand descriptor 1 to the traffic log: the replies would be written into it.
TEST_F(ServerOverPipes, ProtectedSettingsTurnTheTrafficLogOnAndItNeverTakesStandardOutput) {
  Write("plain.ini", IniLines({"[LOG]", "1"}));
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

}  // namespace
}  // namespace ecub::e2e
