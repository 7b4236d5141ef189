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
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/hex.h"
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

// Hex text from the command line, which holds only ASCII digits.
std::string Unhex(const std::wstring& text) {
  return ecub::HexToBytes(std::string(text.begin(), text.end()));
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

bool Started(const ServerProcess& server, const char* session) {
  Check(server.started(), "%s: the server started", session);
  return server.started();
}

// Instruction 1; a host that goes at once closes its end of the server's input right after it.
void Quit(ServerProcess& server, const char* session, bool host_goes = false) {
  server.Send(HostMsg(1));
  if (host_goes) server.CloseInput();
  const std::string reply = server.Reply(kWaitMs);
  const ULONGLONG replied = ::GetTickCount64();
  Check(reply.size() == 8 && Byte(reply, 2) == 1 && Byte(reply, 7) == 0,
        "%s: instruction 1 answered (%s)", session, ecub::HexDigits(reply).c_str());
  const bool ended = server.OutputEnded();
  const ULONGLONG output_ms = ::GetTickCount64() - replied;
  DWORD code = 1;
  Check(ended && server.Exited(10000, &code) && code == 0,
        "%s: the output ended (after %llu ms) and the server with code 0 (after %llu ms)", session,
        output_ms, ::GetTickCount64() - replied);
}

// Session 1: identification, connection on the COM port, one relayed request, quit.
void ComPortSession(const std::wstring& exe, int com, const std::string& ident,
                    const std::string& request, const std::string& answer) {
  ServerProcess server(exe);
  if (!Started(server, "com")) return;

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
        "com: instruction 6 relays %s and returns %s (got %s)", ecub::HexDigits(request).c_str(),
        ecub::HexDigits(answer).c_str(),
        ecub::HexDigits(reply.substr(std::min<size_t>(8, reply.size()))).c_str());

  Quit(server, "com");
}

// Session 2: the USB interfaces listed through KVELD2XX.DLL.
void UsbSession(const std::wstring& exe) {
  ServerProcess server(exe);
  if (!Started(server, "usb")) return;
  server.Ask(HostMsg(2), kWaitMs);  // every close of the port refreshes the interface list
  const std::string reply = server.Ask(HostMsg(5), kWaitMs);
  const std::string list = reply.substr(std::min<size_t>(8, reply.size()));
  // Serial numbers in 8 characters, descriptions in 20, blank-filled or cut.
  Check(Byte(reply, 2) == 5 && list == "FT4KV001KVEL USB Interface AKV02    Gas injection interf",
        "usb: instruction 5 lists both interfaces of the driver (%s)", list.c_str());
  Quit(server, "usb");
}

// Session 3: the status form, closed through its window as a person would. (Its labels and
// buttons are checked in-process, by ecub_win32_tests.)
void FormSession(const std::wstring& exe) {
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", L"1");
  ServerProcess server(exe);
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", nullptr);
  if (!Started(server, "form")) return;
  const HWND form = server.FindTopWindow("Form1", 20000);
  Check(form != nullptr, "form: the window Form1 appeared");
  if (form == nullptr) return;

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
  if (!Started(server, "planted")) return;
  const std::string reply = server.Ask(HostMsg(5), kWaitMs);
  // No interface: one empty entry, blank-filled to its 8 + 20 characters.
  Check(Byte(reply, 2) == 5 &&
            reply.substr(std::min<size_t>(8, reply.size())) == std::string(28, ' '),
        "planted: no USB interface, the driver in the current folder and on PATH is not loaded "
        "(%s)",
        ecub::HexDigits(reply).c_str());
  Quit(server, "planted", true);
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
