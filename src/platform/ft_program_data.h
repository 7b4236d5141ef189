// The D2XX EEPROM record, version 2 (FT232R fields included), laid out as the driver expects.
#pragma once

#include <cstdint>

namespace ecub {

struct FtProgramData {
  uint32_t Signature1 = 0x00000000;
  uint32_t Signature2 = 0xFFFFFFFF;
  uint32_t Version = 2;
  uint16_t VendorId = 0;
  uint16_t ProductId = 0;
  char* Manufacturer = nullptr;  // buffers of at least 32, 16, 64 and 16 bytes
  char* ManufacturerId = nullptr;
  char* Description = nullptr;
  char* SerialNumber = nullptr;
  uint16_t MaxPower = 0;
  uint16_t PnP = 0;
  uint16_t SelfPowered = 0;
  uint16_t RemoteWakeup = 0;
  // FT232B
  uint8_t Rev4 = 0, IsoIn = 0, IsoOut = 0, PullDownEnable = 0, SerNumEnable = 0,
          USBVersionEnable = 0;
  uint16_t USBVersion = 0;
  // FT2232 (version 1)
  uint8_t Rev5 = 0, IsoInA = 0, IsoInB = 0, IsoOutA = 0, IsoOutB = 0, PullDownEnable5 = 0,
          SerNumEnable5 = 0, USBVersionEnable5 = 0;
  uint16_t USBVersion5 = 0;
  uint8_t AIsHighCurrent = 0, BIsHighCurrent = 0, IFAIsFifo = 0, IFAIsFifoTar = 0, IFAIsFastSer = 0,
          AIsVCP = 0, IFBIsFifo = 0, IFBIsFifoTar = 0, IFBIsFastSer = 0, BIsVCP = 0;
  // FT232R (version 2)
  uint8_t UseExtOsc = 0, HighDriveIOs = 0, EndpointSize = 0, PullDownEnableR = 0, SerNumEnableR = 0,
          InvertTXD = 0, InvertRXD = 0, InvertRTS = 0, InvertCTS = 0, InvertDTR = 0, InvertDSR = 0,
          InvertDCD = 0, InvertRI = 0, Cbus0 = 0, Cbus1 = 0, Cbus2 = 0, Cbus3 = 0, Cbus4 = 0,
          RIsD2XX = 0;
  // Room for the fields of later record versions, should a driver fill more than asked.
  uint8_t reserved[256] = {};
};

// String buffer sizes the driver may fill.
inline constexpr int kFtManufacturerSize = 32;
inline constexpr int kFtManufacturerIdSize = 16;
inline constexpr int kFtDescriptionSize = 64;
inline constexpr int kFtSerialNumberSize = 16;

}  // namespace ecub
