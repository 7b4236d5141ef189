// Helpers shared by the unit tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace ecub::test {

// A host message: length field lo + 255 * hi, the code, five free header bytes, the argument.
inline std::string HostMsg(int code, const std::string& argument = {}) {
  const size_t length = 8 + argument.size();
  std::string m(8, '\0');
  // 65280 can only be announced as 255 + 255 * 255.
  const size_t high = std::min<size_t>(length / 255, 255);
  m[0] = static_cast<char>(length - 255 * high);
  m[1] = static_cast<char>(high);
  m[2] = static_cast<char>(code);
  return m + argument;
}

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

inline int At(const std::string& bytes, size_t offset) {
  return static_cast<unsigned char>(bytes.at(offset));
}

}  // namespace ecub::test
