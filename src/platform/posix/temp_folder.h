// A fresh folder under /tmp for a test or a benchmark run, removed with all it holds when the
// object goes.
#pragma once

#include <string>

namespace ecub {

class TempFolder {
 public:
  // Named /tmp/ecub-<label>-XXXXXX; path() is empty when it could not be made.
  explicit TempFolder(const std::string& label);
  // Owner rights are given back first, so a user may take them away meanwhile.
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace ecub
