// What the D2XX stand-in remembers of each simulated interface, for the tests that load it and
// look at what the server asked of the driver. Fetched through the stand-in's one export beyond
// the driver's own functions, D2xxDouble_State, which follows the C convention of the build.
#pragma once

#include <cstdint>

extern "C" {

struct D2xxDoubleState {
  uint32_t opens;
  uint32_t baud;
  uint8_t bits, stop_bits, parity;
  uint8_t latency_ms;  // 16, the driver's default, after every open
  uint16_t flow;
  uint8_t xon, xoff;
  uint32_t read_timeout_ms, write_timeout_ms;
  uint8_t event_char, event_enabled, error_char, error_enabled;
  uint32_t eeprom_programs;
};

}  // extern "C"

// The state of interface `device` (0 or 1), or null for another number.
using D2xxDoubleStateFn = D2xxDoubleState* (*)(int device);
inline constexpr const char* kD2xxDoubleStateExport = "D2xxDouble_State";
