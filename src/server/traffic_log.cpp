#include "server/traffic_log.h"

#include <cstdio>

#include "codec/hex.h"
#include "codec/log_line.h"
#include "server/clock.h"
#include "server/server.h"

namespace ecub {

std::string DatedLogName(int year, int month, int day, int hour, int minute, int second) {
  char name[96];
  std::snprintf(name, sizeof name, "RxTx_%04d%02d%02d_%02d%02d%02d.TXT", year, month, day, hour,
                minute, second);
  return name;
}

bool SalvaLogPrecedente(Server& s) {
  const std::string current = ProgramFile(s, kLogFileName);
  if (!FileExist(s.platform, current)) return false;
  std::string copy;
  if (s.settings.APPEND_LOG) {
    const LocalDateTime now = s.platform.LocalNow();
    copy = DatedLogName(now.year, now.month, now.day, now.hour, now.minute, now.second);
  } else {
    copy = kLastLogFileName;
  }
  // Copied under a temporary name and renamed over the old copy, so a copy cut short by a full
  // disk never takes the place of the whole one.
  const std::string target = ProgramFile(s, copy);
  const std::string temporary = target + ".tmp";
  return s.platform.CopyFileReplace(current, temporary) &&
         s.platform.MoveFileReplace(temporary, target);
}

void ApriLog(Server& s) {
  ChiudiLog(s);  // a second opening must not leak the first handle
  // Only a log that was copied may be emptied. Without a copy (the copy failed, or the old log
  // could not even be seen) the new lines follow the old ones; a missing log is created.
  const std::string path = ProgramFile(s, kLogFileName);
  s.log.file =
      SalvaLogPrecedente(s) ? s.platform.OpenWriteFile(path) : s.platform.OpenAppendFile(path);
  // Without a log the server still serves the host: the host is waiting on its pipe, and a
  // modal box would stall a window-less process that nobody watches. LogLine drops its lines.
  if (s.log.file == -1) {
    SayCannotWrite(s, kLogFileName);
    return;
  }
  // The clock origin is not taken yet, so the first line holds the counter's own reading.
  const int64_t clock_ms = RoundHalfEven(TimerApi_uSec(s) / 1000.0);
  const std::string first = "0 TimerApi_uSec " + std::to_string(clock_ms) + " Now " +
                            s.platform.FormatGeneralDate(s.platform.LocalNow()) + "\r\n";
  s.platform.WriteOpenFile(s.log.file, first);
}

void LogLine(Server& s, const std::string& label, const std::string& text) {
  // Logging must never disturb the traffic it records: with no log, or a failing one, the
  // lines are simply lost.
  if (!s.settings.LOG || s.log.file == -1) return;
  s.platform.WriteOpenFile(s.log.file, FormatLogLines(ElapsedMs(s), label, text));
}

void ChiudiLog(Server& s) {
  if (s.log.file == -1) return;
  s.platform.CloseOpenFile(s.log.file);
  s.log.file = -1;
}

}  // namespace ecub
