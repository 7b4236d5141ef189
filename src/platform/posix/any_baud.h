// Line speeds outside the fixed termios table (10400, 62500, 125000 bits per second, which
// engine units use), set and read through the kernel's termios2 interface. Kept apart from
// <termios.h>, whose declarations clash with the kernel's.
#pragma once

#include <cstdint>

namespace ecub {

// Sets input and output speed of the terminal `fd` to `baud` exactly, leaving every other line
// setting as it is, and reads back the speed the driver settled on into `kept`. False (errno
// set) when the driver refuses the call.
bool SetAnyBaud(int fd, uint32_t baud, uint32_t& kept);

// True for the speed code (cfgetospeed) of a speed set through SetAnyBaud.
bool IsAnyBaudCode(unsigned code);

// The output speed of `fd` in bits per second, for a speed set as any rate; 0 when unknown.
uint32_t GetAnyBaud(int fd);

}  // namespace ecub
