#include "platform/posix/serial_termios.h"

#include <sys/ioctl.h>

#include <cmath>

namespace ecub {

namespace {

constexpr int kDtrShift = 4;
constexpr int kRtsShift = 12;
constexpr uint32_t kControlMask = 3;

struct Speed {
  speed_t code;
  uint32_t baud;
};
constexpr Speed kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

// The nearest speed within 2%, which a UART at the far end still reads without errors.
const Speed* SpeedFor(uint32_t baud) {
  const Speed* best = nullptr;
  double best_error = 0.02;
  for (const Speed& speed : kSpeeds) {
    const double error = std::fabs(static_cast<double>(speed.baud) - baud) / speed.baud;
    if (error <= best_error) {
      best = &speed;
      best_error = error;
    }
  }
  return best;
}

tcflag_t Flag(tcflag_t flags, tcflag_t flag, bool on) {
  return on ? flags | flag : flags & ~flag;
}

}  // namespace

uint32_t TermiosBaud(speed_t code) {
  for (const Speed& speed : kSpeeds) {
    if (speed.code == code) return speed.baud;
  }
  return 0;
}

uint32_t DtrControl(uint32_t bits) {
  return (bits >> kDtrShift) & kControlMask;
}
uint32_t RtsControl(uint32_t bits) {
  return (bits >> kRtsShift) & kControlMask;
}
uint32_t WithDtrControl(uint32_t bits, uint32_t control) {
  return (bits & ~(kControlMask << kDtrShift)) | ((control & kControlMask) << kDtrShift);
}
uint32_t WithRtsControl(uint32_t bits, uint32_t control) {
  return (bits & ~(kControlMask << kRtsShift)) | ((control & kControlMask) << kRtsShift);
}

bool DcbToTermios(const Dcb& dcb, termios& tio, bool& any_baud) {
  const Speed* speed = SpeedFor(dcb.BaudRate);
  // 0 would hang the line up rather than set a speed.
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
      dcb.StopBits > 2) {
    return false;
  }
  termios out = tio;
  any_baud = speed == nullptr;
  if (speed != nullptr &&
      (cfsetispeed(&out, speed->code) != 0 || cfsetospeed(&out, speed->code) != 0)) {
    return false;
  }
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  static constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                           PARENB | CMSPAR};
  out.c_cflag &= ~kFormatFlags;
  out.c_cflag |= kSizes[dcb.ByteSize - 5] | kParities[dcb.Parity];
  out.c_cflag = Flag(out.c_cflag, CSTOPB, dcb.StopBits != 0);  // one and a half: two

  const uint32_t bits = dcb.fBitFields;
  if (bits != 0) {
    const bool cts = (bits & kDcbOutxCtsFlow) || RtsControl(bits) == kLineHandshake;
    out.c_cflag = Flag(out.c_cflag, CRTSCTS, cts);
    out.c_iflag = Flag(out.c_iflag, IXON, bits & kDcbOutX);
    out.c_iflag = Flag(out.c_iflag, IXOFF, bits & kDcbInX);
    out.c_iflag = Flag(out.c_iflag, INPCK, bits & kDcbParityCheck);
    if (bits & (kDcbOutX | kDcbInX)) {
      out.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
      out.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
  }
  tio = out;
  return true;
}

Dcb TermiosToDcb(const termios& tio, const Dcb& last) {
  Dcb dcb = last;
  const speed_t code = cfgetospeed(&tio);
  const Speed* asked = SpeedFor(last.BaudRate);
  dcb.BaudRate = asked != nullptr && asked->code == code ? last.BaudRate : TermiosBaud(code);

  switch (tio.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if (!(tio.c_cflag & PARENB)) {
    dcb.Parity = 0;
  } else if (tio.c_cflag & CMSPAR) {
    dcb.Parity = (tio.c_cflag & PARODD) ? 3 : 4;
  } else {
    dcb.Parity = (tio.c_cflag & PARODD) ? 1 : 2;
  }
  if (!(tio.c_cflag & CSTOPB)) {
    dcb.StopBits = 0;
  } else if (last.StopBits == 0) {
    dcb.StopBits = 2;
  }

  uint32_t bits = last.fBitFields | kDcbBinary;  // there is no text mode
  bits = (tio.c_iflag & INPCK) ? bits | kDcbParityCheck : bits & ~kDcbParityCheck;
  bits = (tio.c_iflag & IXON) ? bits | kDcbOutX : bits & ~kDcbOutX;
  bits = (tio.c_iflag & IXOFF) ? bits | kDcbInX : bits & ~kDcbInX;
  if (tio.c_cflag & CRTSCTS) {
    // One switch covers both directions: keep whichever of the two the caller asked for.
    if (!(bits & kDcbOutxCtsFlow) && RtsControl(bits) != kLineHandshake) {
      bits = WithRtsControl(bits | kDcbOutxCtsFlow, kLineHandshake);
    }
  } else {
    bits &= ~kDcbOutxCtsFlow;
    if (RtsControl(bits) == kLineHandshake) bits = WithRtsControl(bits, kLineEnable);
  }
  dcb.fBitFields = bits;
  dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
  return dcb;
}

void ModemLinesToDcb(int lines, Dcb& dcb) {
  uint32_t bits = dcb.fBitFields;
  if (DtrControl(bits) != kLineHandshake) {
    bits = WithDtrControl(bits, (lines & TIOCM_DTR) ? kLineEnable : kLineDisable);
  }
  if (RtsControl(bits) <= kLineEnable) {
    bits = WithRtsControl(bits, (lines & TIOCM_RTS) ? kLineEnable : kLineDisable);
  }
  dcb.fBitFields = bits;
}

}  // namespace ecub
