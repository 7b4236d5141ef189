#include "common/sim_answers.h"

#include <cctype>

#include "common/frames.h"
#include "common/text.h"

namespace ecub::tools {

bool ParseAnswerRules(const std::string& text, std::vector<AnswerRule>& rules, std::string& error) {
  std::vector<AnswerRule> parsed;
  int number = 0;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    begin = end + 1;
    ++number;
    if (const size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;

    const auto fail = [&](const std::string& why) {
      error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    AnswerRule rule;
    rule.line = number;
    const size_t blank = line.find_first_of(" \t");
    const std::string key = line.substr(0, blank);
    std::string rest = blank == std::string::npos ? "" : Trim(line.substr(blank));
    if (StartsWith(rest, "->")) rest = Trim(rest.substr(2));

    std::string key_bytes;
    if (key.size() == 2 && ParseHex(key, key_bytes)) {
      rule.command = static_cast<uint8_t>(key_bytes[0]);
    } else if (key.size() > 2 && ParseHex(key, key_bytes)) {
      // A whole request frame: start, second, length, command, checksum at least.
      if (key_bytes.size() < 5) return fail("a request frame has at least 5 bytes");
      rule.by_frame = true;
      rule.frame = key_bytes;
      rule.command = static_cast<uint8_t>(key_bytes[3]);
    } else if (!std::isalpha(static_cast<unsigned char>(key[0])) ||
               !ParseCommand(key, rule.command)) {
      // Command numbers are written as two hex digits only, so "12" never means twelve.
      return fail("'" + key + "' is neither a command nor the hex of a request frame");
    }
    if (StartsWith(rest, "raw:")) {
      rule.raw = true;
      rest = rest.substr(4);
      if (!ParseHex(rest, rule.data) || rule.data.empty()) {
        return fail("raw: needs the hex of the bytes to send");
      }
    } else if (!ParseHex(rest, rule.data)) {
      return fail("'" + rest + "' is not hex answer data");
    }
    parsed.push_back(rule);
  }
  rules = parsed;
  return true;
}

}  // namespace ecub::tools
