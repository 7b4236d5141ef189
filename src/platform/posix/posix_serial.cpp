// The Windows communications calls on Linux terminals: a COM port is a tty file descriptor in
// raw, non-blocking mode, and the control-block fields are carried by termios and the modem
// lines.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>

#include "platform/posix/any_baud.h"
#include "platform/posix/kernel_ftdi.h"
#include "platform/posix/posix_d2xx.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/serial_termios.h"
#include "platform/posix/sysfs_tty.h"

namespace ecub {

namespace {

constexpr uint32_t kPurgeTxClear = 4;
constexpr uint32_t kPurgeRxClear = 8;
constexpr uint32_t kPurgeAll = 15;

constexpr char kComPrefix[] = "\\\\.\\COM";

// A device without modem lines (a pseudo-terminal) refuses their ioctls; that is no error.
bool NoModemLines(int error) {
  return error == ENOTTY || error == EINVAL || error == ENOTSUP;
}

bool SetModemLine(int fd, int line, bool on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  return NoModemLines(errno);
}

// Parses "\\.\COMn" (n decimal, 1 or more); 0 when the name is not that.
int ComNumber(const std::string& name) {
  const std::string prefix = kComPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return 0;
  long number = 0;
  for (size_t i = prefix.size(); i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + (name[i] - '0');
    if (number > INT_MAX / 10) return 0;
  }
  return static_cast<int>(number);
}

timespec NsToTimespec(int64_t ns) {
  if (ns < 0) ns = 0;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  ts.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  return ts;
}

}  // namespace

PosixPlatform::~PosixPlatform() {
  // The driver first: it puts back what it changed on its open devices while they are open.
  ftdi_.reset();
  for (const auto& [fd, port] : ports_) {
    RestoreTerminal(fd, port.found);
    close(fd);
  }
}

void PosixPlatform::RestoreTerminal(int fd, const FoundTerminal& found) {
  // Each step may fail on a device that has gone; what can still be put back is.
  tcsetattr(fd, TCSANOW, &found.tio);
  if (found.any_baud != 0) {
    uint32_t kept = 0;
    SetAnyBaud(fd, found.any_baud, kept);
  }
  if (found.serial_changed) {
    serial_struct serial = found.serial;
    ioctl(fd, TIOCSSERIAL, &serial);
  }
  if (found.has_lines) {
    int lines = found.lines;
    ioctl(fd, TIOCMSET, &lines);
  }
  // The flag outlives this descriptor while anyone else holds the device open (the far end of
  // a pseudo-terminal, another program): left set, it keeps every other user out.
  if (!found.exclusive) ioctl(fd, TIOCNXCL);
}

bool PosixPlatform::Fail() {
  last_error_ = static_cast<uint32_t>(errno);
  return false;
}

PosixPlatform::SerialPort* PosixPlatform::Port(int64_t handle) {
  const auto it =
      handle >= 0 && handle <= INT_MAX ? ports_.find(static_cast<int>(handle)) : ports_.end();
  if (it != ports_.end()) return &it->second;
  errno = EBADF;
  Fail();
  return nullptr;
}

int64_t PosixPlatform::OpenSerial(const std::string& name) {
  const int number = ComNumber(name);
  if (number < 1) {
    errno = ENOENT;
    Fail();
    return kInvalidHandle;
  }
  const std::string folder = program_folder_.empty() ? PosixProgramFolder() : program_folder_;
  std::string path = folder + "/ports/COM" + std::to_string(number);
  // An entry in ports/ stands for the port even when its target has gone, so a vanished
  // simulated port fails instead of silently opening a real one.
  struct stat entry {};
  if (lstat(path.c_str(), &entry) != 0) path = SysRoot() + "/dev/ttyS" + std::to_string(number - 1);
  return OpenTerminal(path);
}

int64_t PosixPlatform::OpenTerminal(const std::string& path, bool low_latency) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail();
    return kInvalidHandle;
  }
  const auto give_up = [&]() {
    Fail();
    close(fd);
    return kInvalidHandle;
  };
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return give_up();  // not a terminal: no COM port
  // TIOCEXCL keeps other users out but not root, and not this process; the lock keeps out
  // every other open of the same device, as Windows' sharing rules do.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return give_up();
  }
  FoundTerminal found;
  found.tio = tio;
  if (IsAnyBaudCode(cfgetospeed(&tio))) found.any_baud = GetAnyBaud(fd);
  int exclusive = 0;
  found.exclusive = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
  found.has_lines = ioctl(fd, TIOCMGET, &found.lines) == 0;
  ioctl(fd, TIOCEXCL);
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    const int error = errno;
    RestoreTerminal(fd, found);
    errno = error;
    return give_up();
  }
  // Without the low-latency flag some UART drivers hold received bytes for up to 10 ms.
  if (low_latency && ioctl(fd, TIOCGSERIAL, &found.serial) == 0 &&
      !(found.serial.flags & ASYNC_LOW_LATENCY)) {
    serial_struct serial = found.serial;
    serial.flags |= ASYNC_LOW_LATENCY;
    found.serial_changed = ioctl(fd, TIOCSSERIAL, &serial) == 0;
  }

  SerialPort& port = ports_[fd];
  port = SerialPort{};
  port.found = found;
  // What Windows drivers report for a freshly opened port: binary, DTR and RTS on.
  port.dcb.fBitFields = WithRtsControl(WithDtrControl(kDcbBinary, kLineEnable), kLineEnable);
  port.dcb = TermiosToDcb(tio, port.dcb);
  return fd;
}

bool PosixPlatform::GetCommState(int64_t handle, Dcb& dcb) {
  SerialPort* port = Port(handle);
  if (port == nullptr) return false;
  const int fd = static_cast<int>(handle);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return Fail();
  // A format the driver could not take reads back as it was asked for, as long as nobody has
  // changed the line since.
  if (port->format_set && (tio.c_cflag & kFormatFlags) == port->kept_format) {
    tio.c_cflag = (tio.c_cflag & ~kFormatFlags) | port->asked_format;
  }
  port->dcb = TermiosToDcb(tio, port->dcb);
  if (IsAnyBaudCode(cfgetospeed(&tio))) port->dcb.BaudRate = GetAnyBaud(fd);
  int lines = 0;
  if (ioctl(fd, TIOCMGET, &lines) == 0) ModemLinesToDcb(lines, port->dcb);
  dcb = port->dcb;
  return true;
}

bool PosixPlatform::SetCommState(int64_t handle, const Dcb& dcb) {
  SerialPort* port = Port(handle);
  if (port == nullptr) return false;
  const int fd = static_cast<int>(handle);
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return Fail();
  const termios before = tio;
  bool any_baud = false;
  if (!DcbToTermios(dcb, tio, any_baud)) {
    errno = EINVAL;
    return Fail();
  }
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return Fail();
  if (any_baud) {
    // Off the termios table: the driver divides its clock as near as it can and says what it
    // made. More than 2% away (or refused), the far end would read garbage: the old line stays.
    uint32_t kept = 0;
    const bool set = SetAnyBaud(fd, dcb.BaudRate, kept);
    const int error = errno;
    if (!set || std::fabs(static_cast<double>(kept) - dcb.BaudRate) > 0.02 * dcb.BaudRate) {
      const uint32_t old_baud = IsAnyBaudCode(cfgetospeed(&before)) ? port->dcb.BaudRate : 0;
      tcsetattr(fd, TCSANOW, &before);
      if (old_baud != 0) SetAnyBaud(fd, old_baud, kept);
      errno = set ? EINVAL : error;
      return Fail();
    }
  }
  termios kept{};
  if (tcgetattr(fd, &kept) != 0) return Fail();
  port->asked_format = tio.c_cflag & kFormatFlags;
  port->kept_format = kept.c_cflag & kFormatFlags;
  port->format_set = true;
  // A zero flag word carries no line settings. DTR handshake and RTS toggle have no Linux
  // counterpart; those lines stay as they are.
  const uint32_t bits = dcb.fBitFields;
  if (bits != 0) {
    const uint32_t dtr = DtrControl(bits);
    const uint32_t rts = RtsControl(bits);
    if ((dtr <= kLineEnable && !SetModemLine(fd, TIOCM_DTR, dtr == kLineEnable)) ||
        (rts <= kLineEnable && !SetModemLine(fd, TIOCM_RTS, rts == kLineEnable))) {
      return Fail();
    }
  }
  port->dcb = dcb;
  return true;
}

bool PosixPlatform::GetCommTimeouts(int64_t handle, CommTimeouts& timeouts) {
  SerialPort* port = Port(handle);
  if (port == nullptr) return false;
  timeouts = port->timeouts;
  return true;
}

bool PosixPlatform::SetCommTimeouts(int64_t handle, const CommTimeouts& timeouts) {
  SerialPort* port = Port(handle);
  if (port == nullptr) return false;
  port->timeouts = timeouts;
  return true;
}

bool PosixPlatform::ClearCommError(int64_t handle, uint32_t& errors, uint32_t& in_queue) {
  errors = 0;
  in_queue = 0;
  if (Port(handle) == nullptr) return false;
  const int fd = static_cast<int>(handle);
  // A vanished device (unplugged adapter, closed pseudo-terminal) must fail here, as it does on
  // Windows, or the transaction would wait for an answer that cannot come. The kernel hangs
  // such a terminal up, and from then on every ioctl on it fails with EIO.
  int count = 0;
  if (ioctl(fd, FIONREAD, &count) != 0) return Fail();
  in_queue = count > 0 ? static_cast<uint32_t>(count) : 0;
  return true;
}

bool PosixPlatform::PurgeComm(int64_t handle, uint32_t flags) {
  if (Port(handle) == nullptr) return false;
  if (flags & ~kPurgeAll) {
    errno = EINVAL;
    return Fail();
  }
  // Nothing is ever pending in a read or write call here, so the abort flags have nothing to do.
  const bool tx = flags & kPurgeTxClear;
  const bool rx = flags & kPurgeRxClear;
  if (!tx && !rx) return true;
  const int queue = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
  if (tcflush(static_cast<int>(handle), queue) != 0) return Fail();
  return true;
}

bool PosixPlatform::ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) {
  out.clear();
  read = 0;
  if (Port(handle) == nullptr) return false;
  out.resize(count);
  size_t got = 0;
  while (got < count) {
    const ssize_t n = ::read(static_cast<int>(handle), out.data() + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      break;  // all that was queued
    } else {
      out.resize(got);
      read = static_cast<uint32_t>(got);
      return Fail();
    }
  }
  out.resize(got);
  read = static_cast<uint32_t>(got);
  return true;
}

bool PosixPlatform::WriteFile(int64_t handle, const std::string& data, uint32_t& written) {
  written = 0;
  SerialPort* port = Port(handle);
  if (port == nullptr) return false;
  const int fd = static_cast<int>(handle);
  // The write time-out as Windows counts it: per byte plus a constant; both 0 means none.
  const CommTimeouts& t = port->timeouts;
  const int64_t limit_ms = static_cast<int64_t>(t.WriteTotalTimeoutMultiplier) * data.size() +
                           t.WriteTotalTimeoutConstant;
  const int64_t deadline_ns = MonotonicNs() + limit_ms * 1'000'000;
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      written = static_cast<uint32_t>(done);
      return Fail();
    }
    // The output queue is full (flow control held, or a slow line): wait for room.
    pollfd pfd{fd, POLLOUT, 0};
    const timespec left = NsToTimespec(deadline_ns - MonotonicNs());
    const int ready = ppoll(&pfd, 1, limit_ms > 0 ? &left : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      written = static_cast<uint32_t>(done);
      return Fail();
    }
    // A time-out is no failure on Windows either: the call reports fewer bytes written.
    if (ready == 0) break;
  }
  written = static_cast<uint32_t>(done);
  return true;
}

bool PosixPlatform::CloseHandle(int64_t handle) {
  if (handle == kInvalidHandle) return true;  // as Windows does for INVALID_HANDLE_VALUE
  // Only ports opened here are closed: a stale number (from Handle.ini of an earlier run) may
  // name one of this process's own files now.
  SerialPort* port = Port(handle);
  if (port == nullptr) return false;
  RestoreTerminal(static_cast<int>(handle), port->found);
  ports_.erase(static_cast<int>(handle));
  // Linux frees the descriptor even when close reports an error, so the port is gone anyway.
  close(static_cast<int>(handle));
  return true;
}

bool PosixPlatform::WaitPortInput(int64_t handle, bool usb, double max_usec) {
  // An unknown handle, or a driver handle without a descriptor, has nothing to wait on.
  if (!HasDescriptor(handle, usb)) return false;
  if (!(max_usec > 0)) return true;
  const int64_t deadline_ns = MonotonicNs() + std::llround(std::fmin(max_usec, 1e12) * 1000.0);
  pollfd pfd{static_cast<int>(handle), POLLIN, 0};
  const timespec left = NsToTimespec(deadline_ns - MonotonicNs());
  const int ready = ppoll(&pfd, 1, &left, &wait_mask_);
  // Time up, a signal, or input.
  if (ready <= 0 || !(pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) return true;
  // Hung up (which also reads as readable): nothing can arrive, so wait out the time rather
  // than let the caller spin; its next status call reports the failure.
  const timespec deadline = NsToTimespec(deadline_ns);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
  return true;
}

bool PosixPlatform::WaitPortOrHostInput(int64_t handle, bool usb, double max_usec) {
  if (input_fd_ < 0 || input_gone_) return WaitPortInput(handle, usb, max_usec);
  if (!HasDescriptor(handle, usb)) {
    if (!usb) return false;
    // No descriptor for the USB interface: wait on the host alone for the poll interval.
    HostWaitInput(max_usec);
    return true;
  }
  if (!(max_usec > 0)) return true;
  const int64_t deadline_ns = MonotonicNs() + std::llround(std::fmin(max_usec, 1e12) * 1000.0);
  pollfd fds[2] = {{static_cast<int>(handle), POLLIN, 0}, {input_fd_, POLLIN, 0}};
  const timespec left = NsToTimespec(std::max<int64_t>(0, deadline_ns - MonotonicNs()));
  if (ppoll(fds, 2, &left, &wait_mask_) <= 0) return true;
  const bool host_gone =
      (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (fds[1].revents & POLLIN) == 0;
  const bool port_trouble = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  if (host_gone) input_gone_ = true;
  if ((fds[0].revents & POLLIN) != 0 && !port_trouble) return true;
  if ((fds[1].revents & POLLIN) != 0) return true;
  // A hang-up on either side must not turn the caller's loop into a busy loop: wait the rest
  // on the port alone.
  const double rest_usec = static_cast<double>(deadline_ns - MonotonicNs()) / 1000.0;
  return WaitPortInput(handle, usb, rest_usec);
}

D2xx& PosixPlatform::Ftdi() {
  if (!ftdi_) {
    // The vendor's library, where there is one, drives everything it can, the EEPROM included;
    // without it the kernel's own FTDI driver serves the interfaces as terminals.
    auto library = std::make_unique<PosixD2xx>();
    if (library->Complete()) {
      ftdi_ = std::move(library);
    } else {
      // A library that loads but lacks functions would fail every call of those: the user
      // chose it (or left it on the path) and should hear why it is not used.
      if (library->Load()) {
        WriteStandardError("ecubridge: " + library->path() + ": " + library->error() +
                           "; the kernel's FTDI driver serves the USB interfaces instead");
      }
      auto kernel = std::make_unique<KernelFtdi>(*this, SysRoot());
      kernel_ftdi_ = kernel.get();
      ftdi_ = std::move(kernel);
    }
  }
  return *ftdi_;
}

bool PosixPlatform::HasDescriptor(int64_t handle, bool usb) const {
  // A D2XX library's handle is no descriptor; the kernel driver's interfaces are terminals.
  if (usb && (kernel_ftdi_ == nullptr || !kernel_ftdi_->Owns(handle))) return false;
  return handle >= 0 && handle <= INT_MAX && ports_.count(static_cast<int>(handle)) > 0;
}

}  // namespace ecub
