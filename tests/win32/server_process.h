// The server started as a child process over two anonymous pipes, as the users' host programs
// start it: for the Windows test host and the Windows benchmark, never for the server itself.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <string>

class ServerProcess {
 public:
  // Starts `exe` in `folder` (its own folder when empty), with this process's environment; its
  // standard error is this process's.
  explicit ServerProcess(const std::wstring& exe, std::wstring folder = {});
  // Ends a server that is still running.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return started_; }
  DWORD id() const { return process_.dwProcessId; }

  // The whole message in one write.
  bool Send(const std::string& message);
  // Exactly `count` bytes, or fewer when the output ended or `timeout_ms` passed. Without a
  // time limit it blocks in ReadFile, as a host waiting on its answer does.
  std::string Read(size_t count, DWORD timeout_ms = INFINITE);
  // One whole reply: the header, then the data its length field announces.
  std::string Reply(DWORD timeout_ms = INFINITE);
  std::string Ask(const std::string& message, DWORD timeout_ms = INFINITE) {
    return Send(message) ? Reply(timeout_ms) : std::string();
  }
  // The host closes its end of the server's input, as a host that goes away does.
  void CloseInput();
  // True once the server's output has ended with no further byte.
  bool OutputEnded();
  // True once the process has ended (within `timeout_ms`); its exit code in `code`.
  bool Exited(DWORD timeout_ms, DWORD* code = nullptr);
  // The top-level window of the server captioned `caption`, once it is there (null when it does
  // not come within `timeout_ms`).
  HWND FindTopWindow(const char* caption, DWORD timeout_ms) const;

 private:
  HANDLE to_server_ = nullptr;
  HANDLE from_server_ = nullptr;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};
