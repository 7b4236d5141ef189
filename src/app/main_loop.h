// Process start-up, the main loop and shutdown.
#pragma once

#include <string>
#include <vector>

namespace ecub {

struct Server;

inline constexpr const char* kSettingsFileName = "SetComVarno.ini";

void ServerStartup(Server& s);
// One pass of the main loop; false when the loop must end.
bool LoopPass(Server& s);
void ServerShutdown(Server& s);
// Start-up, loop until quit, shutdown.
void RunServer(Server& s);

// Carries out one accepted host instruction and sends its one reply.
void EseguiIstruzione(Server& s, int32_t code);
// True when the watched process is gone and the server must end.
bool CheckWatchedProcess(Server& s);
// Executable names of the running processes followed by one empty entry; empty when no list
// can be taken.
std::vector<std::string> ListProcessNames(Server& s);

}  // namespace ecub
