// The settings loader: any text as SetComVarno.ini, read plain and, split into its lines, read
// again protected through the project's own encoder. Both readings must load the same settings,
// and every problem said must name the file and a line it has.
#include <cstddef>
#include <cstdint>
#include <string>
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
std::string Difference(const Loaded& a, const Loaded& b) {
  const ecub::Settings& x = a.settings;
  const ecub::Settings& y = b.settings;
  if (a.found != b.found) return "found";
  if (x.BaudRate != y.BaudRate || x.Bit != y.Bit || x.StopBit != y.StopBit ||
      x.Parity != y.Parity) {
    return "line settings";
  }
  if (x.AttesaByteTx_usec != y.AttesaByteTx_usec || x.AttesaGlobale_usec != y.AttesaGlobale_usec ||
      x.MolAttesaGlobale != y.MolAttesaGlobale || x.Idle_usec != y.Idle_usec ||
      x.AutoSpegnimento_usec != y.AutoSpegnimento_usec || a.timeout != b.timeout) {
    return "durations";
  }
  if (x.NumResend != y.NumResend || x.DCB_fBitFields != y.DCB_fBitFields || x.LOG != y.LOG ||
      x.APPEND_LOG != y.APPEND_LOG || x.CRIPT_PROTO != y.CRIPT_PROTO ||
      x.LatencyTimer_ms != y.LatencyTimer_ms) {
    return "switches";
  }
  if (a.table.size() != b.table.size()) return "record count";
  for (size_t i = 0; i < a.table.size(); ++i) {
    const ecub::MsgRecord& r = a.table[i];
    const ecub::MsgRecord& q = b.table[i];
    if (r.MsgNumber != q.MsgNumber || r.MsgText != q.MsgText || r.MsgRequest != q.MsgRequest ||
        r.MsgTimed != q.MsgTimed || r.MsgPeriod_ms != q.MsgPeriod_ms ||
        r.MsgHistoryMax != q.MsgHistoryMax || r.MsgCyclic != q.MsgCyclic) {
      return "record " + std::to_string(i);
    }
  }
  return {};
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

  // The same lines behind an encoded header. A plain text whose first line already is the
  // encoded header is itself protected and read as such; it has no plain reading to compare.
  ecub::FakePlatform probe;
  probe.files[kPath] = text;
  if (ecub::VerificaFileProtetto(probe, kPath)) return 0;
  std::string encoded = ecub::EncodeLine(ecub::kProtectedMagic);
  for (const std::string& line : ecub::SplitSettingsLines(text)) {
    encoded += "\r\n" + ecub::EncodeLine(line);
  }
  const Loaded hidden = Load(encoded);
  const std::string difference = Difference(plain, hidden);
  FUZZ_CHECK(difference.empty(), difference);
  return 0;
}
