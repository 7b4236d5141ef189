// The FTDI D2XX driver on Windows, taken from KVELD2XX.DLL at the first call.
#pragma once

#include <string>

#include "platform/d2xx_table.h"

namespace ecub {

// The file name the driver library is loaded under, in the program's folder.
inline constexpr const char* kD2xxLibraryName = "KVELD2XX.DLL";

class Win32D2xx : public D2xxTable {
 public:
  // Loads `library` (a UTF-8 path) at the first call; empty means KVELD2XX.DLL in the folder of
  // the running executable, by its full path, so that a library of that name planted in the
  // current folder or on PATH is never taken instead. Without the library, or without one of
  // its functions, the calls concerned fail instead of crashing.
  explicit Win32D2xx(std::string library = {});
  ~Win32D2xx() override;

  const std::string& library() const { return library_; }

 protected:
  bool OpenLibrary() override;
  void* FindFunction(const char* name) override;

 private:
  std::string library_;
  void* module_ = nullptr;
};

}  // namespace ecub
