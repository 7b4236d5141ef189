#include "platform/posix/program_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/posix/posix_platform.h"

namespace ecub {

namespace {

constexpr char kSettingsFile[] = "SetComVarno.ini";
constexpr char kDataFolder[] = "ecubridge";

std::string WithoutTrailingSlash(std::string folder) {
  // The root folder becomes empty, which still gives "/name" once a file name is appended.
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool InstalledBin(const std::string& folder) {
  const std::filesystem::path bin(folder);
  return bin.filename() == "bin" && IsFolder((bin.parent_path() / "share" / kDataFolder).string());
}

// The user's data folder: $XDG_DATA_HOME when it is an absolute path (the only kind the
// standard allows), otherwise .local/share in the home folder; empty when there is none.
std::string DataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return WithoutTrailingSlash(xdg);
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else if (const passwd* user = getpwuid(getuid()); user != nullptr && user->pw_dir != nullptr) {
    home = user->pw_dir;
  }
  return home.empty() ? std::string() : WithoutTrailingSlash(home) + "/.local/share";
}

// Makes `folder` and its missing parents, private to the user as the data folders are meant
// to be.
bool MakeFolders(const std::string& folder) {
  if (IsFolder(folder)) return true;
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) {
    return false;
  }
  return mkdir(folder.c_str(), 0700) == 0 || (errno == EEXIST && IsFolder(folder));
}

}  // namespace

std::string ExecutableFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) return ".";
  return WithoutTrailingSlash(exe.parent_path().string());
}

std::string ProgramFolderFor(const std::string& exe_folder_in, bool create) {
  const std::string exe_folder = WithoutTrailingSlash(exe_folder_in);
  const std::string in_exe_folder = exe_folder.empty() ? "/" : exe_folder;
  if (IsFile(exe_folder + "/" + kSettingsFile)) return exe_folder;
  if (access(in_exe_folder.c_str(), W_OK | X_OK) == 0 && !InstalledBin(in_exe_folder)) {
    return exe_folder;
  }
  const std::string data_home = DataHome();
  if (data_home.empty()) return exe_folder;
  const std::string folder = data_home + "/" + kDataFolder;
  if (create) MakeFolders(folder);  // a failure is told by ProgramFolderProblem
  return folder;
}

std::string ProgramFolderProblem(const std::string& folder_in) {
  const std::string folder = folder_in.empty() ? "/" : folder_in;
  if (!IsFolder(folder)) {
    return "the program folder " + folder +
           " does not exist and cannot be made: the settings are not read and no file is kept "
           "(set ECUBRIDGE_HOME to a folder you may write)";
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return "the program folder " + folder +
           " cannot be written: the traffic log, Handle.ini and PortCom.ini are not kept "
           "(set ECUBRIDGE_HOME to a folder you may write)";
  }
  return std::string();
}

std::string PosixProgramFolder(bool create) {
  const char* home = std::getenv("ECUBRIDGE_HOME");
  if (home != nullptr && *home != '\0') return WithoutTrailingSlash(home);
  return ProgramFolderFor(ExecutableFolder(), create);
}

}  // namespace ecub
