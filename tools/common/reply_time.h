// How long the host tool waits for a reply: the longest one transaction of the server can take
// with the settings it reads, plus a margin.
#pragma once

#include <string>

#include "settings/settings.h"

namespace ecub::tools {

struct ReplyTime {
  int attempts = 1;       // the first sending and every retry
  double attempt_ms = 0;  // the longest one attempt can take
  int timeout_ms = 0;     // every attempt, plus the margin
};

// With `settings`: every attempt sends the longest frame byte by byte, pauses, and waits out the
// answer time-out.
ReplyTime WorstReplyTime(const Settings& settings);

// The program folder the server at `server` uses: `home` when given, else $ECUBRIDGE_HOME,
// else the one it finds beside itself or in the user's data folder.
std::string ServerProgramFolder(const std::string& home, const std::string& server);

// WorstReplyTime for SetComVarno.ini in `folder` (the defaults when there is none).
ReplyTime ReplyTimeForFolder(const std::string& folder);

}  // namespace ecub::tools
