// What every ecubridge program on Linux says about itself: its version, and for the server,
// which a host starts without arguments, its help and a hint for someone who runs it by hand.
#pragma once

#include <string>

namespace ecub {

// The release, as the build was given it ("0.1.0").
const char* EcubridgeVersion();

// "PROGRAM VERSION" and a line end, the answer to --version.
std::string VersionLine(const std::string& program);

// The server's command line: --help and --version (also -h) are answered on standard output,
// and the result is the exit code; -1 means run the server. Any other argument gives the usage
// on standard error and 2, since a host never passes any. When standard input is a terminal,
// one line on standard error says what the server is and how to try it.
int ServerCommandLine(int argc, char** argv);

}  // namespace ecub
