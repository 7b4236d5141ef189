#include "platform/win32/win32_d2xx.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstddef>
#include <utility>

#include "platform/win32/win32_platform.h"
#include "port/ft_program_data.h"

namespace ecub {

namespace {

// The driver's C interface in the types of its documentation for Windows: FT_STATUS, DWORD and
// ULONG are 32-bit unsigned, FT_HANDLE an opaque pointer, and every call is WINAPI (stdcall on
// the 32-bit build, where a wrong convention would corrupt the stack on the first call).
using FT_HANDLE = void*;
using FT_STATUS = ULONG;

using ListDevicesFn = FT_STATUS(WINAPI*)(PVOID, PVOID, DWORD);
using OpenFn = FT_STATUS(WINAPI*)(int, FT_HANDLE*);
using SetBaudRateFn = FT_STATUS(WINAPI*)(FT_HANDLE, ULONG);
using SetDataCharacteristicsFn = FT_STATUS(WINAPI*)(FT_HANDLE, UCHAR, UCHAR, UCHAR);
using SetFlowControlFn = FT_STATUS(WINAPI*)(FT_HANDLE, USHORT, UCHAR, UCHAR);
using SetTimeoutsFn = FT_STATUS(WINAPI*)(FT_HANDLE, ULONG, ULONG);
using SetCharsFn = FT_STATUS(WINAPI*)(FT_HANDLE, UCHAR, UCHAR, UCHAR, UCHAR);
using GetQueueStatusFn = FT_STATUS(WINAPI*)(FT_HANDLE, DWORD*);
using WriteFn = FT_STATUS(WINAPI*)(FT_HANDLE, LPVOID, DWORD, LPDWORD);
using ReadFn = FT_STATUS(WINAPI*)(FT_HANDLE, LPVOID, DWORD, LPDWORD);
using PurgeFn = FT_STATUS(WINAPI*)(FT_HANDLE, ULONG);
using CloseFn = FT_STATUS(WINAPI*)(FT_HANDLE);
using EepromFn = FT_STATUS(WINAPI*)(FT_HANDLE, FtProgramData*);

static_assert(sizeof(FT_STATUS) == sizeof(FtStatus) && sizeof(DWORD) == sizeof(uint32_t),
              "the driver's status and counts are 32 bits wide");

// The EEPROM record goes to the driver as it is, so its layout must be the driver's on both
// builds: natural alignment of the declared types, with the four text pointers 4 bytes wide on
// the 32-bit build and 8 bytes on the 64-bit one.
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
  return IntToHandle(handle);
}

template <typename Fn>
Fn Find(HMODULE module, const char* name) {
  // GetProcAddress hands out a generic function pointer; going through void (*)() tells the
  // compiler the change of type is meant.
  const FARPROC proc = ::GetProcAddress(module, name);
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

}  // namespace

struct Win32D2xx::Api {
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

Win32D2xx::Win32D2xx(std::string library)
    : library_(library.empty() ? std::string(kD2xxLibraryName) : std::move(library)),
      api_(std::make_unique<Api>()) {}

Win32D2xx::~Win32D2xx() {
  if (module_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(module_));
}

bool Win32D2xx::Load() {
  if (tried_) return module_ != nullptr;
  tried_ = true;
  // A library that cannot be found must not pop up a system error box in a window-less server.
  const UINT old_mode = ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  const HMODULE module = ::LoadLibraryA(library_.c_str());
  const DWORD error = ::GetLastError();
  ::SetErrorMode(old_mode);
  if (module == nullptr) {
    error_ = "cannot load " + library_ + " (error " + std::to_string(error) + ")";
    return false;
  }
  module_ = module;
  Api& api = *api_;
  api.list_devices = Find<ListDevicesFn>(module, "FT_ListDevices");
  api.open = Find<OpenFn>(module, "FT_Open");
  api.set_baud_rate = Find<SetBaudRateFn>(module, "FT_SetBaudRate");
  api.set_data_characteristics =
      Find<SetDataCharacteristicsFn>(module, "FT_SetDataCharacteristics");
  api.set_flow_control = Find<SetFlowControlFn>(module, "FT_SetFlowControl");
  api.set_timeouts = Find<SetTimeoutsFn>(module, "FT_SetTimeouts");
  api.set_chars = Find<SetCharsFn>(module, "FT_SetChars");
  api.get_queue_status = Find<GetQueueStatusFn>(module, "FT_GetQueueStatus");
  api.write = Find<WriteFn>(module, "FT_Write");
  api.read = Find<ReadFn>(module, "FT_Read");
  api.purge = Find<PurgeFn>(module, "FT_Purge");
  api.close = Find<CloseFn>(module, "FT_Close");
  api.ee_read = Find<EepromFn>(module, "FT_EE_Read");
  api.ee_program = Find<EepromFn>(module, "FT_EE_Program");
  if (functions_found() < 14) error_ = library_ + " lacks some of the driver's functions";
  return true;
}

int Win32D2xx::functions_found() const {
  const Api& a = *api_;
  const bool found[] = {a.list_devices != nullptr,
                        a.open != nullptr,
                        a.set_baud_rate != nullptr,
                        a.set_data_characteristics != nullptr,
                        a.set_flow_control != nullptr,
                        a.set_timeouts != nullptr,
                        a.set_chars != nullptr,
                        a.get_queue_status != nullptr,
                        a.write != nullptr,
                        a.read != nullptr,
                        a.purge != nullptr,
                        a.close != nullptr,
                        a.ee_read != nullptr,
                        a.ee_program != nullptr};
  int count = 0;
  for (bool f : found) count += f ? 1 : 0;
  return count;
}

const Win32D2xx::Api& Win32D2xx::Functions() {
  Load();
  return *api_;
}

FtStatus Win32D2xx::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
  const auto fn = Functions().list_devices;
  return fn != nullptr ? fn(arg1, arg2, flags) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_Open(int device, int64_t* handle) {
  const auto fn = Functions().open;
  if (fn == nullptr || handle == nullptr) return FT_OTHER_ERROR;
  FT_HANDLE driver_handle = nullptr;
  const FtStatus status = fn(device, &driver_handle);
  *handle = HandleToInt(driver_handle);
  return status;
}

FtStatus Win32D2xx::FT_SetBaudRate(int64_t handle, uint32_t baud) {
  const auto fn = Functions().set_baud_rate;
  return fn != nullptr ? fn(ToDriver(handle), baud) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_SetDataCharacteristics(int64_t handle, uint8_t bits, uint8_t stop_bits,
                                              uint8_t parity) {
  const auto fn = Functions().set_data_characteristics;
  return fn != nullptr ? fn(ToDriver(handle), bits, stop_bits, parity) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_SetFlowControl(int64_t handle, uint16_t flow, uint8_t xon, uint8_t xoff) {
  const auto fn = Functions().set_flow_control;
  return fn != nullptr ? fn(ToDriver(handle), flow, xon, xoff) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_SetTimeouts(int64_t handle, uint32_t read_ms, uint32_t write_ms) {
  const auto fn = Functions().set_timeouts;
  return fn != nullptr ? fn(ToDriver(handle), read_ms, write_ms) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_SetChars(int64_t handle, uint8_t event_char, uint8_t event_enabled,
                                uint8_t error_char, uint8_t error_enabled) {
  const auto fn = Functions().set_chars;
  return fn != nullptr ? fn(ToDriver(handle), event_char, event_enabled, error_char, error_enabled)
                       : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_GetQueueStatus(int64_t handle, uint32_t* rx_bytes) {
  const auto fn = Functions().get_queue_status;
  if (fn == nullptr) return FT_OTHER_ERROR;
  DWORD count = 0;
  const FtStatus status = fn(ToDriver(handle), &count);
  if (rx_bytes != nullptr) *rx_bytes = count;
  return status;
}

FtStatus Win32D2xx::FT_Write(int64_t handle, const void* buffer, uint32_t count,
                             uint32_t* written) {
  const auto fn = Functions().write;
  if (fn == nullptr) return FT_OTHER_ERROR;
  DWORD done = 0;
  // The driver's prototype is not const-correct; it only reads the buffer.
  const FtStatus status = fn(ToDriver(handle), const_cast<void*>(buffer), count, &done);
  if (written != nullptr) *written = done;
  return status;
}

FtStatus Win32D2xx::FT_Read(int64_t handle, void* buffer, uint32_t count, uint32_t* read) {
  const auto fn = Functions().read;
  if (fn == nullptr) return FT_OTHER_ERROR;
  DWORD done = 0;
  const FtStatus status = fn(ToDriver(handle), buffer, count, &done);
  if (read != nullptr) *read = done;
  return status;
}

FtStatus Win32D2xx::FT_Purge(int64_t handle, uint32_t mask) {
  const auto fn = Functions().purge;
  return fn != nullptr ? fn(ToDriver(handle), mask) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_Close(int64_t handle) {
  const auto fn = Functions().close;
  return fn != nullptr ? fn(ToDriver(handle)) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_EE_Read(int64_t handle, FtProgramData* data) {
  const auto fn = Functions().ee_read;
  return fn != nullptr ? fn(ToDriver(handle), data) : FT_OTHER_ERROR;
}

FtStatus Win32D2xx::FT_EE_Program(int64_t handle, FtProgramData* data) {
  const auto fn = Functions().ee_program;
  return fn != nullptr ? fn(ToDriver(handle), data) : FT_OTHER_ERROR;
}

}  // namespace ecub
