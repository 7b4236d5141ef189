#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "server_fixture.h"
#include "service/status_form.h"

namespace ecub::test {
namespace {

using MainLoop = ServerFixture;
using Texts = std::vector<std::string>;

// The reply the loop must write: big-endian length, code, link status 0, the poll mode and the
// result in their places, then the data.
std::string Reply(int code, const std::string& data = {}, int result = 0, int poll_mode = 0) {
  const int size = static_cast<int>(8 + data.size());
  return Bytes({size >> 8, size & 255, code, 0, 0, poll_mode, 0, result}) + data;
}

TEST_F(MainLoop, SleepsUntilInputThenEchoThenQuitThenOrderlyShutdown) {
  Start("[LOG]\r\n1\r\n");
  // Without a watch the loop sleeps until input comes.
  EXPECT_TRUE(RunFor(10e6));
  EXPECT_EQ(p.process_list_calls, 0);
  EXPECT_GT(p.forever_waits, 0);
  EXPECT_TRUE(p.replies.empty());
  p.HostSend(HostMsg(0, "AB"));
  p.HostSend(HostMsg(1, "ignored"), 2000);
  EXPECT_FALSE(RunFor(1e6));
  EXPECT_EQ(p.TakeReplies(), (Texts{Reply(0, "AB"), Reply(1)}));
  EXPECT_EQ(p.timer_period_depth, 1);
  EXPECT_EQ(p.open_files.size(), 1u);  // the traffic log
  ServerShutdown(s);
  EXPECT_TRUE(p.input_closed);
  EXPECT_TRUE(p.output_closed);
  EXPECT_TRUE(p.open_files.empty());
  EXPECT_EQ(p.timer_period_depth, 0);
}

// A host that writes far more than it waits for: the pipe is drained only as messages are
// taken, so what the server holds stays bounded, and every message is still answered in order.
TEST_F(MainLoop, HostBytesAreHeldOnlyAsFarAsMessagesAreTaken) {
  Start();
  std::string flood;
  for (int i = 0; i < 8; ++i) flood += HostMsg(0, std::string(65000, static_cast<char>('a' + i)));
  p.HostSend(flood);
  size_t most_held = 0;
  while (p.replies.size() < 8 && LoopPass(s)) {
    most_held = std::max(most_held, s.host_stream.buffered.size());
  }
  EXPECT_LE(most_held, kMaxHostBuffered);
  const auto replies = p.TakeReplies();
  ASSERT_EQ(replies.size(), 8u);
  for (int i = 0; i < 8; ++i) {
    EXPECT_TRUE(replies[i].substr(8) == std::string(65000, static_cast<char>('a' + i))) << i;
  }
}

TEST_F(MainLoop, LogOffLeavesThePreviousLogAlone) {
  p.files["/app/RxTx.TXT"] = "old run\r\n";
  Start("[APPEND LOG]\r\n1\r\n");
  p.HostSend(HostMsg(1));
  EXPECT_FALSE(RunFor(1e6));
  ServerShutdown(s);
  EXPECT_EQ(p.files.size(), 2u);  // the settings and the untouched old log
  EXPECT_EQ(p.files["/app/RxTx.TXT"], "old run\r\n");
  EXPECT_TRUE(p.open_files.empty());
}

// Host bytes as they arrive, in pieces or together, well formed or not: every message gets
// exactly one reply, in order, and the stream recovers after a bad one.
TEST(MainLoopStream, EveryMessageGetsOneReplyInOrder) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, double>> sends;  // bytes, when they arrive
    Texts replies;
  };
  const std::string pieces = HostMsg(0, std::string(5000, 'p'));
  const Case cases[] = {
      {"rejected: short, unknown code, bad argument",
       {{Bytes({7, 0, 0, 0, 0, 0, 0}), 0}, {HostMsg(15, "x"), 1000}, {HostMsg(12, "short"), 2000}},
       {Reply(0, "", 1), Reply(15, "", 2), Reply(12, "", 3)}},
      {"arriving together",
       {{HostMsg(0, "one") + HostMsg(0, "two") + HostMsg(4, "\x01"), 0}},
       {Reply(0, "one"), Reply(0, "two"), Reply(4, "\x01", 0, 1)}},
      {"in pieces within the reassembly limit",
       {{pieces.substr(0, 1), 0}, {pieces.substr(1, 4095), 40000}, {pieces.substr(4096), 90000}},
       {Reply(0, std::string(5000, 'p'))}},
      {"incomplete past the limit, counted from the first piece",
       {{HostMsg(0, "hello").substr(0, 5), 0},
        {HostMsg(0, "hello").substr(5, 1), 60000},
        {HostMsg(0, "next"), 150000}},
       {Reply(0, "", 1), Reply(0, "next")}},
      {"length field below eight drops the buffered bytes",
       {{Bytes({5, 0, 0}) + HostMsg(0, "lost"), 0}, {HostMsg(0, "kept"), 1000}},
       {Reply(0, "", 1), Reply(0, "kept")}},
      {"state instructions show in every later reply",
       {{HostMsg(4, "\x01"), 0},
        {HostMsg(10, "IDENT 1 2"), 1000},
        {HostMsg(14, "host.exe"), 2000},
        {HostMsg(2), 3000}},
       {Reply(4, "\x01", 0, 1), Reply(10, "IDENT 1 2", 0, 1), Reply(14, "host.exe", 0, 1),
        Reply(2, "", 0, 1)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePlatform p;
    Server s(p, "/app");
    p.processes = {"host.exe"};
    ServerStartup(s);
    for (const auto& [bytes, at_usec] : c.sends) p.HostSend(bytes, at_usec);
    const double end = p.NowUsec() + 1e6;
    while (p.NowUsec() < end) ASSERT_TRUE(LoopPass(s));
    EXPECT_EQ(p.TakeReplies(), c.replies);
  }
}

// The watched program is gone: the server ends one delay after the last message, and every
// message postpones the one look at the process list.
TEST_F(MainLoop, WatchedProcessGoneEndsTheServerOneDelayAfterTheLastMessage) {
  Start();
  p.processes = {"init", "bash", "other.exe"};
  p.HostSend(HostMsg(14, "host.exe"));
  const double start = p.NowUsec();
  for (int i = 1; i <= 10; ++i) p.HostSend(HostMsg(0), i * 3e6);
  EXPECT_FALSE(RunFor(60e6));
  EXPECT_EQ(p.process_list_calls, 1);
  EXPECT_GE(p.NowUsec() - start, 35e6);
  EXPECT_LT(p.NowUsec() - start, 35.01e6);
}

TEST_F(MainLoop, NoProcessListMeansNoShutdown) {
  Start();
  p.HostSend(HostMsg(14, "host.exe"));
  // The list cannot be taken, or taking it fails unexpectedly: passed over quietly either way.
  for (const bool throws : {false, true}) {
    p.process_list_fails = !throws;
    if (throws) p.throwing_calls.insert("ListProcesses");
    p.process_list_calls = 0;
    EXPECT_TRUE(RunFor(21e6)) << throws;
    EXPECT_GE(p.process_list_calls, 4) << throws;  // every 5 s
    EXPECT_LE(p.process_list_calls, 5) << throws;
    EXPECT_TRUE(p.messages.empty());
  }
  p.throwing_calls.clear();
  p.process_list_fails = false;  // the list comes back without the host: now it ends
  EXPECT_FALSE(RunFor(6e6));
}

TEST_F(MainLoop, ZeroDelayChecksEveryIdlePassAtMostEachMillisecond) {
  Start("[AutoSpegnimento_usec]\r\n0\r\n");
  p.processes = {"host.exe"};
  p.HostSend(HostMsg(14, "host.exe"));
  EXPECT_TRUE(RunFor(100000));
  EXPECT_GE(p.process_list_calls, 90);
  EXPECT_LE(p.process_list_calls, 101);
}

// A host that closes its end (or dies) can send nothing more: what it sent is still answered,
// a cut message with result 1, then the loop ends at once instead of waiting for ever.
TEST_F(MainLoop, EndOfHostInputEndsTheLoopOnceEverythingSentIsAnswered) {
  Start();
  p.HostSend(HostMsg(0, "AB"));
  p.HostSend(std::string("\x0a\x00\x00", 3), 1000);
  p.HostEndInput();
  const double start = p.NowUsec();
  EXPECT_FALSE(RunFor(60e6));
  EXPECT_LT(p.NowUsec() - start, 0.2e6);  // the cut message's 100 ms, no more
  EXPECT_EQ(p.forever_waits, 0);
  EXPECT_EQ(p.TakeReplies(), (Texts{Reply(0, "AB"), Reply(0, "", 1)}));
}

// The status form can still drive a server whose host input has ended.
TEST_F(MainLoop, ShownStatusFormKeepsTheServerAfterTheEndOfHostInput) {
  Start();
  auto form = std::make_unique<StatusForm>(s);
  p.HostEndInput();
  EXPECT_TRUE(RunFor(60e6));
  form->code_text = "1";
  EXPECT_EQ(form->OnInvia(), "");
  EXPECT_FALSE(RunFor(1e6));
  s.QuitRequested = false;
  form.reset();  // no form any more: the ended input ends the server
  EXPECT_FALSE(RunFor(1e6));
}

}  // namespace
}  // namespace ecub::test
