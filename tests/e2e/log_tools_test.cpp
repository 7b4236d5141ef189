// Field support from a traffic log: sessions recorded with the server and a misbehaving
// simulated unit are replayed by ecubridge-sim --replay against the same host conversation;
// ecubridge-log follows a log across a server restart, draws it and sums it up.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/log_reader.h"
#include "common/log_stats.h"
#include "common/log_summary.h"
#include "common/timeline.h"
#include "sim_host.h"

namespace ecub::tools {
namespace {

std::string RunShell(const std::string& command, int* exit_code = nullptr) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n = 0; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  const int status = pclose(pipe);
  if (exit_code != nullptr) *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, end = 0; at < text.size(); at = end + 1) {
    end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
  }
  return lines;
}

// The frames of a log in order: "T <hex>" and "R <hex>".
std::vector<std::string> Frames(const std::string& log) {
  std::vector<std::string> frames;
  for (const LogEvent& e : ParseTrafficLog(log)) {
    if (e.frame && (e.label == "T" || e.label == "R"))
      frames.push_back(e.label + " " + Hex(*e.frame));
  }
  return frames;
}

size_t Matches(const std::string& text, const std::string& pattern) {
  const std::regex r(pattern);
  return static_cast<size_t>(
      std::distance(std::sregex_iterator(text.begin(), text.end(), r), std::sregex_iterator()));
}

// Sums data-n of the SVG's bars of one outcome.
size_t BarCount(const std::string& svg, const std::string& outcome) {
  const std::regex bar("class=\"bar " + outcome + "\" data-n=\"([0-9]+)\"");
  size_t n = 0;
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), bar); it != std::sregex_iterator();
       ++it) {
    n += std::stoul((*it)[1]);
  }
  return n;
}

class LogTools : public e2e::SimHost {
 protected:
  void TearDown() override {
    for (ChildProcess* child : {&sim_, &follow_}) {
      child->Kill();
      child->WaitExit(5000);
    }
    SimHost::TearDown();
  }
  void StartSim(const std::string& options) {
    ASSERT_TRUE(sim_.Start({"/bin/sh", "-c",
                            std::string("exec ") + ECUBRIDGE_SIM_EXE + " --ports " + Path("ports") +
                                " --com 5 " + options + " 2>>" + Path("sim.log")}));
    std::string out;
    for (int i = 0; i < 100 && out.find('\n') == std::string::npos && !sim_.OutputEnded(); ++i) {
      out += sim_.ReadAvailable(100);
    }
    ASSERT_EQ(out, Path("ports/COM5") + "\n") << Read("sim.log");
  }
  void StopSim() {
    sim_.Terminate();
    EXPECT_EQ(sim_.WaitExit(5000), 0);
  }
  // The host's replies, one JSON object per line.
  std::string Host(const std::string& script) {
    int code = -1;
    const std::string out = RunShell(std::string(ECUBRIDGE_HOST_EXE) + " --server " +
                                         ECUBRIDGE_EXE + " --home " + home_ + " --json " + script,
                                     &code);
    // The host tool exits 1 when any reply of the session is a failure.
    EXPECT_EQ(code, out.find("\"failure\"") != std::string::npos ? 1 : 0) << out;
    return out;
  }
  std::string LogTool(const std::string& arguments, int* code = nullptr) {
    return RunShell(std::string(ECUBRIDGE_LOG_EXE) + " " + arguments, code);
  }

  static constexpr const char* kSettings =
      "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n150000\r\n"
      "[NumResend]\r\n2\r\n";
  ChildProcess sim_;
  ChildProcess follow_;
};

struct Session {
  const char* name;
  const char* settings;    // beside kSettings
  const char* sim;         // options of the recorded unit
  const char* replay_sim;  // options the replay adds
  const char* host;        // the host conversation
};

// Each fault the simulator offers that the server sees: silence (a failed request and a
// failed connect), bad checksum, split, trailing bytes, wrong echo, outcome FE, truncation,
// delay; a scrambled session found on the second try; the short identification.
const Session kSessions[] = {
    {"faults", "",
     "--answers ANSWERS --fault bad-checksum:1:CMD_READ_MEM2 --fault silence:*:0x0E "
     "--fault split:2:0x0C --fault trailing:1:0x0F --fault wrong-echo:1:0x10 --baud 0",
     "",
     "ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2 send READ_MEM1 send READ_MEM1 "
     "send CMD_READ_MEM3 connect 5 send 0x0F send 0x0F send 0x10 send READ_MEM2"},
    {"silent-start", "", "--fault silence:3 --fault outcome-fe:1:0x0D --fault truncate:1:0x0C", "",
     "ident 'FW 1.00 LPGJET-4 X' connect 5 connect 5 send READ_MEM2 send READ_MEM1 send 0x0F"},
    {"scrambled", "[CRIPT PROTO]\r\n2\r\n", "--scrambled --ident 'V2 3.10 CNGJET-8 Z'",
     "--scrambled", "ident 'xx 3.10 CNGJET-8 yy' connect 5 send READ_MEM1 send READ_MEM2"},
    {"short-ident", "", "--short-ident", "", "connect 5 send READ_MEM1 send 4102030E4E"},
};

TEST_F(LogTools, ReplayGivesTheRecordedRepliesAndFrames) {
  Write("ANSWERS", "CMD_READ_MEM2 -> 01 02 03\n");
  size_t equal = 0;
  size_t total = 0;
  for (const Session& s : kSessions) {
    SCOPED_TRACE(s.name);
    Write("SetComVarno.ini", std::string(kSettings) + s.settings);
    StartSim(std::regex_replace(s.sim, std::regex("ANSWERS"), Path("ANSWERS")));
    const std::string recorded = Host(s.host);
    StopSim();
    const std::string log = Read("RxTx.TXT");
    // Replayed from the saved copy a restarted server leaves, like a workshop sends it.
    StartSim("--replay " + Path("RxTx.TXT") + " " + s.replay_sim);
    const std::string replayed = Host(s.host);
    StopSim();
    EXPECT_EQ(Read("Last_RxTx.TXT"), log);
    EXPECT_EQ(replayed, recorded);
    EXPECT_EQ(Frames(Read("RxTx.TXT")), Frames(log)) << Read("sim.log");
    const std::vector<std::string> a = SplitLines(recorded);
    const std::vector<std::string> b = SplitLines(replayed);
    for (size_t i = 0; i < a.size(); ++i) equal += i < b.size() && a[i] == b[i] ? 1 : 0;
    total += a.size();
    std::filesystem::remove(Path("sim.log"));
  }
  std::cout << "replay fidelity: " << equal << " of " << total << " replies equal\n";

  // A request the log never saw gets silence and a word; a log without exchanges is refused.
  Write("SetComVarno.ini", kSettings);
  StartSim("--replay " + Path("RxTx.TXT") + " --speed 0");
  Host("connect 5 send 0x33");
  StopSim();
  EXPECT_NE(Read("sim.log").find("4102033373 (CMD_READ_MEM5_FL) was never sent in the log"),
            std::string::npos)
      << Read("sim.log");
  Write("empty.TXT", "0 TimerApi_uSec 5 Now 01/01/2026 10:00:00\r\n12 APERTURA [COM5]\r\n");
  for (const std::string& log : {Path("empty.TXT"), Path("none.TXT")}) {
    int code = -1;
    const std::string out = RunShell(
        std::string(ECUBRIDGE_SIM_EXE) + " --ports " + Path("p") + " --com 5 --replay " + log,
        &code);
    EXPECT_EQ(code, 1) << out;
  }
}

TEST_F(LogTools, FollowCarriesOnIntoTheLogOfARestartedServer) {
  Write("SetComVarno.ini", kSettings);
  StartSim("--quiet");
  ASSERT_TRUE(follow_.Start({ECUBRIDGE_LOG_EXE, "--follow", Path("RxTx.TXT")}));
  std::string shown;
  const auto wait_for = [&](const std::string& what) {
    return e2e::Eventually([&] {
      shown += follow_.ReadAvailable(10);
      return shown.find(what) != std::string::npos;
    });
  };
  Host("ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2");
  ASSERT_TRUE(wait_for("R    CMD_READ_MEM2")) << shown;
  Host("ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM3");  // a new server, a new log
  ASSERT_TRUE(wait_for("R    CMD_READ_MEM3")) << shown;
  kill(follow_.pid(), SIGINT);
  EXPECT_EQ(follow_.WaitExit(5000), 0);
  // Each entry of both runs exactly once: two starts, two openings, two identifications.
  const std::string both = Read("Last_RxTx.TXT") + Read("RxTx.TXT");
  EXPECT_EQ(SplitLines(shown).size(), ParseTrafficLog(both).size()) << shown;
}

TEST_F(LogTools, StatsAndTimelineCountWhatTheLogHolds) {
  Write("SetComVarno.ini", kSettings);
  StartSim("--fault bad-checksum:1:0x0D --fault silence:*:0x0E");
  Host(
      "ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2 send READ_MEM1 send READ_MEM3 "
      "connect 5 send READ_MEM1");
  const std::string log = Read("RxTx.TXT");
  int code = -1;
  const Json stats = Json::parse(LogTool("--stats --json " + Path("RxTx.TXT"), &code));
  EXPECT_EQ(code, 0);
  // Per command: requests, answered at once, retried, failed, attempts.
  const std::map<std::string, std::vector<int>> expected = {
      {"CMD_READ_FIRMWARE", {2, 2, 0, 0, 2}},
      {"CMD_READ_MEM1", {2, 2, 0, 0, 2}},
      {"CMD_READ_MEM2", {1, 0, 1, 0, 2}},
      {"CMD_READ_MEM3", {1, 0, 0, 1, 3}},
  };
  ASSERT_EQ(stats["commands"].size(), expected.size()) << stats.dump();
  for (const Json& c : stats["commands"]) {
    const std::vector<int>& e = expected.at(c["name"].get<std::string>());
    EXPECT_EQ(
        (std::vector<int>{c["requests"], c["answered"], c["retried"], c["failed"], c["attempts"]}),
        e)
        << c.dump();
  }
  EXPECT_EQ(stats["frames_sent"], Matches(log, R"(\r\n[0-9]+ T )"));
  EXPECT_EQ(stats["answers_received"], Matches(log, R"(\r\n[0-9]+ R )"));
  EXPECT_EQ(stats["sessions"][0]["connects"], 2);
  EXPECT_EQ(stats["sessions"][0]["port_errors"], 0);
  EXPECT_NE(LogTool("--stats " + Path("RxTx.TXT")).find("CMD_READ_MEM3"), std::string::npos);

  EXPECT_EQ(LogTool("--timeline " + Path("t.svg") + " " + Path("RxTx.TXT"), &code), "");
  EXPECT_EQ(code, 0);
  const std::string svg = Read("t.svg");
  EXPECT_EQ(BarCount(svg, "answered"), 4u);
  EXPECT_EQ(BarCount(svg, "retried"), 1u);
  EXPECT_EQ(BarCount(svg, "failed"), 1u);
  EXPECT_EQ(Matches(svg, "<g class=\"row\""), 4u);
  EXPECT_NE(svg.find("class=\"mark given-up\" data-n=\"1\""), std::string::npos);
  EXPECT_NE(svg.find("<title>CMD_READ_MEM3 at "), std::string::npos);
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");

  // Options that do not go together, and input that is no log.
  for (const char* bad :
       {"--stats --timeline x.svg", "--json", "--timeline", "--stats --command 12"}) {
    LogTool(Path("RxTx.TXT") + " " + bad, &code);
    EXPECT_EQ(code, 2) << bad;
  }
  LogTool("--stats /dev/null", &code);
  EXPECT_EQ(code, 1);
}

// An hour of traffic, far more requests than pixels: drawn in columns, every request counted.
TEST(LogTimeline, AggregatesRequestsNarrowerThanAPixel) {
  std::string log = "0 TimerApi_uSec 1 Now 01/01/2026 10:00:00\r\n5 APERTURA [COM5]\r\n";
  const int kRequests = 20000;
  for (int i = 0; i < kRequests; ++i) {
    const int64_t t = 10 + static_cast<int64_t>(i) * 180;
    const std::string when = std::to_string(t);
    log += "CMD_READ_MEM1\r\n" + when + " T 4102030C4C\r\n";
    if (i % 1000 != 999) log += std::to_string(t + 20) + " R 4401040C0049\r\n";
  }
  const LogSummary summary = SummarizeLog(ParseTrafficLog(log));
  const std::string svg = TimelineSvg(summary, "hour");
  // 999 of 1000 answered at once; each unanswered one is retried by the next, same frame.
  EXPECT_EQ(BarCount(svg, "answered"), 19961u);  // the last one unanswered: failed
  EXPECT_EQ(BarCount(svg, "retried"), 19u);
  EXPECT_EQ(BarCount(svg, "failed"), 1u);
  EXPECT_LT(std::count(svg.begin(), svg.end(), '\n'), 2 * 1600 + 100);
}

}  // namespace
}  // namespace ecub::tools
