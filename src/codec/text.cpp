#include "codec/text.h"

namespace ecub {

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string AsciiUpper(std::string text) {
  for (char& c : text) c = AsciiUpper(c);
  return text;
}

std::string_view TrimBlanks(std::string_view text, std::string_view blanks) {
  const auto blank = [blanks](char c) { return blanks.find(c) != std::string_view::npos; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace ecub
