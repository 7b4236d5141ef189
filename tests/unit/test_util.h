// Helpers shared by the unit tests.
#pragma once

#include <cstdint>
#include <string>

#include "codec/host_codec.h"
#include "sim/fake_platform.h"

namespace ecub::test {

// The codec's host message under the tests' short name.
inline std::string HostMsg(int code, const std::string& argument = {}) {
  return EncodeHostMessage(static_cast<uint8_t>(code), argument);
}

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// A USB interface as the driver lists it, answered by `link` (may be null).
inline FakePlatform::UsbDevice Device(const std::string& serial, const std::string& description,
                                      SimLink* link = nullptr) {
  FakePlatform::UsbDevice device;
  device.serial = serial;
  device.description = description;
  device.link = link;
  return device;
}

inline int At(const std::string& bytes, size_t offset) {
  return static_cast<unsigned char>(bytes.at(offset));
}

}  // namespace ecub::test
