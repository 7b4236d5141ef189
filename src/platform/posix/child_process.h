// A program run as a child with its standard input and output on pipes: how a host drives the
// server. Used by the end-to-end tests, the benchmarks and the host tool.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ecub {

class ChildProcess {
 public:
  enum class Stderr { kInherit, kDiscard };

  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills and reaps a child that is still running.
  ~ChildProcess();

  // Starts `argv[0]` (a path; not looked up in PATH) with arguments `argv`, this process's
  // environment plus `env` (which wins over inherited variables of the same name). False when
  // the program cannot be started or a child is already running. Starting a child makes this
  // process ignore SIGPIPE, so that writing to a child that has ended fails instead of killing
  // the caller; the child itself gets the default action back.
  bool Start(const std::vector<std::string>& argv,
             const std::map<std::string, std::string>& env = {},
             Stderr stderr_mode = Stderr::kInherit);

  // Writes all of `bytes` to the child's standard input; false when the child no longer reads.
  bool Write(const std::string& bytes);
  // Exactly `count` bytes of the child's standard output, or nothing when they have not all
  // come within `timeout_ms` (negative: no limit) or the output ended first. Bytes that did
  // come are kept for the next read.
  std::optional<std::string> ReadExactly(size_t count, int timeout_ms);
  // Whatever output is waiting, after waiting up to `timeout_ms` for at least one byte; empty
  // when nothing came or the output has ended.
  std::string ReadAvailable(int timeout_ms);
  // True once the child's standard output has reached its end and every byte was read.
  bool OutputEnded() const { return output_ended_ && kept_.empty(); }
  void CloseStdin();

  // The child's exit code once it has ended (128 + the signal number when a signal ended it),
  // or nothing when it is still running after `timeout_ms` (negative: no limit) or there is no
  // child. The status is kept, so later calls give it again.
  std::optional<int> WaitExit(int timeout_ms);
  // Ends the child at once (SIGKILL); WaitExit then collects it.
  void Kill();
  // Asks the child to end (SIGTERM).
  void Terminate();
  // 0 when no child was started.
  int pid() const { return pid_; }
  bool running() const { return pid_ > 0 && !status_; }

 private:
  bool ReadSome(int timeout_ms);
  void Reap();
  void CloseStdout();

  int pid_ = 0;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  bool output_ended_ = false;
  std::string kept_;  // output read but not yet handed out
  std::optional<int> status_;
};

}  // namespace ecub
