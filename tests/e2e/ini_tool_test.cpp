// Runs the real ecubridge-ini binary on files in a scratch folder.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "sim_host.h"

namespace {

class IniToolTest : public ecub::e2e::SimHost {
 protected:
  // Runs the tool with `args`, its output going to the files "stdout" and "stderr"; the exit
  // code.
  int Run(const std::string& args) const {
    const std::string command = std::string(ECUBRIDGE_INI_EXE) + " " + args + " 2>" +
                                Path("stderr") + " >" + Path("stdout");
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

const std::string kEncodedMagic = "031065108310251003102710461085108610\r\n";

TEST_F(IniToolTest, EncodeThenDecodeGivesBackEveryByteAndBadFilesOrUsageFail) {
  std::string plain = "[LOG]\r\n 1 \r\n[MSG]\r\n\r\n";
  for (int c = 0; c < 256; ++c) plain.push_back(static_cast<char>(c));
  plain += "\r\n";
  Write("plain.ini", plain);
  ASSERT_EQ(Run("encode " + Path("plain.ini") + " -o " + Path("enc.ini")), 0);
  const std::string encoded = Read("enc.ini");
  EXPECT_EQ(encoded.substr(0, 60), kEncodedMagic + "68102410851025102810\r\n");  // "[LOG]"
  EXPECT_EQ(encoded.substr(encoded.size() - 2), "\r\n");  // the trailing empty line

  ASSERT_EQ(Run("decode -o " + Path("dec.ini") + " " + Path("enc.ini")), 0);
  EXPECT_EQ(Read("dec.ini"), plain);
  ASSERT_EQ(Run("decode " + Path("enc.ini")), 0);  // to standard output
  EXPECT_EQ(Read("stdout"), plain);
  EXPECT_EQ(Read("stderr"), "");

  // Bare line feeds are kept, with a warning: the server splits lines only at CR LF.
  Write("lf.ini", "[LOG]\n1\n");
  ASSERT_EQ(Run("encode " + Path("lf.ini")), 0);
  EXPECT_NE(Read("stderr").find("CR LF"), std::string::npos);
  EXPECT_EQ(Read("stdout"), kEncodedMagic + "02008900020068102410851025102810");

  Write("plain.ini", "[LOG]\r\n1");
  EXPECT_EQ(Run("decode " + Path("plain.ini")), 1);
  EXPECT_NE(Read("stderr").find("not a protected"), std::string::npos);
  Write("bad.ini", kEncodedMagic + "0310\r\n03x0");
  EXPECT_EQ(Run("decode " + Path("bad.ini")), 1);
  EXPECT_NE(Read("stderr").find("line 3"), std::string::npos);
  EXPECT_EQ(Run("encode " + Path("missing.ini")), 1);
  for (const char* args : {"", "scramble x", "encode", "encode a b", "encode a -o"}) {
    EXPECT_EQ(Run(args), 2) << args;
  }
}

}  // namespace
