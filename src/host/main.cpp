// The ecubridge server: started by a host program with its standard input and output as pipes.
#include "host/main_loop.h"
#include "host/server.h"
#include "platform/posix/posix_platform.h"

int main() {
  ecub::PosixReserveStandardDescriptors();
  ecub::PosixPlatform platform;
  ecub::Server server(platform, ecub::PosixProgramFolder());
  ecub::RunServer(server);
  return 0;
}
