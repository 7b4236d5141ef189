#include "platform/posix/posix_d2xx.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

namespace ecub {

namespace {

// The driver's C interface, in the types its documentation gives for Linux: FT_STATUS, DWORD
// and ULONG are 32-bit unsigned, FT_HANDLE is an opaque pointer.
using FT_HANDLE = void*;
using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

using ListDevicesFn = FT_STATUS (*)(void*, void*, DWORD);
using OpenFn = FT_STATUS (*)(int, FT_HANDLE*);
using SetBaudRateFn = FT_STATUS (*)(FT_HANDLE, ULONG);
using SetDataCharacteristicsFn = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
using SetFlowControlFn = FT_STATUS (*)(FT_HANDLE, USHORT, UCHAR, UCHAR);
using SetTimeoutsFn = FT_STATUS (*)(FT_HANDLE, ULONG, ULONG);
using SetCharsFn = FT_STATUS (*)(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR);
using GetQueueStatusFn = FT_STATUS (*)(FT_HANDLE, DWORD*);
using WriteFn = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using ReadFn = FT_STATUS (*)(FT_HANDLE, void*, DWORD, DWORD*);
using PurgeFn = FT_STATUS (*)(FT_HANDLE, ULONG);
using CloseFn = FT_STATUS (*)(FT_HANDLE);
using EepromFn = FT_STATUS (*)(FT_HANDLE, FtProgramData*);

constexpr char kDefaultLibrary[] = "libftd2xx.so";

FT_HANDLE ToDriver(int64_t handle) {
  return reinterpret_cast<FT_HANDLE>(static_cast<intptr_t>(handle));
}

template <typename Fn>
Fn Find(void* module, const char* name) {
  // dlsym hands out an object pointer; POSIX guarantees it converts to a function pointer.
  return reinterpret_cast<Fn>(dlsym(module, name));
}

}  // namespace

struct PosixD2xx::Api {
  ListDevicesFn list_devices = nullptr;
  OpenFn open = nullptr;
  SetBaudRateFn set_baud_rate = nullptr;
  SetDataCharacteristicsFn set_data_characteristics = nullptr;
  SetFlowControlFn set_flow_control = nullptr;
  SetTimeoutsFn set_timeouts = nullptr;
  SetCharsFn set_chars = nullptr;
  GetQueueStatusFn get_queue_status = nullptr;
  WriteFn write = nullptr;
  ReadFn read = nullptr;
  PurgeFn purge = nullptr;
  CloseFn close = nullptr;
  EepromFn ee_read = nullptr;
  EepromFn ee_program = nullptr;
};

PosixD2xx::PosixD2xx(std::string library)
    : library_(std::move(library)), api_(std::make_unique<Api>()) {}

PosixD2xx::~PosixD2xx() {
  if (module_ != nullptr) dlclose(module_);
}

bool PosixD2xx::Load() {
  std::call_once(loaded_, [this] {
    std::string path = library_;
    if (path.empty()) {
      const char* chosen = std::getenv("ECUBRIDGE_D2XX");
      path = chosen != nullptr && *chosen != '\0' ? chosen : kDefaultLibrary;
    }
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module_ == nullptr) {
      const char* why = dlerror();
      error_ = why != nullptr ? why : "cannot load " + path;
      return;
    }
    Api& api = *api_;
    api.list_devices = Find<ListDevicesFn>(module_, "FT_ListDevices");
    api.open = Find<OpenFn>(module_, "FT_Open");
    api.set_baud_rate = Find<SetBaudRateFn>(module_, "FT_SetBaudRate");
    api.set_data_characteristics =
        Find<SetDataCharacteristicsFn>(module_, "FT_SetDataCharacteristics");
    api.set_flow_control = Find<SetFlowControlFn>(module_, "FT_SetFlowControl");
    api.set_timeouts = Find<SetTimeoutsFn>(module_, "FT_SetTimeouts");
    api.set_chars = Find<SetCharsFn>(module_, "FT_SetChars");
    api.get_queue_status = Find<GetQueueStatusFn>(module_, "FT_GetQueueStatus");
    api.write = Find<WriteFn>(module_, "FT_Write");
    api.read = Find<ReadFn>(module_, "FT_Read");
    api.purge = Find<PurgeFn>(module_, "FT_Purge");
    api.close = Find<CloseFn>(module_, "FT_Close");
    api.ee_read = Find<EepromFn>(module_, "FT_EE_Read");
    api.ee_program = Find<EepromFn>(module_, "FT_EE_Program");
  });
  return module_ != nullptr;
}

const PosixD2xx::Api& PosixD2xx::Functions() {
  Load();
  return *api_;
}

FtStatus PosixD2xx::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  const auto fn = Functions().list_devices;
  return fn != nullptr ? fn(arg1, arg2, flags) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_Open(int device, int64_t* handle) {
  const auto fn = Functions().open;
  if (fn == nullptr || handle == nullptr) return FT_OTHER_ERROR;
  FT_HANDLE driver_handle = nullptr;
  const FtStatus status = fn(device, &driver_handle);
  *handle = static_cast<int64_t>(reinterpret_cast<intptr_t>(driver_handle));
  return status;
}

FtStatus PosixD2xx::FT_SetBaudRate(int64_t handle, uint32_t baud) {
  const auto fn = Functions().set_baud_rate;
  return fn != nullptr ? fn(ToDriver(handle), baud) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                              uint8_t parity) {
  const auto fn = Functions().set_data_characteristics;
  return fn != nullptr ? fn(ToDriver(handle), bits, stop_bits, parity) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
  const auto fn = Functions().set_flow_control;
  return fn != nullptr ? fn(ToDriver(handle), flow, xon, xoff) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) {
  const auto fn = Functions().set_timeouts;
  return fn != nullptr ? fn(ToDriver(handle), read_ms, write_ms) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                                uint8_t error_char, uint8_t error_enabled) {
  const auto fn = Functions().set_chars;
  return fn != nullptr ? fn(ToDriver(handle), event_char, event_enabled, error_char, error_enabled)
                       : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) {
  const auto fn = Functions().get_queue_status;
  return fn != nullptr ? fn(ToDriver(handle), rx_bytes) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_Write(int64_t handle, const void* buffer, uint32_t count,
                             uint32_t* written) {
  const auto fn = Functions().write;
  // The driver's prototype is not const-correct; it only reads the buffer.
  return fn != nullptr ? fn(ToDriver(handle), const_cast<void*>(buffer), count, written)
                       : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) {
  const auto fn = Functions().read;
  return fn != nullptr ? fn(ToDriver(handle), buffer, count, read) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_Purge(int64_t handle, uint32_t mask) {
  const auto fn = Functions().purge;
  return fn != nullptr ? fn(ToDriver(handle), mask) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_Close(int64_t handle) {
  const auto fn = Functions().close;
  return fn != nullptr ? fn(ToDriver(handle)) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_EE_Read(int64_t handle, FtProgramData* data) {
  const auto fn = Functions().ee_read;
  return fn != nullptr ? fn(ToDriver(handle), data) : FT_OTHER_ERROR;
}

FtStatus PosixD2xx::FT_EE_Program(int64_t handle, FtProgramData* data) {
  const auto fn = Functions().ee_program;
  return fn != nullptr ? fn(ToDriver(handle), data) : FT_OTHER_ERROR;
}

}  // namespace ecub
