// How the Linux programs present themselves: the program folder they choose, --version and
// --help, and the server's hint to someone who starts it at a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/child_process.h"
#include "platform/posix/program_folder.h"

namespace ecub {
namespace {

namespace fs = std::filesystem;

struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old;
    had_ = getenv(name) != nullptr;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, saved_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ecub-program-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    for (const auto& entry : fs::recursive_directory_iterator(dir_, ec)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
  }
  std::string dir_;
};

TEST_F(ProgramTest, FolderIsBesideTheProgramUnlessInstalledOrReadOnly) {
  const std::string data = dir_ + "/data";
  ScopedEnv xdg("XDG_DATA_HOME", data.c_str());
  const std::string plain = dir_ + "/unpacked";
  const std::string bin = dir_ + "/usr/bin";
  fs::create_directories(plain);
  fs::create_directories(bin);
  fs::create_directories(dir_ + "/usr/share/ecubridge");

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
  ScopedEnv home("HOME", (dir_ + "/home/").c_str());
  const std::string elsewhere = dir_ + "/opt/ecubridge/bin";
  fs::create_directories(dir_ + "/opt/ecubridge/share/ecubridge");
  fs::create_directories(elsewhere);
  EXPECT_EQ(ProgramFolderFor(elsewhere, true), dir_ + "/home/.local/share/ecubridge");
  EXPECT_TRUE(fs::is_directory(dir_ + "/home/.local/share/ecubridge"));
}

TEST_F(ProgramTest, ServerInAReadOnlyFolderKeepsItsFilesInTheDataFolder) {
  // Root may write anywhere, so the server runs as nobody when the tests run as root.
  const bool root = geteuid() == 0;
  if (root && access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv as root";
  const std::string folder = dir_ + "/readonly";
  const std::string data = dir_ + "/data";
  fs::create_directories(folder);
  fs::create_directories(data);
  fs::copy_file(ECUBRIDGE_EXE, folder + "/ecubridge");
  fs::permissions(dir_, fs::perms::all & ~fs::perms::others_write & ~fs::perms::group_write);
  fs::permissions(data, fs::perms::all);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  std::vector<std::string> argv = {folder + "/ecubridge"};
  if (root) {
    argv.insert(argv.begin(),
                {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
  }
  const auto run = [&] {
    ChildProcess server;
    ASSERT_TRUE(server.Start(argv, {{"ECUBRIDGE_HOME", ""}, {"XDG_DATA_HOME", data}}));
    const std::string echo = std::string("\x0a\x00\x00\x00\x00\x00\x00\x00hi", 10);
    ASSERT_TRUE(server.Write(echo));
    const auto reply = server.ReadExactly(10, 5000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->substr(8), "hi");
    ASSERT_TRUE(server.Write(std::string("\x08\x00\x01\x00\x00\x00\x00\x00", 8)));  // quit
    EXPECT_EQ(server.WaitExit(5000), 0);
  };
  run();
  // Made on the first start; from then on its settings are read and its log written there.
  ASSERT_TRUE(fs::is_directory(data + "/ecubridge"));
  std::ofstream(data + "/ecubridge/SetComVarno.ini") << "[LOG]\r\n1\r\n";
  run();
  EXPECT_TRUE(fs::exists(data + "/ecubridge/RxTx.TXT"));
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(ProgramVersion, EveryProgramAnswersVersionAndHelp) {
  for (const std::string& program :
       {std::string(ECUBRIDGE_EXE), std::string(ECUBRIDGE_INI_EXE), std::string(ECUBRIDGE_SIM_EXE),
        std::string(ECUBRIDGE_HOST_EXE), std::string(ECUBRIDGE_LOG_EXE),
        std::string(ECUBRIDGE_PORTS_EXE)}) {
    const std::string name = fs::path(program).filename().string();
    for (const char* option : {"--version", "--help"}) {
      ChildProcess child;
      ASSERT_TRUE(child.Start({program, option}));
      std::string out;
      for (std::string got; !(got = child.ReadAvailable(5000)).empty();) out += got;
      EXPECT_EQ(child.WaitExit(5000), 0) << name << " " << option;
      if (std::string(option) == "--version") {
        EXPECT_EQ(out, name + " " + ECUB_VERSION + "\n");
      } else {
        EXPECT_NE(out.find("usage: " + name), std::string::npos) << out;
      }
    }
  }
}

// Standard error of a server whose standard input is a terminal, as when a person runs it.
std::string ServerNoteAtATerminal() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return "no terminal";
  const std::string slave_name = ptsname(master);
  int err[2];
  if (pipe(err) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    const int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(slave, STDIN_FILENO);
    dup2(null_fd, STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execl(ECUBRIDGE_EXE, ECUBRIDGE_EXE, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(err[1]);
  std::string text;
  pollfd pfd{err[0], POLLIN, 0};
  while (text.find('\n') == std::string::npos && poll(&pfd, 1, 5000) > 0) {
    char buffer[512];
    const ssize_t n = read(err[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  close(err[0]);
  close(master);
  return text;
}

TEST(ProgramVersion, ServerStartedAtATerminalSaysWhatItIsInOneLine) {
  const std::string note = ServerNoteAtATerminal();
  EXPECT_EQ(note.rfind(std::string("ecubridge ") + ECUB_VERSION + ": ", 0), 0u) << note;
  EXPECT_NE(note.find("ecubridge-host --interactive"), std::string::npos) << note;
  EXPECT_EQ(note.find('\n'), note.size() - 1) << note;
}

}  // namespace
}  // namespace ecub
