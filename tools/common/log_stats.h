// The figures of a traffic log: per command, how its requests ended and how fast the unit
// answered; per session (one run of the server), connects, port errors and duration.
#pragma once

#include <string>

#include "common/json.h"
#include "common/log_summary.h"

namespace ecub::tools {

// A table a person reads.
std::string StatsText(const LogSummary& summary);
// The same figures as one JSON object.
Json StatsJson(const LogSummary& summary);

}  // namespace ecub::tools
