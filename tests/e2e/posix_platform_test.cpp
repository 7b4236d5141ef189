// The Linux platform against the real operating system: files in a scratch folder, the
// process list, the host pipe on real pipes, and the child-process helper.
#include "platform/posix/posix_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/child_process.h"
#include "platform/posix/temp_folder.h"

namespace ecub {
namespace {

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A pipe whose ends are closed at the end of the test unless handed on.
struct Pipe {
  Pipe() { EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0); }
  ~Pipe() {
    for (int fd : fds) {
      if (fd >= 0) close(fd);
    }
  }
  bool Write(const std::string& bytes) {
    return write(fds[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  void CloseEnd(int end) {
    close(fds[end]);
    fds[end] = -1;
  }
  int fds[2] = {-1, -1};
};

// --- Files ------------------------------------------------------------------------------------

class PosixFiles : public ::testing::Test {
 protected:
  std::string Contents(const std::string& name) {
    std::string back;
    EXPECT_TRUE(p.ReadWholeFile(dir / name, back)) << name;
    return back;
  }
  TempFolder dir{"posix-test"};
  PosixPlatform p;
};

TEST_F(PosixFiles, WholeFilesKeepEveryByteMovesAndCopiesReplaceTheWholeOrLeaveAlone) {
  std::string every_byte("\0\xff\0", 3);
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  ASSERT_TRUE(p.WriteWholeFile(dir / "bin", every_byte));
  EXPECT_EQ(Contents("bin"), every_byte);
  ASSERT_TRUE(p.WriteWholeFile(dir / "bin", "ab"));
  EXPECT_EQ(Contents("bin"), "ab");
  std::string back = "stale";
  EXPECT_FALSE(p.ReadWholeFile(dir / "missing", back));
  EXPECT_EQ(back, "");
  EXPECT_FALSE(p.ReadWholeFile(dir.path(), back));
  EXPECT_FALSE(p.WriteWholeFile(dir / "no/such/folder/x", "x"));
  EXPECT_EQ(p.GetLastError(), static_cast<uint32_t>(ENOENT));

  // Readable means a file that opens, without hanging on a fifo.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  EXPECT_TRUE(p.FileReadable(dir / "bin"));
  EXPECT_TRUE(p.FileReadable(dir / "fifo"));
  EXPECT_FALSE(p.FileReadable(dir.path()));
  EXPECT_FALSE(p.FileReadable(dir / "missing.ini"));
  EXPECT_FALSE(p.FileReadable(""));

  ASSERT_TRUE(p.WriteWholeFile(dir / "Handle.ini", "old\r\n"));
  ASSERT_TRUE(p.WriteWholeFile(dir / "Handle.ini.tmp", "new\r\n"));
  ASSERT_TRUE(p.MoveFileReplace(dir / "Handle.ini.tmp", dir / "Handle.ini"));
  EXPECT_EQ(Contents("Handle.ini"), "new\r\n");
  EXPECT_FALSE(p.FileReadable(dir / "Handle.ini.tmp"));
  EXPECT_FALSE(p.MoveFileReplace(dir / "Handle.ini.tmp", dir / "Handle.ini"));
  EXPECT_EQ(p.GetLastError(), static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(Contents("Handle.ini"), "new\r\n");

  std::string big;  // several buffers' worth
  for (int i = 0; i < 300000; ++i) big.push_back(static_cast<char>(i * 31 + i / 256));
  ASSERT_TRUE(p.WriteWholeFile(dir / "RxTx.TXT", big));
  ASSERT_TRUE(p.WriteWholeFile(dir / "Last_RxTx.TXT", std::string(400000, 'o')));
  ASSERT_TRUE(p.CopyFileReplace(dir / "RxTx.TXT", dir / "Last_RxTx.TXT"));
  EXPECT_TRUE(Contents("Last_RxTx.TXT") == big);
  // Failed copies leave the destination alone; a copy onto itself must not empty it.
  ASSERT_TRUE(p.WriteWholeFile(dir / "dest", "keep"));
  EXPECT_FALSE(p.CopyFileReplace(dir / "missing", dir / "dest"));
  EXPECT_FALSE(p.CopyFileReplace(dir.path(), dir / "dest"));
  EXPECT_FALSE(p.CopyFileReplace(dir / "dest", dir / "dest"));
  EXPECT_FALSE(p.CopyFileReplace(dir / "dest", dir / "no/such/folder/x"));
  EXPECT_EQ(Contents("dest"), "keep");
}

TEST_F(PosixFiles, OpenFileTruncatesCollectsWritesAndStaysInTheProcess) {
  ASSERT_TRUE(p.WriteWholeFile(dir / "log", "old contents, longer than the new"));
  const int64_t file = p.OpenWriteFile(dir / "log");
  ASSERT_GE(file, 0);
  EXPECT_NE(fcntl(static_cast<int>(file), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_TRUE(p.WriteOpenFile(file, "line 1\r\n"));
  EXPECT_TRUE(p.WriteOpenFile(file, std::string("\0\xff\r\n", 4)));
  p.CloseOpenFile(file);
  EXPECT_EQ(Contents("log"), std::string("line 1\r\n\0\xff\r\n", 12));
  EXPECT_EQ(p.OpenWriteFile(dir / "no/such/folder/log"), -1);
  EXPECT_FALSE(p.WriteOpenFile(-1, "x"));
  // Opened for appending, the file keeps what it holds; a missing one is created.
  for (const char* name : {"log", "new log"}) {
    const int64_t more = p.OpenAppendFile(dir / name);
    ASSERT_GE(more, 0);
    EXPECT_TRUE(p.WriteOpenFile(more, "line 2\r\n"));
    p.CloseOpenFile(more);
  }
  EXPECT_EQ(Contents("log"), std::string("line 1\r\n\0\xff\r\nline 2\r\n", 20));
  EXPECT_EQ(Contents("new log"), "line 2\r\n");
  EXPECT_EQ(p.OpenAppendFile(dir / "no/such/folder/log"), -1);
}

TEST(PosixPlatformTest, DatesLocalTimeAndClocks) {
  PosixPlatform p;
  EXPECT_EQ(p.FormatGeneralDate({2025, 3, 5, 9, 7, 3}), "05/03/2025 09:07:03");
  time_t before = 0;
  LocalDateTime now;
  do {  // again if the second changed meanwhile
    before = time(nullptr);
    now = p.LocalNow();
  } while (time(nullptr) != before);
  tm t{};
  ASSERT_NE(localtime_r(&before, &t), nullptr);
  EXPECT_EQ(p.FormatGeneralDate(now),
            p.FormatGeneralDate(
                {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec}));

  // The counter is in nanoseconds and sleeps advance it.
  int64_t frequency = 0, t0 = 0, t1 = 0, t2 = 0;
  ASSERT_TRUE(p.QueryPerformanceFrequency(frequency));
  EXPECT_EQ(frequency, 1'000'000'000);
  ASSERT_TRUE(p.QueryPerformanceCounter(t0));
  const uint64_t ticks0 = p.TickCountMs();
  p.Sleep(15);
  ASSERT_TRUE(p.QueryPerformanceCounter(t1));
  // The coarse fallback clock moves with the counter, within its few milliseconds of grain.
  EXPECT_NEAR(static_cast<double>(p.TickCountMs() - ticks0), (t1 - t0) / 1e6, 10.0);
  p.SleepMicroseconds(3000);
  p.SleepMicroseconds(-5);  // nothing to sleep
  ASSERT_TRUE(p.QueryPerformanceCounter(t2));
  EXPECT_GE(t1 - t0, 15'000'000);
  EXPECT_GE(t2 - t1, 3'000'000);
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(PosixPlatformTest, ProcessListNamesExecutablesEvenDeletedOnes) {
  TempFolder dir("posix-test");
  PosixPlatform p;
  std::vector<std::string> names;
  ASSERT_TRUE(p.ListProcesses(names));
  EXPECT_TRUE(Contains(names, program_invocation_short_name));  // a name, not a path
  const std::string name = "ecub-sleeper-" + std::to_string(getpid());
  const std::string exe = dir / name;
  ASSERT_TRUE(p.CopyFileReplace("/bin/sleep", exe));
  ASSERT_EQ(chmod(exe.c_str(), 0755), 0);
  ChildProcess child;
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

// In a child with some standard descriptors closed: after the start-up step a newly opened
// file never gets one of the numbers 0 to 2, and each closed one reads as /dev/null.
TEST(PosixHostPipe, ClosedStandardDescriptorsAreReservedAtStartUp) {
  TempFolder dir("posix-test");
  for (const std::vector<int>& closed : {std::vector<int>{0}, {1}, {0, 1, 2}}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int fd : closed) close(fd);
      PosixReserveStandardDescriptors();
      const int file = open((dir / "f").c_str(), O_WRONLY | O_CREAT, 0644);
      char byte = 0;
      const bool reads_null = read(closed.front(), &byte, 1) == 0;
      _exit(file > STDERR_FILENO && reads_null ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << closed.size();
  }
}

TEST(PosixHostPipe, WriteArrivesWholeFailsWhenTheHostHasGoneAndCloseEndsThePipesOnce) {
  Pipe in, out, gone;
  PosixPlatform p(in.fds[0], out.fds[1]);
  std::string reply(200000, '\0');  // larger than the pipe holds
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
  gone.CloseEnd(0);
  EXPECT_FALSE(PosixPlatform(-1, gone.fds[1]).HostWrite("x"));  // fails instead of killing us

  p.HostCloseOutput();
  p.HostCloseInput();
  p.HostCloseInput();  // a second close closes no other descriptor
  in.fds[0] = out.fds[1] = -1;
  char byte;
  EXPECT_EQ(read(out.fds[0], &byte, 1), 0);  // the host sees the end of the replies
  uint32_t available = 0;
  EXPECT_FALSE(p.HostPeek(available));
  EXPECT_FALSE(p.HostWrite("x"));
  EXPECT_EQ(write(in.fds[1], "x", 1), -1);  // nobody reads the input any more
  EXPECT_EQ(errno, EPIPE);
}

TEST(PosixHostPipe, WaitEndsForInputHandsOverLastBytesThenSleepsOnceTheHostHasGone) {
  Pipe in;
  PosixPlatform p(in.fds[0], -1);
  auto start = Clock::now();
  p.HostWaitInput(30000);
  EXPECT_GE(MillisecondsSince(start), 29.0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    in.Write("last ");
  });
  start = Clock::now();
  p.HostWaitInput(20e6);
  writer.join();
  EXPECT_LT(MillisecondsSince(start), 10000);  // it returned for the byte, not the limit
  p.HostWaitInput(-1);                         // with the byte waiting, returns at once
  p.HostWaitInput(std::nan(""));
  ASSERT_TRUE(in.Write("words"));
  in.CloseEnd(1);
  p.HostWaitInput(20e6);
  EXPECT_FALSE(p.host_input_gone());
  uint32_t available = 0;
  ASSERT_TRUE(p.HostPeek(available));
  std::string out;
  ASSERT_TRUE(p.HostRead(available, out));
  EXPECT_EQ(out, "last words");
  EXPECT_FALSE(p.HostInputEnded());
  // Now the pipe is empty for good: the wait that finds it returns at once to let the caller
  // see the end; later waits sleep their time instead of spinning.
  start = Clock::now();
  p.HostWaitInput(20e6);
  EXPECT_LT(MillisecondsSince(start), 10000);
  EXPECT_TRUE(p.HostInputEnded());
  start = Clock::now();
  for (int i = 0; i < 5; ++i) p.HostWaitInput(20000);
  EXPECT_GE(MillisecondsSince(start), 95.0);
  EXPECT_TRUE(p.host_input_gone());
  EXPECT_FALSE(p.HostRead(1, out));  // more than will ever come
  p.HostCloseInput();
  in.fds[0] = -1;
  start = Clock::now();
  p.HostWaitInput(20000);
  EXPECT_GE(MillisecondsSince(start), 19.0);
}

// --- Child processes ---------------------------------------------------------------------------

// Every end-to-end test drives the programs through this helper: an exit status it got wrong
// would pass a test of the server's own status. (Its byte reading is what those tests use.)
TEST(ChildProcessTest, ExitCodesTellSignalsApartChildrenAreReapedAndHoldNoOtherPipes) {
  ChildProcess three;
  ASSERT_TRUE(three.Start({"/bin/sh", "-c", "exit 3"}));
  EXPECT_EQ(three.WaitExit(10000), 3);
  EXPECT_FALSE(ChildProcess().Start({"/nonexistent/ecub-program"}));
  int pid = 0;
  {
    ChildProcess cat;
    ASSERT_TRUE(cat.Start({"/bin/cat"}));
    EXPECT_FALSE(cat.WaitExit(20).has_value());
    pid = cat.pid();
  }
  errno = 0;
  EXPECT_EQ(kill(pid, 0), -1);  // not even a zombie is left
  EXPECT_EQ(errno, ESRCH);
  ChildProcess first;
  ASSERT_TRUE(first.Start({"/bin/cat"}));
  // A second child holding the first one's stdin open would keep it from ending.
  ChildProcess second;
  ASSERT_TRUE(second.Start({"/bin/cat"}));
  first.CloseStdin();
  EXPECT_EQ(first.WaitExit(10000), 0);
  second.Kill();
  EXPECT_EQ(second.WaitExit(10000), 128 + SIGKILL);
}

}  // namespace
}  // namespace ecub
