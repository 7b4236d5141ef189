// Field support from a traffic log: sessions recorded with the server and a misbehaving
// simulated unit are replayed by ecubridge-sim --replay against the same host conversation;
// ecubridge-log follows a log across a server restart, draws it and sums it up.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
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

using e2e::Has;
using e2e::SplitLines;

// The request frames of a log in order, a repeated one once: how often a request is repeated
// (and how the answers are cut into reads) follows the machine's load, which a replay cannot
// reproduce; the order of the requests and the replies the host gets can be.
std::vector<std::string> Requests(const std::string& log) {
  std::vector<std::string> requests;
  for (const LogEvent& e : ParseTrafficLog(log)) {
    if (e.frame && e.label == "T" && (requests.empty() || requests.back() != Hex(*e.frame)))
      requests.push_back(Hex(*e.frame));
  }
  return requests;
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

class LogTools : public e2e::ToolSession {
 protected:
  void TearDown() override {
    follow_.Kill();
    follow_.WaitExit(5000);
    ToolSession::TearDown();
  }
  // The host's replies, one JSON object per line.
  std::string HostJson(const std::string& script) {
    const e2e::Outcome r = Host("--json " + script);
    // The host tool exits 1 when any reply of the session is a failure.
    EXPECT_EQ(r.exit_code, Has(r.output, "\"failure\"") ? 1 : 0) << r.output;
    return r.output;
  }
  ChildProcess follow_;
};

struct Session {
  const char* name;
  const char* settings;    // beside kQuickSettings
  const char* sim;         // options of the recorded unit; HOME/ names the home folder
  const char* replay_sim;  // options the replay adds
  const char* host;        // the host conversation
  const char* shown;       // a pattern the recorded replies must match
};

// Each fault the simulator offers that the server sees: silence (a failed request and a
// failed connect), bad checksum, split, trailing bytes, wrong echo, outcome FE, truncation,
// delay; a scrambled session (with a permutation of our own) found on the second try; the
// short identification, which turns polling off.
const Session kSessions[] = {
    {"faults", "",
     "--answers HOME/ANSWERS --fault bad-checksum:1:CMD_READ_MEM2 --fault silence:*:0x0E "
     "--fault split:2:0x0C --fault trailing:1:0x0F --fault wrong-echo:1:0x10 --baud 0",
     "",
     "ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2 send READ_MEM1 send READ_MEM1 "
     "send CMD_READ_MEM3 connect 5 send 0x0F send 0x0F send 0x10 send READ_MEM2",
     ""},
    {"silent-start", "", "--fault silence:3 --fault outcome-fe:1:0x0D --fault truncate:1:0x0C", "",
     "ident 'FW 1.00 LPGJET-4 X' connect 5 connect 5 send READ_MEM2 send READ_MEM1 send 0x0F", ""},
    {"scrambled", "[CRIPT PROTO]\r\n2\r\n",
     "--scrambled --scramble-table HOME/ScrambleTable.txt --ident 'V2 3.10 CNGJET-8 Z' "
     "--answers /dev/null",
     "--scrambled --scramble-table HOME/ScrambleTable.txt",
     "ident 'xx 3.10 CNGJET-8 yy' connect 5 send READ_MEM1 send READ_MEM2",
     R"("identification_text":"V2 3.10 CNGJET-8 Z"\}\n.*"length":16,"command":12,)"},
    {"short-ident", "", "--short-ident --delay-ms 0.5", "",
     "connect 5 send READ_MEM1 send 4102030E4E",
     R"("poll_mode":2,.*"identification":\{"kind":"answer","complete":true,"start":"42",)"
     R"("second":"01","length":4,"command":33,)"},
};

TEST_F(LogTools, ReplayGivesTheRecordedRepliesAndRequests) {
  Write("ANSWERS", "CMD_READ_MEM2 -> 01 02 03\n");
  std::string table;  // every byte reversed in value
  for (int b = 0; b < 256; ++b) table += Hex(std::string(1, static_cast<char>(255 - b)));
  Write("ScrambleTable.txt", table);
  for (const Session& s : kSessions) {
    SCOPED_TRACE(s.name);
    Write("SetComVarno.ini", std::string(kQuickSettings) + s.settings);
    const std::regex home("HOME/");
    ASSERT_TRUE(StartSim(std::regex_replace(s.sim, home, Path(""))));
    const std::string recorded = HostJson(s.host);
    EXPECT_TRUE(std::regex_search(recorded, std::regex(s.shown))) << recorded;
    StopSim();
    const std::string log = Read("RxTx.TXT");
    // Replayed from the saved copy a restarted server leaves, like a workshop sends it.
    ASSERT_TRUE(StartSim("--replay " + Path("RxTx.TXT") + " " +
                         std::regex_replace(s.replay_sim, home, Path(""))));
    const std::string replayed = HostJson(s.host);
    StopSim();
    EXPECT_EQ(Read("Last_RxTx.TXT"), log);
    EXPECT_EQ(replayed, recorded);
    EXPECT_EQ(Requests(Read("RxTx.TXT")), Requests(log)) << Read("sim.log");
    std::filesystem::remove(Path("sim.log"));
  }

  // A request the log never saw gets silence and a word; a log without exchanges is refused.
  Write("SetComVarno.ini", kQuickSettings);
  ASSERT_TRUE(StartSim("--replay " + Path("RxTx.TXT") + " --speed 0"));
  HostJson("connect 5 send 0x33");
  StopSim();
  EXPECT_TRUE(Has(Read("sim.log"), "4102033373 (CMD_READ_MEM5_FL) was never sent in the log"))
      << Read("sim.log");
  Write("empty.TXT", "0 TimerApi_uSec 5 Now 01/01/2026 10:00:00\r\n12 APERTURA [COM5]\r\n");
  for (const std::string& log : {Path("empty.TXT"), Path("none.TXT")}) {
    const e2e::Outcome r = e2e::RunCommand(std::string(ECUBRIDGE_SIM_EXE) + " --ports " +
                                           Path("p") + " --com 5 --replay " + log);
    EXPECT_EQ(r.exit_code, 1) << r.output;
  }
}

TEST_F(LogTools, FollowCarriesOnIntoTheLogOfARestartedServer) {
  Write("SetComVarno.ini", kQuickSettings);
  ASSERT_TRUE(StartSim("--quiet"));
  ASSERT_TRUE(follow_.Start({ECUBRIDGE_LOG_EXE, "--follow", Path("RxTx.TXT")}));
  std::string shown;
  const auto wait_for = [&](const std::string& what) {
    return e2e::Eventually([&] {
      shown += follow_.ReadAvailable(10);
      return Has(shown, what);
    });
  };
  HostJson("ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2");
  ASSERT_TRUE(wait_for("R    CMD_READ_MEM2")) << shown;
  HostJson("ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM3");  // a new server, a new log
  ASSERT_TRUE(wait_for("R    CMD_READ_MEM3")) << shown;
  kill(follow_.pid(), SIGINT);
  EXPECT_EQ(follow_.WaitExit(5000), 0);
  // Each entry of both runs exactly once: two starts, two openings, two identifications.
  const std::string both = Read("Last_RxTx.TXT") + Read("RxTx.TXT");
  EXPECT_EQ(SplitLines(shown).size(), ParseTrafficLog(both).size()) << shown;
  EXPECT_EQ(Read("sim.log"), "");  // --quiet
}

// A log as the server writes it (the time-outs and retries of a live session follow the
// machine's load): a bad checksum and its retry, a request given up after three attempts, and
// a second connect.
TEST_F(LogTools, StatsAndTimelineCountWhatTheLogHolds) {
  Write("RxTx.TXT",
        "0 TimerApi_uSec 19547476 Now 07/12/2026 21:16:43\r\n1 APERTURA [COM5]\r\n"
        "CMD_READ_MEM2\r\n114 T 4102030D4D\r\n156 R 4401040D00B3\r\n"
        "156 COMUNICATION ERROR:RX ESITO_CKSUM\r\n"
        "CMD_READ_MEM2\r\n160 T 4102030D4D\r\n204 R 4401040D004C\r\n"
        "CMD_READ_MEM1\r\n209 T 4102030C4C\r\n249 R 4401040C004D\r\n"
        "CMD_READ_MEM3\r\n258 T 4102030E4E\r\nCMD_READ_MEM3\r\n460 T 4102030E4E\r\n"
        "CMD_READ_MEM3\r\n656 T 4102030E4E\r\n860 APERTURA [COM5]\r\n"
        "CMD_READ_MEM1\r\n977 T 4102030C4C\r\n1017 R 4401040C004D\r\n");
  const e2e::Outcome json = LogTool("--stats --json " + Path("RxTx.TXT"));
  EXPECT_EQ(json.exit_code, 0);
  const Json stats = Json::parse(json.output);
  // Per command: requests, answered at once, retried, failed, attempts.
  const std::map<std::string, std::vector<int>> expected = {
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
  EXPECT_EQ(stats["frames_sent"], 7);
  EXPECT_EQ(stats["answers_received"], 4);
  EXPECT_EQ(stats["sessions"][0]["connects"], 2);
  EXPECT_EQ(stats["sessions"][0]["port_errors"], 0);
  EXPECT_TRUE(Has(LogTool("--stats " + Path("RxTx.TXT")).output, "CMD_READ_MEM3"));

  const e2e::Outcome drawn = LogTool("--timeline " + Path("t.svg") + " " + Path("RxTx.TXT"));
  EXPECT_EQ(drawn.output, "");
  EXPECT_EQ(drawn.exit_code, 0);
  const std::string svg = Read("t.svg");
  EXPECT_EQ(BarCount(svg, "answered"), 2u);
  EXPECT_EQ(BarCount(svg, "retried"), 1u);
  EXPECT_EQ(BarCount(svg, "failed"), 1u);
  EXPECT_EQ(e2e::Count(svg, "<g class=\"row\""), 3);
  EXPECT_TRUE(Has(svg, "class=\"mark given-up\" data-n=\"1\""));
  EXPECT_TRUE(Has(svg, "<title>CMD_READ_MEM3 at "));
  EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");

  // Options that do not go together, and input that is no log.
  for (const char* bad :
       {"--stats --timeline x.svg", "--json", "--timeline", "--stats --command 12"}) {
    EXPECT_EQ(LogTool(Path("RxTx.TXT") + " " + bad).exit_code, 2) << bad;
  }
  EXPECT_EQ(LogTool("--stats /dev/null").exit_code, 1);
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
