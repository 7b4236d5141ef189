// ecubridge-ini: turns a plain SetComVarno.ini into its protected form and back.
//
//   ecubridge-ini encode FILE [-o OUT]
//   ecubridge-ini decode FILE [-o OUT]
//
// Both directions keep every byte, including a trailing empty line, so decoding what was
// encoded gives back the original file exactly.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "crypt/crypt.h"
#include "platform/posix/program_info.h"
#include "settings/settings.h"

namespace {

constexpr int kOk = 0;
constexpr int kFileError = 1;
constexpr int kUsageError = 2;

const char kUsage[] =
    "usage: ecubridge-ini encode FILE [-o OUT]\n"
    "       ecubridge-ini decode FILE [-o OUT]\n"
    "\n"
    "encode  writes the protected form of the plain settings file FILE\n"
    "decode  writes the plain text of the protected settings file FILE\n"
    "-o OUT  writes to OUT instead of standard output\n";

bool ReadFile(const std::string& path, std::string& contents) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  contents.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteOutput(const std::string& path, const std::string& contents) {
  if (path.empty()) {
    std::cout.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    std::cout.flush();
    return static_cast<bool>(std::cout);
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  out.close();
  return static_cast<bool>(out);
}

std::string JoinCrLf(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += "\r\n";
    text += lines[i];
  }
  return text;
}

bool HasBareLineFeed(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return true;
  }
  return false;
}

std::string Encode(const std::string& plain) {
  std::vector<std::string> lines{ecub::EncodeLine(ecub::kProtectedMagic)};
  for (const std::string& line : ecub::SplitCrLf(plain)) {
    lines.push_back(ecub::EncodeLine(line));
  }
  return JoinCrLf(lines);
}

// False with a message in `error` when `text` is not a protected file or a line is damaged.
bool Decode(const std::string& text, std::string& plain, std::string& error) {
  // Line ends as the server reads them: LF or CR LF.
  const std::vector<std::string> lines = ecub::SplitSettingsLines(text);
  if (!ecub::StartsWithProtectedHeader(lines)) {
    error = "not a protected settings file (its first line is not the encoded magic word)";
    return false;
  }
  std::vector<std::string> decoded(lines.size() - 1);
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!ecub::DecodeCheckedLine(lines[i], decoded[i - 1])) {
      error = "line " + std::to_string(i + 1) +
              " cannot be decoded (not groups of decimal digits up to twice 255)";
      return false;
    }
  }
  plain = JoinCrLf(decoded);
  return true;
}

int UsageError(const std::string& message) {
  std::cerr << "ecubridge-ini: " << message << "\n" << kUsage;
  return kUsageError;
}

struct Options {
  std::string command;  // "encode" or "decode"
  std::string input;
  std::string output;  // standard output when not given
  bool have_output = false;
};

bool Fail(const std::string& message) {
  UsageError(message);
  return false;
}

// The command, the input file and -o. False after printing why.
bool ParseOptions(const std::vector<std::string>& args, Options& o) {
  if (args.empty()) return Fail("missing command");
  o.command = args[0];
  if (o.command != "encode" && o.command != "decode") {
    return Fail("unknown command '" + o.command + "'");
  }
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size()) return Fail("-o needs a file name");
      if (o.have_output) return Fail("-o given twice");
      o.output = args[++i];
      o.have_output = true;
      if (o.output.empty()) return Fail("-o needs a file name");
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return Fail("unknown option '" + args[i] + "'");
    } else if (!o.input.empty()) {
      return Fail("more than one input file");
    } else {
      o.input = args[i];
    }
  }
  if (o.input.empty()) return Fail("missing input file");
  return true;
}

// Encodes or decodes the input into the output; the exit status.
int Convert(const Options& o) {
  std::string text;
  if (!ReadFile(o.input, text)) {
    std::cerr << "ecubridge-ini: cannot read " << o.input << "\n";
    return kFileError;
  }
  std::string result;
  if (o.command == "encode") {
    if (HasBareLineFeed(text)) {
      std::cerr << "ecubridge-ini: warning: " << o.input
                << " has line feeds without a carriage return; the server splits lines only at"
                   " CR LF, so those lines run together\n";
    }
    result = Encode(text);
  } else {
    std::string error;
    if (!Decode(text, result, error)) {
      std::cerr << "ecubridge-ini: " << o.input << ": " << error << "\n";
      return kFileError;
    }
  }
  if (!WriteOutput(o.output, result)) {
    std::cerr << "ecubridge-ini: cannot write " << (o.have_output ? o.output : "standard output")
              << "\n";
    return kFileError;
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--version") {
      std::cout << ecub::VersionLine("ecubridge-ini");
      return kOk;
    }
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return kOk;
    }
  }
  Options options;
  if (!ParseOptions(args, options)) return kUsageError;
  return Convert(options);
}
