// ASCII text helpers shared by the settings loader, the host loop and the status form. They
// never depend on the locale: settings and host text are ASCII whatever the system says.
#pragma once

#include <string>
#include <string_view>

namespace ecub {

char AsciiUpper(char c);
std::string AsciiUpper(std::string text);
// Drops the `blanks` (spaces and tabs unless told otherwise) at both ends.
std::string_view TrimBlanks(std::string_view text, std::string_view blanks = " \t");

}  // namespace ecub
