#include "common/text.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <system_error>

#include "codec/hex.h"
#include "codec/text.h"

namespace ecub::tools {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

}  // namespace

std::string Hex(const std::string& bytes) {
  return HexDigits(bytes);
}

std::string SpacedHex(const std::string& bytes) {
  return HexDigits(bytes, ' ');
}

bool ParseHex(const std::string& text, std::string& bytes) {
  std::string out;
  int high = -1;
  for (char c : text) {
    if (IsBlank(c)) continue;
    const int v = HexDigitValue(c);
    if (v < 0) return false;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) return false;
  bytes = out;
  return true;
}

bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t& value) {
  const char* const end = text.data() + text.size();
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  int64_t v = 0;
  if (hex) {
    // Unsigned, so no sign gets in after "0x"; a value past the signed range is refused.
    uint64_t u = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + 2, end, u, 16);
    if (ec != std::errc() || ptr != end ||
        u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return false;
    v = static_cast<int64_t>(u);
  } else {
    const auto [ptr, ec] = std::from_chars(text.data(), end, v, 10);
    if (ec != std::errc() || ptr != end) return false;
  }
  if (v < min || v > max) return false;
  value = v;
  return true;
}

bool ParseDecimal(const std::string& text, double max, double& value) {
  if (text.empty() || text.size() > 30) return false;
  bool digits = false;
  bool point = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      digits = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return false;
    }
  }
  if (!digits) return false;
  const double v = std::strtod(text.c_str(), nullptr);
  if (v > max) return false;
  value = v;
  return true;
}

bool IsBlank(char c) {
  return kBlanks.find(c) != std::string_view::npos;
}

std::string Trim(const std::string& text) {
  return std::string(TrimBlanks(text, kBlanks));
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (IsBlank(c)) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word.push_back(c);
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x" + HexDigits(std::string(1, static_cast<char>(c)));
    }
  }
  return out;
}

}  // namespace ecub::tools
