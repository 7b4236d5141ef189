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
  std::vector<std::string> lines{ecub::CodificaRiga(ecub::kProtectedMagic)};
  for (const std::string& line : ecub::SplitCrLf(plain)) {
    lines.push_back(ecub::CodificaRiga(line));
  }
  return JoinCrLf(lines);
}

// False with a message in `error` when `text` is not a protected file or a line is damaged.
bool Decode(const std::string& text, std::string& plain, std::string& error) {
  const std::vector<std::string> lines = ecub::SplitCrLf(text);
  std::string header;
  if (lines.empty() || !ecub::DecodificaRigaControllata(lines[0], header) ||
      header != ecub::kProtectedMagic) {
    error = "not a protected settings file (its first line is not the encoded magic word)";
    return false;
  }
  std::vector<std::string> decoded(lines.size() - 1);
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!ecub::DecodificaRigaControllata(lines[i], decoded[i - 1])) {
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
  if (args.empty()) return UsageError("missing command");
  const std::string& command = args[0];
  if (command != "encode" && command != "decode") {
    return UsageError("unknown command '" + command + "'");
  }

  std::string input;
  std::string output;
  bool have_output = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size()) return UsageError("-o needs a file name");
      if (have_output) return UsageError("-o given twice");
      output = args[++i];
      have_output = true;
      if (output.empty()) return UsageError("-o needs a file name");
    } else if (args[i].size() > 1 && args[i][0] == '-') {
      return UsageError("unknown option '" + args[i] + "'");
    } else if (!input.empty()) {
      return UsageError("more than one input file");
    } else {
      input = args[i];
    }
  }
  if (input.empty()) return UsageError("missing input file");

  std::string text;
  if (!ReadFile(input, text)) {
    std::cerr << "ecubridge-ini: cannot read " << input << "\n";
    return kFileError;
  }

  std::string result;
  if (command == "encode") {
    if (HasBareLineFeed(text)) {
      std::cerr << "ecubridge-ini: warning: " << input
                << " has line feeds without a carriage return; the server splits lines only at"
                   " CR LF, so those lines run together\n";
    }
    result = Encode(text);
  } else {
    std::string error;
    if (!Decode(text, result, error)) {
      std::cerr << "ecubridge-ini: " << input << ": " << error << "\n";
      return kFileError;
    }
  }

  if (!WriteOutput(output, result)) {
    std::cerr << "ecubridge-ini: cannot write " << (have_output ? output : "standard output")
              << "\n";
    return kFileError;
  }
  return kOk;
}
