// One host conversation, run once for every platform call it makes with that one call failing.
//
// The conversation connects over a serial port and over a USB interface, relays requests,
// polls timed and cyclic, hands out histories, writes the interface's EEPROM, scans the ports,
// closes and quits. Whatever call fails, every host message must get its one reply, no file may
// be left cut short, and afterwards the server must still find the unit on both kinds of port,
// poll it, and close everything when it quits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "history_check.h"
#include "server_fixture.h"

namespace ecub {
namespace {

using test::At;
using test::HostMsg;
using test::LiveRequest;
using test::MsgSection;

constexpr uint8_t kRelayCommand = 0x0D;
const std::string kLog = "/app/RxTx.TXT";
const std::string kLastLog = "/app/Last_RxTx.TXT";
const std::string kHandleIni = "/app/Handle.ini";
const std::string kPortComIni = "/app/PortCom.ini";
const std::string kSettingsIni = "/app/SetComVarno.ini";
// The logs two earlier runs left behind.
const std::string kPreviousLog =
    "0 TimerApi_uSec 5 Now 04/03/2025 08:00:00\r\n17 T 41020D0C0040\r\n";
const std::string kOlderLog = "0 TimerApi_uSec 9 Now 03/03/2025 08:00:00\r\n";
const std::string kDescription = "Bench cable 2024 #7 ";  // 20 bytes
// How long one message may keep the server busy (virtual time) before it counts as a hang.
constexpr double kMessageLimit_usec = 120e6;

std::string Settings() {
  return "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n300000\r\n[NumResend]\r\n2\r\n"
         "[AutoSpegnimento_usec]\r\n200000\r\n" +
         MsgSection(LiveRequest(0), true, 100, 20, true) +
         MsgSection(LiveRequest(1), true, 250, 20, false) +
         MsgSection(LiveRequest(2), false, 0, 20, true);
}

struct Step {
  std::string message;
  double idle_after_usec = 0;
};

// A whole server with its units, taken through the conversation once.
class Conversation {
 public:
  Conversation(int64_t fail_point, bool clock) : s(p, "/app") {
    p.fail_point = fail_point;
    p.call_fault_points = !clock;
    p.clock_fault_points = clock;
    p.read_step_ns = 10000;  // short spins: the conversation runs a few thousand times
    p.record_fault_points = fail_point == 0;
    p.files[kSettingsIni] = Settings();
    p.files[kLog] = kPreviousLog;
    p.files[kLastLog] = kOlderLog;
    p.files[kHandleIni] = "4242\r\n";  // left by an earlier run; not a handle of this one
    p.processes = {"init", "host.exe"};
    p.com_ports[5] = &com_unit;
    other_unit.config.ident_pieces = {"FW", "9.99", "OTHER", "X"};
    test::AddUsb(p, "A1", "Other cable", other_unit);
    test::AddUsb(p, "B2", "Bench cable", usb_unit);
    // One lost answer on each link, so the retry path runs too.
    com_unit.Inject(EcuSim::Fault::kSilence, 1, kRelayCommand);
    usb_unit.Inject(EcuSim::Fault::kBadChecksum, 1, kRelayCommand);
  }

  // Start-up, the conversation, the check that the server still serves, shutdown.
  void Run() {
    ServerStartup(s);
    CheckFiles("start-up");
    const std::string relay = EcuSim::RequestFrame(kRelayCommand);
    const std::vector<Step> conversation = {
        {HostMsg(14, "host.exe")},
        {HostMsg(10, com_unit.ExpectedIdentity())},
        {HostMsg(3, std::string(1, '\x05')), 300e3},  // timed polling runs after it
        {HostMsg(4, std::string(1, '\x02'))},
        {HostMsg(6, relay)},
        {HostMsg(4, std::string(1, '\x01')), 30e3},
        {HostMsg(6, LiveRequest(2))},  // most likely during a polling transaction
        {HostMsg(7, LiveRequest(0))},
        {HostMsg(7, LiveRequest(2))},
        {HostMsg(2)},
        {HostMsg(5)},
        {HostMsg(3, std::string(1, '\0'))},
        {HostMsg(4, std::string(1, '\x02'))},
        {HostMsg(6, relay)},
        {HostMsg(4, std::string(1, '\x01')), 40e3},
        {HostMsg(7, LiveRequest(0))},
        {HostMsg(12, kDescription)},
        {HostMsg(13, std::string(1, '\0'))},  // with the USB interface still open
        {HostMsg(6, relay)},
        {HostMsg(2)},
    };
    for (size_t i = 0; i < conversation.size(); ++i) {
      replies.push_back(Exchange(conversation[i].message, "step " + std::to_string(i + 1)));
      Idle(conversation[i].idle_after_usec);
    }
    conversation_points = p.fault_points;
    if (p.failed_call.empty()) p.fail_point = 0;  // the point lies beyond the conversation
    StillServes();
    ServerShutdown(s);
    if (!p.open_serial.empty()) Problem("after shutdown", "a serial port is still open");
    for (const auto& device : p.usb_devices) {
      if (device.open) Problem("after shutdown", "USB interface " + device.serial + " is open");
    }
    if (!p.open_files.empty()) Problem("after shutdown", "the log is still open");
    if (p.timer_period_depth != 0) Problem("after shutdown", "timer period not restored");
    // A failing call is handled where it happens; none may surface as an error box, which
    // would hold a window-less server until somebody closes it.
    for (const std::string& box : p.messages) Problem("box", box);
    CheckFiles("after shutdown");
  }

  FakePlatform p;
  Server s;
  EcuSim com_unit, other_unit, usb_unit;
  std::vector<std::vector<std::string>> replies;  // per conversation step
  int64_t conversation_points = 0;
  std::vector<std::string> problems;

 private:
  void Problem(const std::string& where, const std::string& what) {
    problems.push_back(where + ": " + what);
  }

  // Sends one message and runs the loop until it is answered, or handled without an answer.
  std::vector<std::string> Exchange(const std::string& message, const std::string& where) {
    const int64_t points_before = p.fault_points;
    p.HostSend(message);
    const double limit = p.NowUsec() + kMessageLimit_usec;
    bool running = true;
    while (running && p.replies.empty() && p.NowUsec() < limit) {
      running = LoopPass(s);
      const bool consumed =
          p.HostBytesUnread() == 0 && s.host_stream.buffered.empty() && s.PendingMessage.empty();
      if (consumed) break;
    }
    std::vector<std::string> got = p.TakeReplies();
    const bool reply_write_failed = p.failed_call == "HostWrite" && p.fail_point > points_before &&
                                    p.fail_point <= p.fault_points;
    if (got.size() != (reply_write_failed ? 0u : 1u)) {
      Problem(where, std::to_string(got.size()) + " replies");
    }
    for (const std::string& reply : got) {
      const std::string problem = test::ReplyProblem(reply, At(message, 2));
      std::vector<test::HistoryEntry> entries;
      if (!problem.empty()) {
        Problem(where, problem);
      } else if (reply[2] == 7 && reply[7] == 0) {
        const std::string error =
            test::ParseHistoryBlock(reply.substr(8), EcuSim::kCmdReadMem1, true, entries);
        if (!error.empty()) Problem(where, "history: " + error);
      }
    }
    if (p.NowUsec() >= limit) Problem(where, "not handled in time");
    if (!running && message[2] != 1) Problem(where, "the loop ended");
    CheckFiles(where);
    return got;
  }

  void Idle(double usec) {
    const double end = p.NowUsec() + usec;
    while (p.NowUsec() < end && LoopPass(s)) {
    }
    if (!p.replies.empty()) Problem("idle", "a reply nobody asked for");
    p.TakeReplies();
  }

  // A file is either absent, in its earlier state, or whole: never cut short.
  void CheckFiles(const std::string& where) {
    const auto whole_number_line = [](const std::string& text, bool empty_ok) {
      if (text.size() < 2 || text.substr(text.size() - 2) != "\r\n") return false;
      const std::string number = text.substr(0, text.size() - 2);
      if (number.empty()) return empty_ok;
      return number.find_first_not_of("0123456789") == std::string::npos;
    };
    if (p.files.count(kHandleIni) && !whole_number_line(p.files[kHandleIni], true)) {
      Problem(where, "Handle.ini holds \"" + p.files[kHandleIni] + "\"");
    }
    if (p.files.count(kPortComIni) && !whole_number_line(p.files[kPortComIni], false)) {
      Problem(where, "PortCom.ini holds \"" + p.files[kPortComIni] + "\"");
    }
    if (p.files[kSettingsIni] != Settings()) Problem(where, "the settings file changed");
    const std::string last = p.files.count(kLastLog) ? p.files[kLastLog] : "";
    if (last != kOlderLog && last != kPreviousLog) Problem(where, "Last_RxTx.TXT is cut short");
    const std::string log = p.files.count(kLog) ? p.files[kLog] : "";
    if (last != kPreviousLog && log.rfind(kPreviousLog, 0) != 0) {
      Problem(where, "the previous run's log is lost");
    }
    if (!log.empty() && log.substr(log.size() - 2) != "\r\n") Problem(where, "log line cut");
    // Anything else in the folder is a scratch copy that a failed write left behind.
    for (const auto& [path, contents] : p.files) {
      const bool known = path == kHandleIni || path == kPortComIni || path == kSettingsIni ||
                         path == kLog || path == kLastLog;
      if (!known && !path.ends_with(".tmp")) Problem(where, "stray file " + path);
    }
  }

  // After the conversation: the server answers, finds the unit on either port, polls it, and
  // closes the port.
  void StillServes() {
    const auto ask = [&](const std::string& message, const std::string& where) {
      const auto got = Exchange(message, "afterwards: " + where);
      return got.empty() ? std::string() : got.front();
    };
    if (ask(HostMsg(0, "still there?"), "echo").substr(8) != "still there?") {
      Problem("afterwards", "echo lost");
    }
    ask(HostMsg(10, com_unit.ExpectedIdentity()), "identity");
    std::string reply = ask(HostMsg(3, std::string(1, '\x05')), "connect COM5");
    if (reply.size() < 8 || reply[3] != 1) Problem("afterwards", "COM5 not found again");
    ask(HostMsg(4, std::string(1, '\x01')), "cyclic");
    Idle(50e3);
    reply = ask(HostMsg(7, LiveRequest(0)), "history");
    std::vector<test::HistoryEntry> entries;
    // A settings file that could not be read leaves every default in force: nothing to poll.
    const bool settings_read = s.MsgTable.size() == 3;
    if (settings_read &&
        (reply.size() < 8 || reply[7] != 0 ||
         !test::ParseHistoryBlock(reply.substr(8), EcuSim::kCmdReadMem1, true, entries).empty() ||
         entries.empty())) {
      Problem("afterwards", "no polled history");
    }
    reply = ask(HostMsg(3, std::string(1, '\0')), "connect USB");
    if (reply.size() < 8 || reply[3] != 1 || !p.usb_devices[1].open) {
      Problem("afterwards", "USB interface not found again");
    }
    ask(HostMsg(2), "close");
    if (!p.open_serial.empty() || p.usb_devices[0].open || p.usb_devices[1].open) {
      Problem("afterwards", "a port is still open after closing");
    }
    ask(HostMsg(1), "quit");
  }
};

TEST(FaultMatrix, TheConversationCoversEveryKindOfCall) {
  Conversation run(0, false);
  run.Run();
  for (const std::string& problem : run.problems) ADD_FAILURE() << problem;
  const auto& r = run.replies;
  const auto data = [&](size_t step) { return r.at(step - 1).at(0).substr(8); };
  const auto link = [&](size_t step) { return At(r.at(step - 1).at(0), 3); };
  EXPECT_EQ(link(3), 1);                                      // COM5 found
  EXPECT_EQ(data(5), run.com_unit.Frame(kRelayCommand, {}));  // relayed after a retry
  ASSERT_GE(data(7).size(), 5u);                              // the last polled answer
  EXPECT_EQ(At(data(7), 3), EcuSim::kCmdReadMem1);
  EXPECT_EQ(link(12), 1);                                      // USB found, on the second
  EXPECT_EQ(data(14), run.usb_unit.Frame(kRelayCommand, {}));  // relayed after a retry
  EXPECT_EQ(data(17), kDescription);
  EXPECT_EQ(run.p.usb_devices[1].eeprom_description, kDescription);
  EXPECT_EQ(data(18).substr(0, 2), std::string("\x05 ", 2));  // the scan found COM5
  for (size_t step : {8u, 9u, 16u}) {
    std::vector<test::HistoryEntry> entries;
    EXPECT_EQ(test::ParseHistoryBlock(data(step), EcuSim::kCmdReadMem1, true, entries), "");
    EXPECT_GE(entries.size(), 2u) << "step " << step;
  }
  std::map<std::string, int> kinds;
  for (const std::string& name : run.p.fault_point_names) ++kinds[name];
  std::istringstream calls(
      "HostPeek HostRead HostWrite HostWaitInput ListProcesses FileReadable ReadWholeFile "
      "WriteWholeFile CopyFileReplace OpenWriteFile WriteOpenFile CreateFile GetCommState "
      "GetCommTimeouts SetCommState SetCommTimeouts ClearCommError ReadFile WriteFile PurgeComm "
      "CloseHandle WaitPortInput WaitPortOrHostInput FT_ListDevices FT_Open FT_SetBaudRate "
      "FT_SetDataCharacteristics FT_SetFlowControl FT_SetTimeouts FT_SetChars FT_GetQueueStatus "
      "FT_Write FT_Read FT_Purge FT_Close FT_EE_Read FT_EE_Program");
  for (std::string name; calls >> name;) EXPECT_GT(kinds[name], 0) << name;
}

// Runs the conversation once per fault point (with `most_runs` above 0, about that many points
// evenly spread) and reports the runs that went wrong.
void RunMatrix(bool clock, int64_t most_runs, const char* what) {
  Conversation baseline(0, clock);
  baseline.Run();
  EXPECT_TRUE(baseline.problems.empty()) << baseline.problems.front();
  const int64_t points = baseline.conversation_points;
  EXPECT_GT(points, 1000);
  const int64_t stride = most_runs > 0 ? std::max<int64_t>(1, points / most_runs) : 1;
  int64_t runs = 0;
  int failed_runs = 0;
  for (int64_t n = 1; n <= points; n += stride) {
    Conversation run(n, clock);
    run.Run();
    ++runs;
    // Everything before the failing call is the same as in the run without faults.
    if (run.p.failed_call != baseline.p.fault_point_names[static_cast<size_t>(n - 1)]) {
      ADD_FAILURE() << "point " << n << " is not the call it was without faults";
      break;
    }
    if (run.problems.empty()) continue;
    if (++failed_runs <= 20) {
      ADD_FAILURE() << "point " << n << " (" << run.p.failed_call << "): " << run.problems.front()
                    << (run.problems.size() > 1 ? " (and more)" : "");
    }
  }
  EXPECT_EQ(failed_runs, 0) << "of " << runs << " fault points";
  std::cout << "[ " << what << ": " << runs << " of " << points << " fault points run, "
            << failed_runs << " failed; " << baseline.p.platform_calls
            << " platform calls in the whole run ]\n";
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
}  // namespace ecub
