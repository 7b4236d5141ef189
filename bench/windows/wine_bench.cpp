// The Windows server measured under Wine, as a Windows host program drives it: echo round
// trips over anonymous pipes beside those of a trivial echo child (the floor the pipes allow),
// the idle server, the server sending at 500 us per byte, how soon it ends after the quit reply
// and after its status form is closed, and the precision of the microsecond waits on the Windows
// platform.
//
//   ecub_bench_wine WORK_FOLDER [--round-trips N]
//
// WORK_FOLDER holds ecubridge.exe, ecub_pipe_echo.exe (the floor), KVELD2XX.DLL (the D2XX
// stand-in) and SetComVarno.ini. Wine
// reports no processor times of other processes, so the server's wake-ups and CPU are counted
// by the Linux side (bench/run): at "idle-begin" and "send-begin" this program leaves a marker
// file in WORK_FOLDER and waits for the Linux side's line in "idle-done" / "send-done", which
// it prints with its own results. Output lines: "NAME VALUE UNIT".
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/host_codec.h"
#include "platform/win32/win32_convert.h"
#include "platform/win32/win32_platform.h"
#include "server/clock.h"
#include "server/server.h"
#include "server_process.h"

namespace {

double NowUsec() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

std::string HostMsg(int code, const std::string& argument = {}) {
  return ecub::EncodeHostMessage(static_cast<uint8_t>(code), argument);
}

bool Exists(const std::string& path) {
  return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Touch(const std::string& path) {
  const HANDLE file =
      ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
}

// The Linux side's line, once it is there (at most 60 s).
std::string AwaitLine(const std::string& path) {
  for (int i = 0; i < 1200 && !Exists(path); ++i) ::Sleep(50);
  ::Sleep(20);
  char line[256] = {};
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return "(no result)";
  if (std::fgets(line, sizeof line, file) == nullptr) line[0] = '\0';
  std::fclose(file);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

double ThreadCpuUsec() {
  FILETIME created, exited, kernel, user;
  if (!::GetThreadTimes(::GetCurrentThread(), &created, &exited, &kernel, &user)) return -1;
  const auto value = [](const FILETIME& t) {
    return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 10.0;
  };
  return value(kernel) + value(user);
}

// Echo round trips of 32 bytes with `children`, one round trip with each in turn, from the write
// of the message to the last byte of the reply; false when one does not echo.
bool EchoRoundTrips(std::vector<ServerProcess*> children, int count,
                    std::vector<std::vector<double>>& latencies) {
  latencies.assign(children.size(), {});
  for (int i = -50; i < count; ++i) {
    std::string payload(32, '\0');
    for (size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(i * 7 + k);
    for (size_t c = 0; c < children.size(); ++c) {
      const double start = NowUsec();
      const std::string reply = children[c]->Ask(HostMsg(0, payload));
      const double end = NowUsec();
      if (reply.size() != 40 || reply.compare(8, 32, payload) != 0) {
        std::fprintf(stderr, "echo %d of child %zu: no echo\n", i, c);
        return false;
      }
      if (i >= 0) latencies[c].push_back(end - start);
    }
  }
  return true;
}

// How soon the server ends after the reply to instruction 1: its output ends (`output_ms`) and
// the process is gone (`exit_ms`). The host keeps its end of the server's input open, as one
// that goes on with other work does, or closes it right after the instruction.
bool TimeQuit(const std::wstring& exe, bool close_input, double& output_ms, double& exit_ms) {
  ServerProcess server(exe);
  if (!server.started() || server.Ask(HostMsg(0, "x"), 20000).size() != 9) return false;
  if (!server.Send(HostMsg(1))) return false;
  if (close_input) server.CloseInput();
  const std::string reply = server.Reply(20000);
  const double replied = NowUsec();
  if (reply.size() != 8 || !server.OutputEnded()) return false;
  output_ms = (NowUsec() - replied) / 1000;
  if (!server.Exited(20000)) return false;
  exit_ms = (NowUsec() - replied) / 1000;
  return true;
}

// How soon the server ends after its status form is asked to close (WM_CLOSE, as the close box
// sends it) while the server waits for the host.
bool TimeFormClose(const std::wstring& exe, int attempt, double& exit_ms) {
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", L"1");
  ServerProcess server(exe);
  ::SetEnvironmentVariableW(L"ECUBRIDGE_STATUS_FORM", nullptr);
  const HWND form = server.started() ? server.FindTopWindow("Form1", 20000) : nullptr;
  if (form == nullptr || server.Ask(HostMsg(0, "x"), 20000).size() != 9) return false;
  // At a different point of the form's 500 ms timer each time.
  ::Sleep(static_cast<DWORD>(37 + 97 * attempt % 450));
  const double start = NowUsec();
  if (!::PostMessageA(form, WM_CLOSE, 0, 0) || !server.Exited(20000)) return false;
  exit_ms = (NowUsec() - start) / 1000;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: ecub_bench_wine WORK_FOLDER [--round-trips N]\n");
    return 2;
  }
  const std::string work = argv[1];
  int round_trips = 600;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--round-trips") == 0)
      round_trips = std::max(10, std::atoi(argv[i + 1]));
  }
  std::printf("build %d-bit\n", static_cast<int>(sizeof(void*) * 8));

  const std::wstring exe = ecub::WidePath(work + "\\ecubridge.exe");
  ServerProcess server(exe);
  ServerProcess floor(ecub::WidePath(work + "\\ecub_pipe_echo.exe"));
  if (!server.started() || !floor.started()) {
    std::fprintf(stderr, "cannot start the server or the echo child\n");
    return 1;
  }
  std::vector<std::vector<double>> latencies;
  if (!EchoRoundTrips({&server, &floor}, round_trips, latencies)) return 1;
  floor.CloseInput();
  std::printf("echo_p50 %.1f us\n", Percentile(latencies[0], 0.5));
  std::printf("echo_p99 %.1f us\n", Percentile(latencies[0], 0.99));
  std::printf("floor_p50 %.1f us\n", Percentile(latencies[1], 0.5));
  std::printf("floor_p99 %.1f us\n", Percentile(latencies[1], 0.99));
  std::fflush(stdout);

  // The idle server, measured from Linux.
  Touch(work + "\\idle-begin");
  std::printf("idle %s\n", AwaitLine(work + "\\idle-done").c_str());
  std::fflush(stdout);

  // Sending: the unit on USB interface 1 of the stand-in answers a whole 59-byte request of
  // command 0x21 at once, so the transactions are almost all sending at 500 us per byte.
  server.Ask(HostMsg(10, std::string(12, '\0') + "FW 9.99 NONE X"));
  const std::string connected = server.Ask(HostMsg(3, std::string(1, '\0')));
  if (connected.size() < 4 || connected[3] != 1) {
    std::fprintf(stderr, "no unit on the USB stand-in\n");
    return 1;
  }
  server.Ask(HostMsg(9, std::string("\xF4\x01", 2)));  // 500 us per byte
  std::string frame("\x42\x01\x39\x21", 4);
  frame += std::string(54, '\x11');
  unsigned char sum = 0;
  for (unsigned char c : frame) sum ^= c;
  frame += static_cast<char>(sum);
  Touch(work + "\\send-begin");
  int transactions = 0;
  int answered = 0;
  const double send_start = NowUsec();
  while (!Exists(work + "\\send-done") && NowUsec() - send_start < 60e6) {
    const std::string reply = server.Ask(HostMsg(6, frame));
    ++transactions;
    if (reply.size() == 14 && reply[7] == 0) ++answered;
  }
  const double per_transaction = (NowUsec() - send_start) / std::max(1, transactions);
  std::printf("send %s\n", AwaitLine(work + "\\send-done").c_str());
  std::printf("send_transaction %.0f us (%d of %d answered)\n", per_transaction, answered,
              transactions);
  server.Ask(HostMsg(1));
  server.Exited(5000);

  // Ending: five times each, the worst counts.
  std::vector<double> open_output, open_exit, closed_output, closed_exit, form_exit;
  for (int i = 0; i < 5; ++i) {
    double output = 0, exit = 0, form = 0;
    bool ok = TimeQuit(exe, false, output, exit);
    open_output.push_back(output);
    open_exit.push_back(exit);
    ok = ok && TimeQuit(exe, true, output, exit);
    closed_output.push_back(output);
    closed_exit.push_back(exit);
    ok = ok && TimeFormClose(exe, i, form);
    form_exit.push_back(form);
    if (!ok) {
      std::fprintf(stderr, "the server did not end as asked\n");
      return 1;
    }
  }
  std::printf("quit_output_open_max %.1f ms\n", Percentile(open_output, 1));
  std::printf("quit_exit_open_max %.1f ms\n", Percentile(open_exit, 1));
  std::printf("quit_output_closed_max %.1f ms\n", Percentile(closed_output, 1));
  std::printf("quit_exit_closed_max %.1f ms\n", Percentile(closed_exit, 1));
  std::printf("form_close_exit_max %.1f ms\n", Percentile(form_exit, 1));
  std::fflush(stdout);

  // The per-byte wait, in this process, on the Windows platform.
  ecub::Win32Platform platform(nullptr, nullptr);
  ecub::Server context(platform, work);
  for (int i = 0; i < 50; ++i) ecub::WaitMicroseconds(context, 500);  // learn the timer
  std::vector<double> overshoots;
  const double cpu_start = ThreadCpuUsec();
  const double wall_start = NowUsec();
  for (int i = 0; i < 2000; ++i) {
    const double start = NowUsec();
    ecub::WaitMicroseconds(context, 500);
    overshoots.push_back(NowUsec() - start - 500);
  }
  const double cpu = ThreadCpuUsec() - cpu_start;
  const double wall = NowUsec() - wall_start;
  std::printf("wait500_overshoot_p50 %.1f us\n", Percentile(overshoots, 0.5));
  std::printf("wait500_overshoot_p90 %.1f us\n", Percentile(overshoots, 0.9));
  std::printf("wait500_cpu %.1f %%\n", cpu_start >= 0 ? cpu / wall * 100 : -1.0);
  std::printf("precise_timer %s (lateness %.0f us)\n", platform.HasPreciseSleep() ? "yes" : "no",
              platform.TimerLateness_usec());
  return 0;
}
