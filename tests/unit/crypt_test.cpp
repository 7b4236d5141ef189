#include "crypt/crypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/server.h"
#include "sim/fake_platform.h"

namespace ecub {
namespace {

using Lines = std::vector<std::string>;

const std::string kMagicLine = "031065108310251003102710461085108610";

TEST(CryptLine, EncodesAndDecodesGroupsOfTheReversedLine) {
  EXPECT_EQ(EncodeLine(kProtectedMagic), kMagicLine);
  EXPECT_EQ(EncodeLine(std::string("A\xFF", 2)), "01500310");
  std::string all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  EXPECT_EQ(DecodificaRiga(EncodeLine(all)), all);
  EXPECT_EQ(DecodificaRiga("1310"), "A");  // group 0131 halves to the code of 0130
  EXPECT_EQ(DecodificaRiga("20310"), std::string("A\x01"));  // a short last group
  EXPECT_EQ(DecodificaRiga("03a0"), "");
  // Groups that are not plain numbers or exceed a byte (0512 / 2 = 256) leave the output alone.
  for (const char* bad : {"2150", "0310 310", "031+"}) {
    std::string out = "unchanged";
    EXPECT_FALSE(DecodeCheckedLine(bad, out)) << bad;
    EXPECT_EQ(out, "unchanged") << bad;
  }
}

class ProtectedFileTest : public ::testing::Test {
 protected:
  void Put(const std::string& header, const Lines& lines, const std::string& tail = "") {
    std::string text = EncodeLine(header);
    for (const std::string& line : lines) text += "\r\n" + EncodeLine(line);
    p.files[path] = text + tail;
  }
  FakePlatform p;
  const std::string path = "/app/SetComVarno.ini";
};

TEST_F(ProtectedFileTest, RecognisesOnlyTheExactMagicWordAndDecodesTheLinesAfterIt) {
  EXPECT_FALSE(VerificaFileProtetto(p, path));  // missing
  Put("TORVALENA", {"[LOG]"});
  EXPECT_TRUE(VerificaFileProtetto(p, path));
  Put("torvalena", {"[LOG]"});
  EXPECT_FALSE(VerificaFileProtetto(p, path));
  Put("TORVALENAX", {});
  EXPECT_FALSE(VerificaFileProtetto(p, path));
  p.files[path] = "x" + kMagicLine;
  EXPECT_FALSE(VerificaFileProtetto(p, path));
  // The lines after the header, decoded.
  Put("TORVALENA", {});
  EXPECT_TRUE(DecodificaFileProtetto(p, path).empty());
  Put("TORVALENA", {}, "\r\n");
  EXPECT_EQ(DecodificaFileProtetto(p, path), (Lines{""}));
  Put("TORVALENA", {"[LOG]", "", " 1 \n"});
  EXPECT_EQ(DecodificaFileProtetto(p, path), (Lines{"[LOG]", "", " 1 \n"}));
  Put("TORVALENA", {"[LOG]", "1"}, "\r\n1250");  // one bad line spoils the whole file
  EXPECT_TRUE(DecodificaFileProtetto(p, path).empty());
  EXPECT_TRUE(p.messages.empty());
  Put("TORVALENO", {"[LOG]"});
  EXPECT_TRUE(DecodificaFileProtetto(p, path).empty());
  EXPECT_EQ(p.messages, (Lines{"FileExist|HEADER WRONG "}));
}

// The table as the scramble file may write it: lower case, mixed white space.
std::string TableText(const ByteTable& perm) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < perm.size(); ++i) {
    text += {kDigits[perm[i] >> 4], kDigits[perm[i] & 15], i % 16 == 15 ? '\n' : ' '};
  }
  return text;
}

ByteTable Reversed() {
  ByteTable t{};
  for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(255 - i);
  return t;
}

TEST(ScrambleTable, ParsesExactly512HexDigitsFormingAPermutationFromTheTableFile) {
  ByteTable out = IdentityTable();
  const std::string text = TableText(Reversed());
  ASSERT_TRUE(ParseScrambleTable("\t" + text + "\r\n", out));
  EXPECT_EQ(out, Reversed());
  out = IdentityTable();
  std::string duplicate = text;
  duplicate[1] = 'e';  // 0xfe twice, 0xff never
  for (const std::string& bad : {text.substr(1), text + "00", text + ",", duplicate}) {
    EXPECT_FALSE(ParseScrambleTable(bad, out)) << bad;
  }
  EXPECT_EQ(out, IdentityTable());
  std::string upper = text;
  for (char& c : upper) c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
  EXPECT_TRUE(ParseScrambleTable(upper, out));
  // The table file of the program folder, or the built-in table when it does not parse.
  FakePlatform p;
  Server s{p, "/app"};
  const std::string path = ProgramFile(s, kScrambleTableFile);
  p.files["/app/ScrambleTable.txt"] = text;
  EXPECT_TRUE(LoadScrambleTable(s.platform, path, s.tables));
  EXPECT_EQ(s.tables.ScramblePermutation, Reversed());
  p.files["/app/ScrambleTable.txt"] = std::string(512, '0');  // not a permutation
  EXPECT_FALSE(LoadScrambleTable(s.platform, path, s.tables));
  EXPECT_EQ(s.tables.ScramblePermutation, BuiltinScramblePermutation());
}

TEST(ScrambleTable, TablesAreIdentityOrTheBuiltInPermutationAndItsInverse) {
  ByteTables tables;
  EXPECT_EQ(tables.TxTable, IdentityTable());
  ImpostaTabelleProto(tables, true);
  const ByteTable& perm = tables.TxTable;
  // The key must not change between builds: units in the field speak it.
  EXPECT_EQ(perm, BuiltinScramblePermutation());
  EXPECT_EQ((Lines{std::to_string(perm[0]), std::to_string(perm[128]), std::to_string(perm[255])}),
            (Lines{"203", "221", "67"}));
  int fixed_points = 0;
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(tables.RxTable[perm[b]], b);  // also proves no value comes twice
    fixed_points += perm[b] == b ? 1 : 0;
  }
  EXPECT_LE(fixed_points, 2);
  ImpostaTabelleProto(tables, false);
  EXPECT_EQ(tables.TxTable, IdentityTable());
  EXPECT_EQ(tables.RxTable, IdentityTable());
}

}  // namespace
}  // namespace ecub
