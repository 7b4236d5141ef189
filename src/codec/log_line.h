// The text of traffic-log lines.
#pragma once

#include <cstdint>
#include <string>

namespace ecub {

// The lines "<ms> <label><text>" CR LF, preceded by a command-name line when the text is the
// hex of a command frame.
std::string FormatLogLines(int64_t elapsed_ms, const std::string& label, const std::string& text);

}  // namespace ecub
