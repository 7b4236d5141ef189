// Automatic polling of the control unit while the host is idle.
#pragma once

namespace ecub {

struct Server;

// One step: at most one polling transaction, timed or cyclic as PollMode says.
void PollIdle(Server& s);
// When PollIdle next has a message to send (a clock reading); infinity when none will be due.
double NextPollDue(const Server& s);

}  // namespace ecub
