#include "platform/posix/any_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace ecub {

bool SetAnyBaud(int fd, uint32_t baud, uint32_t& kept) {
  kept = 0;
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ispeed = baud;
  tio.c_ospeed = baud;
  if (ioctl(fd, TCSETS2, &tio) != 0) return false;
  // Drivers round to what their clock divides to and write that back; some fall back to a
  // default rate when they cannot come near.
  termios2 now{};
  if (ioctl(fd, TCGETS2, &now) != 0) return false;
  kept = now.c_ospeed;
  return true;
}

bool IsAnyBaudCode(unsigned code) {
  return code == BOTHER;
}

uint32_t GetAnyBaud(int fd) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}

}  // namespace ecub
