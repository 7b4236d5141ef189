#include "platform/posix/temp_folder.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace ecub {

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& label) {
  std::string pattern = "/tmp/ecub-" + label + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) != nullptr) path_ = name.data();
}

TempFolder::~TempFolder() {
  if (path_.empty()) return;
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  for (const auto& entry : fs::recursive_directory_iterator(path_, ec)) {
    if (!entry.is_symlink(ec)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::remove_all(path_, ec);
}

}  // namespace ecub
