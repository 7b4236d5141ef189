// Protected settings files and the byte tables of the protocol scrambling.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ecub {

class Platform;

using ByteTable = std::array<uint8_t, 256>;

// The table that maps every byte to itself.
constexpr ByteTable IdentityTable() {
  ByteTable table{};
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(i);
  return table;
}

// The built-in scrambling permutation.
ByteTable BuiltinScramblePermutation();

// Plain until a connection chooses the mode; the permutation is the built-in one until
// LoadScrambleTable replaces it.
struct ByteTables {
  ByteTable TxTable = IdentityTable();                           // frame byte -> wire byte
  ByteTable RxTable = IdentityTable();                           // wire byte -> frame byte
  ByteTable ScramblePermutation = BuiltinScramblePermutation();  // scrambled TxTable
};

// The magic word of a protected file's first line.
inline constexpr const char* kProtectedMagic = "TORVALENA";

// True when the first of `lines` decodes to the magic word: the lines of a protected file.
bool StartsWithProtectedHeader(const std::vector<std::string>& lines);
// True when the file exists and its first line decodes to the magic word.
bool VerificaFileProtetto(Platform& p, const std::string& path);
// The decoded lines after the header; no lines when the file is missing or cannot be decoded.
std::vector<std::string> DecodificaFileProtetto(Platform& p, const std::string& path);
// The file split at every CR LF; no lines when the file does not exist.
std::vector<std::string> LeggiRigheFile(Platform& p, const std::string& path);
// Decodes one protected line (reverse, then groups of four digits halved). A group that is not
// a plain decimal number or decodes above 255 gives an empty text.
std::string DecodificaRiga(const std::string& line);
// The same decoding, false when a group is not a plain decimal number or decodes above 255.
bool DecodeCheckedLine(const std::string& line, std::string& decoded);
// The inverse of DecodificaRiga: each character as twice its code in four digits, reversed.
std::string EncodeLine(const std::string& line);
// Splits a byte string at every CR LF (a lone LF does not end a line). Text after the last
// CR LF is a line of its own, possibly empty; an empty text has no lines.
std::vector<std::string> SplitCrLf(const std::string& text);
// Parses 512 hex digits (white space between them is ignored) that must form a permutation.
bool ParseScrambleTable(const std::string& text, ByteTable& permutation);
inline constexpr const char* kScrambleTableFile = "ScrambleTable.txt";

// Takes the permutation from the file at `path` (ScrambleTable.txt in the program folder) when
// it holds a valid one,
// otherwise keeps the built-in one. Returns true when the file was used.
bool LoadScrambleTable(Platform& p, const std::string& path, ByteTables& tables);
// Fills TxTable and RxTable: identity, or the permutation and its inverse.
void ImpostaTabelleProto(ByteTables& tables, bool scrambled);

}  // namespace ecub
