// A Windows host program for the end-to-end test: it starts the Windows server over anonymous
// pipes, exactly as the users' host programs do, and holds sessions with it.
//
//   ecub_win_host WORK_FOLDER EXPECT_FILE COM_NUMBER
//
// WORK_FOLDER holds the server (ecubridge.exe), its SetComVarno.ini and, optionally, the D2XX
// stand-in KVELD2XX.DLL. The host copies them into a program folder whose name holds Cyrillic
// and CJK letters (outside any ANSI code page) and runs every session from there. EXPECT_FILE
// holds the simulated unit's identification answer, one request and its answer frame, as hex
// text ("ident=...", "request=...", "answer=..."). The unit sits on COM_NUMBER. When the stand-in
// is there, the USB interfaces are used too, and a server copy in a folder without it must not
// pick up the one in its current folder or on PATH. Prints one line per check and exits with the
// number of failed checks.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>

#include "app/status_window.h"
#include "codec/host_codec.h"
#include "server_process.h"

namespace {

int g_failures = 0;
// How long a reply may take; connecting and relaying, which wait on the unit, get 60 s.
constexpr DWORD kWaitMs = 20000;

void Check(bool ok, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::printf("%s: ", ok ? "ok" : "FAIL");
  std::vprintf(format, args);
  std::printf("\n");
  std::fflush(stdout);
  va_end(args);
  if (!ok) ++g_failures;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 15];
  }
  return text;
}

std::string Unhex(const std::string& text) {
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

std::string HostMsg(int code, const std::string& argument = {}) {
  return ecub::EncodeHostMessage(static_cast<uint8_t>(code), argument);
}

std::string ReadFileText(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::string();
  std::string text;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
    text.append(buffer, got);
  ::CloseHandle(file);
  return text;
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
  DWORD code = 1;
  Check(ended && server.Exited(10000, &code) && code == 0,
        "%s: the output ended (after %llu ms) and the server with code 0 (after %llu ms)", session,
        output_ms, ::GetTickCount64() - replied);
}

// Session 1: echo, identification, connection on the COM port, one relayed request, quit.
void ComPortSession(const std::wstring& exe, const std::map<std::string, std::string>& expect,
                    int com) {
  ServerProcess server(exe);
  Check(server.started(), "com: the server started");
  if (!server.started()) return;

  std::string reply = server.Ask(HostMsg(0, "AB"), kWaitMs);
  Check(reply == std::string("\x00\x0A\x00\x00\x00\x00\x00\x00\x41\x42", 10),
        "com: instruction 0 echoes (%s)", Hex(reply).c_str());

  const std::string ident = Unhex(expect.at("ident"));
  reply = server.Ask(HostMsg(10, ident), kWaitMs);
  Check(Byte(reply, 2) == 10 && Byte(reply, 7) == 0 && reply.substr(8) == ident,
        "com: instruction 10 takes the expected identification");

  reply = server.Ask(HostMsg(3, std::string(1, static_cast<char>(com))), 60000);
  Check(Byte(reply, 2) == 3 && Byte(reply, 3) == 1 && Byte(reply, 6) == com &&
            Byte(reply, 7) == 0 && Byte(reply, 8) == com && reply.substr(10) == ident,
        "com: instruction 3 finds the unit on COM%d (LinkStatus %d, PortaCom %d)", com,
        Byte(reply, 3), Byte(reply, 6));

  const std::string request = Unhex(expect.at("request"));
  const std::string answer = Unhex(expect.at("answer"));
  reply = server.Ask(HostMsg(6, request), 60000);
  Check(Byte(reply, 2) == 6 && Byte(reply, 3) == 1 && Byte(reply, 7) == 0 &&
            reply.substr(8) == answer,
        "com: instruction 6 relays %s and returns %s (got %s)", Hex(request).c_str(),
        Hex(answer).c_str(), Hex(reply.substr(std::min<size_t>(8, reply.size()))).c_str());

  Quit(server, "com");
}

// Session 2: the USB interfaces listed through KVELD2XX.DLL, then the end of a watched host.
void UsbSession(const std::wstring& exe) {
  ServerProcess server(exe);
  Check(server.started(), "usb: the server started");
  if (!server.started()) return;
  server.Ask(HostMsg(2), kWaitMs);  // every close of the port refreshes the interface list
  std::string reply = server.Ask(HostMsg(5), kWaitMs);
  const std::string list = reply.substr(std::min<size_t>(8, reply.size()));
  // Serial numbers in 8 characters, descriptions in 20, blank-filled or cut.
  Check(Byte(reply, 2) == 5 && list == "FT4KV001KVEL USB Interface AKV02    Gas injection interf",
        "usb: instruction 5 lists both interfaces of the driver (%s)", list.c_str());

  // Watching a process that does not run ends the server at the first check.
  reply = server.Ask(HostMsg(14, "no-such-host.exe"), kWaitMs);
  Check(Byte(reply, 2) == 14 && reply.substr(8) == "no-such-host.exe",
        "usb: instruction 14 names the watched process");
  DWORD code = 1;
  Check(server.Exited(20000, &code) && code == 0,
        "usb: the server ended by itself once the watched process was found missing");
}

std::string WindowText(HWND window) {
  char text[256] = {};
  ::SendMessageA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
  return text;
}

// Session 3: the status form, driven through its window as a person would.
void FormSession(const std::wstring& exe) {
  using ecub::StatusWindow;
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", L"1");
  ServerProcess server(exe);
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", nullptr);
  Check(server.started(), "form: the server started with the status form");
  if (!server.started()) return;
  const HWND form = server.FindTopWindow("Form1", 20000);
  Check(form != nullptr, "form: the window Form1 appeared");
  if (form == nullptr) return;

  std::string reply = server.Ask(HostMsg(4, "\x01"), kWaitMs);
  Check(Byte(reply, 5) == 1, "form: instruction 4 sets PollMode 1");
  // Timer1 refreshes the labels twice a second.
  const HWND mod = ::GetDlgItem(form, StatusWindow::kLabel3);
  const ULONGLONG deadline = ::GetTickCount64() + 5000;
  while (WindowText(mod) != "Mod: 1" && ::GetTickCount64() < deadline) ::Sleep(50);
  Check(WindowText(mod) == "Mod: 1", "form: the label shows %s", WindowText(mod).c_str());

  // The boxes as leaving the argument box leaves them (padded to whole bytes).
  ::SendMessageA(::GetDlgItem(form, StatusWindow::kCode), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>("0"));
  ::SendMessageA(::GetDlgItem(form, StatusWindow::kArgument), WM_SETTEXT, 0,
                 reinterpret_cast<LPARAM>("4140"));
  ::SendMessageA(form, WM_COMMAND, MAKEWPARAM(StatusWindow::kInvia, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(form, StatusWindow::kInvia)));
  reply = server.Reply(kWaitMs);
  Check(reply == std::string("\x00\x0A\x00\x00\x00\x01\x00\x00\x41\x40", 10),
        "form: Invia injects the message and the host gets its reply (%s)", Hex(reply).c_str());

  const ULONGLONG start = ::GetTickCount64();
  ::PostMessageA(form, WM_CLOSE, 0, 0);
  DWORD exit_code = 1;
  Check(server.Exited(10000, &exit_code) && exit_code == 0,
        "form: closing the window ends the server (after %llu ms)", ::GetTickCount64() - start);
  Check(server.Read(1, 200).empty() && server.OutputEnded(), "form: closing sends no reply");
}

// Session 4: a server whose folder has no KVELD2XX.DLL, started in a folder that has one and
// with that folder on PATH. The driver is taken only from the server's own folder, so there
// are no USB interfaces.
void PlantedDriverSession(const std::wstring& exe, const std::wstring& planted_folder) {
  wchar_t old_path[32768] = {};
  const DWORD length = ::GetEnvironmentVariableW(L"PATH", old_path, 32768);
  ::SetEnvironmentVariableW(L"PATH", (planted_folder + L";" + old_path).c_str());
  ServerProcess server(exe, planted_folder);
  ::SetEnvironmentVariableW(L"PATH", length > 0 ? old_path : nullptr);
  Check(server.started(), "planted: the server started");
  if (!server.started()) return;
  const std::string reply = server.Ask(HostMsg(5), kWaitMs);
  // No interface: one empty entry, blank-filled to its 8 + 20 characters.
  Check(Byte(reply, 2) == 5 &&
            reply.substr(std::min<size_t>(8, reply.size())) == std::string(28, ' '),
        "planted: no USB interface, the driver in the current folder and on PATH is not loaded "
        "(%s)",
        Hex(reply).c_str());
  Quit(server, "planted", true);
}

// Session 5: the host closes its end of the pipe without instruction 1. Without the status form
// the server ends by itself; with it, it stays for the form, idle: the Linux side of the test
// counts its wake-ups and processor time meanwhile (Wine reports no times of other processes)
// and leaves its verdict in a file. Closing the form then ends it.
void GoneHostSession(const std::wstring& exe, const std::wstring& work) {
  {
    ServerProcess server(exe);
    Check(server.started(), "gone host: the server started");
    if (!server.started()) return;
    Check(server.Ask(HostMsg(0, "x"), kWaitMs).substr(8) == "x", "gone host: the server answers");
    server.CloseInput();
    const ULONGLONG start = ::GetTickCount64();
    DWORD code = 1;
    Check(server.Exited(10000, &code) && code == 0,
          "gone host: the server ended by itself with code 0 (after %llu ms)",
          ::GetTickCount64() - start);
    Check(server.OutputEnded(), "gone host: no reply");
  }
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", L"1");
  ServerProcess server(exe);
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", nullptr);
  const HWND form = server.FindTopWindow("Form1", 20000);
  Check(form != nullptr, "gone host, form shown: the server started with its form");
  if (form == nullptr) return;
  Check(server.Ask(HostMsg(0, "x"), kWaitMs).substr(8) == "x",
        "gone host, form shown: the server answers");
  server.CloseInput();
  const std::wstring begin = work + L"\\idle-begin", done = work + L"\\idle-done";
  const HANDLE marker =
      ::CreateFileW(begin.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  const ULONGLONG deadline = ::GetTickCount64() + 30000;
  while (!FileExists(done) && ::GetTickCount64() < deadline) ::Sleep(50);
  ::Sleep(50);  // the verdict is written before the file is renamed into place
  const std::string verdict = ReadFileText(done);
  Check(verdict.rfind("ok", 0) == 0, "gone host, form shown: the server stays, idle (%s)",
        verdict.substr(0, verdict.find('\n')).c_str());
  Check(!server.Exited(0), "gone host, form shown: the server is still running");
  const ULONGLONG start = ::GetTickCount64();
  ::PostMessageA(form, WM_CLOSE, 0, 0);
  Check(server.Exited(10000), "gone host, form shown: closing the form ends it (after %llu ms)",
        ::GetTickCount64() - start);
}

// Copies the server's files from `from` into `to`, made if needed; false when one is missing.
bool Stage(const std::wstring& from, const std::wstring& to, bool with_driver) {
  ::CreateDirectoryW(to.c_str(), nullptr);
  for (const wchar_t* name : {L"ecubridge.exe", L"SetComVarno.ini", L"KVELD2XX.DLL"}) {
    const bool driver = std::wstring(name) == L"KVELD2XX.DLL";
    if (driver && (!with_driver || !FileExists(from + L"\\" + name))) continue;
    if (!::CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 4) {
    std::fprintf(stderr, "usage: ecub_win_host WORK_FOLDER EXPECT_FILE COM_NUMBER\n");
    return 2;
  }
  const std::wstring work = argv[1];
  const int com = _wtoi(argv[3]);
  std::map<std::string, std::string> expect;
  std::istringstream lines(ReadFileText(argv[2]));
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos) expect[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (!expect.count("ident") || !expect.count("request") || !expect.count("answer")) {
    std::fprintf(stderr, "ecub_win_host: the expectations lack ident, request or answer\n");
    return 2;
  }
  // "app-Проба-測試": Cyrillic and CJK letters, which no ANSI code page holds both of.
  const std::wstring folder = work + L"\\app-\u041F\u0440\u043E\u0431\u0430-\u6E2C\u8A66";
  const bool usb = FileExists(work + L"\\KVELD2XX.DLL");
  Check(Stage(work, folder, usb), "the server is staged in a folder with a non-ASCII name");
  const std::wstring exe = folder + L"\\ecubridge.exe";
  const std::wstring log = folder + L"\\RxTx.TXT";

  ComPortSession(exe, expect, com);
  const std::string first_log = ReadFileText(log);
  Check(first_log.rfind("0 TimerApi_uSec ", 0) == 0 && first_log.find(" Now ") != std::string::npos,
        "com: the traffic log starts with the clock and the date (%s)",
        first_log.substr(0, first_log.find('\r')).c_str());
  Check(first_log.find(" T " + expect.at("request") + "\r\n") != std::string::npos &&
            first_log.find(" R " + expect.at("answer") + "\r\n") != std::string::npos,
        "com: the traffic log holds the request and the answer");
  Check(ReadFileText(folder + L"\\PortCom.ini") == std::to_string(com) + "\r\n",
        "com: PortCom.ini records COM%d", com);
  Check(ReadFileText(folder + L"\\Handle.ini") == "\r\n", "com: Handle.ini is cleared at close");

  if (usb) {
    UsbSession(exe);
    Check(ReadFileText(folder + L"\\Last_RxTx.TXT") == first_log,
          "usb: the previous run's log was kept as Last_RxTx.TXT");
    const std::wstring bare = work + L"\\without-driver";
    Check(Stage(work, bare, false), "planted: a server folder without the driver");
    PlantedDriverSession(bare + L"\\ecubridge.exe", folder);
  }
  FormSession(exe);
  GoneHostSession(exe, work);

  std::printf("%d failed\n", g_failures);
  ::LocalFree(argv);
  return g_failures;
}
