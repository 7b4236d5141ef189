// The ecubridge server: started by a host program with its standard input and output as pipes.
#include <string>

#include "app/main_loop.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/program_folder.h"
#include "platform/posix/program_info.h"
#include "server/server.h"

int main(int argc, char** argv) {
  ecub::PosixReserveStandardDescriptors();
  if (const int exit_code = ecub::ServerCommandLine(argc, argv); exit_code >= 0) return exit_code;
  // A host or the system ending the server with a signal still gets the port put back.
  ecub::PosixCatchStopSignals();
  const std::string folder = ecub::PosixProgramFolder();
  ecub::PosixPlatform platform(0, 1, folder);
  // The host is answered all the same: without its files the server still relays.
  if (const std::string problem = ecub::ProgramFolderProblem(folder); !problem.empty()) {
    platform.WriteStandardError("ecubridge: " + problem);
  }
  ecub::Server server(platform, folder);
  ecub::RunServer(server);
  return 0;
}
