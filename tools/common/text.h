// Small text helpers shared by the command-line tools: hex, numbers, trimming, JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
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

std::string Trim(const std::string& text);
// Splits at runs of blanks and tabs; no empty words.
std::vector<std::string> Words(const std::string& text);
bool StartsWith(const std::string& text, const std::string& prefix);
std::string Upper(std::string text);

// The bytes as text: printable ASCII kept, anything else as \xHH; quotes and backslashes
// escaped, so the result is unambiguous.
std::string Printable(const std::string& bytes);

// A JSON string literal. Bytes are taken as Latin-1: every byte outside printable ASCII
// becomes a \u00XX escape, so any byte string gives valid JSON and can be recovered.
std::string JsonString(const std::string& bytes);

// Builds one JSON object member by member, in the order added.
class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& value);
  JsonObject& Add(const std::string& key, const char* value);
  JsonObject& Add(const std::string& key, bool value);
  template <typename T>
  requires(std::is_integral_v<T> &&
           !std::is_same_v<T, bool>) JsonObject& Add(const std::string& key, T value) {
    return AddNumber(key, static_cast<int64_t>(value));
  }
  // `json` must already be valid JSON (an object, an array or a literal).
  JsonObject& AddRaw(const std::string& key, const std::string& json);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  JsonObject& AddNumber(const std::string& key, int64_t value);
  void Key(const std::string& key);
  std::string body_;
};

// "[a,b,c]" from elements that are already JSON.
std::string JsonArray(const std::vector<std::string>& elements);

}  // namespace ecub::tools
