// The Windows device control block mapped onto termios and the modem lines, as pure functions.
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/platform.h"

namespace ecub {

// Control-block flag word, from bit 0 upwards.
inline constexpr uint32_t kDcbBinary = 1u << 0;
inline constexpr uint32_t kDcbParityCheck = 1u << 1;
inline constexpr uint32_t kDcbOutxCtsFlow = 1u << 2;
inline constexpr uint32_t kDcbOutX = 1u << 8;
inline constexpr uint32_t kDcbInX = 1u << 9;
inline constexpr uint32_t kLineDisable = 0;
inline constexpr uint32_t kLineEnable = 1;
inline constexpr uint32_t kLineHandshake = 2;  // RTS also has 3, toggle
uint32_t DtrControl(uint32_t bits);
uint32_t RtsControl(uint32_t bits);
uint32_t WithDtrControl(uint32_t bits, uint32_t control);
uint32_t WithRtsControl(uint32_t bits, uint32_t control);

// The character-format bits of c_cflag.
inline constexpr tcflag_t kFormatFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// Puts speed, byte size, parity and stop bits of `dcb` into `tio`, and, when its flag word is
// not 0, the flow control (CTS handshake, XON/XOFF both ways, parity check). A speed is the
// exact termios one or the nearest within 2%; any other leaves the speed of `tio` alone and sets
// `any_baud`, for the caller to set through SetAnyBaud. False (nothing changed) when a field has
// no termios counterpart.
bool DcbToTermios(const Dcb& dcb, termios& tio, bool& any_baud);

// The control block as `tio` holds it. Fields termios has no place for come from `last`, the
// block last set; so do a rounded speed and one-and-a-half stop bits when `tio` still holds
// what they were turned into, and the choice between CTS flow and RTS handshake.
Dcb TermiosToDcb(const termios& tio, const Dcb& last);

// The rate of a termios speed in bits per second; 0 for B0 and unknown codes.
uint32_t TermiosBaud(speed_t speed);

// Folds the DTR and RTS line states (TIOCM_* bits) into the flag word, where they are not
// under handshake or toggle control.
void ModemLinesToDcb(int lines, Dcb& dcb);

}  // namespace ecub
