// The sample SetComVarno.ini shipped in the Windows package: it must load, state the real
// defaults, and hold only headers the loader knows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "host/server.h"
#include "platform/fake/fake_platform.h"
#include "protocol/transaction.h"
#include "settings/settings.h"

// The source tree is reachable only from a native build.
#ifdef ECUB_SAMPLE_SETTINGS

namespace ecub {
namespace {

// The file as packed: every line end CR LF.
std::string SampleAsShipped() {
  std::ifstream in(ECUB_SAMPLE_SETTINGS, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string crlf;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

TEST(SampleSettings, LoadsWithEveryDefaultAndTheExampleMessage) {
  const std::string text = SampleAsShipped();
  ASSERT_FALSE(text.empty()) << ECUB_SAMPLE_SETTINGS;
  FakePlatform p;
  Server s(p, "/app");
  s.settings.BaudRate = 1;  // the loader must set every value back
  p.files["/app/SetComVarno.ini"] = text;
  ASSERT_TRUE(LoadServerSettings(s, ProgramFile(s, "SetComVarno.ini")));
  const Settings defaults;
  EXPECT_EQ(s.settings.BaudRate, defaults.BaudRate);
  EXPECT_EQ(s.settings.Bit, defaults.Bit);
  EXPECT_EQ(s.settings.StopBit, defaults.StopBit);
  EXPECT_EQ(s.settings.Parity, defaults.Parity);
  EXPECT_EQ(s.settings.AttesaByteTx_usec, defaults.AttesaByteTx_usec);
  EXPECT_EQ(s.settings.AttesaGlobale_usec, defaults.AttesaGlobale_usec);
  EXPECT_EQ(s.settings.MolAttesaGlobale, defaults.MolAttesaGlobale);
  EXPECT_EQ(s.settings.Idle_usec, defaults.Idle_usec);
  EXPECT_EQ(s.settings.NumResend, defaults.NumResend);
  EXPECT_EQ(s.settings.DCB_fBitFields, defaults.DCB_fBitFields);
  EXPECT_EQ(s.settings.LOG, defaults.LOG);
  EXPECT_EQ(s.settings.APPEND_LOG, defaults.APPEND_LOG);
  EXPECT_EQ(s.settings.CRIPT_PROTO, defaults.CRIPT_PROTO);
  EXPECT_EQ(s.settings.AutoSpegnimento_usec, defaults.AutoSpegnimento_usec);

  ASSERT_EQ(s.MsgTable.size(), 1u);
  const MsgRecord& m = s.MsgTable[0];
  EXPECT_EQ(m.MsgNumber, 1);
  EXPECT_EQ(m.MsgText, "Live engine values");
  EXPECT_EQ(m.MsgRequest, BuildFrame(0x41, 0x02, 0x0C, std::string(1, '\0')));
  EXPECT_EQ(FrameChecksum(m.MsgRequest), 0);
  EXPECT_TRUE(m.MsgTimed);
  EXPECT_EQ(m.MsgPeriod_ms, 1000);
  EXPECT_EQ(m.MsgHistoryMax, 10);
  EXPECT_FALSE(m.MsgCyclic);
}

TEST(SampleSettings, EveryBracketedLineIsAHeaderTheLoaderKnows) {
  // A misspelt header would leave its default in force unnoticed by the test above.
  const std::set<std::string> known = {"[SETPORT,BAUDRATE,BIT,STOPBIT,PARITY]",
                                       "[ATTESABYTETX_USEC]",
                                       "[ATTESAGLOBALE_USEC]",
                                       "[MOLATTESAGLOBALE]",
                                       "[IDLE_USEC]",
                                       "[NUMRESEND]",
                                       "[DCB_FBITFIELDS]",
                                       "[LOG]",
                                       "[APPEND LOG]",
                                       "[FIRMWARE]",
                                       "[MSG]",
                                       "[CRIPT PROTO]",
                                       "[AUTOSPEGNIMENTO_USEC]"};
  std::istringstream lines(SampleAsShipped());
  int headers = 0;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_FALSE(line.empty()) << "a line without CR LF";
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    if (line.empty() || line[0] != '[') continue;
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    EXPECT_EQ(known.count(line), 1u) << line;
    ++headers;
  }
  EXPECT_EQ(headers, 12);  // the eleven settings ([FIRMWARE] has none) and one [MSG]
}

}  // namespace
}  // namespace ecub

#endif  // ECUB_SAMPLE_SETTINGS
