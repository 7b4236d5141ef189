// ASCII text helpers shared by the settings loader, the host loop and the status form. They
// never depend on the locale: settings and host text are ASCII whatever the system says.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ecub {

char AsciiUpper(char c);
std::string AsciiUpper(std::string text);
// Drops the `blanks` (spaces and tabs unless told otherwise) at both ends.
std::string_view TrimBlanks(std::string_view text, std::string_view blanks = " \t");
// The pieces of `text` between the `separator`s (the last one may be empty); none for no text.
std::vector<std::string> SplitAt(const std::string& text, std::string_view separator);

}  // namespace ecub
