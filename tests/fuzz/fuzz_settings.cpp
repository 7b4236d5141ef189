// The settings loader: any text as SetComVarno.ini, read plain and, split into its lines, read
// again protected through the project's own encoder. Both readings must load the same settings,
// and every problem said must name the file and a line it has.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "crypt/crypt.h"
#include "fuzz_support.h"
#include "server/server.h"
#include "settings/settings.h"
#include "sim/fake_platform.h"

namespace {

constexpr const char* kPath = "/app/SetComVarno.ini";

struct Loaded {
  bool found = false;
  ecub::Settings settings;
  std::vector<ecub::MsgRecord> table;
  double timeout = 0;
};

Loaded Load(const std::string& file) {
  ecub::FakePlatform p;
  ecub::Server s(p, "/app");
  p.files[kPath] = file;
  Loaded out;
  out.found = ecub::LoadServerSettings(s, kPath);
  // Every problem is one line naming the file, and its line when it has one.
  const size_t lines = ecub::SplitSettingsLines(file).size();
  for (const std::string& said : p.stderr_lines) {
    FUZZ_CHECK(said.rfind(std::string("ecubridge: ") + kPath + ":", 0) == 0, said);
    FUZZ_CHECK(said.find('\n') == std::string::npos, said);
    const size_t at = std::string("ecubridge: ").size() + std::string(kPath).size() + 1;
    FUZZ_CHECK(said[at] == ' ' || std::stoul(said.substr(at)) <= lines, said);
  }
  out.settings = s.settings;
  out.table = s.MsgTable;
  out.timeout = s.AttesaGlobaleCorrente;
  FUZZ_CHECK(p.messages.empty(), p.messages.front());
  return out;
}

// Field by field, doubles compared exactly: both loads parse the same text.
auto Fields(const Loaded& a) {
  const ecub::Settings& x = a.settings;
  return std::tuple(a.found, x.BaudRate, x.Bit, x.StopBit, x.Parity, x.AttesaByteTx_usec,
                    x.AttesaGlobale_usec, x.MolAttesaGlobale, x.Idle_usec, x.AutoSpegnimento_usec,
                    a.timeout, x.NumResend, x.DCB_fBitFields, x.LOG, x.APPEND_LOG, x.CRIPT_PROTO,
                    x.LatencyTimer_ms);
}

auto Fields(const ecub::MsgRecord& r) {
  return std::tie(r.MsgNumber, r.MsgText, r.MsgRequest, r.MsgTimed, r.MsgPeriod_ms, r.MsgHistoryMax,
                  r.MsgCyclic);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Loaded plain = Load(text);
  FUZZ_CHECK(plain.found, "an existing file must be read");
  FUZZ_CHECK(!plain.table.empty(), "no blank record");
  FUZZ_CHECK(plain.timeout == plain.settings.AttesaGlobale_usec, "time-out in force");
  FUZZ_CHECK(plain.settings.CRIPT_PROTO >= 0 && plain.settings.CRIPT_PROTO <= 2, "CRIPT PROTO");
  for (const ecub::MsgRecord& r : plain.table) {
    // Freshly loaded records hold no answers and have all their history places.
    FUZZ_CHECK(r.MsgHistory.empty() && r.MsgLastAnswer.empty(), r.MsgText);
    FUZZ_CHECK(r.MsgHistoryLeft == r.MsgHistoryMax, r.MsgText);
  }

  // The same lines behind an encoded header. A text whose first line already is the encoded
  // header is itself protected and read as such, whatever its line ends; it has no plain reading
  // to compare.
  const std::vector<std::string> lines = ecub::SplitSettingsLines(text);
  if (ecub::StartsWithProtectedHeader(lines)) return 0;
  std::string encoded = ecub::EncodeLine(ecub::kProtectedMagic);
  for (const std::string& line : lines) {
    encoded += "\r\n" + ecub::EncodeLine(line);
  }
  const Loaded hidden = Load(encoded);
  FUZZ_CHECK(Fields(plain) == Fields(hidden), "the settings differ");
  FUZZ_CHECK(
      std::equal(plain.table.begin(), plain.table.end(), hidden.table.begin(), hidden.table.end(),
                 [](const auto& a, const auto& b) { return Fields(a) == Fields(b); }),
      "the records differ");
  return 0;
}
