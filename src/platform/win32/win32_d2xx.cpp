#include "platform/win32/win32_d2xx.h"

#include "platform/win32/win32_convert.h"
#include "platform/win32/win32_platform.h"

#include <utility>

namespace ecub {

Win32D2xx::Win32D2xx(std::string library)
    : library_(library.empty() ? Win32ProgramFolder() + "\\" + kD2xxLibraryName
                               : std::move(library)) {}

Win32D2xx::~Win32D2xx() {
  if (module_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(module_));
}

bool Win32D2xx::OpenLibrary() {
  // A library that cannot be found must not pop up a system error box in a window-less server.
  const UINT old_mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  // With a full path, the libraries the driver itself needs are looked for beside it first (the
  // flag is only defined for full paths).
  const bool full_path = library_.find_first_of("\\/") != std::string::npos;
  const HMODULE module = ::LoadLibraryExW(WidePath(library_).c_str(), nullptr,
                                          full_path ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
  const DWORD error = ::GetLastError();
  ::SetErrorMode(old_mode);
  if (module == nullptr) {
    error_ = "cannot load " + library_ + " (error " + std::to_string(error) + ")";
    return false;
  }
  module_ = module;
  return true;
}

void* Win32D2xx::FindFunction(const char* name) {
  // GetProcAddress hands out a generic function pointer; going through void (*)() tells the
  // compiler the change of type is meant.
  const FARPROC proc = ::GetProcAddress(static_cast<HMODULE>(module_), name);
  return reinterpret_cast<void*>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace ecub
