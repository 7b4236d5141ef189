// Runs the real ecubridge server as a child over real pipes, as a host does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "sim_host.h"

namespace ecub::e2e {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

using ServerOverPipes = SimHost;

TEST_F(ServerOverPipes, CutsTheInputStreamIntoMessagesAndAnswersEach) {
  Start();
  // Two messages in one write get two replies, in order.
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "AB") + EncodeHostMessage(4, "\x01")));
  EXPECT_EQ(RawReply(), Bytes({0, 10, 0, 0, 0, 0, 0, 0, 0x41, 0x42}));
  EXPECT_EQ(RawReply(), Bytes({0, 9, 4, 0, 0, 1, 0, 0, 1}));
  // A message written in pieces is completed.
  const std::string m = EncodeHostMessage(0, "pieces");
  ASSERT_TRUE(server_.Write(m.substr(0, 3)));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(server_.Write(m.substr(3)));
  EXPECT_EQ(RawReply().substr(8), "pieces");
  // The largest message the length field can announce, far beyond one pipe buffer.
  const std::string big(65280 - 8, 'b');
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, big)));
  const std::string echoed = RawReply();
  ASSERT_EQ(echoed.size(), 65280u);
  EXPECT_TRUE(echoed.substr(8) == big);
  // Rejected messages: too short a length field; an unknown code; a missing argument.
  ASSERT_TRUE(server_.Write(Bytes({7, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(RawReply(), Bytes({0, 8, 0, 0, 0, 1, 0, 1}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(15)));
  EXPECT_EQ(RawReply(), Bytes({0, 8, 15, 0, 0, 1, 0, 2}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(14)));
  EXPECT_EQ(RawReply(), Bytes({0, 8, 14, 0, 0, 1, 0, 3}));
  // A message that never completes is answered as a length error, and the next one works.
  ASSERT_TRUE(server_.Write(m.substr(0, 5)));
  EXPECT_EQ(RawReply(), Bytes({0, 8, 0, 0, 0, 1, 0, 1}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "after")));
  EXPECT_EQ(RawReply().substr(8), "after");
  Quit();
  EXPECT_TRUE(server_.ReadAvailable(1000).empty());
  EXPECT_TRUE(server_.OutputEnded());
}

TEST_F(ServerOverPipes, RunsWhileTheWatchedProcessLivesAndEndsWithoutIt) {
  Write("SetComVarno.ini", IniLines({"[AutoSpegnimento_usec]", "100000"}));
  Start();
  // This test program is the host; its name compares without regard to case.
  std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  for (char& c : self) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(Call(14, self).data, self);
  EXPECT_FALSE(server_.WaitExit(700).has_value());
  EXPECT_EQ(Call(14, "no-such-process-4711").data, "no-such-process-4711");
  EXPECT_EQ(server_.WaitExit(10000), 0);
  EXPECT_TRUE(server_.ReadAvailable(100).empty());
}

TEST_F(ServerOverPipes, HostThatGoesAwayLeavesAnIdleServer) {
  Start();
  server_.CloseStdin();
  EXPECT_FALSE(server_.WaitExit(500).has_value());
  // It must sleep, not spin, on the closed pipe: fields 14 and 15 of its stat are the clock
  // ticks it ran.
  std::ifstream stat("/proc/" + std::to_string(server_.pid()) + "/stat");
  const std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  long user = 0, system = 0;
  for (int i = 3; i < 14; ++i) fields >> skip;
  fields >> user >> system;
  EXPECT_LT(user + system, sysconf(_SC_CLK_TCK) / 5);
}

TEST_F(ServerOverPipes, ProtectedSettingsTurnTheTrafficLogOnAndItIsRotatedAcrossStarts) {
  Write("plain.ini", IniLines({"[LOG]", "1"}));
  const std::string encode = std::string(ECUBRIDGE_INI_EXE) + " encode " + Path("plain.ini") +
                             " -o " + Path("SetComVarno.ini");
  ASSERT_EQ(std::system(encode.c_str()), 0);
  Start();
  Quit();
  const std::string first = Read("RxTx.TXT");
  EXPECT_EQ(first.rfind("0 TimerApi_uSec ", 0), 0u) << first;
  EXPECT_NE(first.find(" Now "), std::string::npos);
  EXPECT_EQ(first.substr(first.size() - 2), "\r\n");
  EXPECT_FALSE(std::filesystem::exists(Path("Last_RxTx.TXT")));
  Start();
  Quit();
  EXPECT_EQ(Read("Last_RxTx.TXT"), first);

  // Started with standard output closed, the server must not hand descriptor 1 to the traffic
  // log: the replies would be written into it.
  ASSERT_TRUE(server_.Start({"/bin/sh", "-c", "exec \"$0\" >&-", ECUBRIDGE_EXE},
                            {{"ECUBRIDGE_HOME", home_}}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "REPLY-MARKER") + EncodeHostMessage(1)));
  EXPECT_EQ(server_.WaitExit(10000), 0);
  const std::string log = Read("RxTx.TXT");
  EXPECT_EQ(log.rfind("0 TimerApi_uSec ", 0), 0u) << log;
  EXPECT_EQ(log.find("REPLY-MARKER"), std::string::npos) << log;
}

}  // namespace
}  // namespace ecub::e2e
