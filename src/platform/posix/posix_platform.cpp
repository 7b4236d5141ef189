#include "platform/posix/posix_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/times.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace ecub {

namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;
// Longer waits than this (about 11 days) are treated as "no limit"; it also keeps the
// nanosecond arithmetic far from overflow.
constexpr double kLongestWait_usec = 1e12;
constexpr const char kDeletedSuffix[] = " (deleted)";

timespec ToTimespec(int64_t ns) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / kNanosPerSecond);
  ts.tv_nsec = static_cast<long>(ns % kNanosPerSecond);
  return ts;
}

// Sleeps until the monotonic clock reaches `deadline_ns`; signals do not cut it short.
void SleepUntil(int64_t deadline_ns) {
  const timespec deadline = ToTimespec(deadline_ns);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

// Writes every byte, riding out interrupted and partial writes. A descriptor that someone made
// non-blocking is waited on rather than treated as failed.
bool WriteAll(int fd, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd, POLLOUT, 0};
      if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Appends everything up to end of file; false on a read error.
bool ReadToEnd(int fd, std::string& out) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return false;
    }
  }
}

// Reads a small file, stopping early once `stop` has been seen (so a huge /proc cmdline is not
// read in full just for its first word).
bool ReadSmallFile(const std::string& path, std::string& out, char stop) {
  out.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      if (out.find(stop) != std::string::npos) break;
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  close(fd);
  return ok;
}

bool ReadLink(const std::string& path, std::string& target) {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      target.assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    // The target may have been cut to the buffer's size: try again with more room.
    if (buffer.size() >= (1u << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The executable file name of process `pid`, or empty when the process has gone.
std::string ProcessName(const char* pid) {
  const std::string dir = std::string("/proc/") + pid;
  std::string text;
  // The executable's own path is the truest name, but only our own user's processes (or all,
  // for root) may be looked at.
  if (ReadLink(dir + "/exe", text)) {
    if (EndsWith(text, kDeletedSuffix)) text.resize(text.size() - (sizeof kDeletedSuffix - 1));
    const std::string name = PosixBaseName(text);
    if (!name.empty()) return name;
  }
  // Otherwise the name it was started by.
  if (ReadSmallFile(dir + "/cmdline", text, '\0')) {
    const std::string name = PosixBaseName(text.substr(0, text.find('\0')));
    if (!name.empty()) return name;
  }
  // Kernel threads and zombies have neither; their short command name still names them.
  if (ReadSmallFile(dir + "/comm", text, '\n')) {
    text = text.substr(0, text.find('\n'));
    if (!text.empty()) return text;
  }
  return std::string();
}

// Closes a host descriptor. A standard descriptor is pointed at /dev/null instead of being
// freed, so that a file opened later cannot take its number and receive stray output.
void CloseHostFd(int fd) {
  if (fd <= STDERR_FILENO) {
    const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
      dup2(null_fd, fd);  // closes the pipe end in the same step
      close(null_fd);
      return;
    }
  }
  close(fd);
}

}  // namespace

int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
}

double MonotonicUsec() {
  return static_cast<double>(MonotonicNs()) / 1e3;
}

void PosixReserveStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken, which is `fd` itself since the lower ones are open.
    const int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

namespace {

volatile sig_atomic_t stop_signal = 0;

void OnStopSignal(int number) {
  stop_signal = number;
}

constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

void PosixCatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigset_t held;
  sigemptyset(&held);
  for (const int number : kStopSignals) {
    sigaction(number, &action, nullptr);
    sigaddset(&held, number);
  }
  sigprocmask(SIG_BLOCK, &held, nullptr);
}

bool PosixPlatform::StopRequested() {
  return stop_signal != 0;
}

std::string PosixBaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

PosixPlatform::PosixPlatform(int input_fd, int output_fd, std::string program_folder)
    : input_fd_(input_fd), output_fd_(output_fd), program_folder_(std::move(program_folder)) {
  // A host that has gone away must make replies fail, not end the server.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
  sigprocmask(SIG_SETMASK, nullptr, &wait_mask_);
  for (const int number : kStopSignals) sigdelset(&wait_mask_, number);
  // The default 50 us slack would make every precise sleep wake late by about that much.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
}

// --- Host pipe ----------------------------------------------------------------------------

bool PosixPlatform::HostPeek(uint32_t& available) {
  available = 0;
  if (input_fd_ < 0) return false;
  int count = 0;
  if (ioctl(input_fd_, FIONREAD, &count) != 0 || count < 0) {
    // Not a pipe, terminal or file (/dev/null, say): the byte held may still be handed out.
    available = static_cast<uint32_t>(held_.size());
    return !held_.empty();
  }
  available = static_cast<uint32_t>(held_.size() + static_cast<size_t>(count));
  return true;
}

bool PosixPlatform::HostRead(uint32_t count, std::string& out) {
  out.clear();
  if (input_fd_ < 0) return false;
  const size_t from_held = std::min<size_t>(count, held_.size());
  out = held_.substr(0, from_held);
  held_.erase(0, from_held);
  size_t got = out.size();
  out.resize(count);
  while (got < count) {
    const ssize_t n = read(input_fd_, out.data() + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // End of file or a failed read: nothing more will come (a non-blocking descriptor with
      // nothing waiting is merely quiet).
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) input_gone_ = true;
      out.resize(got);
      return false;
    }
  }
  return true;
}

bool PosixPlatform::HostWrite(const std::string& data) {
  if (output_fd_ < 0) return false;
  return WriteAll(output_fd_, data.data(), data.size());
}

void PosixPlatform::HostCloseInput() {
  if (input_fd_ < 0) return;
  // One descriptor serving both ways (a socket or terminal) stays open for the replies.
  if (input_fd_ != output_fd_) CloseHostFd(input_fd_);
  input_fd_ = -1;
}

void PosixPlatform::HostCloseOutput() {
  if (output_fd_ < 0) return;
  if (output_fd_ != input_fd_) CloseHostFd(output_fd_);
  output_fd_ = -1;
}

void PosixPlatform::HostWaitInput(double max_usec) {
  if (std::isnan(max_usec)) return;
  if (!held_.empty()) return;
  const bool unlimited = max_usec < 0 || max_usec > kLongestWait_usec;
  const int64_t deadline_ns =
      unlimited ? 0 : MonotonicNs() + static_cast<int64_t>(std::llround(max_usec * 1000.0));
  if (input_fd_ < 0 || input_gone_) {
    // Nothing can arrive any more: sleep the whole time so the loop does not spin.
    if (unlimited) {
      ppoll(nullptr, 0, nullptr, &wait_mask_);  // until a signal
    } else {
      SleepUntil(deadline_ns);
    }
    return;
  }
  pollfd pfd{input_fd_, POLLIN, 0};
  timespec remaining{};
  if (!unlimited) {
    const int64_t left = deadline_ns - MonotonicNs();
    remaining = ToTimespec(left > 0 ? left : 0);
  }
  const int ready = ppoll(&pfd, 1, unlimited ? nullptr : &remaining, &wait_mask_);
  if (ready == 0) return;                   // time is up
  if (ready < 0 && errno == EINTR) return;  // an early return is allowed
  if (ready > 0 && (pfd.revents & POLLIN)) {
    // Hang-up may come with bytes still buffered; those are read first.
    int count = 0;
    if (ioctl(input_fd_, FIONREAD, &count) == 0 && count > 0) return;
    // Readable with nothing counted: the end of the input (a pipe whose writer has gone,
    // Ctrl-D at a terminal, /dev/null) or a byte FIONREAD cannot see. One read tells which;
    // a byte it gets is kept for HostRead.
    char byte = 0;
    const ssize_t n = read(input_fd_, &byte, 1);
    if (n == 1) {
      held_.assign(1, byte);
      return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
  }
  // At its end, hung up or failing: the host's end is gone for good. The caller learns it
  // from HostInputEnded at once instead of after this wait.
  input_gone_ = true;
}

// --- Clock and sleep ----------------------------------------------------------------------

bool PosixPlatform::QueryPerformanceFrequency(int64_t& frequency) {
  frequency = kNanosPerSecond;
  return true;
}

bool PosixPlatform::QueryPerformanceCounter(int64_t& counter) {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    counter = 0;
    return Fail();
  }
  counter = static_cast<int64_t>(now.tv_sec) * kNanosPerSecond + now.tv_nsec;
  return true;
}

uint64_t PosixPlatform::TickCountMs() {
  // Clocks that do not depend on the one the counter reads, coarsest last.
  timespec now{};
  for (const clockid_t clock : {CLOCK_MONOTONIC_COARSE, CLOCK_BOOTTIME}) {
    if (clock_gettime(clock, &now) == 0) {
      return static_cast<uint64_t>(now.tv_sec) * 1000 +
             static_cast<uint64_t>(now.tv_nsec) / 1000000;
    }
  }
  tms unused{};
  const clock_t ticks = times(&unused);
  const long per_second = sysconf(_SC_CLK_TCK);
  if (ticks == static_cast<clock_t>(-1) || per_second <= 0) return 0;
  return static_cast<uint64_t>(ticks) * 1000 / static_cast<uint64_t>(per_second);
}

void PosixPlatform::Sleep(uint32_t milliseconds) {
  timespec left = ToTimespec(static_cast<int64_t>(milliseconds) * 1'000'000);
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

void PosixPlatform::SleepMicroseconds(double usec) {
  if (!(usec > 0)) return;
  if (usec > kLongestWait_usec) usec = kLongestWait_usec;
  // An absolute deadline keeps a sleep interrupted by a signal from growing longer.
  SleepUntil(MonotonicNs() + std::llround(usec * 1000.0));
}

// --- Process list -------------------------------------------------------------------------

bool PosixPlatform::ListProcesses(std::vector<std::string>& names) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  names.clear();
  while (const dirent* entry = readdir(proc)) {
    const char* pid = entry->d_name;
    bool numeric = *pid != '\0';
    for (const char* c = pid; *c != '\0'; ++c) numeric = numeric && *c >= '0' && *c <= '9';
    if (!numeric) continue;
    std::string name = ProcessName(pid);
    if (!name.empty()) names.push_back(std::move(name));  // empty: it ended meanwhile
  }
  closedir(proc);
  return true;
}

// --- Files --------------------------------------------------------------------------------

bool PosixPlatform::FileReadable(const std::string& path) {
  // Non-blocking, so that a FIFO without a writer does not hang the check.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat info {};
  const bool readable = fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
  close(fd);
  return readable;
}

Platform::PathKind PosixPlatform::KindOfPath(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    // Only a name that is not there is missing; one we may not even look at is something.
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kOther;
  }
  return S_ISREG(info.st_mode) ? PathKind::kFile : PathKind::kOther;
}

bool PosixPlatform::ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  if (fstat(fd, &info) == 0 && info.st_size > 0) {
    contents.reserve(static_cast<size_t>(info.st_size));
  }
  const bool ok = ReadToEnd(fd, contents);
  close(fd);
  return ok;
}

bool PosixPlatform::WriteWholeFile(const std::string& path, const std::string& contents) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  const bool written = WriteAll(fd, contents.data(), contents.size());
  if (!written) Fail();
  const bool closed = close(fd) == 0;
  if (written && !closed) Fail();
  return written && closed;
}

bool PosixPlatform::MoveFileReplace(const std::string& from, const std::string& to) {
  return rename(from.c_str(), to.c_str()) == 0 || Fail();
}

bool PosixPlatform::CopyFileReplace(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat source {};
  if (fstat(in, &source) != 0 || S_ISDIR(source.st_mode)) {
    close(in);
    return false;
  }
  // Opened without truncation first: copying a file onto itself must not empty it.
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0) {
    close(in);
    return false;
  }
  struct stat target {};
  bool ok = fstat(out, &target) == 0 &&
            !(target.st_dev == source.st_dev && target.st_ino == source.st_ino) &&
            ftruncate(out, 0) == 0;
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n > 0) {
      ok = WriteAll(out, buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
    }
  }
  close(in);
  if (close(out) != 0) ok = false;
  return ok;
}

int64_t PosixPlatform::OpenWriteFile(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

int64_t PosixPlatform::OpenAppendFile(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

bool PosixPlatform::WriteOpenFile(int64_t file, const std::string& data) {
  if (file < 0 || file > INT_MAX) return false;
  return WriteAll(static_cast<int>(file), data.data(), data.size());
}

void PosixPlatform::CloseOpenFile(int64_t file) {
  if (file >= 0 && file <= INT_MAX) close(static_cast<int>(file));
}

LocalDateTime PosixPlatform::LocalNow() {
  const time_t now = time(nullptr);
  tm local{};
  LocalDateTime when;
  if (localtime_r(&now, &local) == nullptr) return when;
  when.year = local.tm_year + 1900;
  when.month = local.tm_mon + 1;
  when.day = local.tm_mday;
  when.hour = local.tm_hour;
  when.minute = local.tm_min;
  when.second = local.tm_sec;
  return when;
}

std::string PosixPlatform::FormatGeneralDate(const LocalDateTime& w) {
  char text[96];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", w.day, w.month, w.year, w.hour,
                w.minute, w.second);
  return text;
}

// --- Message box --------------------------------------------------------------------------

void PosixPlatform::ShowMessage(const std::string& text, const std::string& title) {
  const std::string line = title + ": " + text + "\n";
  WriteAll(STDERR_FILENO, line.data(), line.size());  // one write, so lines do not interleave
}

void PosixPlatform::WriteStandardError(const std::string& line) {
  const std::string whole = line + "\n";
  WriteAll(STDERR_FILENO, whole.data(), whole.size());
}

}  // namespace ecub
