#include "platform/posix/kernel_ftdi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/posix_platform.h"
#include "platform/posix/serial_termios.h"
#include "platform/posix/sysfs_tty.h"

namespace ecub {

namespace {

// The driver's flow-control codes.
constexpr uint16_t kFlowNone = 0x0000;
constexpr uint16_t kFlowRtsCts = 0x0100;
constexpr uint16_t kFlowDtrDsr = 0x0200;
constexpr uint16_t kFlowXonXoff = 0x0400;
// The driver's purge mask bits, and the Windows purge flags the platform takes.
constexpr uint32_t kPurgeRx = 1;
constexpr uint32_t kPurgeTx = 2;
constexpr uint32_t kCommPurgeTxClear = 4;
constexpr uint32_t kCommPurgeRxClear = 8;
constexpr uint32_t kFtOpenByLocation = 4;
// The vendor's driver hands texts out of buffers of these sizes, the zero byte included.
constexpr size_t kSerialBuffer = 16;
constexpr size_t kDescriptionBuffer = 64;

int64_t NowUsec() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The list entry the vendor's driver gives for `port`: a device with several interfaces names
// each by a letter, "A" for the first, after the serial number and, with a blank, after the
// description.
std::string ListText(const TtyPort& port, bool serial) {
  std::string text = serial ? port.serial : port.product;
  if (port.interface_count > 1) {
    if (!serial) text += ' ';
    text += static_cast<char>('A' + std::clamp(port.interface_number, 0, 25));
  }
  text.resize(std::min(text.size(), (serial ? kSerialBuffer : kDescriptionBuffer) - 1));
  return text;
}

// A latency timer value as sysfs writes it: a whole number of milliseconds, 0 to 255.
bool ParseLatency(const std::string& text, int& value) {
  if (text.empty() || text.size() > 3) return false;
  int result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  if (result > 255) return false;
  value = result;
  return true;
}

}  // namespace

KernelFtdi::KernelFtdi(PosixPlatform& platform, std::string root)
    : platform_(platform), root_(std::move(root)) {}

KernelFtdi::~KernelFtdi() {
  for (auto& [handle, interface] : open_) {
    RestoreLatency(interface);
    platform_.CloseHandle(handle);
  }
}

KernelFtdi::Interface* KernelFtdi::Find(int64_t handle) {
  const auto it = open_.find(handle);
  return it != open_.end() ? &it->second : nullptr;
}

FtResult KernelFtdi::Failure() {
  switch (platform_.GetLastError()) {
    case EBADF:
      return FT_INVALID_HANDLE;
    case EINVAL:
      return FT_INVALID_PARAMETER;
    default:
      return FT_IO_ERROR;
  }
}

void KernelFtdi::RestoreLatency(Interface& interface) {
  if (interface.found_latency < 0) return;
  // The device may have gone with its attributes; there is nothing left to restore then.
  WriteAttribute(interface.latency_timer, std::to_string(interface.found_latency) + "\n");
  interface.found_latency = -1;
}

FtResult KernelFtdi::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  const std::vector<TtyPort> ports = ListFtdiPorts(root_);
  if (flags == FT_LIST_NUMBER_ONLY) {
    if (arg1 == nullptr) return FT_INVALID_PARAMETER;
    *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(ports.size());
    return FT_OK;
  }
  const uint32_t what = flags & ~FT_LIST_BY_INDEX;
  if ((flags & FT_LIST_BY_INDEX) == 0 || arg2 == nullptr) return FT_INVALID_PARAMETER;
  if (what == kFtOpenByLocation) return FT_NOT_SUPPORTED;
  if (what != FT_OPEN_BY_SERIAL_NUMBER && what != FT_OPEN_BY_DESCRIPTION) {
    return FT_INVALID_PARAMETER;
  }
  const uintptr_t index = reinterpret_cast<uintptr_t>(arg1);
  if (index >= ports.size()) return FT_DEVICE_NOT_FOUND;
  const std::string text = ListText(ports[index], what == FT_OPEN_BY_SERIAL_NUMBER);
  std::memcpy(arg2, text.c_str(), text.size() + 1);
  return FT_OK;
}

FtResult KernelFtdi::FT_Open(int device, int64_t* handle) {
  if (handle == nullptr) return FT_INVALID_PARAMETER;
  const std::vector<TtyPort> ports = ListFtdiPorts(root_);
  if (device < 0 || static_cast<size_t>(device) >= ports.size()) return FT_DEVICE_NOT_FOUND;
  const TtyPort& port = ports[static_cast<size_t>(device)];
  const int64_t opened = platform_.OpenTerminal(port.node, false);
  if (opened < 0) {
    const uint32_t error = platform_.GetLastError();
    return error == ENOENT || error == ENODEV || error == ENXIO ? FT_DEVICE_NOT_FOUND
                                                                : FT_DEVICE_NOT_OPENED;
  }
  Interface& interface = open_[opened];
  interface = Interface{};
  interface.latency_timer = port.latency_timer;
  *handle = opened;
  return FT_OK;
}

FtResult KernelFtdi::FT_SetBaudRate(int64_t handle, uint32_t baud) {
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  Dcb dcb;
  if (!platform_.GetCommState(handle, dcb)) return Failure();
  dcb.BaudRate = baud;
  if (platform_.SetCommState(handle, dcb)) return FT_OK;
  return platform_.GetLastError() == EINVAL ? FT_INVALID_BAUD_RATE : Failure();
}

FtResult KernelFtdi::FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                               uint8_t parity) {
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  // The driver's codes: 7 or 8 data bits; stop bits 0 (one) or 2 (two); parity none, odd,
  // even, mark, space as 0 to 4, the same as the serial control block's.
  if ((bits != 7 && bits != 8) || (stop_bits != 0 && stop_bits != 2) || parity > 4) {
    return FT_INVALID_PARAMETER;
  }
  Dcb dcb;
  if (!platform_.GetCommState(handle, dcb)) return Failure();
  dcb.ByteSize = bits;
  dcb.StopBits = stop_bits;
  dcb.Parity = parity;
  return platform_.SetCommState(handle, dcb) ? FT_OK : Failure();
}

FtResult KernelFtdi::FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  if (flow == kFlowDtrDsr) return FT_NOT_SUPPORTED;
  if (flow != kFlowNone && flow != kFlowRtsCts && flow != kFlowXonXoff) {
    return FT_INVALID_PARAMETER;
  }
  Dcb dcb;
  if (!platform_.GetCommState(handle, dcb)) return Failure();
  uint32_t bits = dcb.fBitFields & ~(kDcbOutxCtsFlow | kDcbOutX | kDcbInX);
  if (RtsControl(bits) == kLineHandshake) bits = WithRtsControl(bits, kLineEnable);
  if (flow == kFlowRtsCts) bits = WithRtsControl(bits | kDcbOutxCtsFlow, kLineHandshake);
  if (flow == kFlowXonXoff) {
    bits |= kDcbOutX | kDcbInX;
    dcb.XonChar = static_cast<char>(xon);
    dcb.XoffChar = static_cast<char>(xoff);
  }
  dcb.fBitFields = bits | kDcbBinary;  // never 0, so the flow settings are applied
  return platform_.SetCommState(handle, dcb) ? FT_OK : Failure();
}

FtResult KernelFtdi::FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) {
  Interface* interface = Find(handle);
  if (interface == nullptr) return FT_INVALID_HANDLE;
  const CommTimeouts timeouts{0, 0, read_ms, 0, write_ms};
  if (!platform_.SetCommTimeouts(handle, timeouts)) return Failure();
  interface->read_timeout_ms = read_ms;
  return FT_OK;
}

FtResult KernelFtdi::FT_SetChars(int64_t handle, uint8_t, uint8_t, uint8_t, uint8_t error_enabled) {
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  return error_enabled != 0 ? FT_NOT_SUPPORTED : FT_OK;
}

FtResult KernelFtdi::FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) {
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  if (rx_bytes == nullptr) return FT_INVALID_PARAMETER;
  uint32_t errors = 0;
  // A cable pulled out makes this fail: the kernel hangs its terminal up.
  if (!platform_.ClearCommError(handle, errors, *rx_bytes)) return Failure();
  return FT_OK;
}

FtResult KernelFtdi::FT_Write(int64_t handle, const void* buffer, uint32_t count,
                              uint32_t* written) {
  if (written != nullptr) *written = 0;
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  if (written == nullptr || (buffer == nullptr && count > 0)) return FT_INVALID_PARAMETER;
  const std::string data(static_cast<const char*>(buffer), count);
  return platform_.WriteFile(handle, data, *written) ? FT_OK : Failure();
}

FtResult KernelFtdi::FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) {
  if (read != nullptr) *read = 0;
  Interface* interface = Find(handle);
  if (interface == nullptr) return FT_INVALID_HANDLE;
  if (read == nullptr || (buffer == nullptr && count > 0)) return FT_INVALID_PARAMETER;
  const int64_t deadline = NowUsec() + int64_t{interface->read_timeout_ms} * 1000;
  auto* out = static_cast<char*>(buffer);
  while (*read < count) {
    std::string chunk;
    uint32_t got = 0;
    const bool ok = platform_.ReadFile(handle, count - *read, chunk, got);
    std::memcpy(out + *read, chunk.data(), std::min<size_t>(chunk.size(), count - *read));
    *read += static_cast<uint32_t>(std::min<size_t>(chunk.size(), count - *read));
    if (!ok) return Failure();
    const int64_t left = deadline - NowUsec();
    if (*read >= count || left <= 0) break;
    if (!platform_.WaitPortInput(handle, false, static_cast<double>(left))) break;
  }
  return FT_OK;
}

FtResult KernelFtdi::FT_Purge(int64_t handle, uint32_t mask) {
  if (Find(handle) == nullptr) return FT_INVALID_HANDLE;
  if ((mask & ~(kPurgeRx | kPurgeTx)) != 0) return FT_INVALID_PARAMETER;
  const uint32_t flags =
      ((mask & kPurgeRx) ? kCommPurgeRxClear : 0) | ((mask & kPurgeTx) ? kCommPurgeTxClear : 0);
  return platform_.PurgeComm(handle, flags) ? FT_OK : Failure();
}

FtResult KernelFtdi::FT_Close(int64_t handle) {
  Interface* interface = Find(handle);
  if (interface == nullptr) return FT_INVALID_HANDLE;
  RestoreLatency(*interface);
  open_.erase(handle);
  // The terminal is released even when the close reports an error (the cable may be gone).
  platform_.CloseHandle(handle);
  return FT_OK;
}

FtResult KernelFtdi::FT_EE_Read(int64_t handle, FtProgramData*) {
  return Find(handle) == nullptr ? FT_INVALID_HANDLE : FT_NOT_SUPPORTED;
}

FtResult KernelFtdi::FT_EE_Program(int64_t handle, FtProgramData*) {
  return Find(handle) == nullptr ? FT_INVALID_HANDLE : FT_NOT_SUPPORTED;
}

FtResult KernelFtdi::FT_SetLatencyTimer(int64_t handle, uint8_t milliseconds) {
  Interface* interface = Find(handle);
  if (interface == nullptr) return FT_INVALID_HANDLE;
  if (milliseconds == 0) return FT_INVALID_PARAMETER;
  if (interface->latency_timer.empty()) return FT_NOT_SUPPORTED;
  int found = interface->found_latency;
  // The value to put back is the one found before the first change, so it must be known first.
  std::string text;
  if (found < 0 && !(ReadAttribute(interface->latency_timer, text) && ParseLatency(text, found))) {
    return FT_IO_ERROR;
  }
  if (!WriteAttribute(interface->latency_timer, std::to_string(milliseconds) + "\n")) {
    return FT_IO_ERROR;
  }
  interface->found_latency = found;
  return FT_OK;
}

}  // namespace ecub
