// The developer tools: their decoders directly, then ecubridge-sim, ecubridge-host and
// ecubridge-log as real programs around the real server.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/frames.h"
#include "common/host_messages.h"
#include "common/instructions.h"
#include "common/log_reader.h"
#include "common/reply_time.h"
#include "common/sim_answers.h"
#include "common/text.h"
#include "platform/posix/child_process.h"
#include "sim_host.h"

namespace ecub::tools {
namespace {

std::string Bytes(const std::string& hex) {
  std::string bytes;
  EXPECT_TRUE(ParseHex(hex, bytes)) << hex;
  return bytes;
}

using e2e::Count;
using e2e::ExpectHas;
using e2e::Has;
using e2e::Lines;
using e2e::Outcome;
using e2e::RunCommand;
using e2e::SplitLines;

// --- Frames ----------------------------------------------------------------------------------

TEST(ToolsFrames, AreDescribedWrittenAsJsonAndMadeFromNamesCodesAndHex) {
  for (const auto& [hex, text] : std::vector<std::pair<std::string, std::string>>{
           // A 'B' start; the bytes after the frame do not belong to it.
           {"4201070D000102034955AA",
            "start 42 01, length 7, command 0D CMD_READ_MEM2, outcome 00 ok, data 010203 (3 "
            "bytes), checksum 49 ok, then 55AA"},
           // Echo and checksum only: no outcome byte.
           {"4401030C4A",
            "start 44 01, length 3, command 0C CMD_READ_MEM1, no data, checksum 4A ok"},
           {"44010C0CFE",
            "start 44 01, length 12, command 0C CMD_READ_MEM1, outcome FE not executed, no data, "
            "incomplete (5 of 14 bytes)"}}) {
    EXPECT_EQ(DescribeFrame(SplitFrame(Bytes(hex))), text);
  }
  EXPECT_EQ(DumpJson(FrameJson(SplitFrame(Bytes("4102030C4C")))),
            R"({"kind":"request","complete":true,"start":"41","second":"02","length":3,)"
            R"("command":12,"name":"CMD_READ_MEM1","data":"","checksum":"4C","checksum_ok":true})");
  EXPECT_EQ(DumpJson(FrameJson(SplitFrame(Bytes("4201070D000102034955AA")))),
            R"({"kind":"answer","complete":true,"start":"42","second":"01","length":7,)"
            R"("command":13,"name":"CMD_READ_MEM2","outcome":"00","outcome_text":"ok",)"
            R"("data":"010203","checksum":"49","checksum_ok":true,"trailing":"55AA"})");
  // Any byte string gives printable ASCII JSON that reads back as the same bytes, one
  // character each.
  std::string every_byte, utf8;
  for (int b = 0; b < 256; ++b) {
    every_byte.push_back(static_cast<char>(b));
    if (b >= 0x80) utf8.push_back(static_cast<char>(0xC0 | b >> 6));
    utf8.push_back(static_cast<char>(b < 0x80 ? b : 0x80 | (b & 0x3F)));
  }
  const std::string json = DumpJson(Json{{"b", JsonText(every_byte)}});
  for (unsigned char c : json) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << static_cast<int>(c);
  EXPECT_EQ(Hex(nlohmann::json::parse(json).at("b").get<std::string>()), Hex(utf8));

  uint8_t code = 0;  // names, numbers and 0x-hex are read in the runs below
  EXPECT_TRUE(ParseCommand("ecum_gen", code));
  EXPECT_EQ(code, 120);
  for (const char* bad : {"", "0", "256", "CMD_NOTHING", "0x", "XXXXXXXXXX"}) {
    EXPECT_FALSE(ParseCommand(bad, code)) << bad;
  }
  for (const auto& [text, hex] : std::vector<std::pair<std::string, std::string>>{
           {"CMD_READ_FIRMWARE:0000000000000000000000", "41020E2100000000000000000000006C"},
           {"read_mem1", "4102030C4C"},
           {" 41 02 04 0C 01 4A ", "4102040C014A"}}) {  // hex is taken as it is
    std::string frame;
    ASSERT_TRUE(ParseRequest(text, frame)) << text;
    EXPECT_EQ(frame, Bytes(hex));
  }
  std::string frame;
  for (const std::string& bad :
       std::vector<std::string>{"", "READ_MEM1:0", "READ_MEM1:ZZ", "4102030", "NOPE:00",
                                "READ_MEM1:" + std::string(506, '0')}) {
    EXPECT_FALSE(ParseRequest(bad, frame)) << bad;
  }
  EXPECT_TRUE(ParseRequest("READ_MEM1:" + std::string(252 * 2, '0'), frame));
  EXPECT_EQ(frame.size(), 257u);
}

// --- Numbers ---------------------------------------------------------------------------------

TEST(ToolsText, NumbersInEveryForm64BitsWideAndNothingBeyond) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  for (const auto& [text, want] :
       std::vector<std::pair<std::string, int64_t>>{{"0", 0},
                                                    {"-17", -17},
                                                    {"0x0c", 12},
                                                    {"0X7FFFFFFFFFFFFFFF", kMax},
                                                    {"9223372036854775807", kMax},
                                                    {"-9223372036854775808", kMin},
                                                    {"000000000000000000000042", 42}}) {
    int64_t value = 0;
    EXPECT_TRUE(ParseNumber(text, kMin, kMax, value)) << text;
    EXPECT_EQ(value, want) << text;
  }
  // Beyond 64 bits, or not a number in one of the two forms: refused, the value untouched.
  for (const char* bad : {"0x8000000000000000", "0xFFFFFFFFFFFFFFFF", "0x123456789ABCDEF01",
                          "9223372036854775808", "-9223372036854775809", "99999999999999999999", "",
                          "-", "0x", "0x-1", "-0x1", "+1", "1 ", " 1", "12a", "1.5"}) {
    int64_t value = 7;
    EXPECT_FALSE(ParseNumber(bad, kMin, kMax, value)) << bad;
    EXPECT_EQ(value, 7) << bad;
  }
  int64_t value = 0;
  EXPECT_FALSE(ParseNumber("0x100", 1, 255, value));
  EXPECT_TRUE(ParseNumber("0xFF", 1, 255, value));
  EXPECT_EQ(value, 255);
}

// --- Host messages and replies ---------------------------------------------------------------

TEST(ToolsHostMessages, HistoriesUsbListsAndRepliesInWords) {
  // 70000 ms = 0x00011170: bits 8-15, 0-7, 24-31, 16-23.
  EXPECT_EQ(HistoryTime(Bytes("11700001")), 70000u);
  EXPECT_EQ(HistoryTime(Bytes("00000100")), 0x1000000u);
  Reply r{.code = 7, .data = {}};                   // the data is set below
  const auto text = [&r](const std::string& hex) {  // after the status lines
    r.data = Bytes(hex);
    const std::string all = ReplyText(r);
    return all.substr(all.find("  history"));
  };
  EXPECT_EQ(text("04000000"), "  history: entry size 4, 0 entries\n");  // no answer yet
  EXPECT_EQ(text("020000001234"),  // a size that cannot hold a stamp
            "  history: entry size 2, 0 entries\n    incomplete entry (2 bytes)\n");
  EXPECT_EQ(text("0A00"), "  history: malformed (2 bytes)\n");
  // Entries of 10 bytes: a stamp and a 6-byte answer; this history was cut at its size limit.
  const std::string history = "0A000000117000014401040C004D117100014401040C014C1172";
  EXPECT_EQ(text(history), Lines({"  history: entry size 10, 2 entries",
                                  "    70000 ms: start 44 01, length 4, command 0C CMD_READ_MEM1, "
                                  "outcome 00 ok, no data, checksum 4D ok",
                                  "    70001 ms: start 44 01, length 4, command 0C CMD_READ_MEM1, "
                                  "outcome 01 ok, no data, checksum 4C ok",
                                  "    incomplete entry (2 bytes)"}));
  const std::string answer =
      R"({"kind":"answer","complete":true,"start":"44","second":"01","length":4,"command":12,)"
      R"("name":"CMD_READ_MEM1","outcome":"0)";
  EXPECT_EQ(ReplyJson(r, "history X"),
            R"({"instruction":"history X","code":7,"name":"history","length":0,"link_status":0,)"
            R"("link":"no unit","poll_mode":0,"poll":"timed","porta_com":0,"port":"USB",)"
            R"("result":0,"result_text":"done","data":")" +
                history + R"(","history":{"entry_size":10,"entries":[{"time_ms":70000,"answer":)" +
                answer +
                R"(0","outcome_text":"ok","data":"","checksum":"4D","checksum_ok":true}},)"
                R"({"time_ms":70001,"answer":)" +
                answer +
                R"(1","outcome_text":"ok","data":"","checksum":"4C","checksum_ok":true}}],)"
                R"("rest":"1172"}})");

  std::string rest;
  const std::vector<UsbDevice> blank = SplitUsbList(std::string(28, ' '), rest);
  ASSERT_EQ(blank.size(), 1u);  // the list before any device listing: one blank pair
  EXPECT_EQ(blank[0].serial + blank[0].description + rest, "");
  r = Reply{.code = 5, .data = "FT123456LPG Interface       FTABCDEFDual RS232-HS       xy"};
  EXPECT_EQ(ReplyText(r), Lines({"  reply: code 5 (usb-list), result 0 (done)",
                                 "  LinkStatus 0 (no unit), PollMode 0 (timed), PortaCom 0 (USB)",
                                 "  USB 0: serial \"FT123456\", description \"LPG Interface\"",
                                 "  USB 1: serial \"FTABCDEF\", description \"Dual RS232-HS\"",
                                 "  incomplete entry: 78 79"}));
  EXPECT_TRUE(Has(ReplyJson(r, "usb-list"),
                  R"("devices":[{"serial":"FT123456","description":"LPG Interface"},)"
                  R"({"serial":"FTABCDEF","description":"Dual RS232-HS"}]})"));
  r = Reply{.code = 12, .porta_com = 3, .result = 4, .data = "1"};
  EXPECT_EQ(ReplyText(r), Lines({"  reply: code 12 (usb-desc), result 4 (EEPROM operation failed)",
                                 "  LinkStatus 0 (no unit), PollMode 0 (timed), PortaCom 3 (COM3)",
                                 "  FAILED: refused with result 4 (EEPROM operation failed)",
                                 "  data: 31  \"1\"", "  the EEPROM could not be read"}));
  EXPECT_TRUE(Has(ReplyText(Reply{.code = 6, .result = 3, .data = Bytes("4102030C4C")}),
                  "refused request: start 41 02, length 3"));
  EXPECT_TRUE(Has(ReplyText(Reply{.code = 3, .data = "\x09"}),
                  "  FAILED: no unit with the expected identification was found\n"));
  r = Reply{.code = 3,
            .data = std::string("\x05 ", 2) + Bytes("44011D21000000000000000046572031") + "x"};
  EXPECT_TRUE(Has(ReplyText(r), "incomplete (17 of 31 bytes)"));
}

// --- Instruction words -----------------------------------------------------------------------

// "a|b|c" as the words a, b and c.
std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text + "|");  // the end closes the last word, even an empty one
  for (std::string word; std::getline(in, word, '|');) words.push_back(word);
  return words;
}

TEST(ToolsInstructions, CommandLineWordsAndScriptLinesBecomeHostMessages) {
  const std::vector<std::string> args = Split(
      "connect|5|timed|2|1|timeout|1000|usb-desc|ab|scan|sleep|20|ident|FW 1|echo|hex:00FF|"
      "send|READ_MEM1|raw|0800010000000000");
  std::vector<Instruction> got;
  std::string error;
  for (size_t pos = 0; pos < args.size();) {
    Instruction in;
    ASSERT_TRUE(ParseInstructionArgs(args, pos, in, error)) << error;
    got.push_back(in);
  }
  ASSERT_EQ(got.size(), 10u);
  EXPECT_EQ(got[0].message, EncodeHostMessage(3, "\x05"));
  EXPECT_EQ(got[1].message, EncodeHostMessage(11, Bytes("0201")));
  EXPECT_EQ(got[1].text, "timed 2 1");
  EXPECT_EQ(got[2].message, EncodeHostMessage(8, Bytes("E803")));  // little-endian
  EXPECT_EQ(got[3].message, EncodeHostMessage(12, "ab" + std::string(18, '\0')));
  EXPECT_EQ(got[4].message, EncodeHostMessage(13, std::string(1, '\0')));
  EXPECT_EQ(got[5].kind, Instruction::Kind::kSleep);
  EXPECT_EQ(got[5].sleep_ms, 20);
  EXPECT_EQ(got[6].message, EncodeHostMessage(10, std::string(12, '\0') + "FW 1"));
  EXPECT_EQ(got[7].message, EncodeHostMessage(0, Bytes("00FF")));
  EXPECT_EQ(got[8].message, EncodeHostMessage(6, Bytes("4102030C4C")));
  EXPECT_EQ(got[9].message, Bytes("0800010000000000"));
  EXPECT_TRUE(got[9].is_quit);  // a raw quit counts as quit
  for (const char* bad :
       {"connect|256", "connect", "timeout|65536", "usb-desc|123456789012345678901", "ident|",
        "watch|", "send|41G2", "raw|080", "sleep|-1", "poll-mode|x", "bogus"}) {
    size_t pos = 0;
    Instruction in;
    EXPECT_FALSE(ParseInstructionArgs(Split(bad), pos, in, error)) << bad;
    EXPECT_FALSE(error.empty());
  }

  // A script line's text or frame argument takes the rest of the line.
  std::optional<Instruction> in;
  for (const char* nothing : {"", "   ", "# a comment", "  # indented comment\r"}) {
    ASSERT_TRUE(ParseScriptLine(nothing, in, error)) << nothing;
    EXPECT_FALSE(in.has_value());
  }
  for (const auto& [line, message] : std::vector<std::pair<std::string, std::string>>{
           {"echo  two  words \r", EncodeHostMessage(0, "two  words")},
           {"echo", EncodeHostMessage(0, "")},
           {"send 41 02 04 0C 01 4A", EncodeHostMessage(6, Bytes("4102040C014A"))},
           {"history CMD_READ_MEM1:01", EncodeHostMessage(7, Bytes("4102040C014A"))},
           {"timed 1 0", EncodeHostMessage(11, Bytes("0100"))}}) {
    ASSERT_TRUE(ParseScriptLine(line, in, error)) << line;
    EXPECT_EQ(in->message, message) << line;
  }
  ASSERT_TRUE(ParseScriptLine("quit", in, error));
  EXPECT_TRUE(in->is_quit);
  for (const char* bad : {"timed 1", "timed 1 2 3", "quit now", "connect 5 6", "frobnicate"}) {
    EXPECT_FALSE(ParseScriptLine(bad, in, error)) << bad;
  }
}

// --- Canned answers of the simulated unit ----------------------------------------------------

TEST(ToolsSimAnswers, RulesByCommandNameOrWholeFrame) {
  std::vector<AnswerRule> rules;
  std::string error;
  ASSERT_TRUE(
      ParseAnswerRules("# answers\n0D 01 02 03\nCMD_READ_MEM3 -> AABB  # trailing comment\n"
                       "4102040C014A 99\n\n22\n0E raw:440103 0E 4A\r\n",
                       rules, error))
      << error;
  std::string got;
  for (const AnswerRule& r : rules) {
    got += std::to_string(r.line) + ": " + Hex(std::string(1, static_cast<char>(r.command))) +
           (r.by_frame ? " frame " + Hex(r.frame) : "") + (r.raw ? " raw " : " data ") +
           Hex(r.data) + "\n";
  }
  EXPECT_EQ(got,
            "2: 0D data 010203\n3: 0E data AABB\n4: 0C frame 4102040C014A data 99\n"
            "6: 22 data \n7: 0E raw 4401030E4A\n");
  for (const char* bad : {"0D 0", "12345 00", "0x0D 00", "NOPE 00", "0D raw:", "41020C 00"}) {
    rules.clear();
    EXPECT_FALSE(ParseAnswerRules(std::string("# ok\n") + bad + "\n", rules, error)) << bad;
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    EXPECT_TRUE(rules.empty());
  }
}

// --- Traffic-log reader ----------------------------------------------------------------------

// The lines of a normal exchange are read in the run below; these are the failures, odd times
// and foreign files.
TEST(ToolsLogReader, ReadsFailuresOversizedTimesAmbiguousWriteFailuresAndForeignFiles) {
  std::string shown;
  for (const LogEvent& e : ParseTrafficLog(" XXXXXXXXXX \r\n"
                                           "1600 ERR_DISAL 4102030041\r\n"
                                           "1700 ERR_H 54102030D4D\r\n"
                                           "1800 ClearCommError Recive \r\n"
                                           "1800 lpErrors 4\n"  // a line feed also ends a line
                                           "1850 APERTURA [COM7]\r\n"
                                           "1900 CreateFile Error#-1\r\n"
                                           "1950 APERTURA [COM5]\r\n"
                                           // times beyond 64 bits are read, without a time
                                           "99999999999999999999 T 4102030C4C\r\n"
                                           "-99999999999999999999 R 44\r\n"
                                           "CMD_ECUM_GEN\r\n")) {
    shown += FormatLogEvent(e) + "\n";
  }
  EXPECT_EQ(shown,
            Lines({"     1.600  ERR  XXXXXXXXXX                ERR_DISAL: sending stopped: "
                   "the unit talked during the request; start 41 02, length 3, command 00, "
                   "no data, checksum 41 WRONG",
                   "     1.700  ERR  CMD_READ_MEM2             ERR_H: write failed, error 5; "
                   "start 41 02, length 3, command 0D, no data, checksum 4D ok",
                   "     1.800  ERR                            ClearCommError Recive",
                   "     1.800  ERR                            lpErrors 4",
                   "     1.850  ERR                            APERTURA [COM7]  (opening the "
                   "port FAILED)",
                   "     1.900  ERR                            CreateFile Error# -1",
                   "     1.950  INFO                           APERTURA [COM5]  (port opened)",
                   "            T    CMD_READ_MEM1             start 41 02, length 3, command 0C, "
                   "no data, checksum 4C ok",
                   "            R                              start 44, incomplete (1 bytes)",
                   "            INFO                           CMD_ECUM_GEN  (command name "
                   "without a frame)"}));

  // The split of a failed write's error code from its frame takes the whole frame when one
  // fits, else the first request start.
  for (const auto& [text, note, frame] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"414102030D4D", "write failed, error 41", "4102030D4D"},
           // The first request start gives 41 41 02 03 0C 4C, not a whole frame; the later one
           // does.
           {"3414102030C4C", "write failed, error 341", "4102030C4C"},
           {"9410203", "write failed, error 9", "410203"},  // no whole frame: the first start
           {"12", "write failed", ""},
           {"5410", "write failed", ""},  // an odd number of hex digits after every start
           {"541020G", "write failed", ""}}) {
    const std::vector<LogEvent> e = ParseTrafficLog("1700 ERR_H " + text + "\r\n");
    ASSERT_EQ(e.size(), 1u) << text;
    EXPECT_EQ(e[0].note, note) << text;
    EXPECT_EQ(e[0].frame.value_or(""), Bytes(frame)) << text;
  }

  // An error code of a million digits is split as quickly as a short one.
  const std::string code(1000000, '7');
  const std::vector<LogEvent> e = ParseTrafficLog("5 ERR_H " + code + "4102030D4D\r\n");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].note, "write failed, error " + code);
  EXPECT_EQ(e[0].frame, Bytes("4102030D4D"));

  // Only a file that holds no log line at all is another file: its first line is named.
  EXPECT_EQ(FirstForeignLine(ParseTrafficLog("\nroot:x:0:0\r\nbin:x:1:1\n")), 2u);
  EXPECT_EQ(FirstForeignLine(ParseTrafficLog("")), 1u);
  for (const char* log :
       {"junk\n12 T 4102030C4C\n", "CMD_READ_MEM1\n", "99999999999999999999 R 44\n"}) {
    EXPECT_EQ(FirstForeignLine(ParseTrafficLog(log)), std::nullopt) << log;
  }
}

// --- The programs ----------------------------------------------------------------------------

using ToolsRun = e2e::ToolSession;

TEST_F(ToolsRun, RelaysPollsAndReadsHistoriesThroughSimulatorAndServerInJson) {
  // A cyclic message with a history of five answers: CMD_READ_MEM1 with one data byte.
  Write("SetComVarno.ini",
        std::string(kQuickSettings) +
            "[MSG]\r\n1\r\nengine values\r\n4102040C014A\r\n0\r\n0\r\n5\r\n0\r\n1\r\n");
  Write("answers.txt", "# canned\nCMD_READ_MEM2 -> 01 02 03\n");
  ASSERT_TRUE(StartSim("--answers " + Path("answers.txt") +
                       " --fault bad-checksum:1:CMD_READ_MEM2 --fault silence:*:0x0E"));
  const Outcome host = Host(
      "--json ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2 send 4102030C4C send "
      "'CMD_READ_MEM3' connect 5 poll-mode 1 sleep 400 history 4102040C014A poll-mode 2 "
      "history 4102030C4C");
  EXPECT_EQ(host.exit_code, 1) << host.output;  // a relay failed, a history was refused
  const std::vector<std::string> lines = SplitLines(host.output);
  ASSERT_EQ(lines.size(), 10u) << host.output;  // sleep has no reply
  // How replies and frames are written as JSON is checked field by field above; here the values
  // the server gave. Per reply: instruction, code, length, LinkStatus, PollMode, PortaCom,
  // result and data, as far as they are known beforehand (the live values and the history's
  // length are not).
  std::vector<Json> got;
  std::vector<std::string> summary;
  for (const std::string& line : lines) {
    got.push_back(Json::parse(line));
    summary.push_back(got.back()["instruction"].get<std::string>());
    for (const char* f : {"code", "length", "link_status", "poll_mode", "porta_com", "result"})
      summary.back() += " " + got.back()[f].dump();
    summary.back() += " " + got.back()["data"].get<std::string>() + "\n";
  }
  const std::string text = "FW 1.00 LPGJET-4 X";
  const std::string found =
      "connect 5 3 41 1 0 5 0 052044011D210000000000000000" + Hex(text) + "16\n";
  const std::vector<std::string> want = {
      "ident " + text + " 10 38 0 0 0 0 " + std::string(24, '0') + Hex(text) + "\n", found,
      // The first answer to READ_MEM2 had a bad checksum; the server's retry got a good one.
      "send READ_MEM2 6 17 1 0 5 0 4401070D000102034F\n", "send 4102030C4C 6 26 1 0 5 0 4401100C00",
      // READ_MEM3 never gets an answer: an empty answer and the link given up.
      "send CMD_READ_MEM3 6 8 0 0 5 0 \n", found,  // found again
      "poll-mode 1 4 9 1 1 5 0 01\n", "history 4102040C014A 7 ", "poll-mode 2 4 9 1 2 5 0 02\n",
      // Only cyclic messages keep a history to hand out.
      "history 4102030C4C 7 13 1 2 5 3 4102030C4C\n"};
  for (size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ(summary[i].substr(0, want[i].size()), want[i]) << i;
  EXPECT_EQ(got[0]["text"], std::string(12, '\0') + text);
  EXPECT_EQ(got[1]["identification_text"], text);
  EXPECT_EQ(got[1]["identification"]["name"], "CMD_READ_FIRMWARE");
  EXPECT_EQ(got[2]["answer"]["data"], "010203");
  EXPECT_EQ(got[4]["failure"], "the relay failed: no checked answer after every attempt");
  EXPECT_EQ(got[6]["mode"], 1);
  EXPECT_EQ(got[8]["mode"], 2);
  const std::string history = lines[7];
  EXPECT_TRUE(Has(history, R"(,"history":{"entry_size":22,"entries":[{"time_ms":)")) << history;
  const int entries = Count(history, R"(,"answer":{"kind":"answer","complete":true,"start":"44",)"
                                     R"("second":"01","length":16,"command":12,)");
  EXPECT_TRUE(entries >= 1 && entries <= 5) << history;
  EXPECT_EQ(Count(history, R"("checksum_ok":true)"), entries);
  EXPECT_EQ(got[9]["failure"], "refused with result 3 (argument refused or no such message)");

  // The simulator logged what it saw.
  const std::string sim_log = Read("sim.log");
  ExpectHas(sim_log,
            {"  <-  CMD_READ_FIRMWARE        41023921",
             "  ->  CMD_READ_MEM2            4401070D00010203B0\n",  // spoilt
             "  ->  CMD_READ_MEM2            4401070D000102034F\n",
             "  ->  CMD_READ_MEM3            (no answer)\n", "  --  port opened at 38400 baud\n"});

  // The traffic log, decoded.
  const Outcome all = LogTool(Path("RxTx.TXT"));
  ASSERT_EQ(all.exit_code, 0) << all.output;
  ExpectHas(all.output, {"(log started)", "APERTURA [COM5]", "T    CMD_READ_FIRMWARE",
                         "ERROR:RX ESITO_CKSUM  (the answer's checksum is wrong)"});
  const Outcome mem2 = LogTool("--command CMD_READ_MEM2 " + Path("RxTx.TXT"));
  ASSERT_EQ(mem2.exit_code, 0);
  // Sent twice, answered twice (the first answer spoilt), one check failure.
  const std::vector<std::string> mem2_lines = SplitLines(mem2.output);
  EXPECT_EQ(mem2_lines.size(), 5u) << mem2.output;
  for (const std::string& line : mem2_lines) EXPECT_TRUE(Has(line, "CMD_READ_MEM2")) << line;
  EXPECT_EQ(Count(mem2.output, " T    CMD_READ_MEM2"), 2);
  EXPECT_EQ(Count(mem2.output, "checksum B0 WRONG"), 1) << mem2.output;
  EXPECT_EQ(LogTool("--command 0x0D < " + Path("RxTx.TXT")).output, mem2.output);
  // READ_MEM3: three attempts (NumResend 2), no answer.
  const Outcome mem3 = LogTool("--command 14 " + Path("RxTx.TXT"));
  EXPECT_EQ(Count(mem3.output, " T    CMD_READ_MEM3"), 3) << mem3.output;
  EXPECT_EQ(Count(mem3.output, " R "), 0);
}

// The reply time-out covers every attempt of one transaction with the settings the server reads
// (LF line ends too), plus a margin; the defaults give 11 attempts of about 4.17 s.
TEST(ToolsReplyTime, CoversEveryAttemptOfOneTransaction) {
  const ReplyTime defaults = WorstReplyTime(Settings{});
  EXPECT_EQ(defaults.attempts, 11);
  EXPECT_DOUBLE_EQ(defaults.attempt_ms, 257 * 0.5 + 4000 + 40 + 5);
  EXPECT_EQ(defaults.timeout_ms, 52500);
  TempFolder folder("reply-time");
  std::ofstream(folder.path() + "/SetComVarno.ini")
      << "[NumResend]\n-1\n[AttesaGlobale_usec]\n100000\n[AttesaByteTx_usec]\n0\n";
  const ReplyTime quick = ReplyTimeForFolder(ServerProgramFolder(folder.path(), "/bin/ecubridge"));
  EXPECT_EQ(quick.attempts, 1);
  EXPECT_DOUBLE_EQ(quick.attempt_ms, 145);
  EXPECT_EQ(quick.timeout_ms, 2160);
}

TEST_F(ToolsRun, ScriptAndInteractiveModes) {
  Write("script.txt",
        "# a script\r\n\r\necho one two\r\n  poll-mode 1\r\ntimeout 1000\r\nquit\r\n");
  Outcome r = Host("--script " + Path("script.txt"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  ExpectHas(r.output, {"> echo one two", "data: \"one two\"", "PollMode 1 (cyclic)",
                       "answer time-out 1000 ms"});
  EXPECT_EQ(Count(r.output, "> quit"), 1);
  r = Host("--json --script - < " + Path("script.txt"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(Count(r.output, "{\"instruction\":"), 4) << r.output;

  Write("typed.txt", "help\npoll-mode 1\nnonsense\necho hi\n");
  r = Host("--interactive < " + Path("typed.txt"));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  ExpectHas(r.output, {"send FRAME", "unknown instruction 'nonsense'"});  // the help, a word
  // The prompt after a reply shows the link state it reported.
  EXPECT_TRUE(Has(r.output, "[no unit, USB, polling cyclic] ecubridge> > echo hi")) << r.output;

  // A script line that is wrong stops everything before the server starts.
  Write("bad.txt", "echo fine\nconnect 300\n");
  r = Host("--script " + Path("bad.txt"));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_TRUE(Has(r.output, "bad.txt:2:")) << r.output;
  EXPECT_FALSE(Has(r.output, "> echo"));
}

// At a terminal the prompt edits lines and recalls earlier ones with the arrow keys, and a long
// wait shows its progress on standard error: the time and the attempt.
TEST_F(ToolsRun, InteractivePromptRecallsEarlierLinesAndShowsALongRelaysProgress) {
  Write("SetComVarno.ini", "[AttesaGlobale_usec]\r\n700000\r\n[NumResend]\r\n1\r\n");
  ASSERT_TRUE(StartSim("--fault silence:*:0x0E --quiet"));
  const int master = e2e::OpenTerminal();
  ASSERT_GE(master, 0);
  ChildProcess host;
  ASSERT_TRUE(
      host.Start({"/bin/sh", "-c",
                  "exec \"$0\" --server \"$1\" --home \"$2\" --interactive <\"$3\" >\"$3\" 2>&1",
                  ECUBRIDGE_HOST_EXE, ECUBRIDGE_EXE, home_, ptsname(master)}));
  std::string seen;
  const auto until = [&](const std::string& what, int count) {
    return e2e::Eventually([&] {
      e2e::ReadSome(master, seen, 10);
      return Count(seen, what) >= count;
    });
  };
  ASSERT_EQ(write(master, "echo one\n", 9), 9);
  EXPECT_TRUE(until("data: \"one\"", 1)) << seen;
  ASSERT_EQ(write(master, "\x1b[A\n", 4), 4);  // the line before, again
  EXPECT_TRUE(until("data: \"one\"", 2)) << seen;
  const std::string relay = "ident FW 1.00 LPGJET-4 X\nconnect 5\nsend READ_MEM3\nquit\n";
  ASSERT_EQ(write(master, relay.data(), relay.size()), static_cast<ssize_t>(relay.size()));
  EXPECT_TRUE(until("waiting for the reply: 1 s of 4 s, attempt 2 of 2", 1)) << seen;
  EXPECT_EQ(host.WaitExit(10000), 1) << seen;  // a relay failed
  close(master);
}

// The simulator makes the folders a fresh account lacks, ends by itself and removes its port.
// A user's own COMn (a link to a real cable) is neither replaced at the start nor removed at
// the end, even when it took the place of the simulator's link meanwhile.
TEST_F(ToolsRun, SimulatorMakesItsFolderAndRemovesOnlyItsOwnPort) {
  namespace fs = std::filesystem;
  const std::string sim = std::string(ECUBRIDGE_SIM_EXE) + " --seconds 0.3 --ports ";
  Outcome r = RunCommand(sim + Path("new/ports") + " --com 9");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output.rfind(Path("new/ports/COM9") + "\n", 0), 0u) << r.output;
  EXPECT_TRUE(Has(r.output, "ending: 0 requests received"));
  EXPECT_FALSE(fs::exists(Path("new/ports/COM9"), ec_));
  EXPECT_TRUE(fs::is_directory(Path("new/ports"), ec_));

  fs::create_symlink("/dev/ttyUSB0", Path("ports/COM5"));
  r = RunCommand(sim + Path("ports") + " --com 5");
  EXPECT_EQ(r.exit_code, 1) << r.output;
  EXPECT_TRUE(Has(r.output, "COM5 (-> /dev/ttyUSB0) is not this simulator's")) << r.output;
  EXPECT_EQ(fs::read_symlink(Path("ports/COM5"), ec_), "/dev/ttyUSB0");
  fs::remove(Path("ports/COM5"));
  ASSERT_TRUE(StartSim(""));
  fs::remove(Path("ports/COM5"));
  fs::create_symlink("/dev/ttyUSB1", Path("ports/COM5"));
  sim_.Terminate();
  EXPECT_EQ(sim_.WaitExit(5000), 0);
  EXPECT_EQ(fs::read_symlink(Path("ports/COM5"), ec_), "/dev/ttyUSB1");
}

// One case for each kind of refusal; the instruction words have their own table above.
TEST_F(ToolsRun, BadArgumentsExitTwoAndUnusableFilesOrMissingRepliesOne) {
  // With an unknown polling mode instruction 6 gets no reply at all.
  Outcome r = Host("--timeout-ms 500 poll-mode 7 send READ_MEM1 echo never");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Has(r.output, "no reply within 500 ms (with PollMode 7")) << r.output;
  EXPECT_FALSE(Has(r.output, "> echo never"));
  r = RunCommand(std::string(ECUBRIDGE_HOST_EXE) + " --server /bin/false echo x");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(Has(r.output, "the server has ended (exit code 1)")) << r.output;
  const std::string sim = ECUBRIDGE_SIM_EXE;
  const std::string host = std::string(ECUBRIDGE_HOST_EXE) + " --server " + ECUBRIDGE_EXE;
  const std::string log = ECUBRIDGE_LOG_EXE;
  // A refusal that is missed ends by itself instead of hanging the test.
  const std::string com5 = sim + " --ports " + Path("ports") + " --com 5 --seconds 2";
  for (const std::string& command :
       {sim + " --com 5", com5 + " --com 0", com5 + " --fault silence:0",
        com5 + " --fault silence:2:NOPE", com5 + " --delay-ms -3", com5 + " --seconds", host,
        host + " --timeout-ms 0 echo x", host + " quit echo x",
        host + " echo x --script " + Path("none"), host + " --home " + Path("missing") + " echo x",
        std::string(ECUBRIDGE_HOST_EXE) + " --server " + Path("missing") + " echo x",
        log + " --command NOPE", log + " a b"}) {
    const Outcome got = RunCommand(command);
    EXPECT_EQ(got.exit_code, 2) << command << "\n" << got.output;
    EXPECT_TRUE(Has(got.output, "--help")) << command << "\n" << got.output;
  }
  Write("bad-answers.txt", "0D zz\n");
  // Another file than a traffic log, and no file at all at a terminal.
  const Outcome passwd = RunCommand(log + " /etc/passwd");
  EXPECT_EQ(passwd.exit_code, 1);
  EXPECT_EQ(passwd.output, "ecubridge-log: /etc/passwd:1: not a traffic log line (RxTx.TXT)\n");
  const int master = e2e::OpenTerminal();
  ASSERT_GE(master, 0);
  const Outcome typed = RunCommand(log + " < " + ptsname(master));
  close(master);
  EXPECT_EQ(typed.exit_code, 2);
  EXPECT_EQ(typed.output.rfind("usage: ecubridge-log", 0), 0u) << typed.output;
  for (const std::string& command :
       {com5 + " --answers " + Path("missing"), com5 + " --answers " + Path("bad-answers.txt"),
        com5 + " --scramble-table " + Path("bad-answers.txt"), log + " " + Path("missing"),
        host + " --script " + Path("missing")}) {
    const Outcome got = RunCommand(command);
    EXPECT_EQ(got.exit_code, 1) << command << "\n" << got.output;
  }
  EXPECT_TRUE(Has(RunCommand(com5 + " --answers " + Path("bad-answers.txt")).output,
                  "line 1: 'zz' is not hex"));
  EXPECT_FALSE(std::filesystem::exists(Path("ports/COM5"), ec_));
}

}  // namespace
}  // namespace ecub::tools
