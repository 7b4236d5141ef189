#include "platform/posix/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace ecub {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`; -1 (no limit) when there is no deadline.
int MillisecondsLeft(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  // Rounded up, so a wait never ends just before its deadline.
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 1 << 30));
}

std::optional<Clock::time_point> DeadlineAfter(int timeout_ms) {
  if (timeout_ms < 0) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

void IgnoreSigpipe() {
  struct sigaction current {};
  if (sigaction(SIGPIPE, nullptr, &current) != 0) return;
  // A handler someone installed on purpose is left alone.
  if (current.sa_handler != SIG_DFL) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ChildProcess::~ChildProcess() {
  CloseFd(stdin_fd_);
  CloseStdout();
  if (running()) {
    kill(pid_, SIGKILL);
    WaitExit(-1);
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env, Stderr stderr_mode) {
  if (running() || argv.empty()) return false;
  CloseFd(stdin_fd_);
  CloseStdout();
  pid_ = 0;
  status_.reset();
  kept_.clear();
  output_ended_ = false;
  IgnoreSigpipe();

  // Both pipes are close-on-exec: the child gets its ends only through the dup2 onto 0 and 1,
  // and no other child started meanwhile keeps our ends open.
  int to_child[2];
  int from_child[2];
  if (pipe2(to_child, O_CLOEXEC) != 0) return false;
  if (pipe2(from_child, O_CLOEXEC) != 0) {
    close(to_child[0]);
    close(to_child[1]);
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to_child[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, from_child[1], STDOUT_FILENO);
  if (stderr_mode == Stderr::kDiscard) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t no_mask;
  sigemptyset(&no_mask);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &no_mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::map<std::string, std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals == nullptr) continue;
    merged.emplace(std::string(*entry, static_cast<size_t>(equals - *entry)), equals + 1);
  }
  for (const auto& [name, value] : env) merged[name] = value;
  std::vector<std::string> env_lines;
  env_lines.reserve(merged.size());
  for (const auto& [name, value] : merged) env_lines.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& line : env_lines) envp.push_back(line.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argvp;
  for (std::string& arg : args) argvp.push_back(arg.data());
  argvp.push_back(nullptr);

  pid_t pid = 0;
  const int error =
      posix_spawn(&pid, args[0].c_str(), &actions, &attributes, argvp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(to_child[0]);
  close(from_child[1]);
  if (error != 0) {
    close(to_child[1]);
    close(from_child[0]);
    return false;
  }
  pid_ = pid;
  stdin_fd_ = to_child[1];
  stdout_fd_ = from_child[0];
  return true;
}

bool ChildProcess::Write(const std::string& bytes) {
  if (stdin_fd_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(stdin_fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

void ChildProcess::CloseStdin() {
  CloseFd(stdin_fd_);
}

void ChildProcess::CloseStdout() {
  CloseFd(stdout_fd_);
  output_ended_ = true;
}

bool ChildProcess::ReadSome(int timeout_ms) {
  if (stdout_fd_ < 0) return false;
  pollfd pfd{stdout_fd_, POLLIN, 0};
  const int ready = poll(&pfd, 1, timeout_ms);
  if (ready <= 0) return false;
  char buffer[65536];
  const ssize_t n = read(stdout_fd_, buffer, sizeof buffer);
  if (n > 0) {
    kept_.append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n == 0 || errno != EINTR) CloseStdout();
  return false;
}

std::optional<std::string> ChildProcess::ReadExactly(size_t count, int timeout_ms) {
  const auto deadline = DeadlineAfter(timeout_ms);
  while (kept_.size() < count) {
    if (output_ended_) return std::nullopt;
    const int wait_ms = MillisecondsLeft(deadline);
    if (!ReadSome(wait_ms) && wait_ms == 0) return std::nullopt;
  }
  std::string out = kept_.substr(0, count);
  kept_.erase(0, count);
  return out;
}

std::string ChildProcess::ReadAvailable(int timeout_ms) {
  if (kept_.empty()) ReadSome(timeout_ms);
  while (ReadSome(0)) {
  }
  std::string out;
  out.swap(kept_);
  return out;
}

void ChildProcess::Reap() {
  if (pid_ <= 0 || status_) return;
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done == pid_) {
    status_ = DecodeStatus(status);
  } else if (done < 0 && errno == ECHILD) {
    status_ = -1;  // collected elsewhere (SIGCHLD ignored): the exit code is lost
  }
}

std::optional<int> ChildProcess::WaitExit(int timeout_ms) {
  Reap();
  if (status_ || pid_ <= 0 || timeout_ms == 0) return status_;
  const auto deadline = DeadlineAfter(timeout_ms);
#ifdef SYS_pidfd_open
  // A pidfd becomes readable when the child ends, so the wait needs no polling.
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    for (;;) {
      pollfd pfd{pidfd, POLLIN, 0};
      const int wait_ms = MillisecondsLeft(deadline);
      const int ready = poll(&pfd, 1, wait_ms);
      if (ready > 0 || (ready == 0 && wait_ms == 0)) break;
      if (ready < 0 && errno != EINTR) break;
    }
    close(pidfd);
    Reap();
    return status_;
  }
#endif
  // Older kernels: look every millisecond.
  for (;;) {
    Reap();
    if (status_) return status_;
    const int wait_ms = MillisecondsLeft(deadline);
    if (wait_ms == 0) return std::nullopt;
    usleep(1000);
  }
}

void ChildProcess::Kill() {
  if (running()) kill(pid_, SIGKILL);
}

void ChildProcess::Terminate() {
  if (running()) kill(pid_, SIGTERM);
}

}  // namespace ecub
