// A traffic log as one SVG picture: time across, one row per command, each request a bar
// from its first send to its answer (or to the end of its last attempt) coloured by how it
// ended, and the port openings, port failures and links given up as marks. Where requests
// would be narrower than a pixel they are drawn together: one bar per pixel column and row,
// cut into the share of each outcome, so an hour of traffic stays a file a browser opens at
// once.
//
// Every bar carries its outcome as its class and the requests it stands for as data-n, so the
// picture can be checked against the log.
#pragma once

#include <string>

#include "common/log_summary.h"

namespace ecub::tools {

std::string TimelineSvg(const LogSummary& summary, const std::string& title);

}  // namespace ecub::tools
