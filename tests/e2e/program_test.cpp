// How the Linux programs present themselves: the program folder they choose, --version and
// --help. (The server's hint to someone who starts it at a terminal is in server_test.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/child_process.h"
#include "platform/posix/program_folder.h"
#include "platform/posix/temp_folder.h"
#include "sim_host.h"

namespace ecub {
namespace {

namespace fs = std::filesystem;

// Sets an environment variable while it lives.
struct ScopedEnv {
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { saved_ ? setenv(name_, saved_->c_str(), 1) : unsetenv(name_); }
  const char* name_;
  std::optional<std::string> saved_;
};

using e2e::ReadAll;

using ProgramTest = e2e::SimHost;  // for its scratch folder and host calls

TEST_F(ProgramTest, FolderIsBesideTheProgramUnlessInstalledOrReadOnly) {
  const std::string data = home_ + "/xdg//data";  // missing, and with a doubled slash
  ScopedEnv xdg("XDG_DATA_HOME", data);
  const std::string plain = home_ + "/unpacked";
  const std::string bin = home_ + "/usr/bin";
  fs::create_directories(plain);
  fs::create_directories(bin);
  fs::create_directories(home_ + "/usr/share/ecubridge");

  EXPECT_EQ(ProgramFolderFor(plain + "/", true), plain);
  // An installed bin/ is writable by root, yet the files go to the data folder, made now.
  EXPECT_EQ(ProgramFolderFor(bin, false), data + "/ecubridge");
  EXPECT_FALSE(fs::exists(data + "/ecubridge"));
  EXPECT_EQ(ProgramFolderFor(bin, true), data + "/ecubridge");
  EXPECT_TRUE(fs::is_directory(data + "/ecubridge"));
  // Settings beside the program keep it there.
  std::ofstream(bin + "/SetComVarno.ini") << "[LOG]\r\n1\r\n";
  EXPECT_EQ(ProgramFolderFor(bin, true), bin);

  // A relative XDG_DATA_HOME is not one; the home folder's .local/share is used.
  ScopedEnv relative("XDG_DATA_HOME", "relative/data");
  ScopedEnv home("HOME", home_ + "/home/");
  const std::string elsewhere = home_ + "/opt/ecubridge/bin";
  fs::create_directories(home_ + "/opt/ecubridge/share/ecubridge");
  fs::create_directories(elsewhere);
  EXPECT_EQ(ProgramFolderFor(elsewhere, true), home_ + "/home/.local/share/ecubridge");
  EXPECT_TRUE(fs::is_directory(home_ + "/home/.local/share/ecubridge"));
  EXPECT_EQ(ProgramFolderProblem(home_ + "/home/.local/share/ecubridge"), "");

  // A data folder that cannot be made (not even by root) is still the one every program names,
  // and why it cannot serve is said.
  std::ofstream(home_ + "/file") << "x";
  ScopedEnv blocked("XDG_DATA_HOME", home_ + "/file/data");
  EXPECT_EQ(ProgramFolderFor(elsewhere, true), home_ + "/file/data/ecubridge");
  EXPECT_TRUE(e2e::Has(ProgramFolderProblem(home_ + "/file/data/ecubridge"), "cannot be made"));
}

// From a read-only folder the server keeps its files in the data folder, made on its first
// start. With no folder it may make or write (the user nobody, whose home does not exist), it
// says so on standard error, naming the folder every tool uses, and still answers the host.
TEST_F(ProgramTest, ServerInAReadOnlyFolderUsesTheDataFolderOrSaysWhyItCannot) {
  // Root may write anywhere, so the server runs as nobody when the tests run as root.
  const bool root = geteuid() == 0;
  if (root && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv as root";
  const std::string folder = home_ + "/readonly";
  const std::string data = home_ + "/data";
  fs::create_directories(folder);
  fs::create_directories(data);
  fs::copy_file(ECUBRIDGE_EXE, folder + "/ecubridge");
  fs::permissions(home_, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
  fs::permissions(data, fs::perms::all);
  fs::permissions(folder, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  std::string command = "exec \"$0\" 2>\"$1\"";
  if (root)
    command = "exec setpriv --reuid=nobody --regid=nogroup --clear-groups -- " + command.substr(5);
  const std::string home = folder + "/home";  // cannot be made
  const auto run = [&](const std::string& xdg) {
    ASSERT_TRUE(server_.Start({"/bin/sh", "-c", command, folder + "/ecubridge", home_ + "/err.txt"},
                              {{"ECUBRIDGE_HOME", ""}, {"XDG_DATA_HOME", xdg}, {"HOME", home}}));
    EXPECT_EQ(Call(0, "hi").data, "hi");
    Quit();
  };
  run("");
  const std::string err = Read("err.txt");
  EXPECT_EQ(err.rfind("ecubridge: the program folder " + home +
                          "/.local/share/ecubridge does not exist and cannot be made",
                      0),
            0u)
      << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  run(data);
  // Made on the first start; from then on its settings are read and its log written there.
  ASSERT_TRUE(fs::is_directory(data + "/ecubridge"));
  std::ofstream(data + "/ecubridge/SetComVarno.ini") << "[LOG]\r\n1\r\n";
  run(data);
  EXPECT_TRUE(fs::exists(data + "/ecubridge/RxTx.TXT"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(ProgramVersion, EveryProgramAnswersVersionAndHelpAndTheServerRefusesTheUnknown) {
  for (const char* program : {ECUBRIDGE_EXE, ECUBRIDGE_INI_EXE, ECUBRIDGE_SIM_EXE,
                              ECUBRIDGE_HOST_EXE, ECUBRIDGE_LOG_EXE, ECUBRIDGE_PORTS_EXE}) {
    const std::string name = fs::path(program).filename().string();
    for (const std::string option : {"--version", "--help"}) {
      ChildProcess child;
      ASSERT_TRUE(child.Start({program, option}));
      const std::string out = ReadAll(child);
      EXPECT_EQ(child.WaitExit(5000), 0) << name << " " << option;
      if (option == "--version") {
        EXPECT_EQ(out, name + " " + ECUB_VERSION + "\n");
      } else {
        EXPECT_EQ(out.rfind("usage: " + name, 0), 0u) << out;
      }
    }
  }
  // An argument the server does not know is not passed over as if understood.
  ChildProcess server;  // standard error on the pipe the test reads
  ASSERT_TRUE(server.Start({"/bin/sh", "-c", "exec \"$0\" --foo 2>&1 >/dev/null", ECUBRIDGE_EXE}));
  const std::string err = ReadAll(server);
  EXPECT_EQ(server.WaitExit(5000), 2);
  EXPECT_EQ(err.rfind("ecubridge: unknown argument '--foo'", 0), 0u) << err;
  EXPECT_TRUE(e2e::Has(err, "usage: ecubridge")) << err;
}

}  // namespace
}  // namespace ecub
