#include "link/byte_io.h"

#include <cstdint>
#include <string>

#include "codec/hex.h"
#include "link/port.h"
#include "server/clock.h"
#include "server/server.h"
#include "server/traffic_log.h"

namespace ecub {

namespace {

// PurgeComm: abort pending reads. FT_Purge: 1 receive buffer, 2 transmit buffer.
constexpr uint32_t kPurgeRxAbort = 2;
constexpr uint32_t kFtPurgeTx = 2;
constexpr uint32_t kFtPurgeRxTx = 3;

// Why sending a frame stopped before its end.
enum class SendStop { kNone, kInputArrived, kWriteFailed };

bool Serial(const Server& s) {
  return !PortIsUsb(s);
}

void CaptureLastError(Server& s) {
  s.last_dll_error = s.platform.GetLastError();
}

// A failed Windows call of the transfer itself: its label, the error mask and both error codes.
void SerialTransferFailure(Server& s, const char* label, const char* text) {
  if (!s.settings.LOG) return;
  LogLine(s, label, text);
  LogLine(s, "lpErrors ", HexNoPad(s.comm_error_mask));
  LogLastErrors(s, true);
}

// A failed D2XX call of the transfer itself: its label, the driver status and the error code.
void UsbTransferFailure(Server& s, const char* label, FtResult status) {
  if (!s.settings.LOG) return;
  LogLine(s, label, "");
  LogLine(s, "FtStatus ", HexNoPad(status));
  LogLastErrors(s, false);
}

// A failed Windows call while cleaning the port; such calls report 0 on failure.
void SerialCleanFailure(Server& s, const char* label) {
  if (!s.settings.LOG) return;
  LogLine(s, label, "0");
  LogLastErrors(s, true);
}

void FtPurge(Server& s, uint32_t mask) {
  const FtResult status = s.platform.Ftdi().FT_Purge(s.HandlePorta, mask);
  s.FtStatus = static_cast<int32_t>(status);
  if (status == FT_OK) return;
  CaptureLastError(s);
  LogLine(s, "FT_Purge Error#", std::to_string(static_cast<int32_t>(status)));
}

// Checks the input queue before byte `i` goes out; true when the unit is already talking and
// the frame must be cut off.
bool InputArrivedBeforeByte(Server& s, size_t i, size_t last) {
  if (Serial(s)) {
    if (!s.platform.ClearCommError(s.HandlePorta, s.comm_error_mask, s.queued_input)) {
      CaptureLastError(s);
      SerialTransferFailure(s, "ClearCommError Send", "");
      s.CommError = true;
      return false;
    }
    return s.queued_input >= 1;
  }
  uint32_t queued = 0;
  const FtResult status = s.platform.Ftdi().FT_GetQueueStatus(s.HandlePorta, &queued);
  s.FtStatus = static_cast<int32_t>(status);
  s.queued_input = queued;
  if (status != FT_OK) {
    CaptureLastError(s);
    UsbTransferFailure(s, "FT_GetQueueStatus Send", status);
    s.CommError = true;
    return false;
  }
  // The interface echoes or answers early often enough around the last byte that the frame
  // is always completed on this branch.
  return queued >= 1 && i != last;
}

// Writes one wire byte; false (logged, CommError set) when the write failed.
bool WriteByte(Server& s, uint8_t wire_byte) {
  if (Serial(s)) {
    uint32_t written = 0;
    if (s.platform.WriteFile(s.HandlePorta, std::string(1, static_cast<char>(wire_byte)),
                             written)) {
      return true;
    }
    CaptureLastError(s);
    SerialTransferFailure(s, "WriteFile Send", "");
  } else {
    uint32_t written = 0;
    const FtResult status = s.platform.Ftdi().FT_Write(s.HandlePorta, &wire_byte, 1, &written);
    s.FtStatus = static_cast<int32_t>(status);
    if (status == FT_OK) return true;
    CaptureLastError(s);
    UsbTransferFailure(s, "FT_Write Send", status);
  }
  s.CommError = true;
  return false;
}

void AppendReceived(Server& s, const std::string& wire) {
  for (unsigned char b : wire) s.RxBuffer.push_back(static_cast<char>(s.tables.RxTable[b]));
}

}  // namespace

bool SendBytes(Server& s, const std::string& frame) {
  s.TxBuffer = frame;
  s.RxBuffer.clear();
  SendStop stop = SendStop::kNone;
  for (size_t i = 0; i < frame.size(); ++i) {
    if (InputArrivedBeforeByte(s, i, frame.size() - 1)) {
      // Talking over the unit would garble both directions: drop its bytes and stop here.
      CleanInputCom(s);
      stop = SendStop::kInputArrived;
      break;
    }
    const bool written = WriteByte(s, s.tables.TxTable[static_cast<uint8_t>(frame[i])]);
    WaitMicroseconds(s, s.settings.AttesaByteTx_usec);
    if (!written) {
      stop = SendStop::kWriteFailed;
      break;
    }
  }
  if (!s.settings.LOG) return true;
  const std::string hex = BytesToHex(s.TxBuffer);
  switch (stop) {
    case SendStop::kInputArrived:
      LogLine(s, "ERR_DISAL ", hex);
      break;
    case SendStop::kWriteFailed:
      LogLine(s, "ERR_H ", std::to_string(s.last_dll_error) + hex);
      break;
    case SendStop::kNone:
      LogLine(s, "T ", hex);
      break;
  }
  return true;
}

bool ReceiveBytes(Server& s) {
  if (Serial(s)) {
    if (!s.platform.ClearCommError(s.HandlePorta, s.comm_error_mask, s.queued_input)) {
      CaptureLastError(s);
      SerialTransferFailure(s, "ClearCommError Recive", " ");
      s.CommError = true;
      return true;
    }
    if (s.queued_input < 1) return true;
    const uint32_t count = CappedReadCount(s.queued_input);
    std::string wire;
    uint32_t read = 0;
    const bool ok = s.platform.ReadFile(s.HandlePorta, count, wire, read);
    if (!ok) CaptureLastError(s);
    // The read buffer is sized for the queued count and appended whole.
    wire.resize(count, '\0');
    AppendReceived(s, wire);
    if (!ok) {
      SerialTransferFailure(s, "ReadFile Recive", "");
      LogLine(s, "R ", BytesToHex(s.RxBuffer));
      s.CommError = true;
    }
    return true;
  }

  D2xx& ftdi = s.platform.Ftdi();
  uint32_t count = 0;
  FtResult status = ftdi.FT_GetQueueStatus(s.HandlePorta, &count);
  s.FtStatus = static_cast<int32_t>(status);
  s.queued_input = count;
  if (status != FT_OK) {
    CaptureLastError(s);
    UsbTransferFailure(s, "FT_GetQueueStatus Recive", status);
    s.CommError = true;
    return true;
  }
  if (count < 1) return true;
  count = CappedReadCount(count);
  std::string wire(count, '\0');
  uint32_t read = 0;
  status = ftdi.FT_Read(s.HandlePorta, wire.data(), count, &read);
  s.FtStatus = static_cast<int32_t>(status);
  if (status != FT_OK) CaptureLastError(s);
  AppendReceived(s, wire);
  if (status != FT_OK) {
    UsbTransferFailure(s, "FT_Read Recive", status);
    LogLine(s, "R ", BytesToHex(s.RxBuffer));
    s.CommError = true;
  }
  return true;
}

void CleanInputCom(Server& s) {
  if (!Serial(s)) {
    FtPurge(s, kFtPurgeRxTx);
    return;
  }
  if (!s.platform.ClearCommError(s.HandlePorta, s.comm_error_mask, s.queued_input)) {
    CaptureLastError(s);
    SerialCleanFailure(s, "ClearCommError Error#");
  }
  if (s.queued_input < 1) return;
  std::string discarded;
  uint32_t read = 0;
  if (!s.platform.ReadFile(s.HandlePorta, CappedReadCount(s.queued_input), discarded, read)) {
    CaptureLastError(s);
    SerialCleanFailure(s, "ReadFile CleanInputCom Error#");
  }
}

void PurgePort(Server& s) {
  if (!Serial(s)) {
    FtPurge(s, kFtPurgeTx);
    return;
  }
  if (!s.platform.PurgeComm(s.HandlePorta, kPurgeRxAbort)) {
    CaptureLastError(s);
    SerialCleanFailure(s, "PurgeComm Error#");
  }
}

}  // namespace ecub
