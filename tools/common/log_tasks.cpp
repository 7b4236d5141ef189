#include "common/log_tasks.h"

#include <signal.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

#include "common/follow.h"
#include "common/json.h"
#include "common/log_reader.h"
#include "common/log_stats.h"
#include "common/log_summary.h"
#include "common/timeline.h"

namespace ecub::tools {

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;

volatile std::sig_atomic_t g_stop = 0;

void OnStop(int) {
  g_stop = 1;
}

bool ReadLog(const std::optional<std::string>& path, std::string& contents) {
  if (!path || *path == "-") {
    contents.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::error_code ec;
  std::ifstream in(*path, std::ios::binary);
  if (std::filesystem::is_directory(*path, ec) || !in) {
    std::cerr << "ecubridge-log: cannot read " << *path << "\n";
    return false;
  }
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

int Follow(std::optional<uint8_t> only, const std::string& path) {
  // No SA_RESTART: the signal also cuts the wait between two looks short.
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM}) sigaction(sig, &action, nullptr);
  FollowCallbacks callbacks;
  callbacks.entry = [only](const LogEvent& e) {
    if (only && e.command != only) return;
    std::cout << FormatLogEvent(e) << std::endl;
  };
  callbacks.note = [](const std::string& text) { std::cerr << "ecubridge-log: " << text << "\n"; };
  FollowLog(path, callbacks, g_stop);
  return std::cout.flush() ? kOk : kFailed;
}

}  // namespace

bool IsLogTaskOption(const std::string& option) {
  return option == "--follow" || option == "--timeline" || option == "--stats" ||
         option == "--json";
}

bool ParseLogTaskOption(const std::string& option, const std::string& next, LogTask& task,
                        size_t& index, std::string& error) {
  if (option == "--json") {
    task.json = true;
    return true;
  }
  const LogTask::Kind kind = option == "--follow"     ? LogTask::Kind::kFollow
                             : option == "--timeline" ? LogTask::Kind::kTimeline
                                                      : LogTask::Kind::kStats;
  if (task.kind != LogTask::Kind::kList && task.kind != kind) {
    error = "--follow, --timeline and --stats are used one at a time";
    return false;
  }
  task.kind = kind;
  if (kind == LogTask::Kind::kTimeline) {
    if (next.empty()) {
      error = "--timeline needs the name of the picture to write (OUT.svg)";
      return false;
    }
    task.svg_path = next;
    ++index;
  }
  return true;
}

bool CheckLogTask(const LogTask& task, bool filtered, std::string& error) {
  if (task.json && task.kind != LogTask::Kind::kStats) {
    error = "--json goes with --stats";
    return false;
  }
  if (filtered && (task.kind == LogTask::Kind::kTimeline || task.kind == LogTask::Kind::kStats)) {
    error = "--command filters the listing and --follow, not --timeline or --stats";
    return false;
  }
  return true;
}

int RunLogTask(const LogTask& task, std::optional<uint8_t> only,
               const std::optional<std::string>& path) {
  if (task.kind == LogTask::Kind::kFollow) {
    if (path && *path == "-") {
      std::cerr << "ecubridge-log: --follow needs a file, not standard input\n";
      return kFailed;
    }
    return Follow(only, path.value_or("RxTx.TXT"));
  }
  std::string contents;
  if (!ReadLog(path, contents)) return kFailed;
  const std::vector<LogEvent> events = ParseTrafficLog(contents);
  const LogSummary summary = SummarizeLog(events);
  if (summary.requests.empty() && summary.marks.empty()) {
    std::cerr << "ecubridge-log: " << path.value_or("standard input")
              << " holds no traffic-log entry (no start line, frame or port opening)\n";
    return kFailed;
  }
  if (task.kind == LogTask::Kind::kStats) {
    std::cout << (task.json ? DumpJson(StatsJson(summary)) + "\n" : StatsText(summary));
    return std::cout.flush() ? kOk : kFailed;
  }
  const std::string title =
      path && *path != "-" ? std::filesystem::path(*path).filename().string() : "traffic log";
  std::ofstream out(task.svg_path, std::ios::binary);
  out << TimelineSvg(summary, title);
  out.close();
  if (!out) {
    std::cerr << "ecubridge-log: cannot write " << task.svg_path << "\n";
    return kFailed;
  }
  return kOk;
}

}  // namespace ecub::tools
