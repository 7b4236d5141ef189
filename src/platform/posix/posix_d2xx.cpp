#include "platform/posix/posix_d2xx.h"

#include <dlfcn.h>

#include <cstdlib>
#include <utility>

namespace ecub {

namespace {

constexpr char kDefaultLibrary[] = "libftd2xx.so";

}  // namespace

PosixD2xx::PosixD2xx(std::string library) : library_(std::move(library)) {}

PosixD2xx::~PosixD2xx() {
  if (module_ != nullptr) dlclose(module_);
}

bool PosixD2xx::OpenLibrary() {
  std::string path = library_;
  if (path.empty()) {
    const char* chosen = std::getenv("ECUBRIDGE_D2XX");
    path = chosen != nullptr && *chosen != '\0' ? chosen : kDefaultLibrary;
  }
  path_ = path;
  module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    const char* why = dlerror();
    error_ = why != nullptr ? why : "cannot load " + path;
    return false;
  }
  return true;
}

void* PosixD2xx::FindFunction(const char* name) {
  return dlsym(module_, name);
}

}  // namespace ecub
