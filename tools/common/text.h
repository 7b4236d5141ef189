// Small text helpers shared by the command-line tools: hex, numbers, trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ecub::tools {

// Two upper-case digits per byte, no separators, any length.
std::string Hex(const std::string& bytes);
// The same with one blank between bytes, for reading by eye.
std::string SpacedHex(const std::string& bytes);
// Hex digits (either case) with optional white space between them; false when a character is
// not a hex digit or the digit count is odd.
bool ParseHex(const std::string& text, std::string& bytes);

// A whole decimal number, or hexadecimal after "0x", within [min, max].
bool ParseNumber(const std::string& text, int64_t min, int64_t max, int64_t& value);
// A non-negative decimal number with an optional fraction ("2.5"), at most `max`.
bool ParseDecimal(const std::string& text, double max, double& value);

// Blanks are spaces, tabs, carriage returns and line feeds.
bool IsBlank(char c);
std::string Trim(const std::string& text);
// Splits at runs of blanks and tabs; no empty words.
std::vector<std::string> Words(const std::string& text);
bool StartsWith(const std::string& text, const std::string& prefix);

// The bytes as text: printable ASCII kept, anything else as \xHH; quotes and backslashes
// escaped, so the result is unambiguous.
std::string Printable(const std::string& bytes);

}  // namespace ecub::tools
