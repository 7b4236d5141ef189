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
  // Only a file that passed the check is decoded, and then either every line after the header
  // or none at all (a bad line spoils the file). A file that did not pass says so at most once.
  FUZZ_CHECK(decoded.empty() || (is_protected && decoded.size() + 1 == lines.size()),
             std::to_string(decoded.size()));
  FUZZ_CHECK(p.messages.size() <= (is_protected ? 0u : 1u), std::to_string(p.messages.size()));

  for (size_t i = 0; i < lines.size(); ++i) {
    std::string text;
    if (!ecub::DecodeCheckedLine(lines[i], text)) {
      FUZZ_CHECK(i == 0 || decoded.empty(), lines[i]);
      continue;
    }
    if (!decoded.empty() && i > 0) FUZZ_CHECK(decoded[i - 1] == text, lines[i]);
    // The encoder's form of the decoded text decodes to the same text.
    std::string again;
    FUZZ_CHECK(ecub::DecodeCheckedLine(ecub::EncodeLine(text), again) && again == text, lines[i]);
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
