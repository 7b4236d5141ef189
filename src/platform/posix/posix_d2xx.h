// The FTDI D2XX driver on Linux, taken from its shared library at the first call.
#pragma once

#include <string>

#include "platform/d2xx_table.h"

namespace ecub {

class PosixD2xx : public D2xxTable {
 public:
  // Loads `library` at the first call; empty means $ECUBRIDGE_D2XX when set and not empty,
  // otherwise libftd2xx.so from the usual library search path. Without the library, or
  // without one of its functions, the calls concerned return FT_OTHER_ERROR.
  explicit PosixD2xx(std::string library = {});
  ~PosixD2xx() override;
  // The library loaded, or tried: for messages.
  const std::string& path() const { return path_; }

 protected:
  bool OpenLibrary() override;
  void* FindFunction(const char* name) override;

 private:
  std::string library_;
  std::string path_;
  void* module_ = nullptr;
};

}  // namespace ecub
