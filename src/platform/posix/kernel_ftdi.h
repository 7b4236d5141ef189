// The D2XX calls served by the kernel's own FTDI driver (ftdi_sio), for machines without the
// vendor's library: every FTDI interface the kernel has bound is a terminal, found through
// sysfs and driven with the platform's serial calls.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/platform.h"

namespace ecub {

class PosixPlatform;

class KernelFtdi : public D2xx {
 public:
  // Looks the interfaces up under `root` (see SysRoot) and opens them through `platform`,
  // which must outlive this object.
  KernelFtdi(PosixPlatform& platform, std::string root);
  // Puts back the latency timers and closes what is still open.
  ~KernelFtdi() override;
  KernelFtdi(const KernelFtdi&) = delete;
  KernelFtdi& operator=(const KernelFtdi&) = delete;

  // Numbered as ListFtdiPorts orders them. The serial number and the description are the USB
  // device's, cut to the driver's buffers (15 and 63 characters); an interface of a device
  // with several gets its letter appended, as the vendor's driver names them.
  FtResult FT_ListDevices(void* arg1, void* arg2, uint32_t flags) override;
  // Exclusive, as a COM port is; the handle is the terminal's platform handle.
  FtResult FT_Open(int device, int64_t* handle) override;
  FtResult FT_SetBaudRate(int64_t handle, uint32_t baud) override;
  FtResult FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                     uint8_t parity) override;
  // None, RTS/CTS or XON/XOFF; DTR/DSR has no terminal setting and is not supported.
  FtResult FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) override;
  // A read waits up to its time-out for the bytes asked for (0: no waiting); a write gives up
  // after its time-out with fewer bytes written.
  FtResult FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) override;
  // The event character only hurries the hand-over of received bytes and is accepted; an
  // error character would replace received bytes, which a terminal cannot do.
  FtResult FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                       uint8_t error_char, uint8_t error_enabled) override;
  FtResult FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) override;
  FtResult FT_Write(int64_t handle, const void* buffer, uint32_t count, uint32_t* written) override;
  FtResult FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) override;
  FtResult FT_Purge(int64_t handle, uint32_t mask) override;
  // Puts back the latency timer the open found, then closes the terminal.
  FtResult FT_Close(int64_t handle) override;
  // The kernel driver gives no access to the EEPROM: FT_NOT_SUPPORTED.
  FtResult FT_EE_Read(int64_t handle, FtProgramData* data) override;
  FtResult FT_EE_Program(int64_t handle, FtProgramData* data) override;
  // Writes the device's latency_timer attribute (1 to 255 ms). FT_NOT_SUPPORTED when the
  // device has none, FT_IO_ERROR when it may not be read or written (the udev rule grants it).
  FtResult FT_SetLatencyTimer(int64_t handle, uint8_t milliseconds) override;

  // True when `handle` is an interface opened here.
  bool Owns(int64_t handle) const { return open_.count(handle) > 0; }

 private:
  struct Interface {
    std::string latency_timer;  // the attribute's path, empty without one
    int found_latency = -1;     // the value before the first change, -1 while unchanged
    uint32_t read_timeout_ms = 0;
  };
  Interface* Find(int64_t handle);
  void RestoreLatency(Interface& interface);
  // The status for the platform's last error.
  FtResult Failure();

  PosixPlatform& platform_;
  std::string root_;
  std::map<int64_t, Interface> open_;
};

}  // namespace ecub
