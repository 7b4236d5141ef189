// One host conversation, run once for every platform call it makes with that one call failing.
//
// The conversation connects over a serial port and over a USB interface, relays requests,
// polls timed and cyclic, hands out histories, writes the interface's EEPROM, scans the ports,
// closes and quits. Whatever call fails, every host message must get its one reply in time, no
// file may be left cut short, and afterwards the server must still find the unit on both kinds
// of port, poll it, and close everything when it quits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server_fixture.h"

namespace ecub::test {
namespace {

constexpr uint8_t kRelayCommand = 0x0D;
const std::string kLog = "/app/RxTx.TXT", kLastLog = "/app/Last_RxTx.TXT";
const std::string kHandleIni = "/app/Handle.ini", kPortComIni = "/app/PortCom.ini";
const std::string kSettingsIni = "/app/SetComVarno.ini";
// The logs two earlier runs left behind.
const std::string kPreviousLog =
    "0 TimerApi_uSec 5 Now 04/03/2025 08:00:00\r\n17 T 41020D0C0040\r\n";
const std::string kOlderLog = "0 TimerApi_uSec 9 Now 03/03/2025 08:00:00\r\n";
// How long one message may keep the server busy (virtual time) before it counts as a hang.
constexpr double kMessageLimit_usec = 120e6;
const std::string kSettings =
    "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n300000\r\n[NumResend]\r\n2\r\n"
    "[AutoSpegnimento_usec]\r\n200000\r\n" +
    MsgSection(LiveRequest(0), true, 100, 20, true) +
    MsgSection(LiveRequest(1), true, 250, 20, false) +
    MsgSection(LiveRequest(2), false, 0, 20, true);

// A whole server with its units, taken through the conversation once.
class Conversation {
 public:
  Conversation(int64_t fail_point, bool clock) : s(p, "/app") {
    p.fail_point = fail_point;
    p.call_fault_points = !clock;
    p.clock_fault_points = clock;
    p.read_step_ns = 10000;  // short spins: the conversation runs a few thousand times
    p.record_fault_points = fail_point == 0;
    p.files = {{kSettingsIni, kSettings},
               {kLog, kPreviousLog},
               {kLastLog, kOlderLog},
               {kHandleIni, "4242\r\n"}};  // a handle left by an earlier run, not one of ours
    p.processes = {"init", "host.exe"};
    p.com_ports[5] = &com_unit;
    other_unit.config.ident_pieces = {"FW", "9.99", "OTHER", "X"};
    p.usb_devices = {Device("A1", "Other cable", &other_unit),
                     Device("B2", "Bench cable", &usb_unit)};
    // One lost answer on each link, so the retry path runs too.
    com_unit.Inject(EcuSim::Fault::kSilence, 1, kRelayCommand);
    usb_unit.Inject(EcuSim::Fault::kBadChecksum, 1, kRelayCommand);
  }

  // Start-up, the conversation, the check that the server still serves, shutdown.
  void Run() {
    ServerStartup(s);
    CheckFiles("start-up");
    const std::string relay = EcuSim::RequestFrame(kRelayCommand), live0 = LiveRequest(0);
    const std::string ident = com_unit.ExpectedIdentity(), live2 = LiveRequest(2);
    const std::string com5(1, '\x05'), usb(1, '\0'), on(1, '\x01'), timed(1, '\x02'), none;
    const std::string watch = "host.exe", name = "Bench cable 2024 #7 ";
    // Each message's code and argument, and how long the loop idles after it (timed polling
    // runs then). A relay of live values most likely meets a polling transaction; the scan finds
    // the USB interface still open.
    const struct {
      int code;
      std::string argument;
      double idle_usec;
    } conversation[] = {{14, watch, 0}, {10, ident, 0}, {3, com5, 300e3}, {4, timed, 0},
                        {6, relay, 0},  {4, on, 30e3},  {6, live2, 0},    {7, live0, 0},
                        {7, live2, 0},  {2, none, 0},   {5, none, 0},     {3, usb, 0},
                        {4, timed, 0},  {6, relay, 0},  {4, on, 40e3},    {7, live0, 0},
                        {12, name, 0},  {13, usb, 0},   {6, relay, 0},    {2, none, 0}};
    int step = 0;
    for (const auto& [code, argument, idle_usec] : conversation) {
      Ask(HostMsg(code, argument), "step " + std::to_string(++step));
      Idle(idle_usec);
    }
    conversation_points = p.fault_points;
    if (p.failed_call.empty()) p.fail_point = 0;  // the point lies beyond the conversation
    // Afterwards the server answers, finds the unit on either port, polls it, closes the port.
    const std::string echo = Ask(HostMsg(0, "still there?"), "echo");
    if (echo.size() < 8 || echo.substr(8) != "still there?") Problem("echo lost");
    Ask(HostMsg(10, com_unit.ExpectedIdentity()), "identity");
    if (Byte(Ask(HostMsg(3, com5), "connect COM5"), 3) != 1) Problem("COM5 not found again");
    Ask(HostMsg(4, on), "cyclic");
    Idle(50e3);
    // A settings file that could not be read leaves every default in force: nothing to poll.
    const std::string history = Ask(HostMsg(7, LiveRequest(0)), "history");
    if (s.MsgTable.size() == 3 && (Byte(history, 7) != 0 || history.size() <= 12))
      Problem("no polled history");  // beyond the header and the entry size: an entry
    if (Byte(Ask(HostMsg(3, usb), "connect USB"), 3) != 1 || !p.usb_devices[1].open)
      Problem("USB interface not found again");
    Ask(HostMsg(2), "close");
    if (PortOpen()) Problem("a port is still open after closing");
    Ask(HostMsg(1), "quit");
    ServerShutdown(s);
    if (PortOpen()) Problem("a port is open after shutdown");
    if (!p.open_files.empty()) Problem("the log is still open after shutdown");
    if (p.timer_period_depth != 0) Problem("timer period not restored");
    // A failing call is handled where it happens; none may surface as an error box, which
    // would hold a window-less server until somebody closes it.
    for (const std::string& box : p.messages) Problem("box: " + box);
    CheckFiles("after shutdown");
  }

  FakePlatform p;
  Server s;
  EcuSim com_unit, other_unit, usb_unit;
  int64_t conversation_points = 0;
  std::vector<std::string> problems;

 private:
  void Problem(const std::string& what) { problems.push_back(what); }
  static int Byte(const std::string& reply, size_t at) {
    return at < reply.size() ? At(reply, at) : -1;
  }
  bool PortOpen() const {
    return !p.open_serial.empty() ||
           std::any_of(p.usb_devices.begin(), p.usb_devices.end(), [](auto& d) { return d.open; });
  }

  // Sends one message, runs the loop until it is answered or handled without an answer, and
  // returns the reply (empty when there is none).
  std::string Ask(const std::string& message, const std::string& where) {
    const int64_t points_before = p.fault_points;
    p.HostSend(message);
    const double limit = p.NowUsec() + kMessageLimit_usec;
    bool running = true;
    while (running && p.replies.empty() && p.NowUsec() < limit) {
      running = LoopPass(s);
      if (p.HostBytesUnread() == 0 && s.host_stream.buffered.empty() && s.PendingMessage.empty())
        break;
    }
    const std::vector<std::string> got = p.TakeReplies();
    const bool reply_write_failed = p.failed_call == "HostWrite" && p.fail_point > points_before &&
                                    p.fail_point <= p.fault_points;
    if (got.size() != (reply_write_failed ? 0u : 1u))
      Problem(where + ": " + std::to_string(got.size()) + " replies");
    for (const std::string& reply : got) {
      if (reply.size() < 8 || At(reply, 0) * 256u + At(reply, 1) != reply.size() ||
          reply[2] != message[2]) {
        Problem(where + ": reply header wrong");
      }
    }
    if (p.NowUsec() >= limit) Problem(where + ": not handled in time");
    if (!running && message[2] != 1) Problem(where + ": the loop ended");
    CheckFiles(where);
    return got.empty() ? std::string() : got.front();
  }

  void Idle(double usec) {
    const double end = p.NowUsec() + usec;
    while (p.NowUsec() < end && LoopPass(s)) {
    }
    if (!p.TakeReplies().empty()) Problem("a reply nobody asked for");
  }

  // A file is either absent, in its earlier state, or whole: never cut short.
  void CheckFiles(const std::string& where) {
    const auto number_line = [&](const std::string& path, bool empty_ok) {
      if (!p.files.count(path)) return true;
      const std::string& text = p.files[path];
      if (!text.ends_with("\r\n")) return false;
      const std::string number = text.substr(0, text.size() - 2);
      return number.empty() ? empty_ok : number.find_first_not_of("0123456789") == number.npos;
    };
    if (!number_line(kHandleIni, true) || !number_line(kPortComIni, false))
      Problem(where + ": Handle.ini or PortCom.ini cut short");
    if (p.files[kSettingsIni] != kSettings) Problem(where + ": the settings file changed");
    const std::string last = p.files.count(kLastLog) ? p.files[kLastLog] : "";
    if (last != kOlderLog && last != kPreviousLog) Problem(where + ": Last_RxTx.TXT cut short");
    const std::string log = p.files.count(kLog) ? p.files[kLog] : "";
    if (last != kPreviousLog && !log.starts_with(kPreviousLog))
      Problem(where + ": the previous run's log is lost");
    if (!log.empty() && !log.ends_with("\r\n")) Problem(where + ": log line cut");
    // Anything else in the folder is a scratch copy that a failed write left behind.
    const std::set<std::string> known = {kHandleIni, kPortComIni, kSettingsIni, kLog, kLastLog};
    for (const auto& [path, contents] : p.files) {
      if (!known.count(path) && !path.ends_with(".tmp")) Problem(where + ": stray file " + path);
    }
  }
};

// Runs the conversation once per fault point (with `most_runs` above 0, about that many points
// evenly spread) and reports the runs that went wrong.
void RunMatrix(bool clock, int64_t most_runs, const char* what) {
  Conversation baseline(0, clock);
  baseline.Run();
  for (const std::string& problem : baseline.problems) ADD_FAILURE() << "no fault: " << problem;
  if (!clock) {
    // The conversation makes every kind of call, so every kind is made to fail.
    std::set<std::string> kinds(baseline.p.fault_point_names.begin(),
                                baseline.p.fault_point_names.end());
    std::istringstream calls(
        "HostPeek HostRead HostWrite HostWaitInput ListProcesses FileReadable ReadWholeFile "
        "WriteWholeFile CopyFileReplace OpenWriteFile WriteOpenFile CreateFile GetCommState "
        "GetCommTimeouts SetCommState SetCommTimeouts ClearCommError ReadFile WriteFile "
        "PurgeComm CloseHandle WaitPortInput WaitPortOrHostInput FT_ListDevices FT_Open "
        "FT_SetBaudRate FT_SetDataCharacteristics FT_SetFlowControl FT_SetTimeouts FT_SetChars "
        "FT_GetQueueStatus FT_Write FT_Read FT_Purge FT_Close FT_EE_Read FT_EE_Program");
    for (std::string name; calls >> name;) EXPECT_TRUE(kinds.count(name)) << name;
  }
  const int64_t points = baseline.conversation_points;
  EXPECT_GT(points, 1000);
  const int64_t stride = most_runs > 0 ? std::max<int64_t>(1, points / most_runs) : 1;
  int64_t runs = 0;
  int failed_runs = 0;
  for (int64_t n = 1; n <= points; n += stride, ++runs) {
    Conversation run(n, clock);
    run.Run();
    // Everything before the failing call is the same as in the run without faults.
    if (run.p.failed_call != baseline.p.fault_point_names[static_cast<size_t>(n - 1)]) {
      ADD_FAILURE() << "point " << n << " is not the call it was without faults";
      break;
    }
    if (!run.problems.empty() && ++failed_runs <= 20) {
      ADD_FAILURE() << "point " << n << " (" << run.p.failed_call << "): " << run.problems.front()
                    << (run.problems.size() > 1 ? " (and more)" : "");
    }
  }
  EXPECT_EQ(failed_runs, 0) << "of " << runs << " fault points";
  std::cout << "[ " << what << ": " << runs << " of " << points << " fault points run, "
            << failed_runs << " failed ]\n";
}

TEST(FaultMatrix, EveryFailingCallIsSurvived) {
  RunMatrix(false, 0, "calls");
}

// The clock is read far more often than anything else is called, so one read in so many
// fails, spread over the whole conversation.
TEST(FaultMatrix, FailingClockReadsAreSurvived) {
  RunMatrix(true, 1000, "clock reads");
}

}  // namespace
}  // namespace ecub::test
