// A strict JSON syntax check (RFC 8259) for what the tools print: the fuzz targets use it to
// make sure every decoded reply is valid JSON whatever bytes it held.
#pragma once

#include <cstddef>
#include <string>

namespace ecub::fuzz {

class JsonCheck {
 public:
  // True when `text` is exactly one JSON value, with nothing but white space around it.
  static bool Valid(const std::string& text) {
    JsonCheck c(text);
    c.Space();
    if (!c.Value(0)) return false;
    c.Space();
    return c.pos_ == text.size();
  }

 private:
  explicit JsonCheck(const std::string& text) : t_(text) {}

  static constexpr int kMaxDepth = 64;

  bool More() const { return pos_ < t_.size(); }
  char Peek() const { return More() ? t_[pos_] : '\0'; }
  void Space() {
    while (More() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++pos_;
  }
  bool Eat(char c) {
    if (Peek() != c || !More()) return false;
    ++pos_;
    return true;
  }
  bool Word(const char* w) {
    for (; *w != '\0'; ++w) {
      if (!Eat(*w)) return false;
    }
    return true;
  }
  static bool Hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }
  bool String() {
    if (!Eat('"')) return false;
    while (More()) {
      const unsigned char c = static_cast<unsigned char>(t_[pos_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;   // control characters must be escaped
      if (c >= 0x80) return false;  // the tools write ASCII only and escape the rest
      if (c != '\\') continue;
      if (!More()) return false;
      const char e = t_[pos_++];
      if (e == 'u') {
        for (int i = 0; i < 4; ++i) {
          if (!More() || !Hex(t_[pos_++])) return false;
        }
      } else if (std::string("\"\\/bfnrt").find(e) == std::string::npos) {
        return false;
      }
    }
    return false;
  }
  bool Digits() {
    if (!(Peek() >= '0' && Peek() <= '9') || !More()) return false;
    while (More() && Peek() >= '0' && Peek() <= '9') ++pos_;
    return true;
  }
  bool Number() {
    Eat('-');
    if (Peek() == '0' && More()) {
      ++pos_;
    } else if (!Digits()) {
      return false;
    }
    if (Eat('.') && !Digits()) return false;
    if (Peek() == 'e' || Peek() == 'E') {
      ++pos_;
      if (!Eat('+')) Eat('-');
      if (!Digits()) return false;
    }
    return true;
  }
  bool Value(int depth) {
    if (depth > kMaxDepth) return false;
    Space();
    switch (Peek()) {
      case '{': {
        ++pos_;
        Space();
        if (Eat('}')) return true;
        do {
          Space();
          if (!String()) return false;
          Space();
          if (!Eat(':') || !Value(depth + 1)) return false;
          Space();
        } while (Eat(','));
        return Eat('}');
      }
      case '[': {
        ++pos_;
        Space();
        if (Eat(']')) return true;
        do {
          if (!Value(depth + 1)) return false;
          Space();
        } while (Eat(','));
        return Eat(']');
      }
      case '"':
        return String();
      case 't':
        return Word("true");
      case 'f':
        return Word("false");
      case 'n':
        return Word("null");
      default:
        return Number();
    }
  }

  const std::string& t_;
  size_t pos_ = 0;
};

}  // namespace ecub::fuzz
