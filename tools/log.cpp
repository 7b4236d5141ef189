// ecubridge-log: shows a traffic log (RxTx.TXT) line by line with the time in seconds, the
// direction, the command's name and the frame taken apart into its fields.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "common/frames.h"
#include "common/log_reader.h"
#include "common/log_tasks.h"
#include "platform/posix/program_info.h"

namespace {

namespace tools = ecub::tools;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "usage: ecubridge-log [--command NAME|CODE] [FILE|-]\n"
    "       ecubridge-log --follow [--command NAME|CODE] [FILE]\n"
    "       ecubridge-log --timeline OUT.svg [FILE|-]\n"
    "       ecubridge-log --stats [--json] [FILE|-]\n"
    "\n"
    "Shows a traffic log (RxTx.TXT; standard input when FILE is - or missing), one line per\n"
    "entry: time in seconds, direction (T sent, R received, ERR failed check or port error,\n"
    "INFO other), the command's name and the frame's fields with its checksum checked.\n"
    "\n"
    "  --command NAME|CODE  only the frames of this command (CMD_READ_MEM1, read_mem1, 12 or\n"
    "                       0x0C) and the check failures that follow them\n"
    "  --follow             show the entries as the server writes them (FILE, default\n"
    "                       RxTx.TXT here), on into the new log when the server restarts;\n"
    "                       ends on Ctrl-C\n"
    "  --timeline OUT.svg   draw the session as a picture for a browser: one row per command,\n"
    "                       each request a bar coloured by how it ended, ports opened, port\n"
    "                       failures and links given up as marks\n"
    "  --stats              per command: requests, answered, retried, failed and answer\n"
    "                       times; per session: connects, port errors, duration\n"
    "  --json               --stats as one JSON object\n"
    "\n"
    "Exit codes: 0 shown, 1 the file cannot be read or holds no traffic log line, 2 bad\n"
    "arguments (also no FILE at a terminal).\n";

int Usage(const std::string& message) {
  std::cerr << "ecubridge-log: " << message << "\n(see ecubridge-log --help)\n";
  return kUsage;
}

struct Options {
  std::optional<uint8_t> only;      // --command
  std::optional<std::string> path;  // standard input when not given or "-"
  bool help = false;
  bool version = false;
  tools::LogTask task;  // --follow, --timeline, --stats
};

bool Fail(const std::string& message) {
  Usage(message);
  return false;
}

// False after printing why.
bool ParseOptions(const std::vector<std::string>& args, Options& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--version") {
      o.version = true;
      return true;
    }
    if (a == "--help" || a == "-h") {
      o.help = true;
      return true;
    }
    if (a == "--command") {
      if (i + 1 >= args.size()) return Fail("--command needs a command name or code");
      uint8_t code = 0;
      if (!tools::ParseCommand(args[++i], code)) {
        return Fail("--command: '" + args[i] + "' is not a command name, number or 0x-hex code");
      }
      o.only = code;
    } else if (tools::IsLogTaskOption(a)) {
      std::string error;
      const std::string value = i + 1 < args.size() ? args[i + 1] : "";
      if (!tools::ParseLogTaskOption(a, value, o.task, i, error)) return Fail(error);
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("unknown option '" + a + "'");
    } else if (o.path) {
      return Fail("more than one file");
    } else {
      o.path = a;
    }
  }
  std::string error;
  if (!tools::CheckLogTask(o.task, o.only.has_value(), error)) return Fail(error);
  return true;
}

// Shows the log, one line per entry; the exit status.
int Show(const Options& o) {
  if (o.task.kind != tools::LogTask::Kind::kList) return tools::RunLogTask(o.task, o.only, o.path);
  std::string contents;
  if (!o.path || *o.path == "-") {
    contents.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::error_code ec;
    std::ifstream in(*o.path, std::ios::binary);
    if (std::filesystem::is_directory(*o.path, ec) || !in) {
      std::cerr << "ecubridge-log: cannot read " << *o.path << "\n";
      return kFailed;
    }
    contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::vector<tools::LogEvent> events = tools::ParseTrafficLog(contents);
  if (const std::optional<size_t> line = tools::FirstForeignLine(events)) {
    std::cerr << "ecubridge-log: " << (o.path && *o.path != "-" ? *o.path : "standard input")
              << (contents.empty()
                      ? " is empty"
                      : ":" + std::to_string(*line) + ": not a traffic log line (RxTx.TXT)")
              << "\n";
    return kFailed;
  }
  for (const tools::LogEvent& e : events) {
    if (o.only && e.command != o.only) continue;
    std::cout << tools::FormatLogEvent(e) << "\n";
  }
  return std::cout.flush() ? kOk : kFailed;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options)) return kUsage;
  if (options.version) {
    std::cout << ecub::VersionLine("ecubridge-log");
    return kOk;
  }
  if (options.help) {
    std::cout << kHelp;
    return kOk;
  }
  // Typing a log at the terminal is not what anyone means.
  if (!options.path && isatty(STDIN_FILENO) == 1) {
    std::cerr << kHelp;
    return kUsage;
  }
  return Show(options);
}
