// The Linux platform against the real operating system: files in a scratch folder, the
// process list, the host pipe on real pipes, and the child-process helper.
#include "platform/posix/posix_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/child_process.h"

namespace ecub {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

class ScratchFolder {
 public:
  ScratchFolder() {
    char name[] = "/tmp/ecub-posix-test-XXXXXX";
    path_ = mkdtemp(name) ? name : "";
  }
  ~ScratchFolder() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A pipe whose ends are closed at the end of the test unless handed on.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (fds[0] >= 0) close(fds[0]);
    fds[0] = -1;
  }
  void CloseWrite() {
    if (fds[1] >= 0) close(fds[1]);
    fds[1] = -1;
  }
  bool Write(const std::string& bytes) {
    return write(fds[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  int fds[2] = {-1, -1};
};

std::string AllByteValues() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  return bytes + std::string("\0\xff\0", 3);
}

// --- Files ------------------------------------------------------------------------------------

TEST(PosixFiles, FileReadableOnlyForFilesThatOpen) {
  ScratchFolder dir;
  PosixPlatform p;
  ASSERT_TRUE(p.WriteWholeFile(dir / "a.ini", "x"));
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  EXPECT_TRUE(p.FileReadable(dir / "a.ini"));
  EXPECT_FALSE(p.FileReadable(dir / "sub"));
  EXPECT_FALSE(p.FileReadable(dir.path()));
  EXPECT_FALSE(p.FileReadable(dir / "missing.ini"));
  EXPECT_FALSE(p.FileReadable(""));
}

TEST(PosixFiles, FileReadableDoesNotHangOnAFifoWithoutWriter) {
  ScratchFolder dir;
  PosixPlatform p;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  EXPECT_TRUE(p.FileReadable(dir / "fifo"));  // would block forever with a blocking open
}

TEST(PosixFiles, WholeFileRoundTripKeepsEveryByteValue) {
  ScratchFolder dir;
  PosixPlatform p;
  const std::string bytes = AllByteValues();
  ASSERT_TRUE(p.WriteWholeFile(dir / "bin", bytes));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(dir / "bin", back));
  EXPECT_EQ(back, bytes);
  // Writing again truncates.
  ASSERT_TRUE(p.WriteWholeFile(dir / "bin", "ab"));
  ASSERT_TRUE(p.ReadWholeFile(dir / "bin", back));
  EXPECT_EQ(back, "ab");
  ASSERT_TRUE(p.WriteWholeFile(dir / "empty", ""));
  ASSERT_TRUE(p.ReadWholeFile(dir / "empty", back));
  EXPECT_EQ(back, "");
}

TEST(PosixFiles, WholeFileFailures) {
  ScratchFolder dir;
  PosixPlatform p;
  std::string back = "stale";
  EXPECT_FALSE(p.ReadWholeFile(dir / "missing", back));
  EXPECT_EQ(back, "");
  EXPECT_FALSE(p.ReadWholeFile(dir.path(), back));
  EXPECT_FALSE(p.WriteWholeFile(dir / "no/such/folder/file", "x"));
  EXPECT_FALSE(p.WriteWholeFile(dir.path(), "x"));
}

TEST(PosixFiles, CopyReplacesTheDestination) {
  ScratchFolder dir;
  PosixPlatform p;
  ASSERT_TRUE(p.WriteWholeFile(dir / "RxTx.TXT", std::string("new\0log", 7)));
  ASSERT_TRUE(p.WriteWholeFile(dir / "Last_RxTx.TXT", "a much longer old log that must go"));
  ASSERT_TRUE(p.CopyFileReplace(dir / "RxTx.TXT", dir / "Last_RxTx.TXT"));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(dir / "Last_RxTx.TXT", back));
  EXPECT_EQ(back, std::string("new\0log", 7));
  // The source is untouched, and a copy to a new name creates it.
  ASSERT_TRUE(p.CopyFileReplace(dir / "RxTx.TXT", dir / "fresh.TXT"));
  ASSERT_TRUE(p.ReadWholeFile(dir / "fresh.TXT", back));
  EXPECT_EQ(back, std::string("new\0log", 7));
  ASSERT_TRUE(p.ReadWholeFile(dir / "RxTx.TXT", back));
  EXPECT_EQ(back, std::string("new\0log", 7));
}

TEST(PosixFiles, CopyOfALargeFileIsComplete) {
  ScratchFolder dir;
  PosixPlatform p;
  std::string big;
  for (int i = 0; i < 300000; ++i) big.push_back(static_cast<char>(i * 31 + i / 256));
  ASSERT_TRUE(p.WriteWholeFile(dir / "big", big));
  ASSERT_TRUE(p.CopyFileReplace(dir / "big", dir / "copy"));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(dir / "copy", back));
  EXPECT_TRUE(back == big);
}

TEST(PosixFiles, CopyFailures) {
  ScratchFolder dir;
  PosixPlatform p;
  ASSERT_TRUE(p.WriteWholeFile(dir / "dest", "keep"));
  EXPECT_FALSE(p.CopyFileReplace(dir / "missing", dir / "dest"));
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(dir / "dest", back));
  EXPECT_EQ(back, "keep");  // a failed copy leaves the destination alone
  EXPECT_FALSE(p.CopyFileReplace(dir / "dest", dir / "no/such/folder/x"));
  EXPECT_FALSE(p.CopyFileReplace(dir.path(), dir / "x"));
  // Onto itself: refused, and the file keeps its contents.
  EXPECT_FALSE(p.CopyFileReplace(dir / "dest", dir / "dest"));
  ASSERT_TRUE(p.ReadWholeFile(dir / "dest", back));
  EXPECT_EQ(back, "keep");
}

TEST(PosixFiles, OpenFileTruncatesAndCollectsWrites) {
  ScratchFolder dir;
  PosixPlatform p;
  ASSERT_TRUE(p.WriteWholeFile(dir / "log", "old contents"));
  const int64_t file = p.OpenWriteFile(dir / "log");
  ASSERT_GE(file, 0);
  EXPECT_TRUE(p.WriteOpenFile(file, "line 1\r\n"));
  EXPECT_TRUE(p.WriteOpenFile(file, std::string("\0\xff\r\n", 4)));
  p.CloseOpenFile(file);
  std::string back;
  ASSERT_TRUE(p.ReadWholeFile(dir / "log", back));
  EXPECT_EQ(back, std::string("line 1\r\n\0\xff\r\n", 12));
  EXPECT_EQ(p.OpenWriteFile(dir / "no/such/folder/log"), -1);
  EXPECT_FALSE(p.WriteOpenFile(-1, "x"));
}

TEST(PosixFiles, OpenFileIsNotInheritedByChildren) {
  ScratchFolder dir;
  PosixPlatform p;
  const int64_t file = p.OpenWriteFile(dir / "log");
  ASSERT_GE(file, 0);
  EXPECT_NE(fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC, 0);
  p.CloseOpenFile(file);
}

TEST(PosixFiles, PathSeparatorAndDates) {
  PosixPlatform p;
  EXPECT_EQ(p.PathSeparator(), '/');
  EXPECT_EQ(p.FormatGeneralDate({2025, 3, 5, 9, 7, 3}), "05/03/2025 09:07:03");
  EXPECT_EQ(p.FormatGeneralDate({1999, 12, 31, 23, 59, 59}), "31/12/1999 23:59:59");
  // LocalNow agrees with the C library's local time (retried across a second boundary).
  for (int attempt = 0; attempt < 3; ++attempt) {
    const time_t before = time(nullptr);
    const LocalDateTime now = p.LocalNow();
    if (time(nullptr) != before) continue;
    tm expected{};
    ASSERT_NE(localtime_r(&before, &expected), nullptr);
    EXPECT_EQ(now.year, expected.tm_year + 1900);
    EXPECT_EQ(now.month, expected.tm_mon + 1);
    EXPECT_EQ(now.day, expected.tm_mday);
    EXPECT_EQ(now.hour, expected.tm_hour);
    EXPECT_EQ(now.minute, expected.tm_min);
    EXPECT_EQ(now.second, expected.tm_sec);
    return;
  }
  FAIL() << "the second kept changing";
}

// --- Program folder ---------------------------------------------------------------------------

class ProgramFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("ECUBRIDGE_HOME");
    had_ = old != nullptr;
    if (had_) old_ = old;
  }
  void TearDown() override {
    if (had_) {
      setenv("ECUBRIDGE_HOME", old_.c_str(), 1);
    } else {
      unsetenv("ECUBRIDGE_HOME");
    }
  }
  bool had_ = false;
  std::string old_;
};

TEST_F(ProgramFolder, ComesFromTheEnvironmentWithoutTrailingSlash) {
  setenv("ECUBRIDGE_HOME", "/srv/ecub/", 1);
  EXPECT_EQ(PosixProgramFolder(), "/srv/ecub");
  setenv("ECUBRIDGE_HOME", "/srv/ecub", 1);
  EXPECT_EQ(PosixProgramFolder(), "/srv/ecub");
}

TEST_F(ProgramFolder, FallsBackToTheExecutablesFolder) {
  // The test binary's own folder: where the build put it, known here from argv[0] resolution
  // through the file system rather than through /proc.
  const std::string expected =
      std::filesystem::canonical(std::filesystem::path(program_invocation_name)).parent_path();
  unsetenv("ECUBRIDGE_HOME");
  EXPECT_EQ(PosixProgramFolder(), expected);
  setenv("ECUBRIDGE_HOME", "", 1);
  EXPECT_EQ(PosixProgramFolder(), expected);
}

TEST(PosixBaseName, DropsTheFolder) {
  EXPECT_EQ(PosixBaseName("/usr/bin/cat"), "cat");
  EXPECT_EQ(PosixBaseName("cat"), "cat");
  EXPECT_EQ(PosixBaseName("/a/b/"), "");
}

// --- Process list -----------------------------------------------------------------------------

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(PosixProcesses, ListHoldsThisTestsExecutable) {
  PosixPlatform p;
  std::vector<std::string> names;
  ASSERT_TRUE(p.ListProcesses(names));
  EXPECT_TRUE(Contains(names, program_invocation_short_name)) << program_invocation_short_name;
  // Names, never paths. (Kernel threads have only their short command name, which may hold a
  // slash, as in "kworker/0:1", but never starts with one.)
  for (const std::string& name : names) {
    ASSERT_FALSE(name.empty());
    EXPECT_NE(name.front(), '/') << name;
    EXPECT_EQ(name.find(" (deleted)"), std::string::npos) << name;
  }
}

TEST(PosixProcesses, ListFollowsAChildWithADeletedExecutable) {
  ScratchFolder dir;
  PosixPlatform p;
  // A copy of sleep under a name no other process has.
  const std::string name = "ecub-sleeper-" + std::to_string(getpid());
  const std::string exe = dir / name;
  ASSERT_TRUE(p.CopyFileReplace("/bin/sleep", exe));
  ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
  std::vector<std::string> names;
  ASSERT_TRUE(p.ListProcesses(names));
  ASSERT_FALSE(Contains(names, name));

  ChildProcess child;
  // Started through a differently named argv[0]: the list must name the executable file.
  ASSERT_TRUE(child.Start({exe, "60"}));
  ASSERT_EQ(unlink(exe.c_str()), 0);  // the kernel now calls it "... (deleted)"
  ASSERT_TRUE(p.ListProcesses(names));
  EXPECT_TRUE(Contains(names, name));

  child.Kill();
  ASSERT_TRUE(child.WaitExit(10000).has_value());
  ASSERT_TRUE(p.ListProcesses(names));
  EXPECT_FALSE(Contains(names, name));
}

// --- Host pipe --------------------------------------------------------------------------------

TEST(PosixHostPipe, PeekCountsAndReadTakesBytes) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  uint32_t available = 99;
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
  const std::string bytes = AllByteValues();
  ASSERT_TRUE(in.Write(bytes));
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, bytes.size());
  std::string out;
  ASSERT_TRUE(p.HostRead(10, out));
  EXPECT_EQ(out, bytes.substr(0, 10));
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, bytes.size() - 10);
  ASSERT_TRUE(p.HostRead(available, out));
  EXPECT_EQ(out, bytes.substr(10));
  // More than the pipe will ever hold once the writer has gone.
  in.CloseWrite();
  EXPECT_FALSE(p.HostRead(1, out));
}

TEST(PosixHostPipe, ReadCollectsAMessageArrivingInPieces) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  std::thread writer([&] {
    in.Write("abc");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    in.Write("defg");
  });
  std::string out;
  EXPECT_TRUE(p.HostRead(7, out));
  writer.join();
  EXPECT_EQ(out, "abcdefg");
}

TEST(PosixHostPipe, WriteReachesTheReaderAndFailsWhenItHasGone) {
  Pipe out;
  PosixPlatform p(-1, out.fds[1]);
  const std::string reply = AllByteValues();
  ASSERT_TRUE(p.HostWrite(reply));
  std::string got(reply.size(), '\0');
  ASSERT_EQ(read(out.fds[0], got.data(), got.size()), static_cast<ssize_t>(reply.size()));
  EXPECT_EQ(got, reply);
  // The host has gone: the write fails instead of killing the process with SIGPIPE.
  out.CloseRead();
  EXPECT_FALSE(p.HostWrite("x"));
}

TEST(PosixHostPipe, WriteLargerThanThePipeArrivesWhole) {
  Pipe out;
  PosixPlatform p(-1, out.fds[1]);
  std::string reply(200000, '\0');
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>(i % 251);
  std::string got;
  std::thread reader([&] {
    char buffer[4096];
    while (got.size() < reply.size()) {
      const ssize_t n = read(out.fds[0], buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<size_t>(n));
    }
  });
  EXPECT_TRUE(p.HostWrite(reply));
  reader.join();
  EXPECT_TRUE(got == reply);
}

TEST(PosixHostPipe, CloseEndsThePipesOnce) {
  Pipe in;
  Pipe out;
  PosixPlatform p(in.fds[0], out.fds[1]);
  p.HostCloseOutput();
  p.HostCloseInput();
  p.HostCloseInput();  // a second close does nothing (and closes no other descriptor)
  p.HostCloseOutput();
  // The platform owned these ends now.
  in.fds[0] = -1;
  out.fds[1] = -1;
  char byte;
  EXPECT_EQ(read(out.fds[0], &byte, 1), 0);  // the host sees the end of the replies
  uint32_t available = 0;
  EXPECT_FALSE(p.HostPeek(available));
  std::string got;
  EXPECT_FALSE(p.HostRead(1, got));
  EXPECT_FALSE(p.HostWrite("x"));
  signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(write(in.fds[1], "x", 1), -1);  // nobody reads the input any more
  EXPECT_EQ(errno, EPIPE);
}

TEST(PosixHostPipe, WaitEndsWhenInputArrives) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    in.Write("m");
  });
  const auto start = Clock::now();
  p.HostWaitInput(20e6);  // 20 s
  const double waited_ms = MillisecondsSince(start);
  writer.join();
  uint32_t available = 0;
  ASSERT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 1u);
  EXPECT_LT(waited_ms, 10000);  // it returned for the byte, not for the limit
  // With the byte still waiting, a wait returns at once, unlimited or not.
  p.HostWaitInput(-1);
  p.HostWaitInput(20e6);
  EXPECT_FALSE(p.host_input_gone());
}

TEST(PosixHostPipe, WaitWithoutInputLastsTheLimit) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  const auto start = Clock::now();
  p.HostWaitInput(30000);
  EXPECT_GE(MillisecondsSince(start), 29.0);
  const auto again = Clock::now();
  p.HostWaitInput(0);  // no limit to wait for: returns
  p.HostWaitInput(std::nan(""));
  EXPECT_LT(MillisecondsSince(again), 10000);
  EXPECT_FALSE(p.host_input_gone());
}

TEST(PosixHostPipe, WaitDoesNotSpinAfterTheHostHasGone) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  in.CloseWrite();
  const auto start = Clock::now();
  int returns = 0;
  for (; returns < 5; ++returns) p.HostWaitInput(20000);
  // Five waits of 20 ms: a wait that returned at once on the hang-up would take no time.
  EXPECT_GE(MillisecondsSince(start), 95.0);
  EXPECT_EQ(returns, 5);
  EXPECT_TRUE(p.host_input_gone());
  uint32_t available = 99;
  EXPECT_TRUE(p.HostPeek(available));
  EXPECT_EQ(available, 0u);
}

TEST(PosixHostPipe, WaitReportsBytesLeftBehindByAHostThatHasGone) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  ASSERT_TRUE(in.Write("last words"));
  in.CloseWrite();
  const auto start = Clock::now();
  p.HostWaitInput(20e6);
  EXPECT_LT(MillisecondsSince(start), 10000);
  EXPECT_FALSE(p.host_input_gone());
  uint32_t available = 0;
  ASSERT_TRUE(p.HostPeek(available));
  ASSERT_EQ(available, 10u);
  std::string out;
  ASSERT_TRUE(p.HostRead(available, out));
  EXPECT_EQ(out, "last words");
  // Now the pipe is empty for good: the next wait sleeps its time.
  const auto after = Clock::now();
  p.HostWaitInput(20000);
  EXPECT_GE(MillisecondsSince(after), 19.0);
  EXPECT_TRUE(p.host_input_gone());
}

TEST(PosixHostPipe, WaitOnAClosedInputSleepsToo) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  p.HostCloseInput();
  in.fds[0] = -1;
  const auto start = Clock::now();
  p.HostWaitInput(20000);
  p.HostWaitInput(20000);
  EXPECT_GE(MillisecondsSince(start), 39.0);
}

// --- Clock --------------------------------------------------------------------------------------

TEST(PosixClock, CounterIsNanosecondsAndSleepsAdvanceIt) {
  PosixPlatform p;
  int64_t frequency = 0;
  ASSERT_TRUE(p.QueryPerformanceFrequency(frequency));
  EXPECT_EQ(frequency, 1'000'000'000);
  EXPECT_TRUE(p.HasPreciseSleep());
  int64_t t0 = 0, t1 = 0, t2 = 0, t3 = 0;
  ASSERT_TRUE(p.QueryPerformanceCounter(t0));
  p.Sleep(15);
  ASSERT_TRUE(p.QueryPerformanceCounter(t1));
  p.SleepMicroseconds(3000);
  ASSERT_TRUE(p.QueryPerformanceCounter(t2));
  p.SleepMicroseconds(-5);  // nothing to sleep
  p.SleepMicroseconds(0);
  ASSERT_TRUE(p.QueryPerformanceCounter(t3));
  EXPECT_GE(t1 - t0, 15'000'000);
  EXPECT_GE(t2 - t1, 3'000'000);
  EXPECT_GE(t3, t2);
  // The counter runs with the system's monotonic clock.
  timespec mono{};
  clock_gettime(CLOCK_MONOTONIC, &mono);
  const int64_t mono_ns = static_cast<int64_t>(mono.tv_sec) * 1'000'000'000 + mono.tv_nsec;
  EXPECT_GE(mono_ns, t3);
  EXPECT_LT(mono_ns - t3, 10'000'000'000);
}

TEST(PosixClock, ReadingsNeverDecrease) {
  PosixPlatform p;
  int64_t previous = 0;
  ASSERT_TRUE(p.QueryPerformanceCounter(previous));
  for (int i = 0; i < 100000; ++i) {
    int64_t now = 0;
    ASSERT_TRUE(p.QueryPerformanceCounter(now));
    ASSERT_GE(now, previous);
    previous = now;
  }
}

// --- Child processes ---------------------------------------------------------------------------

TEST(ChildProcessTest, CatEchoesEveryByteValue) {
  ChildProcess cat;
  ASSERT_TRUE(cat.Start({"/bin/cat"}));
  EXPECT_GT(cat.pid(), 0);
  EXPECT_TRUE(cat.running());
  const std::string bytes = AllByteValues();
  ASSERT_TRUE(cat.Write(bytes));
  const auto back = cat.ReadExactly(bytes.size(), 10000);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, bytes);
  cat.CloseStdin();
  EXPECT_EQ(cat.WaitExit(10000), 0);
  EXPECT_FALSE(cat.running());
  EXPECT_EQ(cat.ReadAvailable(1000), "");
  EXPECT_TRUE(cat.OutputEnded());
  EXPECT_EQ(cat.WaitExit(0), 0);  // the status is kept
}

TEST(ChildProcessTest, ReadExactlyKeepsWhatCameBeforeATimeout) {
  ChildProcess cat;
  ASSERT_TRUE(cat.Start({"/bin/cat"}));
  ASSERT_TRUE(cat.Write("abc"));
  EXPECT_FALSE(cat.ReadExactly(5, 50).has_value());  // only three bytes come
  ASSERT_TRUE(cat.Write("de"));
  EXPECT_EQ(cat.ReadExactly(4, 10000), "abcd");
  EXPECT_EQ(cat.ReadAvailable(10000), "e");
  EXPECT_EQ(cat.ReadAvailable(0), "");
}

TEST(ChildProcessTest, ReadExactlyGivesUpWhenTheOutputEnds) {
  ChildProcess sh;
  ASSERT_TRUE(sh.Start({"/bin/sh", "-c", "printf xy"}));
  EXPECT_FALSE(sh.ReadExactly(3, -1).has_value());  // no limit, yet it returns
  EXPECT_EQ(sh.ReadExactly(2, 0), "xy");
  EXPECT_EQ(sh.WaitExit(10000), 0);
}

TEST(ChildProcessTest, EnvironmentIsInheritedAndExtended) {
  setenv("ECUB_INHERITED", "from parent", 1);
  setenv("ECUB_REPLACED", "old", 1);
  ChildProcess sh;
  ASSERT_TRUE(sh.Start({"/bin/sh", "-c",
                        "printf '%s|%s|%s' \"$ECUB_INHERITED\" "
                        "\"$ECUB_REPLACED\" \"$ECUBRIDGE_HOME\""},
                       {{"ECUBRIDGE_HOME", "/tmp/home dir"}, {"ECUB_REPLACED", "new"}}));
  std::string all;
  while (!sh.OutputEnded()) all += sh.ReadAvailable(10000);
  EXPECT_EQ(all, "from parent|new|/tmp/home dir");
  EXPECT_EQ(sh.WaitExit(10000), 0);
  unsetenv("ECUB_INHERITED");
  unsetenv("ECUB_REPLACED");
}

TEST(ChildProcessTest, ExitCodesAndSignals) {
  ChildProcess three;
  ASSERT_TRUE(three.Start({"/bin/sh", "-c", "exit 3"}));
  EXPECT_EQ(three.WaitExit(10000), 3);

  ChildProcess cat;
  ASSERT_TRUE(cat.Start({"/bin/cat"}));
  EXPECT_FALSE(cat.WaitExit(20).has_value());  // still running
  EXPECT_TRUE(cat.running());
  cat.Kill();
  EXPECT_EQ(cat.WaitExit(10000), 128 + SIGKILL);

  ChildProcess sleeper;
  ASSERT_TRUE(sleeper.Start({"/bin/sleep", "60"}));
  sleeper.Terminate();
  EXPECT_EQ(sleeper.WaitExit(10000), 128 + SIGTERM);
}

TEST(ChildProcessTest, ChildGetsTheDefaultSigpipeBack) {
  // This process ignores SIGPIPE (the helper sees to it), and an ignored signal would stay
  // ignored across exec; the child must get the default action back, as programs expect.
  ChildProcess cat;
  ASSERT_TRUE(cat.Start({"/bin/cat", "/proc/self/status"}, {}, ChildProcess::Stderr::kDiscard));
  struct sigaction here {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &here), 0);
  EXPECT_EQ(here.sa_handler, SIG_IGN);
  std::string status;
  while (!cat.OutputEnded()) status += cat.ReadAvailable(10000);
  const size_t at = status.find("SigIgn:");
  ASSERT_NE(at, std::string::npos) << status;
  const unsigned long long ignored = std::stoull(status.substr(at + 7), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << status.substr(at, 30);
  EXPECT_EQ(cat.WaitExit(10000), 0);
}

TEST(ChildProcessTest, StartFailsForAMissingProgram) {
  ChildProcess missing;
  EXPECT_FALSE(missing.Start({"/nonexistent/ecub-program"}));
  EXPECT_EQ(missing.pid(), 0);
  EXPECT_FALSE(missing.running());
  EXPECT_FALSE(missing.Write("x"));
  EXPECT_FALSE(missing.WaitExit(0).has_value());
  ChildProcess empty;
  EXPECT_FALSE(empty.Start({}));
}

TEST(ChildProcessTest, DestructorKillsAndReapsARunningChild) {
  int pid = 0;
  {
    ChildProcess cat;
    ASSERT_TRUE(cat.Start({"/bin/cat"}));
    pid = cat.pid();
    ASSERT_EQ(kill(pid, 0), 0);
  }
  // Reaped: not even a zombie is left.
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcessTest, ParentPipeEndsAreNotInherited) {
  // A second child must not hold the first child's stdin open, or closing it would never
  // reach the first child.
  ChildProcess first;
  ASSERT_TRUE(first.Start({"/bin/cat"}));
  ChildProcess second;
  ASSERT_TRUE(second.Start({"/bin/cat"}));
  first.CloseStdin();
  EXPECT_EQ(first.WaitExit(10000), 0);
}

}  // namespace
}  // namespace ecub
