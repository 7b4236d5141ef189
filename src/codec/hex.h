// Byte strings and hex text shared by the whole server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ecub {

// The byte at `offset`, 0 when the string is too short to hold it.
inline uint8_t ByteAt(const std::string& bytes, size_t offset) {
  return offset < bytes.size() ? static_cast<uint8_t>(bytes[offset]) : 0;
}
// The value of one hex digit (either case); -1 for any other character.
int HexDigitValue(char c);
// Bytes as two upper-case hex digits each, any number of them, `separator` between bytes
// when it is not NUL.
std::string HexDigits(const std::string& bytes, char separator = '\0');
// Bytes as two upper-case hex digits each; empty for more than 32767 bytes.
std::string BytesToHex(const std::string& bytes);
// Hex text (either case; an odd count gets a leading "0") back to bytes; empty when invalid.
std::string HexToBytes(const std::string& hex);
// Upper-case hex without leading zeros; negative values as eight digits of two's complement.
std::string HexNoPad(int64_t value);

}  // namespace ecub
