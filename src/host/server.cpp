#include "host/server.h"

namespace ecub {

std::string ProgramFile(Server& s, const std::string& name) {
  return s.program_folder + s.platform.PathSeparator() + name;
}

}  // namespace ecub
