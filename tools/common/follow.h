// Following a traffic log while the server writes it, across restarts of the server: a new
// server saves the old log aside and starts RxTx.TXT afresh (emptied, or a new file), and the
// follower carries on into it, as `tail -F` does.
#pragma once

#include <csignal>
#include <functional>
#include <string>

#include "common/log_reader.h"

namespace ecub::tools {

struct FollowCallbacks {
  std::function<void(const LogEvent&)> entry;    // each entry, as soon as its line is whole
  std::function<void(const std::string&)> note;  // the file appeared, was started anew
};

// Shows what the file holds, then what is added to it, until `stop` is raised. Polls every
// `poll_ms` milliseconds while nothing comes. A missing file is waited for.
void FollowLog(const std::string& path, const FollowCallbacks& callbacks,
               const volatile std::sig_atomic_t& stop, int poll_ms = 100);

}  // namespace ecub::tools
