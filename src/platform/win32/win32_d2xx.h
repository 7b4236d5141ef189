// The FTDI D2XX driver on Windows, taken from KVELD2XX.DLL at the first call.
#pragma once

#include <string>

#include "platform/d2xx_table.h"

namespace ecub {

// The file name the driver library is loaded under; Windows looks for it in the executable's
// folder first.
inline constexpr const char* kD2xxLibraryName = "KVELD2XX.DLL";

class Win32D2xx : public D2xxTable {
 public:
  // Loads `library` at the first call (empty: KVELD2XX.DLL). Without the library, or without
  // one of its functions, the calls concerned return FT_OTHER_ERROR instead of crashing.
  explicit Win32D2xx(std::string library = {});
  ~Win32D2xx() override;

 protected:
  bool OpenLibrary() override;
  void* FindFunction(const char* name) override;

 private:
  std::string library_;
  void* module_ = nullptr;
};

}  // namespace ecub
