// The FTDI D2XX driver on Windows, taken from KVELD2XX.DLL at the first call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace ecub {

// The file name the driver library is loaded under; Windows looks for it in the executable's
// folder first.
inline constexpr const char* kD2xxLibraryName = "KVELD2XX.DLL";

class Win32D2xx : public D2xx {
 public:
  // Loads `library` at the first call (empty: KVELD2XX.DLL). Without the library, or without
  // one of its functions, the calls concerned return FT_OTHER_ERROR instead of crashing.
  explicit Win32D2xx(std::string library = {});
  ~Win32D2xx() override;
  Win32D2xx(const Win32D2xx&) = delete;
  Win32D2xx& operator=(const Win32D2xx&) = delete;

  FtStatus FT_ListDevices(void* arg1, void* arg2, uint32_t flags) override;
  FtStatus FT_Open(int device, int64_t* handle) override;
  FtStatus FT_SetBaudRate(int64_t handle, uint32_t baud) override;
  FtStatus FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                     uint8_t parity) override;
  FtStatus FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) override;
  FtStatus FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) override;
  FtStatus FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                       uint8_t error_char, uint8_t error_enabled) override;
  FtStatus FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) override;
  FtStatus FT_Write(int64_t handle, const void* buffer, uint32_t count, uint32_t* written) override;
  FtStatus FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) override;
  FtStatus FT_Purge(int64_t handle, uint32_t mask) override;
  FtStatus FT_Close(int64_t handle) override;
  FtStatus FT_EE_Read(int64_t handle, FtProgramData* data) override;
  FtStatus FT_EE_Program(int64_t handle, FtProgramData* data) override;

  // Loads the library now if not yet tried; true when it was loaded (even if it lacks some
  // functions). error() then tells why not.
  bool Load();
  const std::string& error() const { return error_; }
  // How many of the fourteen functions the library provides.
  int functions_found() const;

 private:
  struct Api;
  const Api& Functions();

  std::string library_;
  bool tried_ = false;
  void* module_ = nullptr;
  std::unique_ptr<Api> api_;
  std::string error_;
};

}  // namespace ecub
