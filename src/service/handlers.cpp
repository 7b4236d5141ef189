#include "service/handlers.h"

#include <algorithm>
#include <cstring>

#include "link/history.h"
#include "link/host_link.h"
#include "link/port.h"
#include "link/transaction.h"
#include "platform/ft_program_data.h"
#include "server/server.h"
#include "server/traffic_log.h"

namespace ecub {

namespace {

std::string Field(const std::string& text, size_t width) {
  std::string out = text.substr(0, width);
  out.resize(width, ' ');
  return out;
}

// The first record holding `frame` whose flag (timed or cyclic) is set; nullptr when none.
MsgRecord* FindFlagged(Server& s, const std::string& frame, bool MsgRecord::*flag) {
  auto it = std::find_if(s.MsgTable.begin(), s.MsgTable.end(),
                         [&](const MsgRecord& r) { return r.*flag && r.MsgRequest == frame; });
  return it == s.MsgTable.end() ? nullptr : &*it;
}

// The 16-bit value of a time-out argument: low byte first; missing bytes count as 0.
uint32_t Argument16(const std::string& argument) {
  const std::string padded = argument + std::string(2, '\0');
  return static_cast<uint8_t>(padded[0]) |
         (static_cast<uint32_t>(static_cast<uint8_t>(padded[1])) << 8);
}

std::string LittleEndian32(uint32_t value) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace

std::string ElencoDispositiviUsb(const Server& s) {
  std::string list;
  for (size_t i = 0; i < s.UsbDescList.size(); ++i) {
    const std::string serial = i < s.UsbSerialList.size() ? s.UsbSerialList[i] : std::string();
    list += Field(serial, 8) + Field(s.UsbDescList[i], 20);
  }
  return list;
}

void LeggiRisposta(Server& s, const std::string& frame) {
  // Longer than any frame: no unit could take it, and sending it byte by byte with its retries
  // would stall the server for minutes. Refused at once, whatever the polling mode.
  if (frame.size() > kMaxFrameSize) {
    SendReply(s, 6, kResultRefused, frame);
    return;
  }
  std::string answer;
  switch (s.PollMode) {
    case 0: {
      const MsgRecord* record = FindFlagged(s, frame, &MsgRecord::MsgTimed);
      if (record != nullptr && !record->MsgLastAnswer.empty()) {
        answer = record->MsgLastAnswer;
      } else {
        SendCommand(s, frame, answer, 0);
      }
      SendReply(s, 6, kResultDone, answer);
      break;
    }
    case 1: {
      const MsgRecord* record = FindFlagged(s, frame, &MsgRecord::MsgCyclic);
      if (record != nullptr && !record->MsgLastAnswer.empty()) {
        SendReply(s, 6, kResultDone, record->MsgLastAnswer);
      } else {
        SendReply(s, 6, kResultRefused, frame);
      }
      break;
    }
    case 2:
      SendCommand(s, frame, answer, 0);
      SendReply(s, 6, kResultDone, answer);
      break;
    default:
      // Automatic polling is off in an unknown way: the host gets no answer and times out.
      break;
  }
}

void LeggiStorico(Server& s, const std::string& frame) {
  MsgRecord* record =
      frame.size() > kMaxFrameSize ? nullptr : FindFlagged(s, frame, &MsgRecord::MsgCyclic);
  if (record == nullptr) {
    SendReply(s, 7, kResultRefused, frame);
    return;
  }
  const size_t index = static_cast<size_t>(record - s.MsgTable.data());
  SendReply(s, 7, kResultDone, TakeHistory(s, index));
}

void ImpostaAttesaGlobale(Server& s, const std::string& argument) {
  const uint32_t ms = Argument16(argument);
  s.AttesaGlobaleCorrente = static_cast<double>(ms) * 1000.0;
  SendReply(s, 8, kResultDone, LittleEndian32(ms));
}

void ImpostaAttesaByteTx(Server& s, const std::string& argument) {
  const uint32_t usec = Argument16(argument);
  s.settings.AttesaByteTx_usec = usec;
  SendReply(s, 9, kResultDone, LittleEndian32(usec));
}

void ImpostaMsgTimed(Server& s, const std::string& argument) {
  if (argument.size() < 2) {
    SendReply(s, 11, kResultRefused, argument);
    return;
  }
  const size_t index = static_cast<uint8_t>(argument[0]);
  if (index >= s.MsgTable.size()) {
    SendReply(s, 11, kResultRefused, argument);
    return;
  }
  s.MsgTable[index].MsgTimed = argument[1] != '\0';
  SendReply(s, 11, kResultDone, argument);
}

void ScriviDescrizioneUsb(Server& s, const std::string& description) {
  // Only an open USB interface has an EEPROM to write; the handle's own kind decides, since a
  // scan may have moved PortaCom since it was opened.
  if (s.HandlePorta == 0 || !PortIsUsb(s)) {
    SendReply(s, 12, kResultEeprom, "1");
    return;
  }
  char manufacturer[kFtManufacturerSize] = {};
  char manufacturer_id[kFtManufacturerIdSize] = {};
  char text[kFtDescriptionSize] = {};
  char serial[kFtSerialNumberSize] = {};
  FtProgramData record;
  record.Manufacturer = manufacturer;
  record.ManufacturerId = manufacturer_id;
  record.Description = text;
  record.SerialNumber = serial;
  D2xx& driver = s.platform.Ftdi();
  const FtResult read = driver.FT_EE_Read(s.HandlePorta, &record);
  if (read != FT_OK) {
    LogLine(s, "FT_EE_Read Error#", std::to_string(read));
    if (read == FT_NOT_SUPPORTED) {
      // Linux without the vendor's library: the kernel's serial driver gives no EEPROM access.
      LogLine(s, "FT_EE_Read ",
              "not supported by the driver in use; writing the EEPROM needs the FTDI D2XX library");
    }
    SendReply(s, 12, kResultEeprom, "1");
    return;
  }
  const std::string new_description = (description + std::string(20, '\0')).substr(0, 20);
  std::memset(text, 0, sizeof text);
  std::memcpy(text, new_description.data(), new_description.size());
  const FtResult programmed = driver.FT_EE_Program(s.HandlePorta, &record);
  if (programmed != FT_OK) {
    LogLine(s, "FT_EE_Program Error#", std::to_string(programmed));
    SendReply(s, 12, kResultEeprom, "0");
    return;
  }
  SendReply(s, 12, kResultDone, new_description);
}

}  // namespace ecub
