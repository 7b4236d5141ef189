// The D2XX calls made through the functions of the driver library, looked up by name. The
// platforms only say how a library is loaded and a name is found.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace ecub {

class D2xxTable : public D2xx {
 public:
  D2xxTable();
  ~D2xxTable() override;
  D2xxTable(const D2xxTable&) = delete;
  D2xxTable& operator=(const D2xxTable&) = delete;

  // Each call returns FT_OTHER_ERROR, never crashing, when the library or the function is
  // missing.
  FtResult FT_ListDevices(void* arg1, void* arg2, uint32_t flags) override;
  FtResult FT_Open(int device, int64_t* handle) override;
  FtResult FT_SetBaudRate(int64_t handle, uint32_t baud) override;
  FtResult FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                     uint8_t parity) override;
  FtResult FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) override;
  FtResult FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) override;
  FtResult FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                       uint8_t error_char, uint8_t error_enabled) override;
  FtResult FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) override;
  FtResult FT_Write(int64_t handle, const void* buffer, uint32_t count, uint32_t* written) override;
  FtResult FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) override;
  FtResult FT_Purge(int64_t handle, uint32_t mask) override;
  FtResult FT_Close(int64_t handle) override;
  FtResult FT_EE_Read(int64_t handle, FtProgramData* data) override;
  FtResult FT_EE_Program(int64_t handle, FtProgramData* data) override;
  // FT_NOT_SUPPORTED when the library lacks the function (older drivers do).
  FtResult FT_SetLatencyTimer(int64_t handle, uint8_t milliseconds) override;

  // Loads the library now if not yet tried; true when it was loaded (even if it lacks some
  // functions). error() then tells why not.
  bool Load();
  const std::string& error() const { return error_; }
  // Loaded with every required function: a library lacking one (a stub, a foreign library of
  // that name, a much older driver) cannot serve the server, though it loads.
  bool Complete();
  // How many of the fourteen required functions the library provides (the optional latency
  // timer is not counted).
  int functions_found();

 protected:
  // Loads the driver library; false (with error_ set) when it cannot be loaded.
  virtual bool OpenLibrary() = 0;
  // The address of the library's function `name`, or nullptr.
  virtual void* FindFunction(const char* name) = 0;
  std::string error_;

 private:
  struct Api;
  const Api& Functions();

  std::once_flag loaded_;
  bool library_loaded_ = false;
  int functions_found_ = 0;
  std::unique_ptr<Api> api_;
};

}  // namespace ecub
