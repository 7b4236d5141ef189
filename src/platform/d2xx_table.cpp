#include "platform/d2xx_table.h"

#include <cstddef>
#include <type_traits>

#include "platform/ft_program_data.h"

// The driver's calls use the Windows API convention, which is stdcall on the 32-bit build; a
// wrong convention would corrupt the stack at the first call. Elsewhere it is the plain C one.
#if defined(_WIN32) && !defined(_WIN64)
#define ECUB_D2XX_CALL __stdcall
#else
#define ECUB_D2XX_CALL
#endif

namespace ecub {

namespace {

// The driver's C interface in the types of its documentation: FT_STATUS, DWORD and ULONG are
// 32-bit unsigned, FT_HANDLE an opaque pointer.
using FT_HANDLE = void*;
using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

using ListDevicesFn = FT_STATUS(ECUB_D2XX_CALL*)(void*, void*, DWORD);
using OpenFn = FT_STATUS(ECUB_D2XX_CALL*)(int, FT_HANDLE*);
using SetBaudRateFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, ULONG);
using SetDataCharacteristicsFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
using SetFlowControlFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, USHORT, UCHAR, UCHAR);
using SetTimeoutsFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, ULONG, ULONG);
using SetCharsFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR);
using GetQueueStatusFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, DWORD*);
using WriteFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, void*, DWORD, DWORD*);
using ReadFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, void*, DWORD, DWORD*);
using PurgeFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, ULONG);
using CloseFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE);
using EepromFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, FtProgramData*);
using SetLatencyTimerFn = FT_STATUS(ECUB_D2XX_CALL*)(FT_HANDLE, UCHAR);

// The EEPROM record goes to the driver as it is, so its layout must be the driver's on every
// build: natural alignment of the declared types, the four text pointers 4 or 8 bytes wide.
constexpr size_t kPtr = sizeof(char*);
static_assert(offsetof(FtProgramData, Signature2) == 4 && offsetof(FtProgramData, Version) == 8);
static_assert(offsetof(FtProgramData, VendorId) == 12 && offsetof(FtProgramData, ProductId) == 14);
static_assert(offsetof(FtProgramData, Manufacturer) == 16);
static_assert(offsetof(FtProgramData, ManufacturerId) == 16 + kPtr);
static_assert(offsetof(FtProgramData, Description) == 16 + 2 * kPtr);
static_assert(offsetof(FtProgramData, SerialNumber) == 16 + 3 * kPtr);
static_assert(offsetof(FtProgramData, MaxPower) == 16 + 4 * kPtr);
static_assert(offsetof(FtProgramData, RemoteWakeup) == 22 + 4 * kPtr);
static_assert(offsetof(FtProgramData, Rev4) == 24 + 4 * kPtr);
static_assert(offsetof(FtProgramData, USBVersion) == 30 + 4 * kPtr);
static_assert(offsetof(FtProgramData, Rev5) == 32 + 4 * kPtr);
static_assert(offsetof(FtProgramData, USBVersion5) == 40 + 4 * kPtr);
static_assert(offsetof(FtProgramData, AIsHighCurrent) == 42 + 4 * kPtr);
static_assert(offsetof(FtProgramData, BIsVCP) == 51 + 4 * kPtr);
static_assert(offsetof(FtProgramData, UseExtOsc) == 52 + 4 * kPtr);
static_assert(offsetof(FtProgramData, RIsD2XX) == 70 + 4 * kPtr);

FT_HANDLE ToDriver(int64_t handle) {
  return reinterpret_cast<FT_HANDLE>(static_cast<intptr_t>(handle));
}

}  // namespace

struct D2xxTable::Api {
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
  SetLatencyTimerFn set_latency_timer = nullptr;  // optional
};

D2xxTable::D2xxTable() : api_(std::make_unique<Api>()) {}

D2xxTable::~D2xxTable() = default;

bool D2xxTable::Load() {
  std::call_once(loaded_, [this] {
    library_loaded_ = OpenLibrary();
    if (!library_loaded_) return;
    // Library lookups hand out untyped addresses; each is the function of its documented type.
    std::string missing;
    auto find = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(FindFunction(name));
      if (slot != nullptr) {
        ++functions_found_;
      } else {
        missing += (missing.empty() ? " " : ", ") + std::string(name);
      }
    };
    Api& api = *api_;
    find(api.list_devices, "FT_ListDevices");
    find(api.open, "FT_Open");
    find(api.set_baud_rate, "FT_SetBaudRate");
    find(api.set_data_characteristics, "FT_SetDataCharacteristics");
    find(api.set_flow_control, "FT_SetFlowControl");
    find(api.set_timeouts, "FT_SetTimeouts");
    find(api.set_chars, "FT_SetChars");
    find(api.get_queue_status, "FT_GetQueueStatus");
    find(api.write, "FT_Write");
    find(api.read, "FT_Read");
    find(api.purge, "FT_Purge");
    find(api.close, "FT_Close");
    find(api.ee_read, "FT_EE_Read");
    find(api.ee_program, "FT_EE_Program");
    if (!missing.empty()) error_ = "the driver library lacks" + missing;
    api.set_latency_timer = reinterpret_cast<SetLatencyTimerFn>(FindFunction("FT_SetLatencyTimer"));
  });
  return library_loaded_;
}

bool D2xxTable::Complete() {
  return Load() && error_.empty();
}

int D2xxTable::functions_found() {
  Load();
  return functions_found_;
}

const D2xxTable::Api& D2xxTable::Functions() {
  Load();
  return *api_;
}

FtResult D2xxTable::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  const auto fn = Functions().list_devices;
  return fn != nullptr ? fn(arg1, arg2, flags) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_Open(int device, int64_t* handle) {
  const auto fn = Functions().open;
  if (fn == nullptr || handle == nullptr) return FT_OTHER_ERROR;
  FT_HANDLE driver_handle = nullptr;
  const FtResult status = fn(device, &driver_handle);
  *handle = static_cast<int64_t>(reinterpret_cast<intptr_t>(driver_handle));
  return status;
}

FtResult D2xxTable::FT_SetBaudRate(int64_t handle, uint32_t baud) {
  const auto fn = Functions().set_baud_rate;
  return fn != nullptr ? fn(ToDriver(handle), baud) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                              uint8_t parity) {
  const auto fn = Functions().set_data_characteristics;
  return fn != nullptr ? fn(ToDriver(handle), bits, stop_bits, parity) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
  const auto fn = Functions().set_flow_control;
  return fn != nullptr ? fn(ToDriver(handle), flow, xon, xoff) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) {
  const auto fn = Functions().set_timeouts;
  return fn != nullptr ? fn(ToDriver(handle), read_ms, write_ms) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                                uint8_t error_char, uint8_t error_enabled) {
  const auto fn = Functions().set_chars;
  return fn != nullptr ? fn(ToDriver(handle), event_char, event_enabled, error_char, error_enabled)
                       : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) {
  const auto fn = Functions().get_queue_status;
  return fn != nullptr ? fn(ToDriver(handle), rx_bytes) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_Write(int64_t handle, const void* buffer, uint32_t count,
                             uint32_t* written) {
  const auto fn = Functions().write;
  // The driver's prototype is not const-correct; it only reads the buffer.
  return fn != nullptr ? fn(ToDriver(handle), const_cast<void*>(buffer), count, written)
                       : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) {
  const auto fn = Functions().read;
  return fn != nullptr ? fn(ToDriver(handle), buffer, count, read) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_Purge(int64_t handle, uint32_t mask) {
  const auto fn = Functions().purge;
  return fn != nullptr ? fn(ToDriver(handle), mask) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_Close(int64_t handle) {
  const auto fn = Functions().close;
  return fn != nullptr ? fn(ToDriver(handle)) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_EE_Read(int64_t handle, FtProgramData* data) {
  const auto fn = Functions().ee_read;
  return fn != nullptr ? fn(ToDriver(handle), data) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_EE_Program(int64_t handle, FtProgramData* data) {
  const auto fn = Functions().ee_program;
  return fn != nullptr ? fn(ToDriver(handle), data) : FT_OTHER_ERROR;
}

FtResult D2xxTable::FT_SetLatencyTimer(int64_t handle, uint8_t milliseconds) {
  const auto fn = Functions().set_latency_timer;
  return fn != nullptr ? fn(ToDriver(handle), milliseconds) : FT_NOT_SUPPORTED;
}

}  // namespace ecub
