#include "server_process.h"

#include <algorithm>

#include "codec/host_codec.h"

ServerProcess::ServerProcess(const std::wstring& exe, std::wstring folder) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr;
  if (!::CreatePipe(&child_in, &to_server_, &inherit, 0) ||
      !::CreatePipe(&from_server_, &child_out, &inherit, 0)) {
    return;
  }
  // The host's own ends stay in the host.
  ::SetHandleInformation(to_server_, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(from_server_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = L"\"" + exe + L"\"";
  if (folder.empty()) folder = exe.substr(0, exe.find_last_of(L"\\/"));
  started_ = ::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                              folder.c_str(), &startup, &process_) != 0;
  ::CloseHandle(child_in);
  ::CloseHandle(child_out);
}

ServerProcess::~ServerProcess() {
  if (started_ && !Exited(0)) ::TerminateProcess(process_.hProcess, 99);
  if (started_) {
    ::CloseHandle(process_.hProcess);
    ::CloseHandle(process_.hThread);
  }
  if (to_server_ != nullptr) ::CloseHandle(to_server_);
  if (from_server_ != nullptr) ::CloseHandle(from_server_);
}

bool ServerProcess::Send(const std::string& message) {
  DWORD written = 0;
  return ::WriteFile(to_server_, message.data(), static_cast<DWORD>(message.size()), &written,
                     nullptr) &&
         written == message.size();
}

std::string ServerProcess::Read(size_t count, DWORD timeout_ms) {
  std::string bytes;
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (bytes.size() < count) {
    DWORD available = static_cast<DWORD>(count - bytes.size());
    if (timeout_ms != INFINITE) {
      // Only what is there, so that a silent server cannot hold the caller past its time.
      if (!::PeekNamedPipe(from_server_, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        if (::GetTickCount64() >= deadline) break;
        ::Sleep(2);
        continue;
      }
    }
    std::string chunk(std::min<size_t>(available, count - bytes.size()), '\0');
    DWORD read = 0;
    if (!::ReadFile(from_server_, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr) ||
        read == 0) {
      break;
    }
    bytes.append(chunk.data(), read);
  }
  return bytes;
}

std::string ServerProcess::Reply(DWORD timeout_ms) {
  std::string header = Read(ecub::kHostHeaderSize, timeout_ms);
  if (header.size() < ecub::kHostHeaderSize) return header;
  const size_t length = ecub::ReplyLength(header);
  return length <= ecub::kHostHeaderSize
             ? header
             : header + Read(length - ecub::kHostHeaderSize, timeout_ms);
}

void ServerProcess::CloseInput() {
  ::CloseHandle(to_server_);
  to_server_ = nullptr;
}

bool ServerProcess::OutputEnded() {
  char next = 0;
  DWORD read = 0;
  return !::ReadFile(from_server_, &next, 1, &read, nullptr) || read == 0;
}

bool ServerProcess::Exited(DWORD timeout_ms, DWORD* code) {
  if (::WaitForSingleObject(process_.hProcess, timeout_ms) != WAIT_OBJECT_0) return false;
  DWORD exit_code = 0;
  ::GetExitCodeProcess(process_.hProcess, &exit_code);
  if (code != nullptr) *code = exit_code;
  return true;
}

HWND ServerProcess::FindTopWindow(const char* caption, DWORD timeout_ms) const {
  const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    HWND window = nullptr;
    while ((window = ::FindWindowExA(nullptr, window, nullptr, caption)) != nullptr) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(window, &owner);
      if (owner == process_.dwProcessId) return window;
    }
    if (::GetTickCount64() >= deadline) return nullptr;
    ::Sleep(5);
  }
}
