// The developer tools: their decoders directly, then ecubridge-sim, ecubridge-host and
// ecubridge-log as real programs around the real server.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/frames.h"
#include "common/host_messages.h"
#include "common/instructions.h"
#include "common/log_reader.h"
#include "common/sim_answers.h"
#include "common/text.h"
#include "platform/posix/child_process.h"

namespace ecub::tools {
namespace {

std::string Bytes(const std::string& hex) {
  std::string bytes;
  EXPECT_TRUE(ParseHex(hex, bytes)) << hex;
  return bytes;
}

// ---------------------------------------------------------------------------------------------
// A small JSON reader, enough to check what the host tool prints.

struct Json {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject } type = Type::kNull;
  bool boolean = false;
  double number = 0;
  std::string string;  // bytes: \u00XX escapes back to one byte each
  std::vector<Json> array;
  std::map<std::string, Json> object;

  const Json& operator[](const std::string& key) const {
    static const Json kMissing;
    const auto it = object.find(key);
    return it == object.end() ? kMissing : it->second;
  }
  bool Has(const std::string& key) const { return object.count(key) > 0; }
  int64_t Int() const { return static_cast<int64_t>(number); }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : t_(text) {}
  // Nothing unless the whole text is one valid value.
  std::optional<Json> Parse() {
    Json v;
    if (!Value(v)) return std::nullopt;
    Blank();
    if (at_ != t_.size()) return std::nullopt;
    return v;
  }

 private:
  void Blank() {
    while (at_ < t_.size() && (t_[at_] == ' ' || t_[at_] == '\n' || t_[at_] == '\t')) ++at_;
  }
  bool Eat(char c) {
    Blank();
    if (at_ < t_.size() && t_[at_] == c) return ++at_, true;
    return false;
  }
  bool Word(const char* w) {
    const std::string word = w;
    if (t_.compare(at_, word.size(), word) != 0) return false;
    at_ += word.size();
    return true;
  }
  bool String(std::string& out) {
    if (!Eat('"')) return false;
    while (at_ < t_.size() && t_[at_] != '"') {
      const char c = t_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (at_ >= t_.size()) return false;
      const char e = t_[at_++];
      if (e == 'u') {
        std::string code;
        if (at_ + 4 > t_.size() || !ParseHex(t_.substr(at_, 4), code)) return false;
        at_ += 4;
        if (code[0] != 0) return false;  // the tools only write Latin-1 bytes
        out.push_back(code[1]);
      } else if (e == '"' || e == '\\' || e == '/') {
        out.push_back(e);
      } else if (e == 'n') {
        out.push_back('\n');
      } else {
        return false;
      }
    }
    return Eat('"');
  }
  bool Value(Json& v) {
    Blank();
    if (at_ >= t_.size()) return false;
    const char c = t_[at_];
    if (c == '{') {
      ++at_;
      v.type = Json::Type::kObject;
      if (Eat('}')) return true;
      do {
        std::string key;
        Json member;
        if (!String(key) || !Eat(':') || !Value(member)) return false;
        if (v.object.count(key) > 0) return false;  // keys are unique
        v.object[key] = member;
      } while (Eat(','));
      return Eat('}');
    }
    if (c == '[') {
      ++at_;
      v.type = Json::Type::kArray;
      if (Eat(']')) return true;
      do {
        Json element;
        if (!Value(element)) return false;
        v.array.push_back(element);
      } while (Eat(','));
      return Eat(']');
    }
    if (c == '"') {
      v.type = Json::Type::kString;
      return String(v.string);
    }
    if (Word("true") || Word("false")) {
      v.type = Json::Type::kBool;
      v.boolean = t_[at_ - 1] == 'e' && t_[at_ - 2] == 'u';
      return true;
    }
    if (Word("null")) return true;
    size_t end = at_;
    if (end < t_.size() && t_[end] == '-') ++end;
    const size_t digits = end;
    while (end < t_.size() && t_[end] >= '0' && t_[end] <= '9') ++end;
    if (end == digits) return false;
    v.type = Json::Type::kNumber;
    v.number = std::stod(t_.substr(at_, end - at_));
    at_ = end;
    return true;
  }

  const std::string& t_;
  size_t at_ = 0;
};

std::vector<Json> JsonLines(const std::string& output) {
  std::vector<Json> values;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::optional<Json> v = JsonParser(line).Parse();
    EXPECT_TRUE(v.has_value()) << "not JSON: " << line;
    if (v) values.push_back(*v);
  }
  return values;
}

TEST(ToolsJson, EveryByteStringGivesJsonThatReadsBackTheSame) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string text =
      JsonObject().Add("bytes", all).Add("n", 300).Add("ok", true).AddRaw("list", "[1,2]").str();
  const std::optional<Json> v = JsonParser(text).Parse();
  ASSERT_TRUE(v.has_value()) << text;
  EXPECT_EQ((*v)["bytes"].string, all);
  EXPECT_EQ((*v)["n"].Int(), 300);
  EXPECT_TRUE((*v)["ok"].boolean);
  EXPECT_EQ((*v)["list"].array.size(), 2u);
  // The reader itself refuses what is not JSON, so the checks below mean something.
  for (const char* bad :
       {"{\"a\":1,}", "{\"a\" 1}", "{\"a\":1}{", "[1,2", "\"\x01\"", "{\"a\":1,\"a\":2}"}) {
    EXPECT_FALSE(JsonParser(bad).Parse().has_value()) << bad;
  }
}

// ---------------------------------------------------------------------------------------------
// Frames.

TEST(ToolsFrames, SplitsRequestsAndAnswersIntoTheirFields) {
  FrameFields f = SplitFrame(Bytes("4102030C4C"));
  EXPECT_EQ(f.kind, FrameKind::kRequest);
  EXPECT_TRUE(f.complete);
  EXPECT_EQ(f.length, 3);
  EXPECT_EQ(f.command, 0x0C);
  EXPECT_FALSE(f.outcome.has_value());
  EXPECT_EQ(f.data, "");
  EXPECT_EQ(f.checksum, 0x4C);
  EXPECT_TRUE(f.checksum_ok);
  EXPECT_EQ(DescribeFrame(f),
            "start 41 02, length 3, command 0C CMD_READ_MEM1, no data, checksum 4C ok");

  f = SplitFrame(Bytes("440104210060"));  // identification accepted, no data
  EXPECT_EQ(f.kind, FrameKind::kAnswer);
  EXPECT_EQ(f.command, 0x21);
  EXPECT_EQ(f.outcome, 0x00);
  EXPECT_TRUE(f.checksum_ok);

  f = SplitFrame(Bytes("4201070D0001020349") + Bytes("55AA"));  // 'B' start, trailing
  EXPECT_EQ(f.kind, FrameKind::kAnswer);
  EXPECT_EQ(f.data, Bytes("010203"));
  EXPECT_EQ(f.trailing, Bytes("55AA"));
  EXPECT_TRUE(f.checksum_ok);  // the bytes after the frame are not part of it
  EXPECT_NE(DescribeFrame(f).find("then 55AA"), std::string::npos);

  f = SplitFrame(Bytes("440104210061"));  // wrong checksum
  EXPECT_FALSE(f.checksum_ok);
  EXPECT_NE(DescribeFrame(f).find("checksum 61 WRONG"), std::string::npos);

  f = SplitFrame(Bytes("4401030C4A"));  // echo and checksum only: no outcome byte
  EXPECT_FALSE(f.outcome.has_value());
  EXPECT_EQ(f.command, 0x0C);
  EXPECT_TRUE(f.checksum_ok);

  f = SplitFrame(Bytes("44010C0CFE"));  // not executed, and only 5 of 14 bytes
  EXPECT_FALSE(f.complete);
  EXPECT_EQ(f.outcome, 0xFE);
  EXPECT_FALSE(f.checksum.has_value());
  EXPECT_NE(DescribeFrame(f).find("not executed"), std::string::npos);
  EXPECT_NE(DescribeFrame(f).find("incomplete (5 of 14 bytes)"), std::string::npos);

  const std::optional<Json> j = JsonParser(FrameJson(SplitFrame(Bytes("4401050C00FF")))).Parse();
  ASSERT_TRUE(j.has_value());
  EXPECT_EQ((*j)["name"].string, "CMD_READ_MEM1");
  EXPECT_EQ((*j)["data"].string, "FF");
  EXPECT_FALSE((*j)["checksum_ok"].boolean);  // 44^01^05^0C^00 is 4C, not FF
}

TEST(ToolsFrames, CommandsAndRequestsFromNamesCodesAndHex) {
  uint8_t code = 0;
  EXPECT_TRUE(ParseCommand("CMD_READ_FIRMWARE", code));
  EXPECT_EQ(code, 0x21);
  EXPECT_TRUE(ParseCommand("ecum_gen", code));
  EXPECT_EQ(code, 120);
  EXPECT_TRUE(ParseCommand("0x0C", code));
  EXPECT_EQ(code, 12);
  EXPECT_TRUE(ParseCommand("33", code));
  EXPECT_EQ(code, 33);
  for (const char* bad : {"", "0", "256", "CMD_NOTHING", "0x", "XXXXXXXXXX"}) {
    EXPECT_FALSE(ParseCommand(bad, code)) << bad;
  }

  std::string frame;
  ASSERT_TRUE(ParseRequest("CMD_READ_FIRMWARE:0000000000000000000000", frame));
  EXPECT_EQ(frame, Bytes("41020E21") + std::string(11, '\0') + Bytes("6C"));
  ASSERT_TRUE(ParseRequest("read_mem1", frame));
  EXPECT_EQ(frame, Bytes("4102030C4C"));
  ASSERT_TRUE(ParseRequest(" 41 02 04 0C 01 4A ", frame));  // hex is taken as it is
  EXPECT_EQ(frame, Bytes("4102040C014A"));
  for (const char* bad : {"", "READ_MEM1:0", "READ_MEM1:ZZ", "4102030", "NOPE:00"}) {
    EXPECT_FALSE(ParseRequest(bad, frame)) << bad;
  }
  EXPECT_FALSE(ParseRequest("READ_MEM1:" + std::string(253 * 2, '0'), frame));
  EXPECT_TRUE(ParseRequest("READ_MEM1:" + std::string(252 * 2, '0'), frame));
  EXPECT_EQ(frame.size(), 257u);
}

// ---------------------------------------------------------------------------------------------
// Host messages and replies.

TEST(ToolsHostMessages, LengthFieldCountsItsHighPartIn255s) {
  EXPECT_EQ(HostMessage(0, ""), std::string("\x08\x00\x00\x00\x00\x00\x00\x00", 8));
  const std::string m = HostMessage(6, std::string(292, 'x'));  // 300 bytes in all
  ASSERT_EQ(m.size(), 300u);
  EXPECT_EQ(static_cast<uint8_t>(m[0]), 45);
  EXPECT_EQ(static_cast<uint8_t>(m[1]), 1);
  EXPECT_EQ(static_cast<uint8_t>(m[2]), 6);
  const std::string big = HostMessage(0, std::string(kMaxHostMessage - 8, 'b'));
  EXPECT_EQ(static_cast<uint8_t>(big[0]), 255);
  EXPECT_EQ(static_cast<uint8_t>(big[1]), 255);
  const std::string at255 = HostMessage(0, std::string(255 - 8, 'b'));
  EXPECT_EQ(static_cast<uint8_t>(at255[0]) + 255 * static_cast<uint8_t>(at255[1]), 255);
}

TEST(ToolsHostMessages, RepliesAreTakenOnlyWhole) {
  const std::string bytes = Bytes("000A0401000205004142");
  const std::optional<Reply> r = ParseReply(bytes);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->code, 4);
  EXPECT_EQ(r->link_status, 1);
  EXPECT_EQ(r->poll_mode, 2);
  EXPECT_EQ(r->porta_com, 5);
  EXPECT_EQ(r->result, 0);
  EXPECT_EQ(r->data, "AB");
  EXPECT_FALSE(ParseReply(bytes.substr(0, 9)).has_value());
  EXPECT_FALSE(ParseReply(bytes + "C").has_value());
  EXPECT_FALSE(ParseReply(Bytes("00070000000000")).has_value());
  EXPECT_EQ(ReplyLength(Bytes("0134")), 308u);  // big-endian, units of 256
}

TEST(ToolsHostMessages, HistoriesAreCutIntoTimeStampedEntries) {
  // 70000 ms = 0x00011170: bits 8-15, 0-7, 24-31, 16-23.
  EXPECT_EQ(HistoryTime(Bytes("11700001")), 70000u);
  EXPECT_EQ(HistoryTime(Bytes("12340000")), 0x1234u);  // high byte of the low half first
  EXPECT_EQ(HistoryTime(Bytes("34120000")), 0x3412u);
  EXPECT_EQ(HistoryTime(Bytes("00000100")), 0x1000000u);

  const std::string a1 = Bytes("4401040C004D");  // 6-byte answers, entries of 10
  const std::string a2 = Bytes("4401040C014C");
  History h = SplitHistory(Bytes("0A000000") + Bytes("11700001") + a1 + Bytes("11710001") + a2 +
                           Bytes("1172"));
  ASSERT_TRUE(h.has_size);
  EXPECT_EQ(h.entry_size, 10u);
  ASSERT_EQ(h.entries.size(), 2u);
  EXPECT_EQ(h.entries[0].time_ms, 70000u);
  EXPECT_EQ(h.entries[0].answer, a1);
  EXPECT_EQ(h.entries[1].time_ms, 70001u);
  EXPECT_EQ(h.entries[1].answer, a2);
  EXPECT_EQ(h.rest, Bytes("1172"));  // a history cut at its size limit

  h = SplitHistory(Bytes("04000000"));  // no answer yet: just the prefix
  EXPECT_TRUE(h.has_size);
  EXPECT_TRUE(h.entries.empty());
  EXPECT_TRUE(h.rest.empty());
  h = SplitHistory(Bytes("020000001234"));  // a size that cannot hold a stamp
  EXPECT_TRUE(h.entries.empty());
  EXPECT_EQ(h.rest, Bytes("1234"));
  EXPECT_FALSE(SplitHistory(Bytes("0A00")).has_size);

  Reply r;
  r.code = 7;
  r.data = Bytes("0A000000") + Bytes("11700001") + a1;
  const std::optional<Json> j = JsonParser(ReplyJson(r, "history X")).Parse();
  ASSERT_TRUE(j.has_value());
  const Json& entries = (*j)["history"]["entries"];
  ASSERT_EQ(entries.array.size(), 1u);
  EXPECT_EQ(entries.array[0]["time_ms"].Int(), 70000);
  EXPECT_EQ(entries.array[0]["answer"]["data"].string, "");
  EXPECT_EQ(entries.array[0]["answer"]["outcome"].string, "00");
  EXPECT_NE(ReplyText(r).find("70000 ms: start 44 01"), std::string::npos);
}

TEST(ToolsHostMessages, UsbListsArePairsOfSerialAndDescription) {
  std::string rest;
  std::vector<UsbDevice> d = SplitUsbList(std::string(28, ' '), rest);
  ASSERT_EQ(d.size(), 1u);  // the list before any device listing: one blank pair
  EXPECT_EQ(d[0].serial, "");
  EXPECT_EQ(d[0].description, "");
  d = SplitUsbList("FT123456LPG Interface       FTABCDEFDual RS232-HS       xy", rest);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].serial, "FT123456");
  EXPECT_EQ(d[0].description, "LPG Interface");
  EXPECT_EQ(d[1].serial, "FTABCDEF");
  EXPECT_EQ(d[1].description, "Dual RS232-HS");
  EXPECT_EQ(rest, "xy");
}

TEST(ToolsHostMessages, ReplyTextNamesResultsAndLinkState) {
  Reply r;
  r.code = 12;
  r.result = 4;
  r.data = "1";
  r.porta_com = 3;
  const std::string t = ReplyText(r);
  EXPECT_NE(t.find("result 4 (EEPROM operation failed)"), std::string::npos) << t;
  EXPECT_NE(t.find("could not be read"), std::string::npos) << t;
  EXPECT_NE(t.find("PortaCom 3 (COM3)"), std::string::npos) << t;
  r = Reply{};
  r.code = 3;
  r.link_status = 1;
  r.data = std::string("\x05 ", 2) + Bytes("44011D21000000000000000046572031") + "x";
  EXPECT_NE(ReplyText(r).find("incomplete"), std::string::npos);
  r.code = 6;
  r.result = 3;
  r.data = Bytes("4102030C4C");
  EXPECT_NE(ReplyText(r).find("refused request: start 41 02"), std::string::npos);
  EXPECT_EQ(ResultText(2), "unknown instruction code");
  EXPECT_EQ(LinkStatusText(7), "searching");
  EXPECT_EQ(PollModeText(2), "off");
}

// ---------------------------------------------------------------------------------------------
// Instruction words.

TEST(ToolsInstructions, CommandLineWordsBecomeHostMessages) {
  const std::vector<std::string> args = {
      "connect",  "5",        "timed", "2",         "1",   "timeout",         "1000",
      "usb-desc", "ab",       "scan",  "sleep",     "20",  "ident",           "FW 1",
      "echo",     "hex:00FF", "send",  "READ_MEM1", "raw", "0800010000000000"};
  std::vector<Instruction> got;
  std::string error;
  for (size_t pos = 0; pos < args.size();) {
    Instruction in;
    ASSERT_TRUE(ParseInstructionArgs(args, pos, in, error)) << error;
    got.push_back(in);
  }
  ASSERT_EQ(got.size(), 10u);
  EXPECT_EQ(got[0].message, HostMessage(3, "\x05"));
  EXPECT_EQ(got[1].message, HostMessage(11, Bytes("0201")));
  EXPECT_EQ(got[2].message, HostMessage(8, Bytes("E803")));  // little-endian
  EXPECT_EQ(got[3].message, HostMessage(12, "ab" + std::string(18, '\0')));
  EXPECT_EQ(got[4].message, HostMessage(13, std::string(1, '\0')));
  EXPECT_EQ(got[5].kind, Instruction::Kind::kSleep);
  EXPECT_EQ(got[5].sleep_ms, 20);
  EXPECT_EQ(got[6].message, HostMessage(10, std::string(12, '\0') + "FW 1"));
  EXPECT_EQ(got[7].message, HostMessage(0, Bytes("00FF")));
  EXPECT_EQ(got[8].message, HostMessage(6, Bytes("4102030C4C")));
  EXPECT_EQ(got[9].message, Bytes("0800010000000000"));
  EXPECT_TRUE(got[9].is_quit);  // a raw quit counts as quit
  EXPECT_EQ(got[1].text, "timed 2 1");

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"connect", "256"},
                                             {"connect"},
                                             {"timeout", "65536"},
                                             {"usb-desc", std::string(21, 'x')},
                                             {"ident", ""},
                                             {"watch", ""},
                                             {"send", "41G2"},
                                             {"raw", "080"},
                                             {"sleep", "-1"},
                                             {"poll-mode", "x"},
                                             {"bogus"}}) {
    size_t pos = 0;
    Instruction in;
    EXPECT_FALSE(ParseInstructionArgs(bad, pos, in, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(ToolsInstructions, ScriptLinesTakeTheRestOfTheLine) {
  std::optional<Instruction> in;
  std::string error;
  for (const char* nothing : {"", "   ", "# a comment", "  # indented comment\r"}) {
    ASSERT_TRUE(ParseScriptLine(nothing, in, error)) << nothing;
    EXPECT_FALSE(in.has_value());
  }
  ASSERT_TRUE(ParseScriptLine("echo  two  words \r", in, error));
  EXPECT_EQ(in->message, HostMessage(0, "two  words"));
  ASSERT_TRUE(ParseScriptLine("echo", in, error));
  EXPECT_EQ(in->message, HostMessage(0, ""));
  ASSERT_TRUE(ParseScriptLine("send 41 02 04 0C 01 4A", in, error));
  EXPECT_EQ(in->message, HostMessage(6, Bytes("4102040C014A")));
  ASSERT_TRUE(ParseScriptLine("history CMD_READ_MEM1:01", in, error));
  EXPECT_EQ(in->message, HostMessage(7, Bytes("4102040C014A")));
  ASSERT_TRUE(ParseScriptLine("timed 1 0", in, error));
  EXPECT_EQ(in->message, HostMessage(11, Bytes("0100")));
  ASSERT_TRUE(ParseScriptLine("quit", in, error));
  EXPECT_TRUE(in->is_quit);
  for (const char* bad : {"timed 1", "timed 1 2 3", "quit now", "connect 5 6", "frobnicate"}) {
    EXPECT_FALSE(ParseScriptLine(bad, in, error)) << bad;
  }
}

// ---------------------------------------------------------------------------------------------
// Canned answers of the simulated unit.

TEST(ToolsSimAnswers, RulesByCommandNameOrWholeFrame) {
  std::vector<AnswerRule> rules;
  std::string error;
  ASSERT_TRUE(
      ParseAnswerRules("# answers\n0D 01 02 03\nCMD_READ_MEM3 -> AABB  # trailing comment\n"
                       "4102040C014A 99\n\n22\n0E raw:440103 0E 4A\r\n",
                       rules, error))
      << error;
  ASSERT_EQ(rules.size(), 5u);
  EXPECT_EQ(rules[0].command, 0x0D);
  EXPECT_EQ(rules[0].data, Bytes("010203"));
  EXPECT_FALSE(rules[0].by_frame);
  EXPECT_EQ(rules[1].command, 0x0E);
  EXPECT_EQ(rules[1].data, Bytes("AABB"));
  EXPECT_TRUE(rules[2].by_frame);
  EXPECT_EQ(rules[2].frame, Bytes("4102040C014A"));
  EXPECT_EQ(rules[2].command, 0x0C);
  EXPECT_EQ(rules[3].command, 0x22);
  EXPECT_EQ(rules[3].data, "");
  EXPECT_TRUE(rules[4].raw);
  EXPECT_EQ(rules[4].data, Bytes("4401030E4A"));
  EXPECT_EQ(rules[4].line, 7);

  for (const char* bad : {"0D 0", "12345 00", "0x0D 00", "NOPE 00", "0D raw:", "41020C 00"}) {
    rules.clear();
    EXPECT_FALSE(ParseAnswerRules(std::string("# ok\n") + bad + "\n", rules, error)) << bad;
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    EXPECT_TRUE(rules.empty());
  }
}

// ---------------------------------------------------------------------------------------------
// Traffic-log reader.

TEST(ToolsLogReader, ReadsFramesNamesChecksAndPortFailures) {
  const std::string log =
      "0 TimerApi_uSec 1234 Now 05/03/2025 09:07:03\r\n"
      "3 APERTURA [COM5]\r\n"
      "CMD_READ_MEM1\r\n"
      "1523 T 4102030C4C\r\n"
      "1561 R 4401050C0011FF\r\n"
      "1561 COMUNICATION ERROR:RX ESITO_CKSUM\r\n"
      " XXXXXXXXXX \r\n"
      "1600 ERR_DISAL 41020300"
      "41\r\n"
      "1700 ERR_H 54102030D4D\r\n"
      "1800 ClearCommError Recive \r\n"
      "1800 lpErrors 4\n"
      "1900 CreateFile Error#-1\r\n"
      "CMD_ECUM_GEN\r\n";
  const std::vector<LogEvent> e = ParseTrafficLog(log);
  ASSERT_EQ(e.size(), 11u);
  EXPECT_EQ(e[0].kind, LogEvent::Kind::kStart);
  EXPECT_EQ(e[1].kind, LogEvent::Kind::kInfo);
  EXPECT_EQ(e[1].note, "port opened");

  EXPECT_EQ(e[2].kind, LogEvent::Kind::kSent);  // the name line went with its frame
  EXPECT_EQ(e[2].time_ms, 1523);
  EXPECT_EQ(e[2].line, 4u);
  EXPECT_EQ(e[2].command, 0x0C);
  EXPECT_EQ(e[2].frame, Bytes("4102030C4C"));

  EXPECT_EQ(e[3].kind, LogEvent::Kind::kReceived);
  EXPECT_EQ(e[3].command, 0x0C);
  EXPECT_NE(FormatLogEvent(e[3]).find("checksum FF WRONG"), std::string::npos);

  EXPECT_EQ(e[4].kind, LogEvent::Kind::kError);
  EXPECT_EQ(e[4].label, "COMUNICATION ERROR:");
  EXPECT_EQ(e[4].text, "RX ESITO_CKSUM");
  EXPECT_EQ(e[4].command, 0x0C);  // the answer it judged
  EXPECT_EQ(e[4].note, "the answer's checksum is wrong");

  EXPECT_EQ(e[5].kind, LogEvent::Kind::kError);  // sending stopped: frame of command 0
  EXPECT_EQ(e[5].label, "ERR_DISAL");
  EXPECT_EQ(e[5].command, 0x00);

  EXPECT_EQ(e[6].label, "ERR_H");  // error code 5, then the frame
  EXPECT_EQ(e[6].frame, Bytes("4102030D4D"));
  EXPECT_EQ(e[6].note, "write failed, error 5");

  EXPECT_EQ(e[7].kind, LogEvent::Kind::kError);
  EXPECT_EQ(e[7].label, "ClearCommError Recive");
  EXPECT_EQ(e[8].kind, LogEvent::Kind::kError);  // a line feed alone also ends a line
  EXPECT_EQ(e[8].label, "lpErrors");
  EXPECT_EQ(e[9].label, "CreateFile Error#");
  EXPECT_EQ(e[9].text, "-1");
  EXPECT_EQ(e[10].kind, LogEvent::Kind::kInfo);  // a name line with no frame after it
  EXPECT_EQ(e[10].note, "command name without a frame");

  const std::string sent = FormatLogEvent(e[2]);
  EXPECT_EQ(sent.substr(0, 10), "     1.523");
  EXPECT_NE(sent.find("  T    CMD_READ_MEM1"), std::string::npos) << sent;
  EXPECT_NE(sent.find("checksum 4C ok"), std::string::npos) << sent;
  EXPECT_NE(FormatLogEvent(e[4]).find("COMUNICATION ERROR:RX ESITO_CKSUM"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The programs.

struct Outcome {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
};

Outcome RunCommand(const std::string& command) {
  Outcome r;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return r;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
  const int status = pclose(pipe);
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

// True when one line of `text` holds all of `parts`.
bool HasLine(const std::string& text, const std::vector<std::string>& parts) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    bool all = true;
    for (const std::string& p : parts) all = all && line.find(p) != std::string::npos;
    if (all) return true;
  }
  return false;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ToolsRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ecub-tools-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override {
    if (sim_.running()) {
      sim_.Terminate();
      EXPECT_EQ(sim_.WaitExit(5000), 0) << "the simulator did not end cleanly on SIGTERM";
      EXPECT_FALSE(std::filesystem::exists(Path("ports/COM5"), ec_)) << "link left behind";
    }
    sim_.Kill();
    sim_.WaitExit(5000);
    std::filesystem::remove_all(home_, ec_);
  }

  std::string Path(const std::string& name) const { return home_ + "/" + name; }
  void Write(const std::string& name, const std::string& contents) const {
    std::ofstream(Path(name), std::ios::binary) << contents;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Starts the simulator on COM5 of this home; true once it has printed its port.
  bool StartSim(const std::string& options) {
    const std::string command = std::string("exec ") + ECUBRIDGE_SIM_EXE + " --ports " +
                                Path("ports") + " --com 5 " + options + " 2>" + Path("sim.log");
    if (!sim_.Start({"/bin/sh", "-c", command})) return false;
    std::string out;
    for (int i = 0; i < 100 && out.find('\n') == std::string::npos; ++i) {
      out += sim_.ReadAvailable(100);
      if (sim_.OutputEnded()) break;
    }
    EXPECT_EQ(out, Path("ports/COM5") + "\n") << Read("sim.log");
    return out == Path("ports/COM5") + "\n";
  }

  Outcome Host(const std::string& arguments) {
    return RunCommand(std::string(ECUBRIDGE_HOST_EXE) + " --server " + ECUBRIDGE_EXE + " --home " +
                      home_ + " " + arguments);
  }
  Outcome LogTool(const std::string& arguments) {
    return RunCommand(std::string(ECUBRIDGE_LOG_EXE) + " " + arguments);
  }

  // Answer time-outs short enough that a search or transaction that fails costs little.
  static constexpr const char* kQuickSettings =
      "[LOG]\r\n1\r\n[AttesaGlobale_usec]\r\n150000\r\n[NumResend]\r\n2\r\n";
  // A cyclic message with a history of five answers: CMD_READ_MEM1 with one data byte.
  static constexpr const char* kCyclicMessage =
      "[MSG]\r\n1\r\nengine values\r\n4102040C014A\r\n0\r\n0\r\n5\r\n0\r\n1\r\n";

  std::string home_;
  ChildProcess sim_;
  std::error_code ec_;
};

TEST_F(ToolsRun, RelaysPollsAndReadsHistoriesThroughSimulatorAndServerInJson) {
  Write("SetComVarno.ini", std::string(kQuickSettings) + kCyclicMessage);
  Write("answers.txt", "# canned\nCMD_READ_MEM2 -> 01 02 03\n");
  ASSERT_TRUE(StartSim("--answers " + Path("answers.txt") +
                       " --fault bad-checksum:1:CMD_READ_MEM2 --fault silence:*:0x0E"));
  const Outcome host = Host(
      "--json ident 'FW 1.00 LPGJET-4 X' connect 5 send READ_MEM2 send 4102030C4C send "
      "'CMD_READ_MEM3' "
      "connect 5 poll-mode 1 sleep 400 history 4102040C014A poll-mode 2 history 4102030C4C");
  ASSERT_EQ(host.exit_code, 0) << host.output;
  const std::vector<Json> replies = JsonLines(host.output);
  ASSERT_EQ(replies.size(), 10u) << host.output;  // sleep has no reply

  EXPECT_EQ(replies[0]["name"].string, "ident");
  EXPECT_EQ(replies[0]["text"].string, std::string(12, '\0') + "FW 1.00 LPGJET-4 X");

  const Json& connect = replies[1];
  EXPECT_EQ(connect["instruction"].string, "connect 5");
  EXPECT_EQ(connect["link_status"].Int(), 1);
  EXPECT_EQ(connect["port"].string, "COM5");
  EXPECT_EQ(connect["port_number"].Int(), 5);
  EXPECT_EQ(connect["identification_text"].string, "FW 1.00 LPGJET-4 X");
  EXPECT_TRUE(connect["identification"]["checksum_ok"].boolean);

  // The first answer to READ_MEM2 had a bad checksum; the server's retry got a good one.
  const Json& canned = replies[2]["answer"];
  EXPECT_EQ(canned["name"].string, "CMD_READ_MEM2");
  EXPECT_EQ(canned["data"].string, "010203");
  EXPECT_TRUE(canned["checksum_ok"].boolean);

  const Json& live = replies[3]["answer"];
  EXPECT_EQ(live["command"].Int(), 0x0C);
  EXPECT_EQ(live["length"].Int(), 16);  // echo, outcome, twelve bytes of live values, checksum
  EXPECT_EQ(live["data"].string.size(), 24u);

  // READ_MEM3 never gets an answer: an empty answer and the link given up.
  EXPECT_EQ(replies[4]["result"].Int(), 0);
  EXPECT_FALSE(replies[4].Has("answer"));
  EXPECT_EQ(replies[4]["link_status"].Int(), 0);
  EXPECT_EQ(replies[5]["link_status"].Int(), 1);  // found again

  EXPECT_EQ(replies[6]["poll"].string, "cyclic");
  const Json& history = replies[7]["history"];
  EXPECT_EQ(replies[7]["result"].Int(), 0);
  EXPECT_EQ(history["entry_size"].Int(), 4 + 18);
  ASSERT_GE(history["entries"].array.size(), 1u) << host.output;
  EXPECT_LE(history["entries"].array.size(), 5u);
  int64_t previous = -1;
  for (const Json& entry : history["entries"].array) {
    EXPECT_GE(entry["time_ms"].Int(), previous);
    previous = entry["time_ms"].Int();
    EXPECT_EQ(entry["answer"]["name"].string, "CMD_READ_MEM1");
    EXPECT_TRUE(entry["answer"]["checksum_ok"].boolean);
  }
  EXPECT_EQ(replies[8]["poll_mode"].Int(), 2);
  // Only cyclic messages keep a history to hand out.
  EXPECT_EQ(replies[9]["result"].Int(), 3);
  EXPECT_EQ(replies[9]["result_text"].string, "argument refused or no such message");

  // The simulator logged what it saw.
  const std::string sim_log = Read("sim.log");
  EXPECT_TRUE(HasLine(sim_log, {"<-", "CMD_READ_FIRMWARE", "41023921"})) << sim_log;
  EXPECT_TRUE(HasLine(sim_log, {"->", "CMD_READ_MEM2", "4401070D00010203B0"}));  // spoilt
  EXPECT_TRUE(HasLine(sim_log, {"->", "CMD_READ_MEM2", "4401070D000102034F"}));
  EXPECT_TRUE(HasLine(sim_log, {"->", "CMD_READ_MEM3", "(no answer)"}));
  EXPECT_TRUE(HasLine(sim_log, {"port opened at 38400 baud"}));

  // The traffic log, decoded.
  const Outcome all = LogTool(Path("RxTx.TXT"));
  ASSERT_EQ(all.exit_code, 0) << all.output;
  EXPECT_NE(all.output.find("(log started)"), std::string::npos);
  EXPECT_NE(all.output.find("APERTURA [COM5]"), std::string::npos);
  EXPECT_NE(all.output.find("T    CMD_READ_FIRMWARE"), std::string::npos) << all.output;
  EXPECT_NE(all.output.find("COMUNICATION ERROR:RX ESITO_CKSUM  (the answer's checksum is wrong)"),
            std::string::npos);
  const Outcome mem2 = LogTool("--command CMD_READ_MEM2 " + Path("RxTx.TXT"));
  ASSERT_EQ(mem2.exit_code, 0);
  std::istringstream lines(mem2.output);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_NE(line.find("CMD_READ_MEM2"), std::string::npos) << line;
  }
  // Sent twice, answered twice (the first answer spoilt), one check failure.
  EXPECT_EQ(count, 5) << mem2.output;
  EXPECT_EQ(Count(mem2.output, " T    CMD_READ_MEM2"), 2);
  EXPECT_EQ(Count(mem2.output, "checksum B0 WRONG"), 1) << mem2.output;
  EXPECT_EQ(LogTool("--command 0x0D < " + Path("RxTx.TXT")).output, mem2.output);
  // READ_MEM3: three attempts (NumResend 2), no answer.
  const Outcome mem3 = LogTool("--command 14 " + Path("RxTx.TXT"));
  EXPECT_EQ(Count(mem3.output, " T    CMD_READ_MEM3"), 3) << mem3.output;
  EXPECT_EQ(Count(mem3.output, " R "), 0);
}

TEST_F(ToolsRun, ScrambledUnitIsFoundWithTheSameTable) {
  // A permutation of our own: every byte reversed in value.
  std::string table;
  for (int b = 0; b < 256; ++b) table += Hex(std::string(1, static_cast<char>(255 - b)));
  Write("table.txt", table);
  Write("ScrambleTable.txt", table);
  Write("SetComVarno.ini", std::string(kQuickSettings) + "[CRIPT PROTO]\r\n2\r\n");
  ASSERT_TRUE(StartSim("--scrambled --scramble-table " + Path("table.txt") +
                       " --ident 'V2 3.10 CNGJET-8 Z' --answers /dev/null"));
  const Outcome host = Host("ident 'xx 3.10 CNGJET-8 yy' connect 5 send READ_MEM1");
  ASSERT_EQ(host.exit_code, 0) << host.output;
  EXPECT_NE(host.output.find("LinkStatus 1 (linked), PollMode 0 (timed), PortaCom 5 (COM5)"),
            std::string::npos)
      << host.output;
  EXPECT_NE(host.output.find("identification text: \"V2 3.10 CNGJET-8 Z\""), std::string::npos);
  EXPECT_NE(host.output.find("answer: start 44 01, length 16, command 0C CMD_READ_MEM1"),
            std::string::npos);
  // The plain search came first and found nothing; the log still shows plain frames.
  const Outcome log = LogTool(Path("RxTx.TXT") + " --command CMD_READ_FIRMWARE");
  EXPECT_GE(Count(log.output, " T    CMD_READ_FIRMWARE"), 2) << log.output;
  EXPECT_EQ(Count(log.output, " R    CMD_READ_FIRMWARE"), 1) << log.output;
}

TEST_F(ToolsRun, ShortIdentificationTurnsPollingOff) {
  Write("SetComVarno.ini", kQuickSettings);
  ASSERT_TRUE(StartSim("--short-ident --baud 0 --delay-ms 0.5 --quiet"));
  const Outcome host = Host("connect 5");  // any expected identification matches the short one
  ASSERT_EQ(host.exit_code, 0) << host.output;
  EXPECT_NE(host.output.find("PollMode 2 (off)"), std::string::npos) << host.output;
  EXPECT_NE(host.output.find("identification: start 42 01, length 4, command 21"),
            std::string::npos);
  EXPECT_EQ(Read("sim.log"), "");  // --quiet
}

TEST_F(ToolsRun, ScriptAndInteractiveModes) {
  Write("script.txt",
        "# a script\r\n\r\necho one two\r\n  poll-mode 1\r\ntimeout 1000\r\nquit\r\n");
  Outcome r = Host("--script " + Path("script.txt"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("> echo one two"), std::string::npos);
  EXPECT_NE(r.output.find("data: \"one two\""), std::string::npos);
  EXPECT_NE(r.output.find("PollMode 1 (cyclic)"), std::string::npos);
  EXPECT_NE(r.output.find("answer time-out 1000 ms"), std::string::npos) << r.output;
  EXPECT_EQ(Count(r.output, "> quit"), 1);

  r = Host("--json --script - < " + Path("script.txt"));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(JsonLines(r.output).size(), 4u);

  Write("typed.txt", "help\npoll-mode 1\nnonsense\necho hi\n");
  r = Host("--interactive < " + Path("typed.txt"));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_NE(r.output.find("send FRAME"), std::string::npos);  // the help
  EXPECT_NE(r.output.find("unknown instruction 'nonsense'"), std::string::npos);
  // The prompt after a reply shows the link state it reported.
  EXPECT_NE(r.output.find("[no unit, USB, polling cyclic] ecubridge> > echo hi"), std::string::npos)
      << r.output;

  // A script line that is wrong stops everything before the server starts.
  Write("bad.txt", "echo fine\nconnect 300\n");
  r = Host("--script " + Path("bad.txt"));
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.output.find("bad.txt:2:"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("> echo"), std::string::npos);
}

TEST_F(ToolsRun, MissingRepliesAndFailingServersAreErrors) {
  // With an unknown polling mode instruction 6 gets no reply at all.
  Outcome r = Host("--timeout-ms 500 poll-mode 7 send READ_MEM1 echo never");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("no reply within 500 ms (with PollMode 7"), std::string::npos)
      << r.output;
  EXPECT_EQ(r.output.find("> echo never"), std::string::npos);

  r = RunCommand(std::string(ECUBRIDGE_HOST_EXE) + " --server /bin/false echo x");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("the server has ended (exit code 1)"), std::string::npos) << r.output;
}

TEST_F(ToolsRun, SimulatorEndsByItselfAndRemovesItsPort) {
  const Outcome r = RunCommand(std::string(ECUBRIDGE_SIM_EXE) + " --ports " + Path("ports") +
                               " --com 9 --seconds 0.3");
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_EQ(r.output.rfind(Path("ports/COM9") + "\n", 0), 0u) << r.output;
  EXPECT_NE(r.output.find("ending: 0 requests received"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Path("ports/COM9"), ec_));
  EXPECT_TRUE(std::filesystem::is_directory(Path("ports"), ec_));
}

TEST_F(ToolsRun, BadArgumentsExitTwoAndHelpExitsZero) {
  const std::string sim = ECUBRIDGE_SIM_EXE;
  const std::string host = std::string(ECUBRIDGE_HOST_EXE) + " --server " + ECUBRIDGE_EXE;
  const std::string log = ECUBRIDGE_LOG_EXE;
  const std::string ports = " --ports " + Path("ports");
  for (const std::string& command : {
           sim,
           sim + ports,
           sim + " --com 5",
           sim + ports + " --com 0",
           sim + ports + " --com 5 --fault nonsense",
           sim + ports + " --com 5 --fault silence:0",
           sim + ports + " --com 5 --fault silence:2:NOPE",
           sim + ports + " --com 5 --delay-ms -3",
           sim + ports + " --com 5 --seconds",
           sim + ports + " --com 5 --scrambled=1",
           sim + ports + " --com 5 extra",
           host,
           host + " --bogus echo x",
           host + " connect",
           host + " echo x --script " + Path("none"),
           host + " --timeout-ms 0 echo x",
           host + " quit echo x",
           host + " --home " + Path("missing") + " echo x",
           std::string(ECUBRIDGE_HOST_EXE) + " --server " + Path("missing") + " echo x",
           log + " --command",
           log + " --command NOPE",
           log + " a b",
           log + " --verbose",
       }) {
    const Outcome r = RunCommand(command);
    EXPECT_EQ(r.exit_code, 2) << command << "\n" << r.output;
    EXPECT_NE(r.output.find("--help"), std::string::npos) << command << "\n" << r.output;
  }
  // Files that cannot be read or used are failures of the run, not of the arguments.
  Write("bad-answers.txt", "0D zz\n");
  for (const std::string& command : {
           sim + ports + " --com 5 --answers " + Path("missing"),
           sim + ports + " --com 5 --answers " + Path("bad-answers.txt"),
           sim + ports + " --com 5 --scramble-table " + Path("bad-answers.txt"),
           log + " " + Path("missing"),
           host + " --script " + Path("missing"),
       }) {
    const Outcome r = RunCommand(command);
    EXPECT_EQ(r.exit_code, 1) << command << "\n" << r.output;
  }
  EXPECT_NE(RunCommand(sim + ports + " --com 5 --answers " + Path("bad-answers.txt"))
                .output.find("line 1: 'zz' is not hex"),
            std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Path("ports/COM5"), ec_));
  for (const std::string& tool : {sim, std::string(ECUBRIDGE_HOST_EXE), log}) {
    const Outcome r = RunCommand(tool + " --help");
    EXPECT_EQ(r.exit_code, 0) << tool;
    EXPECT_EQ(r.output.rfind("usage: ", 0), 0u) << r.output;
  }
}

}  // namespace
}  // namespace ecub::tools
