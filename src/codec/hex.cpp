#include "codec/hex.h"

namespace ecub {

namespace {

// Position counters of these conversions are 16-bit signed.
constexpr size_t kMaxBytes = 32767;
constexpr char kDigits[] = "0123456789ABCDEF";

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string HexDigits(const std::string& bytes, char separator) {
  std::string hex;
  hex.reserve(bytes.size() * (separator != '\0' ? 3 : 2));
  for (unsigned char b : bytes) {
    if (separator != '\0' && !hex.empty()) hex.push_back(separator);
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

std::string BytesToHex(const std::string& bytes) {
  if (bytes.size() > kMaxBytes) return {};
  return HexDigits(bytes);
}

std::string HexToBytes(const std::string& hex) {
  const std::string text = (hex.size() % 2 == 1) ? "0" + hex : hex;
  if (text.size() / 2 > kMaxBytes) return {};
  std::string bytes;
  bytes.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexDigitValue(text[i]);
    const int low = HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return {};
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

std::string HexNoPad(int64_t value) {
  // Negative values show as the 32-bit two's complement the Windows codes are.
  uint64_t v =
      value < 0 ? static_cast<uint64_t>(value) & 0xFFFFFFFFu : static_cast<uint64_t>(value);
  const size_t min_digits = value < 0 ? 8 : 1;
  std::string hex;
  while (v != 0 || hex.size() < min_digits) {
    hex.insert(hex.begin(), kDigits[v & 0xF]);
    v >>= 4;
  }
  return hex;
}

}  // namespace ecub
