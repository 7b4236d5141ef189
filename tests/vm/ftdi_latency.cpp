// ftdi-latency DEVICE: prints the latency timer the FTDI chip at the usbfs node DEVICE holds,
// asked of the chip itself with the vendor request GET_LATENCY_TIMER. The driver's
// latency_timer attribute shows only what the driver last wrote (or "1" whenever the
// low-latency flag is on), so the guest of the kernel-driver test reads the chip as well.
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: ftdi-latency /dev/bus/usb/BBB/DDD\n");
    return 2;
  }
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "ftdi-latency: %s: %s\n", argv[1], std::strerror(errno));
    return 1;
  }
  unsigned char value = 0;
  usbdevfs_ctrltransfer request{};
  request.bRequestType = 0xC0;  // vendor request, device to host
  request.bRequest = 0x0A;      // GET_LATENCY_TIMER
  request.wLength = 1;
  request.timeout = 1000;
  request.data = &value;
  const int got = ioctl(fd, USBDEVFS_CONTROL, &request);
  close(fd);
  if (got != 1) {
    std::fprintf(stderr, "ftdi-latency: the request failed: %s\n", std::strerror(errno));
    return 1;
  }
  std::printf("%u\n", value);
  return 0;
}
