#include "common/log_stats.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "codec/command_table.h"
#include "common/text.h"

namespace ecub::tools {

namespace {

struct CommandFigures {
  size_t requests = 0;
  size_t answered = 0;  // on the first attempt
  size_t retried = 0;   // answered after one or more further attempts
  size_t failed = 0;    // every attempt failed: the link was given up
  size_t attempts = 0;
  // From the accepted attempt's send to its answer: how fast the unit answers.
  std::vector<int64_t> answer_ms;
};

std::map<uint8_t, CommandFigures> ByCommand(const LogSummary& summary) {
  std::map<uint8_t, CommandFigures> by;
  for (const LogRequest& r : summary.requests) {
    CommandFigures& f = by[r.command];
    ++f.requests;
    f.attempts += r.attempts.size();
    switch (r.outcome) {
      case LogRequest::Outcome::kAnswered:
        ++f.answered;
        break;
      case LogRequest::Outcome::kRetried:
        ++f.retried;
        break;
      case LogRequest::Outcome::kFailed:
        ++f.failed;
        break;
    }
    const LogAttempt& last = r.attempts.back();
    if (last.accepted) f.answer_ms.push_back(last.answered_ms - last.sent_ms);
  }
  for (auto& [command, f] : by) std::sort(f.answer_ms.begin(), f.answer_ms.end());
  return by;
}

// The nearest-rank percentile of sorted values.
int64_t Percentile(const std::vector<int64_t>& sorted, int percent) {
  const size_t rank = (sorted.size() * static_cast<size_t>(percent) + 99) / 100;
  return sorted[std::max<size_t>(rank, 1) - 1];
}

std::string Name(uint8_t command) {
  return Trim(CommandName(command));
}

}  // namespace

Json StatsJson(const LogSummary& summary) {
  Json commands = Json::array();
  for (const auto& [command, f] : ByCommand(summary)) {
    Json times = nullptr;
    if (!f.answer_ms.empty()) {
      times = {{"p50", Percentile(f.answer_ms, 50)},
               {"p95", Percentile(f.answer_ms, 95)},
               {"max", f.answer_ms.back()}};
    }
    commands.push_back({{"command", command},
                        {"name", Name(command)},
                        {"requests", f.requests},
                        {"answered", f.answered},
                        {"retried", f.retried},
                        {"failed", f.failed},
                        {"attempts", f.attempts},
                        {"answer_ms", times}});
  }
  Json sessions = Json::array();
  for (size_t i = 0; i < summary.sessions.size(); ++i) {
    const LogSession& s = summary.sessions[i];
    sessions.push_back({{"session", i + 1},
                        {"start_ms", s.first_ms},
                        {"duration_ms", s.last_ms - s.first_ms},
                        {"connects", s.connects},
                        {"port_errors", s.port_errors},
                        {"requests", s.requests}});
  }
  return {{"commands", commands},
          {"sessions", sessions},
          {"requests", summary.requests.size()},
          {"frames_sent", summary.sends},
          {"answers_received", summary.answers}};
}

std::string StatsText(const LogSummary& summary) {
  std::string out;
  char line[256];
  std::snprintf(line, sizeof line, "%-24s %9s %9s %8s %7s %8s %8s %8s\n", "command", "requests",
                "answered", "retried", "failed", "p50 ms", "p95 ms", "max ms");
  out += line;
  for (const auto& [command, f] : ByCommand(summary)) {
    std::snprintf(line, sizeof line, "%-24s %9zu %9zu %8zu %7zu", Name(command).c_str(), f.requests,
                  f.answered, f.retried, f.failed);
    out += line;
    if (f.answer_ms.empty()) {
      out += "        -        -        -\n";
    } else {
      std::snprintf(line, sizeof line, " %8lld %8lld %8lld\n",
                    static_cast<long long>(Percentile(f.answer_ms, 50)),
                    static_cast<long long>(Percentile(f.answer_ms, 95)),
                    static_cast<long long>(f.answer_ms.back()));
      out += line;
    }
  }
  out +=
      "answered: on the first attempt; retried: answered after more attempts; failed: no\n"
      "attempt answered, the link was given up. Times: from the answered attempt's request\n"
      "to its answer.\n\n";
  for (size_t i = 0; i < summary.sessions.size(); ++i) {
    const LogSession& s = summary.sessions[i];
    std::snprintf(line, sizeof line,
                  "session %zu: %.3f s long, %zu connect(s), %zu port error(s), %zu request(s)\n",
                  i + 1, static_cast<double>(s.last_ms - s.first_ms) / 1000.0, s.connects,
                  s.port_errors, s.requests);
    out += line;
  }
  return out;
}

}  // namespace ecub::tools
