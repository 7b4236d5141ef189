// The sample SetComVarno.ini shipped in the Windows package: it must load without a problem
// said (an unknown header would be) and state the real defaults.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "link/transaction.h"
#include "server/server.h"
#include "settings/settings.h"
#include "sim/fake_platform.h"

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
  // A misspelt header would leave its default in force unnoticed below; the loader names it.
  EXPECT_EQ(p.stderr_lines, std::vector<std::string>{});
  // Every value the file states, as a tuple so that one comparison names any difference.
  const auto values = [](const Settings& v) {
    return std::tuple(v.BaudRate, v.Bit, v.StopBit, v.Parity, v.AttesaByteTx_usec,
                      v.AttesaGlobale_usec, v.MolAttesaGlobale, v.Idle_usec, v.NumResend,
                      v.DCB_fBitFields, v.LOG, v.APPEND_LOG, v.CRIPT_PROTO, v.AutoSpegnimento_usec);
  };
  EXPECT_EQ(values(s.settings), values(Settings{}));

  ASSERT_EQ(s.MsgTable.size(), 1u);
  const MsgRecord& m = s.MsgTable[0];
  EXPECT_EQ(std::tuple(m.MsgNumber, m.MsgText, m.MsgRequest, m.MsgTimed, m.MsgPeriod_ms,
                       m.MsgHistoryMax, m.MsgCyclic),
            std::tuple(1, "Live engine values", BuildFrame(0x41, 0x02, 0x0C, std::string(1, '\0')),
                       true, 1000, 10, false));
}

}  // namespace
}  // namespace ecub

#endif  // ECUB_SAMPLE_SETTINGS
