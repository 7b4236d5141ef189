// Where an ecubridge program keeps its files on Linux. A server run from its build or unpacked
// folder keeps them beside itself, as on Windows; an installed one cannot write to /usr/bin, so
// it keeps them in the user's data folder.
#pragma once

#include <string>

namespace ecub {

// The program folder for an executable in `exe_folder`, $ECUBRIDGE_HOME aside:
//  - `exe_folder` when it holds SetComVarno.ini;
//  - `exe_folder` when it can be written, unless it is the bin/ folder of an installed tree
//    (../share/ecubridge beside it), which even root must not fill with logs;
//  - otherwise ${XDG_DATA_HOME:-$HOME/.local/share}/ecubridge, made (with its parents) when
//    `create` is set. When no such folder can be had, `exe_folder` after all.
// Without a trailing slash.
std::string ProgramFolderFor(const std::string& exe_folder, bool create);

// The folder of the running executable, or "." when it cannot be told.
std::string ExecutableFolder();

}  // namespace ecub
