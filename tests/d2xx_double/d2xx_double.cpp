// A stand-in for the FTDI D2XX driver library: the fourteen calls the server makes, over two
// simulated USB interfaces. Its types are declared here from the driver's documentation, on
// purpose apart from the server's own, so that a wrong declaration on either side shows up.
//
// Interface 0 is a loopback: every byte written comes back to be read. Interface 1 is a
// control unit that answers every complete request frame (its third byte holds the length
// minus 2) with the six-byte short identification answer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using FT_HANDLE = void*;
using FT_STATUS = uint32_t;
using DWORD = uint32_t;
using ULONG = uint32_t;
using WORD = uint16_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;
constexpr FT_STATUS FT_INVALID_ARGS = 16;

constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000;
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;
constexpr ULONG FT_PURGE_RX = 1;
constexpr ULONG FT_PURGE_TX = 2;

// The EEPROM record, versions 0 to 2, as the programmer's guide lays it out.
struct ProgramData {
  DWORD Signature1;
  DWORD Signature2;
  DWORD Version;
  WORD VendorId;
  WORD ProductId;
  char* Manufacturer;
  char* ManufacturerId;
  char* Description;
  char* SerialNumber;
  WORD MaxPower;
  WORD PnP;
  WORD SelfPowered;
  WORD RemoteWakeup;
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

struct Device {
  const char* serial;
  char description[64];
  bool open;
  ULONG baud;
  UCHAR bits, stop_bits, parity;
  UCHAR rx[kQueueSize];
  size_t rx_size;
  UCHAR request[256];  // interface 1: the request being received
  size_t request_size;
};

Device g_devices[2] = {
    {"FT4KV001", "KVEL USB Interface A", false, 0, 0, 0, 0, {}, 0, {}, 0},
    {"KV02", "Gas injection interface B, long name", false, 0, 0, 0, 0, {}, 0, {}, 0},
};
constexpr DWORD kDeviceCount = 2;

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

void CopyText(char* to, size_t size, const char* from) {
  if (to == nullptr) return;
  const size_t n = std::min(std::strlen(from), size - 1);
  std::memcpy(to, from, n);
  to[n] = '\0';
}

}  // namespace

#define D2XX_EXPORT extern "C" __attribute__((visibility("default")))

D2XX_EXPORT FT_STATUS FT_ListDevices(void* arg1, void* arg2, DWORD flags) {
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
  const Device& device = g_devices[index];
  // The documented buffer for one entry holds 64 bytes.
  CopyText(static_cast<char*>(arg2), 64,
           what == FT_OPEN_BY_SERIAL_NUMBER ? device.serial : device.description);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_Open(int number, FT_HANDLE* handle) {
  if (handle == nullptr) return FT_INVALID_ARGS;
  *handle = nullptr;
  if (number < 0 || static_cast<DWORD>(number) >= kDeviceCount) return FT_DEVICE_NOT_FOUND;
  Device& device = g_devices[number];
  if (device.open) return FT_DEVICE_NOT_OPENED;
  device.open = true;
  device.rx_size = 0;
  device.request_size = 0;
  *handle = &device;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_SetBaudRate(FT_HANDLE handle, ULONG baud) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (baud < 183 || baud > 3000000) return FT_INVALID_BAUD_RATE;
  device->baud = baud;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, UCHAR bits, UCHAR stop_bits,
                                                UCHAR parity) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  // FT_BITS_7/8, FT_STOP_BITS_1/2 (0 and 2), FT_PARITY_NONE to FT_PARITY_SPACE.
  if ((bits != 7 && bits != 8) || (stop_bits != 0 && stop_bits != 2) || parity > 4) {
    return FT_INVALID_PARAMETER;
  }
  device->bits = bits;
  device->stop_bits = stop_bits;
  device->parity = parity;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_SetFlowControl(FT_HANDLE handle, USHORT, UCHAR, UCHAR) {
  return Open(handle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_SetTimeouts(FT_HANDLE handle, ULONG, ULONG) {
  return Open(handle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_SetChars(FT_HANDLE handle, UCHAR, UCHAR, UCHAR, UCHAR) {
  return Open(handle) != nullptr ? FT_OK : FT_INVALID_HANDLE;
}

D2XX_EXPORT FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, DWORD* rx_bytes) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (rx_bytes == nullptr) return FT_INVALID_ARGS;
  *rx_bytes = static_cast<DWORD>(device->rx_size);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, DWORD count, DWORD* written) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (buffer == nullptr || written == nullptr) return FT_INVALID_ARGS;
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

D2XX_EXPORT FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, DWORD count, DWORD* read) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (buffer == nullptr || read == nullptr) return FT_INVALID_ARGS;
  const size_t taken = count < device->rx_size ? count : device->rx_size;
  std::memcpy(buffer, device->rx, taken);
  std::memmove(device->rx, device->rx + taken, device->rx_size - taken);
  device->rx_size -= taken;
  *read = static_cast<DWORD>(taken);
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_Purge(FT_HANDLE handle, ULONG mask) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (mask & FT_PURGE_RX) device->rx_size = 0;
  if (mask & FT_PURGE_TX) device->request_size = 0;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_Close(FT_HANDLE handle) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  device->open = false;
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_EE_Read(FT_HANDLE handle, ProgramData* data) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (data == nullptr || data->Signature1 != 0x00000000 || data->Signature2 != 0xFFFFFFFF) {
    return FT_INVALID_PARAMETER;
  }
  const DWORD version = data->Version;
  data->VendorId = 0x0403;
  data->ProductId = 0x6001;
  CopyText(data->Manufacturer, 32, "FTDI");
  CopyText(data->ManufacturerId, 16, "FT");
  CopyText(data->Description, 64, device->description);
  CopyText(data->SerialNumber, 16, device->serial);
  data->MaxPower = 90;
  data->PnP = 1;
  data->SelfPowered = 0;
  data->RemoteWakeup = 1;
  data->Rev4 = 1;
  data->SerNumEnable = 1;
  data->USBVersionEnable = 1;
  data->USBVersion = 0x0200;
  if (version >= 1) {
    data->Rev5 = 0;
    data->USBVersion5 = 0x0200;
    data->BIsVCP = 1;
  }
  if (version >= 2) {  // an FT232R
    data->EndpointSize = 64;
    data->SerNumEnableR = 1;
    data->InvertRI = 1;
    data->Cbus0 = 3;
    data->Cbus4 = 7;
    data->RIsD2XX = 1;
  }
  return FT_OK;
}

D2XX_EXPORT FT_STATUS FT_EE_Program(FT_HANDLE handle, ProgramData* data) {
  Device* device = Open(handle);
  if (device == nullptr) return FT_INVALID_HANDLE;
  if (data == nullptr || data->Signature1 != 0x00000000 || data->Signature2 != 0xFFFFFFFF ||
      data->Description == nullptr) {
    return FT_INVALID_PARAMETER;
  }
  // The documented limit: manufacturer and description together at most 40 characters.
  const size_t manufacturer = data->Manufacturer != nullptr ? std::strlen(data->Manufacturer) : 0;
  if (manufacturer + std::strlen(data->Description) > 40) return FT_INVALID_PARAMETER;
  CopyText(device->description, sizeof device->description, data->Description);
  return FT_OK;
}
