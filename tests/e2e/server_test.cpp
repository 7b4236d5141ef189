// Runs the real ecubridge server as a child over real pipes, as a host does.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "host/host_codec.h"
#include "platform/posix/child_process.h"

namespace ecub {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ecub-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override {
    server_.Kill();
    server_.WaitExit(5000);
    std::error_code ec;
    std::filesystem::remove_all(home_, ec);
  }

  std::string Path(const std::string& name) const { return home_ + "/" + name; }
  void Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void Start() { ASSERT_TRUE(server_.Start({ECUBRIDGE_EXE}, {{"ECUBRIDGE_HOME", home_}})); }
  // One whole reply: the 8-byte header, then the data its length field announces.
  std::string Reply(int timeout_ms = 5000) {
    auto header = server_.ReadExactly(kHostHeaderSize, timeout_ms);
    if (!header) return {};
    const size_t length = ReplyLength(*header);
    if (length <= kHostHeaderSize) return *header;
    auto data = server_.ReadExactly(length - kHostHeaderSize, timeout_ms);
    return data ? *header + *data : std::string();
  }
  void Quit() {
    ASSERT_TRUE(server_.Write(EncodeHostMessage(1)));
    const std::string reply = Reply();
    ASSERT_EQ(reply.size(), 8u);
    EXPECT_EQ(reply[2], 1);  // code
    EXPECT_EQ(reply[7], 0);  // result
    EXPECT_EQ(server_.WaitExit(5000), 0);
  }

  std::string home_;
  ChildProcess server_;
};

TEST_F(Server, EchoesAndQuits) {
  Start();
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "AB")));
  EXPECT_EQ(Reply(), Bytes({0, 10, 0, 0, 0, 0, 0, 0, 0x41, 0x42}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(4, "\x01")));
  EXPECT_EQ(Reply(), Bytes({0, 9, 4, 0, 0, 1, 0, 0, 1}));
  Quit();
  EXPECT_TRUE(server_.ReadAvailable(1000).empty());
  EXPECT_TRUE(server_.OutputEnded());
}

TEST_F(Server, CutsTheInputStreamIntoMessages) {
  Start();
  // Two messages in one write get two replies, in order.
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "one") + EncodeHostMessage(10, "two")));
  EXPECT_EQ(Reply().substr(8), "one");
  EXPECT_EQ(Reply(), Bytes({0, 11, 10, 0, 0, 0, 0, 0}) + "two");
  // A message written in pieces is completed.
  const std::string m = EncodeHostMessage(0, "pieces");
  ASSERT_TRUE(server_.Write(m.substr(0, 3)));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(server_.Write(m.substr(3)));
  EXPECT_EQ(Reply().substr(8), "pieces");
  // The largest message the length field can announce, far beyond one pipe buffer.
  const std::string big(65280 - 8, 'b');
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, big)));
  const std::string echoed = Reply();
  ASSERT_EQ(echoed.size(), 65280u);
  EXPECT_TRUE(echoed.substr(8) == big);
  // Rejected messages: too short a length field; an unknown code; a missing argument.
  ASSERT_TRUE(server_.Write(Bytes({7, 0, 0, 0, 0, 0, 0})));
  EXPECT_EQ(Reply(), Bytes({0, 8, 0, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(15)));
  EXPECT_EQ(Reply(), Bytes({0, 8, 15, 0, 0, 0, 0, 2}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(14)));
  EXPECT_EQ(Reply(), Bytes({0, 8, 14, 0, 0, 0, 0, 3}));
  // A message that never completes is answered as a length error, and the next one works.
  ASSERT_TRUE(server_.Write(m.substr(0, 5)));
  EXPECT_EQ(Reply(), Bytes({0, 8, 0, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(0, "after")));
  EXPECT_EQ(Reply().substr(8), "after");
  Quit();
}

TEST_F(Server, EndsWhenTheWatchedProcessIsMissing) {
  Write("SetComVarno.ini", "[AutoSpegnimento_usec]\r\n300000\r\n");
  Start();
  ASSERT_TRUE(server_.Write(EncodeHostMessage(14, "no-such-process-4711")));
  EXPECT_EQ(Reply().substr(8), "no-such-process-4711");
  EXPECT_EQ(server_.WaitExit(10000), 0);
  EXPECT_TRUE(server_.ReadAvailable(100).empty());
}

TEST_F(Server, KeepsRunningWhileTheWatchedProcessLives) {
  Write("SetComVarno.ini", "[AutoSpegnimento_usec]\r\n100000\r\n");
  Start();
  // This test program is the host; its name compares without regard to case.
  std::string self = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  for (char& c : self) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(server_.Write(EncodeHostMessage(14, self)));
  EXPECT_EQ(Reply().substr(8), self);
  EXPECT_FALSE(server_.WaitExit(700).has_value());
  Quit();
}

TEST_F(Server, HostThatGoesAwayLeavesAnIdleServer) {
  Start();
  server_.CloseStdin();
  EXPECT_FALSE(server_.WaitExit(500).has_value());
  // It must sleep, not spin, on the closed pipe.
  std::ifstream stat("/proc/" + std::to_string(server_.pid()) + "/stat");
  std::string line((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::string after_name = line.substr(line.rfind(')') + 2);
  std::istringstream fields(after_name);
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stol(field);  // utime, stime
  }
  EXPECT_LT(ticks, sysconf(_SC_CLK_TCK) / 5);
}

TEST_F(Server, TrafficLogIsRotatedAcrossStarts) {
  Write("SetComVarno.ini", "[LOG]\r\n1\r\n");
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
}

// Started with standard output closed, the server must not hand descriptor 1 to the traffic
// log: the replies would be written into it.
TEST_F(Server, ClosedStandardOutputDoesNotSendRepliesIntoTheLog) {
  Write("SetComVarno.ini", "[LOG]\r\n1\r\n");
  int to_server[2];
  ASSERT_EQ(pipe(to_server), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(to_server[0], STDIN_FILENO);
    close(to_server[0]);
    close(to_server[1]);
    close(STDOUT_FILENO);
    setenv("ECUBRIDGE_HOME", home_.c_str(), 1);
    execl(ECUBRIDGE_EXE, ECUBRIDGE_EXE, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(to_server[0]);
  const std::string messages = EncodeHostMessage(0, "REPLY-MARKER") + EncodeHostMessage(1);
  EXPECT_EQ(write(to_server[1], messages.data(), messages.size()),
            static_cast<ssize_t>(messages.size()));
  close(to_server[1]);
  int status = -1;
  for (int i = 0; i < 1000 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WIFEXITED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string log = Read("RxTx.TXT");
  EXPECT_EQ(log.rfind("0 TimerApi_uSec ", 0), 0u) << log;
  EXPECT_EQ(log.find("REPLY-MARKER"), std::string::npos) << log;
}

TEST_F(Server, ReadsAProtectedSettingsFile) {
  Write("plain.ini", "[LOG]\r\n1\r\n");
  const std::string encode = std::string(ECUBRIDGE_INI_EXE) + " encode " + Path("plain.ini") +
                             " -o " + Path("SetComVarno.ini");
  ASSERT_EQ(std::system(encode.c_str()), 0);
  Start();
  Quit();
  EXPECT_TRUE(std::filesystem::exists(Path("RxTx.TXT")));
}

}  // namespace
}  // namespace ecub
