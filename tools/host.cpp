// ecubridge-host: the host side of the server. Starts the server as a child on pipes, sends it
// the instructions given on the command line, in a script or typed at a prompt, and shows each
// reply decoded: header fields, result, answer frames, histories, USB lists.
#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/host_messages.h"
#include "common/instructions.h"
#include "common/reply_time.h"
#include "common/text.h"
#include "platform/posix/child_process.h"
#include "platform/posix/program_info.h"

#ifdef ECUB_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace {

namespace tools = ecub::tools;
using tools::Instruction;
using tools::Reply;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kExitWaitMs = 5000;

std::string Help() {
  return "usage: ecubridge-host [options] INSTRUCTION...\n"
         "       ecubridge-host [options] --script FILE|-\n"
         "       ecubridge-host [options] --interactive\n"
         "\n"
         "Starts the server with its standard input and output on pipes, sends the instructions\n"
         "in order and shows every reply decoded. Options come before the instructions. At the\n"
         "end the server is sent quit (unless an instruction did) and waited for.\n"
         "\n"
         "Options:\n"
         "  --server PATH     the server program (default: ecubridge next to this program)\n"
         "  --home DIR        the server's program folder (sets ECUBRIDGE_HOME)\n"
         "  --timeout-ms N    how long to wait for each reply (default: the longest one\n"
         "                    transaction with all its retries can take with the settings\n"
         "                    in the server's program folder, plus a margin)\n"
         "  --json            one JSON object per reply instead of text\n"
         "  --script FILE     one instruction per line, # comments; - reads standard input\n"
         "  --interactive     a prompt; the link state is shown after every reply\n"
         "\n"
         "Instructions:\n" +
         tools::InstructionHelp() +
         "\n"
         "TEXT may be written as hex:HEX for exact bytes. ident TEXT puts the text behind the 12\n"
         "bytes the server skips, as in the unit's answer (ident hex:... sends bytes as given).\n"
         "FRAME is the hex of a request frame, or NAME[:DATAHEX] (CMD_READ_MEM1, READ_MEM2:0102,\n"
         "0x0C) to have the frame built with its checksum. In a script a TEXT or FRAME argument\n"
         "takes the rest of the line.\n"
         "\n"
         "A reply that tells of a failure is marked FAILED (in JSON: \"failure\"): a connect or\n"
         "scan that found no unit (LinkStatus 0, or PortaCom 0 after scan), a send that got no\n"
         "answer, and any refused instruction (a result other than 0).\n"
         "\n"
         "Exit codes: 0 every instruction got its reply and none failed; 1 a reply told of a\n"
         "failure, the server could not be started, a reply did not come in time or the server\n"
         "failed; 2 bad arguments or script lines.\n";
}

int Usage(const std::string& message) {
  std::cerr << "ecubridge-host: " << message << "\n(see ecubridge-host --help)\n";
  return kUsage;
}

std::string DefaultServer() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "ecubridge";
  return (self.parent_path() / "ecubridge").string();
}

// The server as a child, one message and one reply at a time.
class Session {
 public:
  Session(const tools::ReplyTime& time, bool json)
      : timeout_ms_(time.timeout_ms), time_(time), json_(json), show_wait_(isatty(2) == 1) {}

  bool Start(const std::string& server, const std::string& home, std::string& error) {
    std::map<std::string, std::string> env;
    if (!home.empty()) env["ECUBRIDGE_HOME"] = home;
    if (!child_.Start({server}, env)) {
      error = "cannot start " + server;
      return false;
    }
    return true;
  }

  bool quit_done() const { return quit_done_; }
  bool any_failed() const { return any_failed_; }
  const std::optional<Reply>& last() const { return last_; }

  // Sends the instruction's message and shows its reply; a pause just waits. False with the
  // reason in `error` when no whole reply came.
  bool Run(const Instruction& in, std::string& error) {
    if (!json_) std::cout << "> " << in.text << "\n";
    if (in.kind == Instruction::Kind::kSleep) {
      std::cout.flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(in.sleep_ms));
      return true;
    }
    if (quit_done_) {
      error = "the server has already ended";
      return false;
    }
    // A reply that came after its time-out would be taken for the answer to this message.
    const std::string late = child_.ReadAvailable(0);
    if (!late.empty()) {
      std::cerr << "ecubridge-host: dropped " << late.size() << " bytes of a late reply\n";
    }
    if (!child_.Write(in.message)) {
      error = Ended("the server does not read its input");
      return false;
    }
    std::optional<Reply> reply = ReadReply(error, in.code == 6);
    if (!reply) {
      if (in.code == 6 && last_ && last_->poll_mode > 2) {
        error += " (with PollMode " + std::to_string(last_->poll_mode) +
                 " the server does not answer instruction 6)";
      }
      return false;
    }
    last_ = reply;
    if (reply->code == 1 && in.is_quit) quit_done_ = true;
    if (!tools::ReplyFailure(*reply).empty()) any_failed_ = true;
    if (json_) {
      std::cout << tools::ReplyJson(*reply, in.text) << "\n";
    } else {
      std::cout << tools::ReplyText(*reply);
    }
    std::cout.flush();
    return true;
  }

  // Ends the session: quit unless done (skipping replies of earlier messages that came late),
  // then the server's exit. False with the reason when it did not end cleanly.
  bool Finish(std::string& error) {
    if (!quit_done_ && child_.running()) {
      if (child_.Write(ecub::EncodeHostMessage(1))) {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
        while (std::chrono::steady_clock::now() < deadline) {
          std::string ignored;
          const std::optional<Reply> reply = ReadReply(ignored);
          if (!reply) break;
          if (reply->code == 1) {
            quit_done_ = true;
            break;
          }
        }
      }
    }
    const std::optional<int> code = child_.WaitExit(kExitWaitMs);
    if (!code) {
      child_.Kill();
      child_.WaitExit(-1);
      error = "the server did not end after quit; killed";
      return false;
    }
    if (*code != 0) {
      error = "the server ended with exit code " + std::to_string(*code);
      return false;
    }
    return true;
  }

 private:
  std::optional<Reply> ReadReply(std::string& error, bool relay = false) {
    const auto start = std::chrono::steady_clock::now();
    const std::optional<std::string> header = ReadHeader(start, relay);
    if (!header) {
      error = Ended("no reply within " + std::to_string(timeout_ms_) + " ms");
      return std::nullopt;
    }
    const size_t length = ecub::ReplyLength(*header);
    std::string bytes = *header;
    if (length > ecub::kHostHeaderSize) {
      const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
      const int left = std::max(1, timeout_ms_ - static_cast<int>(spent));
      const std::optional<std::string> data =
          child_.ReadExactly(length - ecub::kHostHeaderSize, left);
      if (!data) {
        error = Ended("the reply was cut short");
        return std::nullopt;
      }
      bytes += *data;
    } else if (length < ecub::kHostHeaderSize) {
      error = "a reply announced " + std::to_string(length) + " bytes, less than its header";
      return std::nullopt;
    }
    return ecub::DecodeReply(bytes);
  }

  // The reply's header. At a terminal a line shows how long the wait has lasted and, for a
  // relay, which attempt the server is on by the clock.
  std::optional<std::string> ReadHeader(std::chrono::steady_clock::time_point start, bool relay) {
    constexpr int kSliceMs = 1000;
    bool shown = false;
    for (int slices = 0;; ++slices) {
      const int spent = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count());
      const int left = timeout_ms_ - spent;
      if (left <= 0) break;
      if (show_wait_ && slices > 0) {
        std::string line = "\r  waiting for the reply: " + std::to_string((spent + 500) / 1000) +
                           " s of " + std::to_string((timeout_ms_ + 999) / 1000) + " s";
        if (relay && time_.attempt_ms > 0) {
          const int attempt =
              std::min(time_.attempts, 1 + static_cast<int>(spent / time_.attempt_ms));
          line += ", attempt " + std::to_string(attempt) + " of " + std::to_string(time_.attempts);
        }
        std::cerr << line << "\033[K" << std::flush;
        shown = true;
      }
      std::optional<std::string> header =
          child_.ReadExactly(ecub::kHostHeaderSize, show_wait_ ? std::min(left, kSliceMs) : left);
      if (header || child_.OutputEnded()) {
        if (shown) std::cerr << "\r\033[K" << std::flush;
        return header;
      }
    }
    if (shown) std::cerr << "\r\033[K" << std::flush;
    return std::nullopt;
  }

  // `what`, or that the server has ended, with its exit code.
  std::string Ended(const std::string& what) {
    if (!child_.OutputEnded()) return what;
    const std::optional<int> code = child_.WaitExit(1000);
    return "the server has ended" + (code ? " (exit code " + std::to_string(*code) + ")" : "");
  }

  ecub::ChildProcess child_;
  int timeout_ms_;
  tools::ReplyTime time_;
  bool json_;
  bool show_wait_;
  bool quit_done_ = false;
  bool any_failed_ = false;
  std::optional<Reply> last_;
};

std::string Prompt(const std::optional<Reply>& last) {
  if (!last) return "ecubridge> ";
  return "[" + tools::LinkStatusText(last->link_status) + ", " + tools::PortText(last->porta_com) +
         ", polling " + tools::PollModeText(last->poll_mode) + "] ecubridge> ";
}

// One line typed at the prompt; false at the end of the input. At a terminal the line can be
// edited and earlier lines are recalled with the arrow keys.
bool ReadLine(const std::string& prompt, bool json, std::string& line) {
  std::ostream& prompt_out = json ? std::cerr : std::cout;
#ifdef ECUB_HAVE_LIBEDIT
  if (isatty(STDIN_FILENO) == 1 && isatty(json ? STDERR_FILENO : STDOUT_FILENO) == 1) {
    std::cout.flush();
    rl_outstream = json ? stderr : stdout;
    char* typed = readline(prompt.c_str());
    if (typed == nullptr) {
      prompt_out << "\n";
      return false;
    }
    line = typed;
    std::free(typed);
    if (!tools::Trim(line).empty()) add_history(line.c_str());
    return true;
  }
#endif
  prompt_out << prompt << std::flush;
  if (std::getline(std::cin, line)) return true;
  prompt_out << "\n";
  return false;
}

int RunInteractive(Session& session, bool json) {
  std::ostream& prompt_out = json ? std::cerr : std::cout;
  bool failed = false;
  for (;;) {
    std::string line;
    if (!ReadLine(Prompt(session.last()), json, line)) break;
    const std::string word = tools::Trim(line);
    if (word == "help" || word == "?") {
      prompt_out << tools::InstructionHelp();
      continue;
    }
    if (word == "exit") break;
    std::optional<Instruction> in;
    std::string error;
    if (!tools::ParseScriptLine(line, in, error)) {
      std::cerr << "ecubridge-host: " << error << "\n";
      continue;
    }
    if (!in) continue;
    // The reply shows the link state, and so does the next prompt.
    if (!session.Run(*in, error)) {
      std::cerr << "ecubridge-host: " << in->text << ": " << error << "\n";
      failed = true;
    }
    if (session.quit_done()) break;
  }
  return failed || session.any_failed() ? kFailed : kOk;
}

bool ReadScript(const std::string& path, std::string& text) {
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    return !std::cin.bad();
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

struct Options {
  std::string server = DefaultServer();
  std::string home;
  std::string script;
  bool json = false;
  bool interactive = false;
  bool help = false;
  bool version = false;
  int timeout_ms = 0;  // 0: from the server's settings
  std::vector<Instruction> instructions;
};

bool Fail(const std::string& message) {
  Usage(message);
  return false;
}

// The leading options, then the instructions given on the command line. False after printing
// why. Everything is checked before the server starts, so a bad line costs no session.
bool ParseOptions(const std::vector<std::string>& args, Options& o) {
  size_t pos = 0;
  for (; pos < args.size() && tools::StartsWith(args[pos], "-"); ++pos) {
    const std::string& a = args[pos];
    if (a == "--version") {
      o.version = true;
      return true;
    }
    if (a == "--help" || a == "-h") {
      o.help = true;
      return true;
    }
    if (a == "--json") {
      o.json = true;
      continue;
    }
    if (a == "--interactive") {
      o.interactive = true;
      continue;
    }
    if (a != "--server" && a != "--home" && a != "--timeout-ms" && a != "--script") {
      return Fail("unknown option '" + a + "'");
    }
    if (pos + 1 >= args.size()) return Fail(a + " needs a value");
    const std::string& value = args[++pos];
    int64_t n = 0;
    if (a == "--server") {
      o.server = value;
    } else if (a == "--home") {
      o.home = value;
    } else if (a == "--script") {
      o.script = value;
    } else if (!tools::ParseNumber(value, 1, 24 * 3600 * 1000, n)) {
      return Fail("--timeout-ms takes a number of milliseconds from 1");
    } else {
      o.timeout_ms = static_cast<int>(n);
    }
  }
  std::string error;
  while (pos < args.size()) {
    Instruction in;
    if (!tools::ParseInstructionArgs(args, pos, in, error)) return Fail(error);
    o.instructions.push_back(in);
  }
  const int sources =
      (o.instructions.empty() ? 0 : 1) + (o.script.empty() ? 0 : 1) + (o.interactive ? 1 : 0);
  if (sources == 0) return Fail("no instructions (give some, --script or --interactive)");
  if (sources > 1) return Fail("give instructions, --script or --interactive, only one of them");
  return true;
}

// Adds the instructions of the --script file, if one was given. kOk, or the exit status after
// printing why.
int LoadScript(Options& o) {
  if (o.script.empty()) return kOk;
  std::string text;
  if (!ReadScript(o.script, text)) {
    std::cerr << "ecubridge-host: cannot read " << o.script << "\n";
    return kFailed;
  }
  std::istringstream lines(text);
  std::string line;
  std::string error;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::optional<Instruction> in;
    if (!tools::ParseScriptLine(line, in, error)) {
      std::cerr << "ecubridge-host: " << o.script << ":" << number << ": " << error << "\n";
      return kUsage;
    }
    if (in) o.instructions.push_back(*in);
  }
  return kOk;
}

// What can only be checked once every instruction is known, and the folder and the server
// named. False after printing why.
bool CheckRunnable(const Options& o) {
  for (size_t i = 0; i + 1 < o.instructions.size(); ++i) {
    if (o.instructions[i].is_quit) return Fail("instructions after quit would find no server");
  }
  std::error_code ec;
  if (!o.home.empty() && !std::filesystem::is_directory(o.home, ec)) {
    return Fail("--home: " + o.home + " is not a folder");
  }
  if (access(o.server.c_str(), X_OK) != 0) return Fail("--server: cannot run " + o.server);
  return true;
}

// One session with the server: the instructions, or what the user types.
int RunSession(const Options& o) {
  std::string error;
  tools::ReplyTime time = tools::ReplyTimeForFolder(tools::ServerProgramFolder(o.home, o.server));
  if (o.timeout_ms > 0) time.timeout_ms = o.timeout_ms;
  Session session(time, o.json);
  if (!session.Start(o.server, o.home, error)) {
    std::cerr << "ecubridge-host: " << error << "\n";
    return kFailed;
  }
  int status = kOk;
  if (o.interactive) {
    status = RunInteractive(session, o.json);
  } else {
    for (const Instruction& in : o.instructions) {
      if (!session.Run(in, error)) {
        std::cerr << "ecubridge-host: " << in.text << ": " << error << "\n";
        status = kFailed;
        break;
      }
    }
  }
  if (session.any_failed()) status = kFailed;
  if (!session.Finish(error)) {
    std::cerr << "ecubridge-host: " << error << "\n";
    status = kFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options)) return kUsage;
  if (options.version) {
    std::cout << ecub::VersionLine("ecubridge-host");
    return kOk;
  }
  if (options.help) {
    std::cout << Help();
    return kOk;
  }
  if (const int status = LoadScript(options); status != kOk) return status;
  if (!CheckRunnable(options)) return kUsage;
  return RunSession(options);
}
