// The programs as the .deb installs them, run from its unpacked tree: $ECUB_INSTALLED_ROOT is
// the folder the package was unpacked into (it holds usr/). Run by packaging/linux/check-deb.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/posix/child_process.h"
#include "platform/posix/temp_folder.h"

namespace ecub {
namespace {

namespace fs = std::filesystem;

std::string Root() {
  const char* root = getenv("ECUB_INSTALLED_ROOT");
  return root != nullptr ? root : "";
}

class Installed : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Root().empty()) << "set ECUB_INSTALLED_ROOT to the unpacked package";
    bin_ = Root() + "/usr/bin";
    ASSERT_TRUE(fs::is_directory(bin_));
  }
  std::string bin_;
};

TEST_F(Installed, EveryProgramRunsAndTellsItsVersion) {
  for (const char* name : {"ecubridge", "ecubridge-ports", "ecubridge-host", "ecubridge-sim",
                           "ecubridge-log", "ecubridge-ini"}) {
    ChildProcess program;
    ASSERT_TRUE(program.Start({bin_ + "/" + name, "--version"}));
    std::string out;
    for (std::string got; !(got = program.ReadAvailable(5000)).empty();) out += got;
    EXPECT_EQ(program.WaitExit(5000), 0) << name;
    EXPECT_EQ(out, std::string(name) + " " + ECUB_VERSION + "\n");
  }
  // The sample settings file keeps the CR LF line ends the settings reader wants.
  std::ifstream in(Root() + "/usr/share/ecubridge/SetComVarno.ini", std::ios::binary);
  const std::string sample(std::istreambuf_iterator<char>(in), {});
  ASSERT_FALSE(sample.empty());
  for (size_t at = sample.find('\n'); at != std::string::npos; at = sample.find('\n', at + 1)) {
    ASSERT_TRUE(at > 0 && sample[at - 1] == '\r') << "a bare line feed at " << at;
  }
}

// The installed server in its read-only bin/ answers a host and keeps its files in the user's
// data folder, made on its first start.
TEST_F(Installed, ServerAnswersAndKeepsItsFilesInTheDataFolder) {
  const ecub::TempFolder temp("installed");
  const std::string data = temp.path();
  ASSERT_FALSE(data.empty());
  fs::permissions(data, fs::perms::all);
  const auto bin_perms = fs::status(bin_).permissions();
  fs::permissions(bin_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  // Root could write there anyway: then the server runs as nobody, as a user would.
  std::vector<std::string> argv = {bin_ + "/ecubridge"};
  if (geteuid() == 0) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
  }
  const auto session = [&] {
    ChildProcess server;
    ASSERT_TRUE(server.Start(argv, {{"ECUBRIDGE_HOME", ""}, {"XDG_DATA_HOME", data}}));
    // Instruction 0 echoes its argument; the reply's length field is big-endian.
    ASSERT_TRUE(server.Write(std::string("\x0b\x00\x00\x00\x00\x00\x00\x00", 8) + "abc"));
    EXPECT_EQ(server.ReadExactly(11, 5000).value_or(""),
              std::string("\x00\x0b", 2) + std::string(6, '\0') + "abc");
    ASSERT_TRUE(server.Write(std::string("\x08\x00\x01\x00\x00\x00\x00\x00", 8)));  // quit
    EXPECT_EQ(server.WaitExit(5000), 0);
  };
  session();
  const std::string folder = data + "/ecubridge";
  EXPECT_TRUE(fs::is_directory(folder));
  std::ofstream(folder + "/SetComVarno.ini") << "[LOG]\r\n1\r\n";
  session();
  EXPECT_TRUE(fs::exists(folder + "/RxTx.TXT"));
  EXPECT_FALSE(fs::exists(bin_ + "/RxTx.TXT"));
  fs::permissions(bin_, bin_perms);
}

}  // namespace
}  // namespace ecub
