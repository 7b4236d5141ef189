#include "server/server.h"

#include "settings/settings.h"

namespace ecub {

std::string ProgramFile(Server& s, const std::string& name) {
  return s.program_folder + s.platform.PathSeparator() + name;
}

bool LoadServerSettings(Server& s, const std::string& path) {
  s.PortaCom = 0;
  const bool found = LoadSettings(s.platform, path, s.settings, s.MsgTable);
  s.AttesaGlobaleCorrente = s.settings.AttesaGlobale_usec;
  return found;
}

}  // namespace ecub
