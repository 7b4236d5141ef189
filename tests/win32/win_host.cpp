// A Windows host program for the end-to-end test: it starts the Windows server over anonymous
// pipes, exactly as the users' host programs do, and holds sessions with it.
//
//   ecub_win_host WORK_FOLDER COM_NUMBER IDENT REQUEST ANSWER
//
// WORK_FOLDER holds the server (ecubridge.exe), its SetComVarno.ini and, optionally, the D2XX
// stand-in KVELD2XX.DLL. The host copies them into a program folder whose name holds Cyrillic
// and CJK letters (outside any ANSI code page) and runs every session from there. The simulated
// unit sits on COM_NUMBER; IDENT is its identification answer, REQUEST a request it answers
// with the frame ANSWER, all three in hex. When the stand-in is there, the USB interfaces are
// used too, and a server copy in a folder without it must not pick up the one in its current
// folder or on PATH. Prints one line per check and exits with the number of failed checks.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>

#include "codec/host_codec.h"

namespace {

int g_failures = 0;
// How long a reply may take; connecting and relaying, which wait on the unit, get 60 s.
constexpr DWORD kWaitMs = 20000;

// One line per check, at once (the runner's output interleaves with the server's).
void Check(bool ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("%s: ", ok ? "ok" : "FAIL");
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
  g_failures += ok ? 0 : 1;
}

// The server started as a child process over two anonymous pipes, as the users' host programs
// start it: in `folder` (its own folder when empty), with this process's environment and
// standard error; the session named `session` checks that it started. A server still running at
// the end is ended.
class ServerProcess {
 public:
  ServerProcess(const char* session, const std::wstring& exe, std::wstring folder = {}) {
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
    std::tie(startup.hStdInput, startup.hStdOutput, startup.hStdError) =
        std::tuple(child_in, child_out, ::GetStdHandle(STD_ERROR_HANDLE));
    std::wstring command = L"\"" + exe + L"\"";
    if (folder.empty()) folder = exe.substr(0, exe.find_last_of(L"\\/"));
    started_ = ::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                folder.c_str(), &startup, &process_) != 0;
    Check(started_, "%s: the server started", session);
    ::CloseHandle(child_in);
    ::CloseHandle(child_out);
  }
  ~ServerProcess() {
    if (started_ && ExitCode(0) < 0) ::TerminateProcess(process_.hProcess, 99);
    for (HANDLE h : {process_.hProcess, process_.hThread, to_server_, from_server_}) {
      if (h != nullptr) ::CloseHandle(h);
    }
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool started() const { return started_; }
  // The whole message in one write.
  bool Send(const std::string& message) {
    DWORD written = 0;
    return ::WriteFile(to_server_, message.data(), static_cast<DWORD>(message.size()), &written,
                       nullptr) &&
           written == message.size();
  }
  // Exactly `count` bytes, or fewer when the output ended or `timeout_ms` passed. Only what is
  // there is read, so that a silent server cannot hold the host past its time.
  std::string Read(size_t count, DWORD timeout_ms) {
    std::string bytes;
    const ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
    while (bytes.size() < count) {
      DWORD available = 0, read = 0;
      if (!::PeekNamedPipe(from_server_, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        if (::GetTickCount64() >= deadline) break;
        ::Sleep(2);
        continue;
      }
      std::string chunk(std::min<size_t>(available, count - bytes.size()), '\0');
      if (!::ReadFile(from_server_, chunk.data(), static_cast<DWORD>(chunk.size()), &read,
                      nullptr)) {
        break;
      }
      bytes.append(chunk.data(), read);
    }
    return bytes;
  }
  // One whole reply: the header, then the data its length field announces.
  std::string Reply(DWORD timeout_ms) {
    const std::string header = Read(ecub::kHostHeaderSize, timeout_ms);
    const size_t length = header.size() < ecub::kHostHeaderSize ? 0 : ecub::ReplyLength(header);
    return length <= header.size() ? header : header + Read(length - header.size(), timeout_ms);
  }
  std::string Ask(const std::string& message, DWORD timeout_ms) {
    return Send(message) ? Reply(timeout_ms) : std::string();
  }
  // The host closes its end of the server's input, as a host that goes away does.
  void CloseInput() {
    ::CloseHandle(to_server_);
    to_server_ = nullptr;
  }
  // True once the server's output has ended with no further byte.
  bool OutputEnded() {
    char next = 0;
    DWORD read = 0;
    return !::ReadFile(from_server_, &next, 1, &read, nullptr) || read == 0;
  }
  // The process's exit code once it has ended (within `timeout_ms`), else -1.
  int64_t ExitCode(DWORD timeout_ms) {
    DWORD code = 0;
    const bool ended = ::WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0;
    return ended && ::GetExitCodeProcess(process_.hProcess, &code) ? int64_t{code} : -1;
  }
  // The top-level window of the server captioned `caption`, once it is there (null when it does
  // not come within `timeout_ms`).
  HWND FindTopWindow(const char* caption, DWORD timeout_ms) const {
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

 private:
  HANDLE to_server_ = nullptr, from_server_ = nullptr;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
};

std::string Hex(const std::string& bytes) {
  std::string text;
  char two[3];
  for (unsigned char c : bytes) text.append(two, std::snprintf(two, sizeof two, "%02X", c));
  return text;
}

std::string Unhex(const std::wstring& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

// The data after a reply's header (none when the reply is shorter).
std::string Data(const std::string& r) {
  return r.substr(std::min<size_t>(8, r.size()));
}

std::string HostMsg(int code, const std::string& argument = {}) {
  return ecub::EncodeHostMessage(static_cast<uint8_t>(code), argument);
}

bool FileExists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int Byte(const std::string& bytes, size_t offset) {
  return offset < bytes.size() ? static_cast<unsigned char>(bytes[offset]) : -1;
}

// Instruction 1; a host that goes at once closes its end of the server's input right after it.
void Quit(ServerProcess& server, const char* session, bool host_goes = false) {
  server.Send(HostMsg(1));
  if (host_goes) server.CloseInput();
  const std::string reply = server.Reply(kWaitMs);
  const ULONGLONG replied = ::GetTickCount64();
  Check(reply.size() == 8 && Byte(reply, 2) == 1 && Byte(reply, 7) == 0,
        "%s: instruction 1 answered (%s)", session, Hex(reply).c_str());
  const bool ended = server.OutputEnded();
  const ULONGLONG output_ms = ::GetTickCount64() - replied;
  Check(ended && server.ExitCode(10000) == 0,
        "%s: the output ended (after %llu ms) and the server with code 0 (after %llu ms)", session,
        output_ms, ::GetTickCount64() - replied);
}

// Session 1: identification, connection on the COM port, one relayed request, quit.
void ComPortSession(const std::wstring& exe, int com, const std::string& ident,
                    const std::string& request, const std::string& answer) {
  ServerProcess server("com", exe);
  if (!server.started()) return;

  std::string reply = server.Ask(HostMsg(10, ident), kWaitMs);
  Check(Byte(reply, 2) == 10 && Byte(reply, 7) == 0 && reply.substr(8) == ident,
        "com: instruction 10 takes the expected identification");

  reply = server.Ask(HostMsg(3, std::string(1, static_cast<char>(com))), 60000);
  Check(Byte(reply, 2) == 3 && Byte(reply, 3) == 1 && Byte(reply, 6) == com &&
            Byte(reply, 7) == 0 && Byte(reply, 8) == com && reply.substr(10) == ident,
        "com: instruction 3 finds the unit on COM%d (LinkStatus %d, PortaCom %d)", com,
        Byte(reply, 3), Byte(reply, 6));

  reply = server.Ask(HostMsg(6, request), 60000);
  Check(Byte(reply, 2) == 6 && Byte(reply, 3) == 1 && Byte(reply, 7) == 0 &&
            reply.substr(8) == answer,
        "com: instruction 6 relays %s and returns %s (got %s)", Hex(request).c_str(),
        Hex(answer).c_str(), Hex(Data(reply)).c_str());

  Quit(server, "com");
}

// Session 2: the USB interfaces listed through KVELD2XX.DLL.
void UsbSession(const std::wstring& exe) {
  ServerProcess server("usb", exe);
  if (!server.started()) return;
  server.Ask(HostMsg(2), kWaitMs);  // every close of the port refreshes the interface list
  const std::string reply = server.Ask(HostMsg(5), kWaitMs), list = Data(reply);
  // Serial numbers in 8 characters, descriptions in 20, blank-filled or cut.
  Check(Byte(reply, 2) == 5 && list == "FT4KV001KVEL USB Interface AKV02    Gas injection interf",
        "usb: instruction 5 lists both interfaces of the driver (%s)", list.c_str());
  Quit(server, "usb");
}

// Session 3: the status form, closed through its window as a person would. (Its labels and
// buttons are checked in-process, by ecub_win32_tests.)
void FormSession(const std::wstring& exe) {
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", L"1");
  ServerProcess server("form", exe);
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", nullptr);
  if (!server.started()) return;
  const HWND form = server.FindTopWindow("Form1", 20000);
  Check(form != nullptr, "form: the window Form1 appeared");
  if (form == nullptr) return;

  const ULONGLONG start = ::GetTickCount64();
  ::PostMessageA(form, WM_CLOSE, 0, 0);
  Check(server.ExitCode(10000) == 0, "form: closing the window ends the server (after %llu ms)",
        ::GetTickCount64() - start);
  Check(server.Read(1, 200).empty() && server.OutputEnded(), "form: closing sends no reply");
}

// Session 4: a server whose folder has no KVELD2XX.DLL, started in a folder that has one and
// with that folder on PATH. The driver is taken only from the server's own folder, so there
// are no USB interfaces.
void PlantedDriverSession(const std::wstring& exe, const std::wstring& planted_folder) {
  wchar_t old_path[32768] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"PATH", old_path, 32768);
  ::SetEnvironmentVariableW(L"PATH", (planted_folder + L";" + old_path).c_str());
  ServerProcess server("planted", exe, planted_folder);
  ::SetEnvironmentVariableW(L"PATH", length > 0 ? old_path : nullptr);
  if (!server.started()) return;
  const std::string reply = server.Ask(HostMsg(5), kWaitMs);
  // No interface: one empty entry, blank-filled to its 8 + 20 characters.
  Check(Byte(reply, 2) == 5 && Data(reply) == std::string(28, ' '),
        "planted: no USB interface; the driver beside the server's start or on PATH is not loaded "
        "(%s)",
        Hex(reply).c_str());
  Quit(server, "planted", true);
}

// Copies the server's files (the driver too, when asked) from `from` into `to`, made if needed;
// false when one is missing.
bool Stage(const std::wstring& from, const std::wstring& to, bool with_driver) {
  ::CreateDirectoryW(to.c_str(), nullptr);
  for (const std::wstring name : {L"ecubridge.exe", L"SetComVarno.ini", L"KVELD2XX.DLL"}) {
    if ((with_driver || name != L"KVELD2XX.DLL") &&
        !::CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 6) {
    std::fprintf(stderr, "usage: ecub_win_host WORK_FOLDER COM_NUMBER IDENT REQUEST ANSWER\n");
    return 2;
  }
  const std::wstring work = argv[1];
  const int com = _wtoi(argv[2]);
  // "app-Проба-測試": Cyrillic and CJK letters, which no ANSI code page holds both of.
  const std::wstring folder = work + L"\\app-\u041F\u0440\u043E\u0431\u0430-\u6E2C\u8A66";
  const bool usb = FileExists(work + L"\\KVELD2XX.DLL");
  Check(Stage(work, folder, usb), "the server is staged in a folder with a non-ASCII name");
  const std::wstring exe = folder + L"\\ecubridge.exe";
  ComPortSession(exe, com, Unhex(argv[3]), Unhex(argv[4]), Unhex(argv[5]));
  // (Its lines are the Linux suites' concern.)
  Check(FileExists(folder + L"\\RxTx.TXT"), "com: the traffic log is in the program folder");

  if (usb) {
    UsbSession(exe);
    const std::wstring bare = work + L"\\without-driver";
    Check(Stage(work, bare, false), "planted: a server folder without the driver");
    PlantedDriverSession(bare + L"\\ecubridge.exe", folder);
  }
  FormSession(exe);

  std::printf("%d failed\n", g_failures);
  ::LocalFree(argv);
  return g_failures;
}
