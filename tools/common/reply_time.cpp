#include "common/reply_time.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "link/transaction.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/program_folder.h"

namespace ecub::tools {

namespace {

// How often the server looks at the port while it waits for an answer.
constexpr double kReceivePoll_ms = 5;
// Beyond the worst case: the port search and the host pipe on a busy machine.
constexpr double kMarginFactor = 1.1;
constexpr double kMarginMs = 2000;
constexpr double kLongestTimeoutMs = 24.0 * 3600 * 1000;

}  // namespace

ReplyTime WorstReplyTime(const Settings& s) {
  ReplyTime t;
  t.attempts = std::max(0, static_cast<int>(s.NumResend)) + 1;
  const double send_ms =
      static_cast<double>(kMaxFrameSize) * std::max(0.0, s.AttesaByteTx_usec) / 1000;
  t.attempt_ms = send_ms +
                 (std::max(0.0, s.AttesaGlobale_usec) + std::max(0.0, s.Idle_usec)) / 1000 +
                 kReceivePoll_ms;
  const double total = t.attempts * t.attempt_ms * kMarginFactor + kMarginMs;
  t.timeout_ms = static_cast<int>(std::ceil(std::min(total, kLongestTimeoutMs)));
  return t;
}

std::string ServerProgramFolder(const std::string& home, const std::string& server) {
  if (!home.empty()) return home;
  if (const char* env = std::getenv("ECUBRIDGE_HOME"); env != nullptr && *env != '\0') return env;
  std::error_code ec;
  const std::filesystem::path path = std::filesystem::weakly_canonical(server, ec);
  return ProgramFolderFor((ec ? std::filesystem::path(server) : path).parent_path().string(),
                          false);
}

ReplyTime ReplyTimeForFolder(const std::string& folder) {
  PosixPlatform platform(-1, -1, folder);
  Settings settings;
  std::vector<MsgRecord> table;
  LoadSettings(platform, folder + "/SetComVarno.ini", settings, table);
  return WorstReplyTime(settings);
}

}  // namespace ecub::tools
