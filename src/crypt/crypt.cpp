#include "crypt/crypt.h"

#include <algorithm>

#include "codec/hex.h"
#include "codec/text.h"
#include "platform/platform.h"

namespace ecub {

namespace {

constexpr size_t kGroupDigits = 4;

// The whole file split at CR LF; no lines when it is missing or unreadable.
std::vector<std::string> ReadLines(Platform& p, const std::string& path) {
  if (!FileExist(p, path)) return {};
  std::string contents;
  if (!p.ReadWholeFile(path, contents)) return {};
  return SplitCrLf(contents);
}

bool IsPermutation(const ByteTable& table) {
  std::array<bool, 256> seen{};
  for (uint8_t v : table) {
    if (seen[v]) return false;
    seen[v] = true;
  }
  return true;
}

bool IsAsciiSpace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

uint8_t RotateLeft(uint8_t x, unsigned bits) {
  return static_cast<uint8_t>((x << bits) | (x >> (8 - bits)));
}

}  // namespace

bool DecodeCheckedLine(const std::string& line, std::string& decoded) {
  const std::string reversed(line.rbegin(), line.rend());
  std::string out;
  out.reserve(reversed.size() / kGroupDigits + 1);
  for (size_t start = 0; start < reversed.size(); start += kGroupDigits) {
    const size_t end = std::min(start + kGroupDigits, reversed.size());
    unsigned value = 0;
    for (size_t i = start; i < end; ++i) {
      const unsigned char c = static_cast<unsigned char>(reversed[i]);
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    // Encoders write twice the code; the odd neighbour decodes to the same character.
    const unsigned code = value / 2;
    if (code > 255) return false;
    out.push_back(static_cast<char>(code));
  }
  decoded = std::move(out);
  return true;
}

std::string DecodificaRiga(const std::string& line) {
  std::string decoded;
  if (!DecodeCheckedLine(line, decoded)) return {};
  return decoded;
}

std::string EncodeLine(const std::string& line) {
  std::string groups;
  groups.reserve(line.size() * kGroupDigits);
  for (unsigned char c : line) {
    const unsigned twice = 2u * c;  // at most 510: always four digits with leading zeros
    groups.push_back(static_cast<char>('0' + twice / 1000));
    groups.push_back(static_cast<char>('0' + twice / 100 % 10));
    groups.push_back(static_cast<char>('0' + twice / 10 % 10));
    groups.push_back(static_cast<char>('0' + twice % 10));
  }
  return std::string(groups.rbegin(), groups.rend());
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  return SplitAt(text, "\r\n");
}

bool StartsWithProtectedHeader(const std::vector<std::string>& lines) {
  std::string header;
  return !lines.empty() && DecodeCheckedLine(lines[0], header) && header == kProtectedMagic;
}

bool VerificaFileProtetto(Platform& p, const std::string& path) {
  return StartsWithProtectedHeader(ReadLines(p, path));
}

std::vector<std::string> DecodificaFileProtetto(Platform& p, const std::string& path) {
  if (!FileExist(p, path)) return {};
  const std::vector<std::string> lines = ReadLines(p, path);
  std::string header;
  if (!lines.empty() && !DecodeCheckedLine(lines[0], header)) return {};
  if (header != kProtectedMagic) {
    p.ShowMessage("HEADER WRONG ", "FileExist");
    return {};
  }
  std::vector<std::string> decoded(lines.size() - 1);
  for (size_t i = 1; i < lines.size(); ++i) {
    // One bad line spoils the whole file: a half-decoded settings text would be worse.
    if (!DecodeCheckedLine(lines[i], decoded[i - 1])) return {};
  }
  return decoded;
}

std::vector<std::string> LeggiRigheFile(Platform& p, const std::string& path) {
  return ReadLines(p, path);
}

ByteTable BuiltinScramblePermutation() {
  // Three rounds of bijections on a byte: multiply by an odd constant, add, rotate, xor.
  // Each step is invertible, so the composition is a permutation; mixing multiplication with
  // rotation keeps it from being affine.
  struct Round {
    uint8_t multiplier, addend;
    unsigned rotation;
    uint8_t mask;
  };
  static constexpr Round kRounds[] = {
      {0xA7, 0x3B, 3, 0x5C}, {0x35, 0xC1, 5, 0x96}, {0x6D, 0x17, 2, 0xE3}};
  ByteTable table{};
  for (unsigned i = 0; i < table.size(); ++i) {
    uint8_t x = static_cast<uint8_t>(i);
    for (const Round& r : kRounds) {
      x = static_cast<uint8_t>(x * r.multiplier + r.addend);
      x = RotateLeft(x, r.rotation);
      x = static_cast<uint8_t>(x ^ r.mask);
    }
    table[i] = x;
  }
  return table;
}

bool ParseScrambleTable(const std::string& text, ByteTable& permutation) {
  ByteTable table{};
  size_t digits = 0;
  for (unsigned char c : text) {
    if (IsAsciiSpace(c)) continue;
    const int v = HexDigitValue(static_cast<char>(c));
    if (v < 0 || digits >= 2 * table.size()) return false;
    uint8_t& entry = table[digits / 2];
    entry = static_cast<uint8_t>(entry * 16 + v);
    ++digits;
  }
  if (digits != 2 * table.size() || !IsPermutation(table)) return false;
  permutation = table;
  return true;
}

bool LoadScrambleTable(Platform& p, const std::string& path, ByteTables& tables) {
  std::string text;
  if (FileExist(p, path) && p.ReadWholeFile(path, text) &&
      ParseScrambleTable(text, tables.ScramblePermutation)) {
    return true;
  }
  tables.ScramblePermutation = BuiltinScramblePermutation();
  return false;
}

void ImpostaTabelleProto(ByteTables& tables, bool scrambled) {
  if (!scrambled) {
    tables.TxTable = IdentityTable();
    tables.RxTable = IdentityTable();
    return;
  }
  tables.TxTable = tables.ScramblePermutation;
  for (size_t i = 0; i < tables.TxTable.size(); ++i) {
    tables.RxTable[tables.TxTable[i]] = static_cast<uint8_t>(i);
  }
}

}  // namespace ecub
