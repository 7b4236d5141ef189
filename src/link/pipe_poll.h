#pragma once

namespace ecub {

struct Server;

// Inside a polling transaction: reads one host message, answers instructions 6 and 7 for a
// polled message at once from the stored answers, and keeps anything else for the main loop.
void ControllaRispondiPipe(Server& s);

}  // namespace ecub
