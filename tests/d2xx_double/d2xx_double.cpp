// A stand-in for the FTDI D2XX driver library: the fourteen calls the server makes and the
// latency timer, over two simulated USB interfaces. Its types are declared here from the
// driver's documentation, on purpose apart from the server's own, so that a wrong declaration on
// either side shows up. On 32-bit Windows its functions are stdcall and exported under their
// plain names, as the vendor's driver exports them.
//
// Interface 0 is a loopback: every byte written comes back to be read. Interface 1 is a
// control unit that answers every complete request frame (its third byte holds the length
// minus 2) with the six-byte short identification answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "d2xx_double.h"

namespace {

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

enum : FT_STATUS { FT_OK, FT_INVALID_HANDLE, FT_DEVICE_NOT_FOUND, FT_DEVICE_NOT_OPENED };
enum : FT_STATUS { FT_INVALID_PARAMETER = 6, FT_INVALID_BAUD_RATE = 7, FT_INVALID_ARGS = 16 };
enum : DWORD { FT_LIST_NUMBER_ONLY = 0x80000000, FT_LIST_BY_INDEX = 0x40000000 };
enum : DWORD { FT_OPEN_BY_SERIAL_NUMBER = 1, FT_OPEN_BY_DESCRIPTION = 2 };
enum : ULONG { FT_PURGE_RX = 1, FT_PURGE_TX = 2 };

// The EEPROM record, versions 0 to 2, as the programmer's guide lays it out.
struct ProgramData {
  DWORD Signature1, Signature2, Version;
  WORD VendorId, ProductId;
  char *Manufacturer, *ManufacturerId, *Description, *SerialNumber;
  WORD MaxPower, PnP, SelfPowered, RemoteWakeup;
  UCHAR Rev4, IsoIn, IsoOut, PullDownEnable, SerNumEnable, USBVersionEnable;
  WORD USBVersion;
  UCHAR Rev5, IsoInA, IsoInB, IsoOutA, IsoOutB, PullDownEnable5, SerNumEnable5, USBVersionEnable5;
  WORD USBVersion5;
  UCHAR AIsHighCurrent, BIsHighCurrent, IFAIsFifo, IFAIsFifoTar, IFAIsFastSer, AIsVCP, IFBIsFifo,
      IFBIsFifoTar, IFBIsFastSer, BIsVCP;
  UCHAR UseExtOsc, HighDriveIOs, EndpointSize, PullDownEnableR, SerNumEnableR, InvertTXD, InvertRXD,
      InvertRTS, InvertCTS, InvertDTR, InvertDSR, InvertDCD, InvertRI, Cbus0, Cbus1, Cbus2, Cbus3,
      Cbus4, RIsD2XX;
};

constexpr size_t kQueueSize = 4096;
const UCHAR kShortAnswer[] = {0x42, 0x01, 0x04, 0x21, 0x5A, 0x3C};

// The EEPROM of one interface: the whole record as last programmed, with its four texts
// (manufacturer, manufacturer id, description, serial number) at their documented sizes.
constexpr size_t kTextSizes[4] = {32, 16, 64, 16};
enum Text { kManufacturer, kManufacturerId, kDescription, kSerial };
struct Eeprom {
  ProgramData record;
  char text[4][64];
};

// The record's four text pointers, in the order of Text.
char* TextField(const ProgramData& d, int i) {
  char* const fields[] = {d.Manufacturer, d.ManufacturerId, d.Description, d.SerialNumber};
  return fields[i];
}

struct Device {
  bool open;
  D2xxDoubleState state;
  Eeprom eeprom;  // its serial number and description are also what the device list shows
  UCHAR rx[kQueueSize];
  size_t rx_size;
  UCHAR request[256];  // interface 1: the request being received
  size_t request_size;
};

constexpr DWORD kDeviceCount = 2;
Device g_devices[kDeviceCount];

void CopyText(char* to, size_t size, const char* from) {
  if (to == nullptr) return;
  const size_t n = std::min(std::strlen(from), size - 1);
  std::memcpy(to, from, n);
  to[n] = '\0';
}

// An FT232R as it leaves the factory, with the interface's serial number and description.
void MakeEeprom(Eeprom& e, const char* serial, const char* description) {
  std::memset(&e, 0, sizeof e);
  ProgramData& r = e.record;
  std::tie(r.Signature1, r.Signature2, r.Version, r.VendorId, r.ProductId, r.MaxPower) =
      std::tuple(0x00000000, 0xFFFFFFFF, 2, 0x0403, 0x6001, 90);
  r.PnP = r.RemoteWakeup = r.Rev4 = r.SerNumEnable = r.USBVersionEnable = 1;
  r.USBVersion = r.USBVersion5 = 0x0200;
  r.BIsVCP = r.SerNumEnableR = r.InvertRI = r.RIsD2XX = 1;
  std::tie(r.EndpointSize, r.Cbus0, r.Cbus4) = std::tuple(64, 3, 7);
  const char* const texts[] = {"FTDI", "FT", description, serial};
  for (int i = 0; i < 4; ++i) CopyText(e.text[i], kTextSizes[i], texts[i]);
}

// The plain fields a record of `version` holds, all but the four text pointers: each version
// adds a block of its own (FT2232 flags in version 1, FT232R ones in version 2).
void CopyFields(ProgramData& to, const ProgramData& from, DWORD version) {
  const auto copy = [&](size_t begin, size_t end) {
    std::memcpy(reinterpret_cast<char*>(&to) + begin, reinterpret_cast<const char*>(&from) + begin,
                end - begin);
  };
  copy(offsetof(ProgramData, VendorId), offsetof(ProgramData, Manufacturer));
  copy(offsetof(ProgramData, MaxPower), version == 0   ? offsetof(ProgramData, Rev5)
                                        : version == 1 ? offsetof(ProgramData, UseExtOsc)
                                                       : offsetof(ProgramData, RIsD2XX) + 1);
}

// Sets up both interfaces at load time, as plugging them in would.
struct Init {
  Init() {
    MakeEeprom(g_devices[0].eeprom, "FT4KV001", "KVEL USB Interface A");
    MakeEeprom(g_devices[1].eeprom, "KV02", "Gas injection interface B, long name");
    for (Device& device : g_devices) device.state.latency_ms = 16;
  }
} g_init;

Device* Open(FT_HANDLE handle) {
  for (Device& device : g_devices) {
    if (handle == &device && device.open) return &device;
  }
  return nullptr;
}

void Queue(Device& device, const UCHAR* bytes, size_t count) {
  for (size_t i = 0; i < count && device.rx_size < kQueueSize; ++i) {
    device.rx[device.rx_size++] = bytes[i];
  }
}

// A record the caller hands over must carry the documented signatures.
bool Signed(const ProgramData* data) {
  return data != nullptr && data->Signature1 == 0x00000000 && data->Signature2 == 0xFFFFFFFF;
}

}  // namespace

// The driver's functions use the Windows API convention: stdcall on 32-bit Windows (exported
// without the @N decoration, see the build), the plain C one everywhere else.
#if defined(_WIN32) && !defined(_WIN64)
#define D2XX_API __stdcall
#else
#define D2XX_API
#endif
#if defined(_WIN32)
#define D2XX_EXPORT extern "C" __declspec(dllexport)
#else
#define D2XX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Every call on a handle starts here: one that is not an open interface's is refused.
#define OPEN_DEVICE_OR_RETURN(device, handle) \
  Device* device = Open(handle);              \
  if (device == nullptr) return FT_INVALID_HANDLE

D2XX_EXPORT FT_STATUS D2XX_API FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
  if (flags == FT_LIST_NUMBER_ONLY) {
    if (arg1 == nullptr) return FT_INVALID_ARGS;
    *static_cast<DWORD*>(arg1) = kDeviceCount;
    return FT_OK;
  }
  const DWORD what = flags & ~FT_LIST_BY_INDEX;
  if (!(flags & FT_LIST_BY_INDEX) || arg2 == nullptr ||
      (what != FT_OPEN_BY_SERIAL_NUMBER && what != FT_OPEN_BY_DESCRIPTION)) {
    return FT_INVALID_ARGS;
  }
  const uintptr_t index = reinterpret_cast<uintptr_t>(arg1);
  if (index >= kDeviceCount) return FT_DEVICE_NOT_FOUND;
  const Eeprom& eeprom = g_devices[index].eeprom;
  // The documented buffer for one entry holds 64 bytes.
  CopyText(static_cast<char*>(arg2), 64,
           eeprom.text[what == FT_OPEN_BY_SERIAL_NUMBER ? kSerial : kDescription]);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_Open(int number, FT_HANDLE* handle) {
  if (handle == nullptr) return FT_INVALID_ARGS;
  *handle = nullptr;
  if (number < 0 || static_cast<DWORD>(number) >= kDeviceCount) return FT_DEVICE_NOT_FOUND;
  Device& device = g_devices[number];
  if (device.open) return FT_DEVICE_NOT_OPENED;
  device.open = true;
  ++device.state.opens;
  device.state.latency_ms = 16;  // the driver's default after every open
  device.rx_size = device.request_size = 0;
  *handle = &device;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  if (baud < 183 || baud > 3000000) return FT_INVALID_BAUD_RATE;
  device->state.baud = baud;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR bits,
                                                         UCHAR stop_bits, UCHAR parity) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  // FT_BITS_7/8, FT_STOP_BITS_1/2 (0 and 2), FT_PARITY_NONE to FT_PARITY_SPACE.
  if ((bits != 7 && bits != 8) || (stop_bits != 0 && stop_bits != 2) || parity > 4) {
    return FT_INVALID_PARAMETER;
  }
  std::tie(device->state.bits, device->state.stop_bits, device->state.parity) =
      std::tie(bits, stop_bits, parity);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_SetFlowControl(FT_HANDLE handle, USHORT flow, UCHAR xon,
                                                 UCHAR xoff) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  std::tie(device->state.flow, device->state.xon, device->state.xoff) = std::tie(flow, xon, xoff);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG write_ms) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  std::tie(device->state.read_timeout_ms, device->state.write_timeout_ms) =
      std::tie(read_ms, write_ms);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_SetChars(FT_HANDLE handle, UCHAR event_char, UCHAR event_enabled,
                                           UCHAR error_char, UCHAR error_enabled) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  D2xxDoubleState& s = device->state;
  std::tie(s.event_char, s.event_enabled, s.error_char, s.error_enabled) =
      std::tie(event_char, event_enabled, error_char, error_enabled);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_GetQueueStatus(FT_HANDLE handle, DWORD* rx_bytes) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  *rx_bytes = static_cast<DWORD>(device->rx_size);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_Write(FT_HANDLE handle, void* buffer, DWORD count,
                                        DWORD* written) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  const UCHAR* bytes = static_cast<const UCHAR*>(buffer);
  if (device == &g_devices[0]) {
    Queue(*device, bytes, count);
  } else {
    for (DWORD i = 0; i < count; ++i) {
      if (device->request_size < sizeof device->request) {
        device->request[device->request_size++] = bytes[i];
      }
      if (device->request_size >= 3 &&
          device->request_size == static_cast<size_t>(device->request[2]) + 2) {
        Queue(*device, kShortAnswer, sizeof kShortAnswer);
        device->request_size = 0;
      }
    }
  }
  *written = count;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* read) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  const size_t taken = count < device->rx_size ? count : device->rx_size;
  std::memcpy(buffer, device->rx, taken);
  std::memmove(device->rx, device->rx + taken, device->rx_size - taken);
  device->rx_size -= taken;
  *read = static_cast<DWORD>(taken);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_Purge(FT_HANDLE handle, ULONG mask) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  if (mask & FT_PURGE_RX) device->rx_size = 0;
  if (mask & FT_PURGE_TX) device->request_size = 0;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_Close(FT_HANDLE handle) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  device->open = false;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_EE_Read(FT_HANDLE handle, ProgramData* data) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  if (!Signed(data)) return FT_INVALID_PARAMETER;
  // Only the fields of the version asked for are written.
  const Eeprom& e = device->eeprom;
  CopyFields(*data, e.record, data->Version > 2 ? 2 : data->Version);
  for (int i = 0; i < 4; ++i) CopyText(TextField(*data, i), kTextSizes[i], e.text[i]);
  return FT_OK;
}

#ifndef D2XX_DOUBLE_LACKS_EE_PROGRAM  // the variant that stands for an incomplete library
D2XX_EXPORT FT_STATUS D2XX_API FT_EE_Program(FT_HANDLE handle, ProgramData* data) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  if (!Signed(data) || data->Manufacturer == nullptr || data->ManufacturerId == nullptr ||
      data->Description == nullptr || data->SerialNumber == nullptr ||
      // The documented limit: manufacturer and description together at most 40 characters.
      std::strlen(data->Manufacturer) + std::strlen(data->Description) > 40) {
    return FT_INVALID_PARAMETER;
  }
  // The whole record is written, as the device stores it.
  Eeprom& e = device->eeprom;
  CopyFields(e.record, *data, data->Version > 2 ? 2 : data->Version);
  for (int i = 0; i < 4; ++i) CopyText(e.text[i], kTextSizes[i], TextField(*data, i));
  ++device->state.eeprom_programs;
  return FT_OK;
}
#endif

D2XX_EXPORT FT_STATUS D2XX_API FT_SetLatencyTimer(FT_HANDLE handle, UCHAR milliseconds) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  if (milliseconds == 0) return FT_INVALID_PARAMETER;
  device->state.latency_ms = milliseconds;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS D2XX_API FT_GetLatencyTimer(FT_HANDLE handle, UCHAR* milliseconds) {
  OPEN_DEVICE_OR_RETURN(device, handle);
  *milliseconds = device->state.latency_ms;
  return FT_OK;
}

// For the tests only: what the stand-in remembers of interface `device`.
D2XX_EXPORT D2xxDoubleState* D2xxDouble_State(int device) {
  if (device < 0 || static_cast<DWORD>(device) >= kDeviceCount) return nullptr;
  return &g_devices[device].state;
}
