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
//    `create` is set. The same folder whether or not it could be made, so that every program
//    names the same one; only without any home folder at all, `exe_folder` after all.
// Without a trailing slash.
std::string ProgramFolderFor(const std::string& exe_folder, bool create);

// Why `folder` cannot serve as the program folder (it is missing, or cannot be written), in
// words for standard error; empty when it can.
std::string ProgramFolderProblem(const std::string& folder);

// The folder of the running executable, or "." when it cannot be told.
std::string ExecutableFolder();

}  // namespace ecub
