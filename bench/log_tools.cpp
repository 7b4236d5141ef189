// ecubridge-log on a big traffic log: an hour of polling with 100 000 transactions (six
// commands, one answer in fifty refused and sent again, one request in a thousand given up and
// the port opened again), read, summed up and drawn as ecubridge-log --stats and --timeline do.
//
// Usage: ecub_bench_log_tools [--transactions N] [--svg FILE (the picture, to look at)]
// Exit code: 0 all goals met, 2 a goal missed, 1 the run itself failed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codec/hex.h"
#include "codec/log_line.h"
#include "common/json.h"
#include "common/log_reader.h"
#include "common/log_stats.h"
#include "common/log_summary.h"
#include "common/timeline.h"

namespace {

// The rows of bench/run's table (bench_host.h writes them alike for the server benchmarks).
void Row(const char* what, double value, const char* unit, const char* goal, const char* verdict) {
  std::printf("%-44s %12.2f %-4s %-14s %s\n", what, value, unit, goal, verdict);
}
const char* Verdict(bool met) {
  return met ? "met" : "MISSED";
}

constexpr double kGoalStats_s = 2;
constexpr double kGoalTimeline_s = 2;
constexpr double kGoalSvg_MB = 8;

std::string Frame(uint8_t first, uint8_t second, uint8_t command, const std::string& data) {
  std::string f = {static_cast<char>(first), static_cast<char>(second),
                   static_cast<char>(data.size() + 3), static_cast<char>(command)};
  f += data;
  uint8_t sum = 0;
  for (const char c : f) sum ^= static_cast<uint8_t>(c);
  return f + static_cast<char>(sum);
}

// An hour of the server's own log lines.
std::string MakeLog(int transactions) {
  const int64_t hour_ms = 3'600'000;
  const int64_t step_ms = hour_ms / transactions;
  std::string log = "0 TimerApi_uSec 123456 Now 07/12/2026 08:00:00\r\n";
  log += ecub::FormatLogLines(5, "APERTURA ", "[COM5]");
  int64_t t = 10;
  for (int i = 0; i < transactions; ++i, t += step_ms) {
    const uint8_t command = static_cast<uint8_t>(0x0C + i % 6);
    const std::string request = Frame(0x41, 0x02, command, std::string(1, static_cast<char>(i)));
    log += ecub::FormatLogLines(t, "T ", ecub::BytesToHex(request));
    const std::string answer = Frame(0x44, 0x01, command, std::string(12, '\x11'));
    if (i % 1000 == 999) {  // silent: the next line comes when the link is opened again
      log += ecub::FormatLogLines(t + step_ms / 2, "APERTURA ", "[COM5]");
    } else if (i % 50 == 49) {  // refused, then answered
      std::string spoilt = answer;
      spoilt.back() ^= 0xFF;
      log += ecub::FormatLogLines(t + 9, "R ", ecub::BytesToHex(spoilt));
      log += ecub::FormatLogLines(t + 9, "COMUNICATION ERROR:", "RX ESITO_CKSUM");
      log += ecub::FormatLogLines(t + 12, "T ", ecub::BytesToHex(request));
      log += ecub::FormatLogLines(t + 21, "R ", ecub::BytesToHex(answer));
    } else {
      log += ecub::FormatLogLines(t + 8 + i % 5, "R ", ecub::BytesToHex(answer));
    }
  }
  return log;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  int transactions = 100'000;
  const char* svg_path = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--transactions") == 0) transactions = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--svg") == 0) svg_path = argv[i + 1];
  }
  if (transactions < 1) {
    std::fprintf(stderr, "ecub_bench_log_tools: --transactions takes a positive number\n");
    return 1;
  }
  const std::string log = MakeLog(transactions);

  auto start = std::chrono::steady_clock::now();
  const ecub::tools::LogSummary summary =
      ecub::tools::SummarizeLog(ecub::tools::ParseTrafficLog(log));
  const double read_s = Seconds(start);
  start = std::chrono::steady_clock::now();
  const std::string text = ecub::tools::StatsText(summary);
  const std::string json = ecub::tools::DumpJson(ecub::tools::StatsJson(summary));
  const double stats_s = read_s + Seconds(start);
  start = std::chrono::steady_clock::now();
  const std::string svg = ecub::tools::TimelineSvg(summary, "RxTx.TXT");
  const double timeline_s = read_s + Seconds(start);
  if (summary.requests.size() + transactions / 1000 < static_cast<size_t>(transactions) ||
      text.empty() || json.empty()) {
    std::fprintf(stderr, "ecub_bench_log_tools: the log was not read whole\n");
    return 1;
  }

  if (svg_path != nullptr) {
    FILE* out = std::fopen(svg_path, "wb");
    if (out == nullptr || std::fwrite(svg.data(), 1, svg.size(), out) != svg.size() ||
        std::fclose(out) != 0) {
      std::fprintf(stderr, "ecub_bench_log_tools: cannot write %s\n", svg_path);
      return 1;
    }
  }
  const double svg_mb = static_cast<double>(svg.size()) / 1e6;
  char title[128];
  std::snprintf(title, sizeof title, "log of an hour, %d transactions, %.1f MB", transactions,
                static_cast<double>(log.size()) / 1e6);
  std::printf("%s\n%-44s %17s %-14s\n", title, "measure", "result", "goal");
  Row("log read and summed up", read_s, "s", "-", "-");
  Row("stats (read, text and JSON)", stats_s, "s", "<= 2 s", Verdict(stats_s <= kGoalStats_s));
  Row("timeline (read and drawn)", timeline_s, "s", "<= 2 s",
      Verdict(timeline_s <= kGoalTimeline_s));
  Row("timeline SVG size", svg_mb, "MB", "<= 8 MB", Verdict(svg_mb <= kGoalSvg_MB));
  const bool met =
      stats_s <= kGoalStats_s && timeline_s <= kGoalTimeline_s && svg_mb <= kGoalSvg_MB;
  return met ? 0 : 2;
}
