// ecubridge-sim: a simulated control unit behind a pseudo-terminal linked as <ports>/COMn, so
// that the server (started with that program folder) finds it as a serial port.
//
// It answers as the simulated unit does: identification, live engine values, canned answers
// from a file, optional scrambling, line-speed pacing and injected faults. Every request it
// receives and every answer it sends is written to standard error, one line each. When the
// port is ready its path is printed on standard output, so scripts can wait for that line.

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codec/command_table.h"
#include "common/frames.h"
#include "common/replay.h"
#include "common/serve.h"
#include "common/sim_answers.h"
#include "common/text.h"
#include "crypt/crypt.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/program_info.h"
#include "sim/ecu_sim.h"
#include "sim/posix/pty_link.h"

namespace {

using ecub::EcuSim;
using ecub::MonotonicUsec;
namespace tools = ecub::tools;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "usage: ecubridge-sim --ports DIR --com N [options]\n"
    "       ecubridge-sim --ports DIR --com N --replay LOG [--speed F] [--scrambled ...]\n"
    "\n"
    "Serves a simulated control unit on a pseudo-terminal linked as DIR/COMN and prints that\n"
    "path when ready. Runs until SIGINT or SIGTERM (or --seconds), then removes the link.\n"
    "DIR is made when missing; a DIR/COMN that exists already is never replaced (exit 1).\n"
    "Requests received (<-) and answers sent (->) are logged to standard error.\n"
    "\n"
    "  --ports DIR           folder of the COM port links (the server's <home>/ports)\n"
    "  --com N               port number, 1 to 255\n"
    "  --ident TEXT          identification text (default \"FW 1.00 LPGJET-4 X\")\n"
    "  --short-ident         answer the identification request with 42 01 04 21 00 66\n"
    "  --scrambled           talk scrambled frames only\n"
    "  --scramble-table FILE the scrambling permutation: 512 hex digits\n"
    "  --answers FILE        canned answers, one per line: KEY [->] DATAHEX, where KEY is a\n"
    "                        command (0C or CMD_READ_MEM2) or a whole request frame in hex;\n"
    "                        \"raw:HEX\" sends exactly those bytes; # starts a comment\n"
    "  --live CMD            answer CMD with live engine values (CMD_READ_MEM1 always does)\n"
    "  --delay-ms MS         time from a request's last byte to its answer (default 2)\n"
    "  --baud N              line speed the answers are paced at, 0 for at once (default 38400)\n"
    "  --fault F[:COUNT[:CMD]]  misbehave for the next COUNT requests (default: all) of CMD\n"
    "                        (default: any command); repeatable. F is one of: silence,\n"
    "                        bad-checksum, wrong-echo, outcome-fe, outcome-ff, split, delay,\n"
    "                        trailing, early-talk, wrong-start, truncate\n"
    "  --seconds N           end by itself after N seconds\n"
    "  --quiet               no traffic lines on standard error\n"
    "  --replay LOG          answer as the unit in a traffic log (RxTx.TXT, Last_RxTx.TXT or\n"
    "                        a dated copy) did: the k-th time a request is sent it gets the\n"
    "                        k-th answer recorded after it (then the last again), silence\n"
    "                        where the unit was silent, after the recorded delay; a request\n"
    "                        the log never saw gets silence and a line on standard error.\n"
    "                        The log holds plain frames: add --scrambled when the session was\n"
    "                        scrambled\n"
    "  --speed F             scale the recorded delays by F (0: answer at once; default 1)\n"
    "\n"
    "Exit codes: 0 ended by a signal or --seconds, 1 the port could not be set up, a file\n"
    "could not be read or the replayed log holds no request, 2 bad arguments.\n";

const std::map<std::string, EcuSim::Fault> kFaults = {
    {"silence", EcuSim::Fault::kSilence},      {"bad-checksum", EcuSim::Fault::kBadChecksum},
    {"wrong-echo", EcuSim::Fault::kWrongEcho}, {"outcome-fe", EcuSim::Fault::kOutcomeFE},
    {"outcome-ff", EcuSim::Fault::kOutcomeFF}, {"split", EcuSim::Fault::kSplit},
    {"delay", EcuSim::Fault::kDelay},          {"trailing", EcuSim::Fault::kTrailing},
    {"early-talk", EcuSim::Fault::kEarlyTalk}, {"wrong-start", EcuSim::Fault::kWrongStart},
    {"truncate", EcuSim::Fault::kTruncate},
};

// Passes everything to the unit and reports what it received and answered.
class LoggedUnit : public ecub::SimLink {
 public:
  LoggedUnit(EcuSim& unit, double origin_usec, bool quiet)
      : unit_(unit), origin_usec_(origin_usec), quiet_(quiet) {}

  void OnByte(uint8_t wire_byte, double now_usec) override {
    unit_.OnByte(wire_byte, now_usec);
    const auto& requests = unit_.requests();
    const auto& answers = unit_.answers();
    while (requests_seen_ < requests.size()) {
      const EcuSim::Request& r = requests[requests_seen_++];
      Line(now_usec, "<-", r.command,
           tools::Hex(r.frame) + (r.checksum_ok ? "" : "  (checksum wrong)"));
      if (answers_seen_ < answers.size()) {
        const std::string& a = answers[answers_seen_++];
        const tools::FrameFields f = tools::SplitFrame(a);
        Line(now_usec, "->", f.command.value_or(r.command), tools::Hex(a));
      } else {
        Line(now_usec, "->", r.command, "(no answer)");
      }
    }
    answers_seen_ = answers.size();
  }
  size_t Queued(double now_usec) override { return unit_.Queued(now_usec); }
  std::string Take(size_t max, double now_usec) override { return unit_.Take(max, now_usec); }
  double NextArrival(double now_usec) override { return unit_.NextArrival(now_usec); }
  void OnOpen(uint32_t baud, double now_usec) override {
    unit_.OnOpen(baud, now_usec);
    Note(now_usec, "port opened at " + std::to_string(baud) + " baud");
  }
  void OnClose(double now_usec) override {
    unit_.OnClose(now_usec);
    Note(now_usec, "port closed");
  }
  void DropQueued(double now_usec) override { unit_.DropQueued(now_usec); }

 private:
  void Line(double now_usec, const char* direction, uint8_t command, const std::string& text) {
    if (quiet_) return;
    std::fprintf(stderr, "%10.3f  %s  %-24s %s\n", (now_usec - origin_usec_) / 1e6, direction,
                 tools::Trim(ecub::CommandName(command)).c_str(), text.c_str());
  }
  void Note(double now_usec, const std::string& text) {
    if (quiet_) return;
    std::fprintf(stderr, "%10.3f  --  %s\n", (now_usec - origin_usec_) / 1e6, text.c_str());
  }

  EcuSim& unit_;
  double origin_usec_;
  bool quiet_;
  size_t requests_seen_ = 0;
  size_t answers_seen_ = 0;
};

struct Options {
  std::string ports;
  int com = 0;
  EcuSim::Config config;
  std::string scramble_table;
  std::string answers;
  struct FaultRule {
    EcuSim::Fault fault;
    int count;
    int command;
  };
  std::vector<FaultRule> faults;
  double seconds = 0;  // 0: until a signal
  bool quiet = false;
  std::string replay;  // --replay LOG
  std::optional<double> speed;
  bool unit_options = false;  // options that shape the simulated unit, not a replay
};

int Usage(const std::string& message) {
  std::cerr << "ecubridge-sim: " << message << "\n(see ecubridge-sim --help)\n";
  return kUsage;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool Fail(const std::string& message) {
  Usage(message);
  return false;
}

// "name[:count[:command]]".
bool ParseFault(const std::string& text, Options::FaultRule& rule, std::string& error) {
  std::vector<std::string> parts;
  size_t begin = 0;
  for (;;) {
    const size_t colon = text.find(':', begin);
    parts.push_back(text.substr(begin, colon - begin));
    if (colon == std::string::npos) break;
    begin = colon + 1;
  }
  const auto it = kFaults.find(parts[0]);
  if (it == kFaults.end() || parts.size() > 3) {
    error = "--fault: '" + text + "' is not FAULT[:COUNT[:CMD]] with a known FAULT";
    return false;
  }
  rule = {it->second, EcuSim::kForever, EcuSim::kAnyCommand};
  int64_t count = 0;
  if (parts.size() > 1 && !parts[1].empty() && parts[1] != "*") {
    if (!tools::ParseNumber(parts[1], 1, 1'000'000'000, count)) {
      error = "--fault: count '" + parts[1] + "' is not a number from 1 (or * for always)";
      return false;
    }
    rule.count = static_cast<int>(count);
  }
  if (parts.size() > 2) {
    uint8_t code = 0;
    if (!tools::ParseCommand(parts[2], code)) {
      error = "--fault: '" + parts[2] + "' is not a command name, number or 0x-hex code";
      return false;
    }
    rule.command = code;
  }
  return true;
}

// False after printing the reason.
bool ParseOptions(const std::vector<std::string>& args, Options& o) {
  bool have_com = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    if (const size_t eq = name.find('=');
        tools::StartsWith(name, "--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
      has_value = true;
    }
    static const char* const kFlags[] = {"--scrambled", "--short-ident", "--quiet"};
    bool is_flag = false;
    for (const char* f : kFlags) is_flag = is_flag || name == f;
    if (is_flag) {
      if (has_value) return Fail(name + " takes no value");
      if (name == "--scrambled") o.config.scrambled = true;
      if (name == "--short-ident") o.config.short_ident = true;
      if (name == "--quiet") o.quiet = true;
      continue;
    }
    if (!has_value) {
      if (!tools::StartsWith(name, "--")) return Fail("unexpected argument '" + name + "'");
      if (i + 1 >= args.size()) return Fail(name + " needs a value");
      value = args[++i];
    }
    int64_t n = 0;
    double d = 0;
    static const char* const kUnitOptions[] = {"--ident",    "--answers", "--live",
                                               "--delay-ms", "--baud",    "--fault"};
    for (const char* u : kUnitOptions) o.unit_options = o.unit_options || name == u;
    if (name == "--replay") {
      if (value.empty()) return Fail("--replay needs a traffic log");
      o.replay = value;
    } else if (name == "--speed") {
      if (!tools::ParseDecimal(value, 1e6, d)) return Fail("--speed takes a factor from 0");
      o.speed = d;
    } else if (name == "--ports") {
      if (value.empty()) return Fail("--ports needs a folder");
      o.ports = value;
    } else if (name == "--com") {
      if (!tools::ParseNumber(value, 1, 255, n)) return Fail("--com takes 1 to 255");
      o.com = static_cast<int>(n);
      have_com = true;
    } else if (name == "--ident") {
      o.config.ident_pieces.clear();
      size_t begin = 0;
      for (;;) {
        const size_t blank = value.find(' ', begin);
        o.config.ident_pieces.push_back(value.substr(begin, blank - begin));
        if (blank == std::string::npos) break;
        begin = blank + 1;
      }
    } else if (name == "--scramble-table") {
      o.scramble_table = value;
    } else if (name == "--answers") {
      o.answers = value;
    } else if (name == "--live") {
      uint8_t code = 0;
      if (!tools::ParseCommand(value, code)) {
        return Fail("--live: '" + value + "' is not a command name, number or 0x-hex code");
      }
      o.config.live_commands.insert(code);
    } else if (name == "--delay-ms") {
      if (!tools::ParseDecimal(value, 600'000, d)) {
        return Fail("--delay-ms takes a number of milliseconds");
      }
      o.config.answer_delay_usec = d * 1000;
    } else if (name == "--baud") {
      if (!tools::ParseNumber(value, 0, 10'000'000, n)) {
        return Fail("--baud takes a line speed in bit/s (0: no pacing)");
      }
      o.config.baud = static_cast<uint32_t>(n);
    } else if (name == "--fault") {
      Options::FaultRule rule{};
      std::string error;
      if (!ParseFault(value, rule, error)) return Fail(error);
      o.faults.push_back(rule);
    } else if (name == "--seconds") {
      if (!tools::ParseDecimal(value, 1e7, d) || d <= 0) {
        return Fail("--seconds takes a positive number");
      }
      o.seconds = d;
    } else {
      return Fail("unknown option '" + name + "'");
    }
  }
  if (o.ports.empty()) return Fail("--ports is required");
  if (!have_com) return Fail("--com is required");
  if (!o.replay.empty() && (o.unit_options || o.config.short_ident)) {
    return Fail(
        "--replay answers from the log alone: leave out --ident, --short-ident, "
        "--answers, --live, --delay-ms, --baud and --fault");
  }
  if (o.speed && o.replay.empty()) return Fail("--speed goes with --replay");
  return true;
}

// Loads the files the options name into the unit. False after printing why.
bool LoadFiles(const Options& o, EcuSim& unit) {
  std::string text;
  if (!o.scramble_table.empty()) {
    ecub::ByteTable permutation{};
    if (!ReadWholeFile(o.scramble_table, text)) {
      std::cerr << "ecubridge-sim: cannot read " << o.scramble_table << "\n";
      return false;
    }
    if (!ecub::ParseScrambleTable(text, permutation)) {
      std::cerr << "ecubridge-sim: " << o.scramble_table
                << ": not 512 hex digits forming a permutation of the byte values\n";
      return false;
    }
    unit.SetPermutation(permutation);
  }
  if (!o.answers.empty()) {
    std::vector<tools::AnswerRule> rules;
    std::string error;
    if (!ReadWholeFile(o.answers, text)) {
      std::cerr << "ecubridge-sim: cannot read " << o.answers << "\n";
      return false;
    }
    if (!tools::ParseAnswerRules(text, rules, error)) {
      std::cerr << "ecubridge-sim: " << o.answers << ": " << error << "\n";
      return false;
    }
    for (const tools::AnswerRule& r : rules) {
      const EcuSim::Reply reply = r.raw ? EcuSim::Reply::Raw(r.data) : EcuSim::Reply{r.data};
      if (r.by_frame) {
        unit.SetReplyFor(r.frame, reply);
      } else {
        unit.SetReply(r.command, reply);
      }
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--version") {
      std::cout << ecub::VersionLine("ecubridge-sim");
      return kOk;
    }
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      return kOk;
    }
  }
  Options options;
  if (!ParseOptions(args, options)) return kUsage;
  if (!options.replay.empty()) {
    return tools::ServeReplay({options.replay, options.ports, options.com,
                               options.speed.value_or(1), options.config.scrambled,
                               options.scramble_table, options.seconds, options.quiet});
  }

  EcuSim unit(options.config);
  if (!LoadFiles(options, unit)) return kFailed;
  for (const Options::FaultRule& f : options.faults) unit.Inject(f.fault, f.count, f.command);

  ecub::tools::StopOnSignals();

  const double origin = MonotonicUsec();
  LoggedUnit logged(unit, origin, options.quiet);
  ecub::PtyLink pty(&logged, options.ports, options.com);
  if (!pty.ok()) {
    std::cerr << "ecubridge-sim: cannot set up COM" << options.com << " in " << options.ports
              << ": " << pty.error() << "\n";
    return kFailed;
  }
  std::cout << pty.link_path() << std::endl;

  ecub::tools::ServeUntilStopped(pty, options.seconds, origin);
  if (!options.quiet) {
    std::fprintf(stderr, "%10.3f  --  ending: %zu requests received, %zu answers sent\n",
                 (MonotonicUsec() - origin) / 1e6, unit.requests().size(), unit.answers_sent());
  }
  return kOk;
}
