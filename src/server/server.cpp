#include "server/server.h"

#include "settings/settings.h"

namespace ecub {

std::string ProgramFile(Server& s, const std::string& name) {
  return s.program_folder + s.platform.PathSeparator() + name;
}

bool LoadServerSettings(Server& s, const std::string& path) {
  s.PortaCom = 0;
  std::vector<SettingsProblem> problems;
  const bool found = LoadSettings(s.platform, path, s.settings, s.MsgTable, &problems);
  s.AttesaGlobaleCorrente = s.settings.AttesaGlobale_usec;
  s.settings_problems.clear();
  for (const SettingsProblem& problem : problems) {
    s.settings_problems.push_back(DescribeSettingsProblem(path, problem));
    s.platform.WriteStandardError("ecubridge: " + s.settings_problems.back());
  }
  return found;
}

void SayCannotWrite(Server& s, const std::string& name) {
  if (!s.unwritable_said.insert(name).second) return;
  s.platform.WriteStandardError("ecubridge: cannot write " + ProgramFile(s, name) +
                                "; the program folder must be writable to keep it");
}

}  // namespace ecub
