#include "settings/settings.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "app/main_loop.h"
#include "crypt/crypt.h"
#include "server/server.h"
#include "sim/fake_platform.h"

namespace ecub {
namespace {

using Lines = std::vector<std::string>;

class SettingsTest : public ::testing::Test {
 protected:
  bool Load(const Lines& lines, bool protect = false) {
    std::string text = protect ? EncodeLine(kProtectedMagic) + "\r\n" : "";
    for (size_t i = 0; i < lines.size(); ++i) {
      text += (i ? "\r\n" : "") + (protect ? EncodeLine(lines[i]) : lines[i]);
    }
    p.files[path] = text;
    return LoadServerSettings(s, path);
  }

  FakePlatform p;
  Server s{p, "/app"};
  const std::string path = ProgramFile(s, "SetComVarno.ini");
};

TEST_F(SettingsTest, MissingFileRestoresDefaultsButNotTheStartUpSwitches) {
  Settings& st = s.settings;
  std::tie(st.BaudRate, st.AttesaGlobale_usec, st.LOG, st.LatencyTimer_ms, s.PortaCom) =
      std::tuple(1, 7, true, 7, 5);
  s.MsgTable.resize(3);
  EXPECT_FALSE(LoadServerSettings(s, path));
  EXPECT_EQ(std::tuple(st.BaudRate, st.LatencyTimer_ms, s.AttesaGlobaleCorrente, st.LOG, s.PortaCom,
                       s.MsgTable.size()),
            std::tuple(38400, 1, 4000000.0, true, 0, 1u));
}

TEST_F(SettingsTest, ReadsEverySection) {
  // One element per header and its value line.
  EXPECT_TRUE(Load({"; comment", "[Setport,BaudRate,Bit,StopBit,Parity]\r\n 9600,7, 2 ,1 ",
                    "[AttesaByteTx_usec]\r\n 250 ", "[AttesaGlobale_usec]\r\n3000000",
                    "[MolAttesaGlobale]\r\n-2147483648", "[Idle_usec]\r\n+20000",
                    "[NumResend]\r\n-32768", "[DCB_fBitFields]\r\n4113", "[FIRMWARE]\r\n[LOG]",
                    "[APPEND LOG]\r\n1", "[CRIPT PROTO]\r\n 2", "[latencytimer_ms]\r\n 0 ",
                    "[AutoSpegnimento_usec]\r\n2147483647", ""}));
  const Settings& st = s.settings;
  EXPECT_EQ((std::vector<int>{st.BaudRate, st.Bit, st.StopBit, st.Parity}),
            (std::vector<int>{9600, 7, 2, 1}));
  EXPECT_EQ(
      (std::vector<double>{st.AttesaByteTx_usec, st.AttesaGlobale_usec, s.AttesaGlobaleCorrente,
                           st.MolAttesaGlobale, st.Idle_usec, st.AutoSpegnimento_usec}),
      (std::vector<double>{250, 3000000, 3000000, -2147483648.0, 20000, 2147483647.0}));
  // LOG stays off: "[LOG]" was the value line of "[FIRMWARE]".
  EXPECT_EQ(std::tuple(st.NumResend, st.DCB_fBitFields, st.LOG, st.APPEND_LOG, st.CRIPT_PROTO,
                       st.LatencyTimer_ms),
            std::tuple(-32768, 4113, false, true, 2, 0));
}

TEST_F(SettingsTest, BadValuesKeepThePreviousValue) {
  Load({"[AttesaByteTx_usec]\r\nabc", "[NumResend]\r\n4", "[NumResend]\r\n32768",
        "[Idle_usec]\r\n2147483648", "[DCB_fBitFields]\r\n1 2", "[AttesaGlobale_usec]\r\n- 5",
        "[AutoSpegnimento_usec]\r\n99999999999999999999999", "[MolAttesaGlobale]\r\n1.5",
        "[SETPORT,BAUDRATE,BIT,STOPBIT,PARITY]\r\nx,256,2", "[LatencyTimer_ms]\r\n255",
        "[LatencyTimer_ms]\r\n256", "[LatencyTimer_ms]\r\n-1", "[NumResend]"});
  EXPECT_EQ((std::vector<double>{s.settings.AttesaByteTx_usec, s.settings.Idle_usec,
                                 s.settings.AttesaGlobale_usec, s.settings.AutoSpegnimento_usec,
                                 s.settings.MolAttesaGlobale}),
            (std::vector<double>{500, 40000, 4000000, 5000000, 500}));
  EXPECT_EQ((std::vector<int>{s.settings.BaudRate, s.settings.Bit, s.settings.StopBit,
                              s.settings.LatencyTimer_ms, s.settings.NumResend,
                              s.settings.DCB_fBitFields}),
            (std::vector<int>{38400, 8, 2, 255, 4, 0}));
}

// Headers are whole lines in any case, blanks around them aside, and never value lines; lines
// end with LF or CR LF; a switch is on only for exactly "1"; LOG and CRIPT PROTO keep their
// start-up value unless the file states one.
TEST_F(SettingsTest, HeadersAndSwitchesNeedWholeLines) {
  using Case = std::tuple<bool, Lines, bool>;  // LOG before, the lines, LOG after
  for (const auto& [before, lines, after] :
       {Case{false, {"[log]", " 1\t"}, true}, Case{false, {" [LOG]\t", "1"}, true},
        Case{false, {"[LOG]\n1\n"}, true}, Case{false, {"[LOG]\r\r\n1"}, false},
        Case{false, {"[ LOG]", "1", "[LOG] x", "1"}, false},
        Case{true, {"[NumResend]", "[LOG]", "0"}, true}, Case{true, {"[LOG]", "true"}, false},
        Case{true, {"[LOG]", "01"}, false}, Case{true, {"[LOG]", "1 1"}, false},
        Case{true, {"[LOG]"}, false}}) {
    s.settings.LOG = before;
    Load(lines);
    EXPECT_EQ(s.settings.LOG, after) << lines[0] << "|" << lines.back();
  }
  Load({"[CRIPT PROTO]", "3"});
  EXPECT_EQ(s.settings.CRIPT_PROTO, 0);
  s.settings.CRIPT_PROTO = 2;
  Load({"[CRIPT PROTO]"});
  EXPECT_EQ(s.settings.CRIPT_PROTO, 2);
}

// The last record is cut short by the end of the file: it keeps what was read, and a header
// among its value lines is a value.
TEST_F(SettingsTest, EachMsgSectionAddsARecord) {
  s.MsgTable.resize(4);
  Load({"[MSG]", " 7 ",   " read \t", "420104210000", " 1", "250", "3", "1", "0", "text",
        "[msg]", "8",     "",         " 4201",        "0",  "x",   "2", "",  "1", "[MSG]",
        "5",     "[LOG]", "41"});
  ASSERT_EQ(s.MsgTable.size(), 3u);
  const auto fields = [](const MsgRecord& r) {
    return std::tuple(r.MsgNumber, r.MsgText, r.MsgRequest, r.MsgTimed, r.MsgPeriod_ms,
                      r.MsgHistoryLeft, r.MsgCyclic);
  };
  EXPECT_EQ(
      fields(s.MsgTable[0]),
      std::tuple(7, " read \t", std::string("\x42\x01\x04\x21\x00\x00", 6), true, 250, 3, false));
  // Blanks around the hex are not part of it.
  EXPECT_EQ(fields(s.MsgTable[1]), std::tuple(8, "", "\x42\x01", false, 0, 2, true));
  EXPECT_EQ(fields(s.MsgTable[2]), std::tuple(5, "[LOG]", "A", false, 0, 0, false));
  EXPECT_FALSE(s.settings.LOG);
}

TEST_F(SettingsTest, ResetMsgRecordEmptiesTheHistoryOfRecordsInTheTable) {
  s.MsgTable[0].MsgHistoryMax = 4;
  s.MsgTable[0].MsgHistory = "abcd";
  ResetMsgRecord(s.MsgTable, 1);
  EXPECT_EQ(s.MsgTable[0].MsgHistory, "abcd");
  ResetMsgRecord(s.MsgTable, 0);
  EXPECT_EQ(s.MsgTable[0].MsgHistoryLeft, 4);
  EXPECT_TRUE(s.MsgTable[0].MsgHistory.empty());
}

TEST_F(SettingsTest, ProtectedFileLoadsLikeThePlainOne) {
  const Lines lines = {"[LOG]", "1", "[NumResend]", " 3 ", "[MSG]", "9", "t", "4142"};
  EXPECT_TRUE(Load(lines, true));
  EXPECT_EQ(std::tuple(s.settings.LOG, s.settings.NumResend, s.MsgTable[0].MsgRequest),
            std::tuple(true, 3, "AB"));

  s.settings.LOG = false;
  p.files[path] += "\r\nx";  // undecodable: loaded as a file without lines
  EXPECT_TRUE(LoadServerSettings(s, path));
  EXPECT_EQ(std::tuple(s.settings.LOG, s.settings.NumResend, s.MsgTable[0].MsgNumber),
            std::tuple(false, 10, 0));
}

// Every problem is said once on standard error with its file and line, and in the log when it is
// on; loading goes on as it would without the words.
TEST_F(SettingsTest, ProblemsAreSaidWithTheirFileAndLine) {
  const std::string at = "ecubridge: " + path + ":";
  const std::string bad_protected =
      EncodeLine(kProtectedMagic) + "\n" + EncodeLine("[LOG]") + "\nx\n" + EncodeLine("1");
  for (const auto& [file, said] : std::vector<std::pair<std::string, Lines>>{
           {"[NumResend]\n3\n[Foo] \n[NumResend]\nabc\n",
            {at + "3: unknown section '[Foo]'; passed over",
             at + "5: [NumResend] value 'abc' is not a whole number from -32768 to 32767; "
                  "kept as before"}},
           {"[LOG]\r\nyes\r\n[Setport,BaudRate,Bit,StopBit,Parity]\r\n9600,8\r\n[NumResend]",
            {at + "2: [LOG] value 'yes' is not 0 or 1; taken as 0",
             at + "4: [Setport,BaudRate,Bit,StopBit,Parity] value '9600,8' is not four "
                  "numbers: speed,bits,stop-bit code,parity code; the others kept as before",
             at + "5: [NumResend] has no value line"}},
           {"[MSG]\n1\nt\nZZ\n",
            {at + "1: [MSG] has 4 of its 8 value lines", at + "4: [MSG] request 'ZZ' is not hex"}},
           {"ok\n\x7f" + std::string(1, '\0'), {at + "2: is not a text file (byte 127)"}},
           {bad_protected,
            {at + "3: does not decode (a protected file holds groups of four digits); the "
                  "whole file is passed over"}},
           {"; a comment\n[ not a section\n\n", {}},
       }) {
    p.files[path] = file;
    p.stderr_lines.clear();
    LoadServerSettings(s, path);
    EXPECT_EQ(p.stderr_lines, said) << file;
  }
  EXPECT_EQ(s.settings.NumResend, 10);
  // A file that is there but cannot be used, unlike a missing one.
  p.unreadable.insert(path);
  p.stderr_lines.clear();
  EXPECT_FALSE(LoadServerSettings(s, path));
  p.files.erase(path);
  p.folders.insert(path);
  EXPECT_FALSE(LoadServerSettings(s, path));
  p.folders.clear();
  p.unreadable.clear();
  EXPECT_FALSE(LoadServerSettings(s, path));
  EXPECT_EQ(p.stderr_lines,
            (std::vector<std::string>{
                "ecubridge: " + path + ": cannot be read; the defaults are used",
                "ecubridge: " + path + ": is not a regular file; the defaults are used"}));
  // With the log on, the log has them too, stamped from the start of the run.
  p.files[path] = "[LOG]\n1\n[NumResend]\nx\n";
  ServerStartup(s);
  EXPECT_NE(p.files[ProgramFile(s, "RxTx.TXT")].find("\r\n0 Settings " + path +
                                                     ":4: [NumResend] value 'x'"),
            std::string::npos)
      << p.files[ProgramFile(s, "RxTx.TXT")];
}

}  // namespace
}  // namespace ecub
