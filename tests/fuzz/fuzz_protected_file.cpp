// The protected-file decoder: any file as a protected settings file, every line through the
// line decoder, and the scrambling-table file through its parser.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "fuzz_support.h"
#include "sim/fake_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string contents(reinterpret_cast<const char*>(data), size);
  ecub::FakePlatform p;
  const std::string path = "/app/SetComVarno.ini";
  p.files[path] = contents;

  const std::vector<std::string> lines = ecub::SplitCrLf(contents);
  const bool is_protected = ecub::VerificaFileProtetto(p, path);
  const std::vector<std::string> decoded = ecub::DecodificaFileProtetto(p, path);
  std::string header;
  const bool header_ok = !lines.empty() && ecub::DecodeCheckedLine(lines[0], header);
  FUZZ_CHECK(is_protected == (header_ok && header == ecub::kProtectedMagic), header);
  // Only a file that passed the check is decoded, and then either every line after the header
  // or none at all (a bad line spoils the file). A file that did not pass says so at most once.
  if (!is_protected) {
    FUZZ_CHECK(decoded.empty(), std::to_string(decoded.size()));
    FUZZ_CHECK(p.messages.size() <= 1, std::to_string(p.messages.size()));
  } else {
    FUZZ_CHECK(decoded.empty() || decoded.size() + 1 == lines.size(),
               std::to_string(decoded.size()));
    FUZZ_CHECK(p.messages.empty(), p.messages.front());
  }

  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::string text;
    const bool ok = ecub::DecodeCheckedLine(line, text);
    FUZZ_CHECK(ecub::DecodificaRiga(line) == (ok ? text : std::string()), line);
    if (!ok) {
      FUZZ_CHECK(!is_protected || i == 0 || decoded.empty(), line);
      continue;
    }
    // Four digits per character, the last group possibly shorter.
    FUZZ_CHECK(text.size() == (line.size() + 3) / 4, line);
    if (is_protected && i > 0 && !decoded.empty()) FUZZ_CHECK(decoded[i - 1] == text, line);
    // The encoder's form of the decoded text decodes to the same text.
    std::string again;
    const std::string encoded = ecub::EncodeLine(text);
    FUZZ_CHECK(encoded.size() == 4 * text.size(), line);
    FUZZ_CHECK(ecub::DecodeCheckedLine(encoded, again) && again == text, line);
  }

  // Any text as the scrambling table: taken only as a permutation of the 256 byte values.
  ecub::ByteTable table = ecub::IdentityTable();
  if (ecub::ParseScrambleTable(contents, table)) {
    bool seen[256] = {};
    for (uint8_t v : table) {
      FUZZ_CHECK(!seen[v], std::to_string(v));
      seen[v] = true;
    }
  } else {
    FUZZ_CHECK(table == ecub::IdentityTable(), "a refused table changed the permutation");
  }
  return 0;
}
