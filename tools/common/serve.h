// The simulator's serving loop, shared by the simulated unit and the replayed one.
#pragma once

namespace ecub {
class PtyLink;
}

namespace ecub::tools {

// From now on SIGINT, SIGTERM and SIGHUP only ask the serving loop to end (so that it removes
// its link on the way out), and a reader that went away does not end the process.
void StopOnSignals();

// Runs the line until one of those signals came, or until `seconds` (when above 0) have passed
// since `origin_usec` (a MonotonicUsec reading).
void ServeUntilStopped(PtyLink& pty, double seconds, double origin_usec);

}  // namespace ecub::tools
