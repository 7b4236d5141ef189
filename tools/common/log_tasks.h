// What ecubridge-log does beyond listing a log: follow it live, draw it as a timeline, sum it
// up. The tool's own file only parses its options and hands over here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace ecub::tools {

struct LogTask {
  enum class Kind { kList, kFollow, kTimeline, kStats };
  Kind kind = Kind::kList;
  std::string svg_path;  // --timeline
  bool json = false;     // --json (with --stats)
};

// --follow, --timeline, --stats and --json.
bool IsLogTaskOption(const std::string& option);
// Takes `option` (and, for --timeline, `next`, advancing `index`). False with the reason.
bool ParseLogTaskOption(const std::string& option, const std::string& next, LogTask& task,
                        size_t& index, std::string& error);
// The options taken together; `filtered`: --command was given.
bool CheckLogTask(const LogTask& task, bool filtered, std::string& error);
// Runs the task on FILE (standard input for none or "-", RxTx.TXT for --follow); the exit
// status: 0 done, 1 the log cannot be read or the picture not written.
int RunLogTask(const LogTask& task, std::optional<uint8_t> only,
               const std::optional<std::string>& path);

}  // namespace ecub::tools
