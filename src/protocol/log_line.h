#pragma once

#include <string>

namespace ecub {

struct Server;

// Writes one traffic-log line "<ms> <label><text>" (preceded by a command-name line when the
// text is the hex of a command frame); nothing when LOG is off.
void LogLine(Server& s, const std::string& label, const std::string& text);

}  // namespace ecub
