#include "link/port.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "codec/hex.h"
#include "server/clock.h"
#include "server/server.h"
#include "server/traffic_log.h"

namespace ecub {

namespace {

// The driver writes each list text as a zero-terminated string into a buffer of this size.
constexpr size_t kListBufferSize = 129;
using ListBuffer = std::array<char, kListBufferSize>;

constexpr uint32_t kListDescriptionFlags = FT_LIST_BY_INDEX | FT_OPEN_BY_DESCRIPTION;
constexpr uint32_t kListSerialFlags = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;
// The driver is often still settling right after a device was closed or plugged in, so a
// failed query is retried for about two seconds before the entry is given up.
constexpr int kListAttempts = 21;
constexpr double kListRetryPause_usec = 100000;
constexpr size_t kSerialWidth = 8;
constexpr size_t kDescriptionWidth = 20;
// A USB bus holds at most 127 devices; a larger count is a driver fault and must not make the
// refresh allocate or query without bound.
constexpr int32_t kMaxUsbDevices = 127;

// A file is written under this suffix first and then renamed over the real name.
constexpr const char* kTemporarySuffix = ".tmp";

// Serial time-outs (ms): a read returns as soon as the line pauses for 5 ms, so a read of the
// queued count never waits; a write of n bytes gives up after 5 n + 50 ms.
constexpr CommTimeouts kSerialTimeouts{5, 0, 0, 5, 50};

// USB line settings beyond speed and format.
constexpr uint32_t kUsbReadTimeout_ms = 50;
constexpr uint32_t kUsbWriteTimeout_ms = 50;
constexpr uint8_t kUsbEventChar = 126;

std::string Decimal(FtResult status) {
  return std::to_string(static_cast<int32_t>(status));
}

// The text in a driver buffer up to its zero byte, blank-padded or cut to `width`.
std::string ListEntry(const ListBuffer& buffer, size_t width) {
  const auto end = std::find(buffer.begin(), buffer.end(), '\0');
  std::string text(buffer.begin(), end);
  text.resize(width, ' ');
  return text;
}

void* DeviceIndexArg(int32_t index) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(index));
}

// Queries description and serial number of one interface; true when both queries succeeded.
bool QueryUsbEntry(Server& s, int32_t index, ListBuffer& description, ListBuffer& serial) {
  D2xx& ftdi = s.platform.Ftdi();
  FtResult status =
      ftdi.FT_ListDevices(DeviceIndexArg(index), description.data(), kListDescriptionFlags);
  if (status != FT_OK) {
    LogLine(s, "FT_ListDevices Error#", Decimal(status));
    description.fill('\0');
    return false;
  }
  status = ftdi.FT_ListDevices(DeviceIndexArg(index), serial.data(), kListSerialFlags);
  if (status != FT_OK) {
    LogLine(s, "FT_ListDevices Error#", Decimal(status));
    serial.fill('\0');
    return false;
  }
  return true;
}

// The driver hands a partly filled receive buffer over only when its latency timer runs out
// (16 ms unless told otherwise), which would delay every short answer by that much. The call is
// optional: an older driver without it, or a device that refuses the value, only costs speed, so
// it is logged and the open goes on. It leaves FtStatus alone for the same reason.
void SetUsbLatencyTimer(Server& s) {
  const uint8_t latency_ms = s.settings.LatencyTimer_ms;
  if (latency_ms == 0) return;  // keep the driver's own value
  const FtResult status = s.platform.Ftdi().FT_SetLatencyTimer(s.HandlePorta, latency_ms);
  if (status != FT_OK) LogLine(s, "FT_SetLatencyTimer Error#", Decimal(status));
}

bool OpenUsbPort(Server& s) {
  LogLine(s, "APERTURA ", "[USB ID" + std::to_string(s.IndiceUsb) + "]");
  D2xx& ftdi = s.platform.Ftdi();
  // Each step reports its status; the first failure ends the open and leaves the device as it
  // is, for the caller's ChiudiPorta.
  const auto step = [&s](FtResult status, const char* label) {
    s.FtStatus = static_cast<int32_t>(status);
    if (status == FT_OK) return true;
    LogLine(s, label, Decimal(status));
    return false;
  };
  // The driver writes its out-handle even when the open fails, so it is taken only on success.
  int64_t handle = 0;
  if (!step(ftdi.FT_Open(static_cast<int16_t>(s.IndiceUsb), &handle), "FT_Open Error#")) {
    return false;
  }
  s.HandlePorta = handle;
  s.open_port_is_usb = true;
  const Settings& cfg = s.settings;
  const bool configured =
      step(ftdi.FT_SetBaudRate(s.HandlePorta, static_cast<uint32_t>(cfg.BaudRate)),
           "FT_SetBaudRate Error#") &&
      step(ftdi.FT_SetDataCharacteristics(s.HandlePorta, cfg.Bit, cfg.StopBit, cfg.Parity),
           "FT_SetDataCharacteristics Error#") &&
      step(ftdi.FT_SetFlowControl(s.HandlePorta, 0, 0, 0), "FT_SetFlowControl Error#") &&
      step(ftdi.FT_SetTimeouts(s.HandlePorta, kUsbReadTimeout_ms, kUsbWriteTimeout_ms),
           "FT_SetTimeouts Error#") &&
      step(ftdi.FT_SetChars(s.HandlePorta, kUsbEventChar, 0, 0, 0), "FT_SetChars Error#");
  if (configured) SetUsbLatencyTimer(s);
  return configured;
}

bool OpenSerialPort(Server& s) {
  const std::string number = std::to_string(s.PortaCom);
  LogLine(s, "APERTURA ", "[COM" + number + "]");
  s.HandlePorta = s.platform.OpenSerial(SerialDeviceName(s.PortaCom));
  s.open_port_is_usb = false;
  if (s.HandlePorta < 0) {
    s.last_dll_error = s.platform.GetLastError();
    LogLine(s, "CreateFile Error#", std::to_string(s.HandlePorta));
    LogLastErrors(s, true);
    // The port may still be held through a handle an earlier open of ours left behind;
    // releasing it lets the next open succeed.
    FileHandleVerificaChiusura(s);
    return false;
  }
  s.held_serial_handles.insert(s.HandlePorta);
  ScriviHandleIni(s, s.HandlePorta);

  std::string failed_step;
  if (ConfigureSerial(s, s.HandlePorta, s.dcb, s.timeouts, failed_step)) return true;
  // The time-out labels carry an extra blank, which log readers match on.
  const std::string label = failed_step == "SetCommTimeouts" ? "SetCommTimeouts " : failed_step;
  LogLine(s, label + " Error#", "0");
  LogLine(s, label + " HandlePorta#", std::to_string(s.HandlePorta));
  LogLastErrors(s, true);
  return false;
}

// The first field of Handle.ini: up to the first comma or line end, without blanks around it.
std::string FirstField(const std::string& contents) {
  const size_t end = contents.find_first_of(",\r\n");
  std::string field = contents.substr(0, end);
  const size_t first = field.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = field.find_last_not_of(' ');
  return field.substr(first, last - first + 1);
}

// A plain decimal integer with an optional sign; false for anything else or a value too large
// to be a handle.
bool ParseHandle(const std::string& text, int64_t& value) {
  size_t pos = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    pos = 1;
  }
  if (pos == text.size() || text.size() - pos > 18) return false;
  int64_t result = 0;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return false;
    result = result * 10 + (text[pos] - '0');
  }
  value = negative ? -result : result;
  return true;
}

}  // namespace

std::string SerialDeviceName(int port) {
  // The "\\.\" form is the only one that reaches ports above COM9, so every port uses it.
  return "\\\\.\\COM" + std::to_string(port);
}

bool ConfigureSerial(Server& s, int64_t handle, Dcb& dcb, CommTimeouts& timeouts,
                     std::string& failed_step) {
  Platform& p = s.platform;
  const auto failed = [&](const char* call) {
    s.last_dll_error = p.GetLastError();
    failed_step = call;
    return false;
  };
  if (handle < 0 || !p.GetCommState(handle, dcb)) return failed("GetCommState");
  if (!p.GetCommTimeouts(handle, timeouts)) return failed("GetCommTimeouts");
  timeouts = kSerialTimeouts;
  const Settings& cfg = s.settings;
  dcb.BaudRate = static_cast<uint32_t>(cfg.BaudRate);
  dcb.Parity = cfg.Parity;
  dcb.ByteSize = cfg.Bit;
  dcb.StopBits = cfg.StopBit;
  // A flag word of 0 means "keep the driver's flags", so only a configured word replaces them.
  if (cfg.DCB_fBitFields != 0) dcb.fBitFields = static_cast<uint32_t>(cfg.DCB_fBitFields);
  if (!p.SetCommState(handle, dcb)) return failed("SetCommState");
  if (!p.SetCommTimeouts(handle, timeouts)) return failed("SetCommTimeouts");
  failed_step.clear();
  return true;
}

bool ConfigureSerial(Server& s, int64_t handle, std::string& failed_step) {
  Dcb dcb;
  CommTimeouts timeouts;
  return ConfigureSerial(s, handle, dcb, timeouts, failed_step);
}

bool PortIsUsb(const Server& s) {
  return s.HandlePorta != 0 ? s.open_port_is_usb : s.PortaCom == 0;
}

bool ApriPorta(Server& s) {
  // A handle that failed to close still holds its port; opening over it would orphan it until
  // the process ends. It is released here if it now can be, and this open fails, as an open
  // that had to release a leftover handle does; the next one starts clean.
  if (s.HandlePorta != 0 && s.HandlePorta != kInvalidHandle) {
    CloseHeldHandle(s);
    return false;
  }
  return s.PortaCom == 0 ? OpenUsbPort(s) : OpenSerialPort(s);
}

bool ChiudiPorta(Server& s) {
  const bool closed = CloseHeldHandle(s);
  RefreshUsbList(s);
  return closed;
}

bool CloseHeldHandle(Server& s) {
  bool closed = false;
  const bool usb = PortIsUsb(s);
  for (int attempt = 0; attempt < kCloseAttempts && s.HandlePorta != 0; ++attempt) {
    bool ok;
    if (usb) {
      const FtResult status = s.platform.Ftdi().FT_Close(s.HandlePorta);
      s.FtStatus = static_cast<int32_t>(status);
      ok = status == FT_OK;
    } else {
      ok = s.platform.CloseHandle(s.HandlePorta);
      s.FtStatus = ok ? 1 : 0;
    }
    if (ok) {
      if (!usb) s.held_serial_handles.erase(s.HandlePorta);
      s.HandlePorta = 0;
      AzzeraHandleIni(s);
      closed = true;
      break;
    }
    s.last_dll_error = s.platform.GetLastError();
    LogLine(s, usb ? "FT_Close Error#" : "CloseHandle Error#", std::to_string(s.FtStatus));
    LogLastErrors(s, false);
  }
  return closed;
}

void RefreshUsbList(Server& s) {
  D2xx& ftdi = s.platform.Ftdi();
  uint32_t count = static_cast<uint32_t>(s.NumUsbDevices);
  char scratch[1] = {0};
  const FtResult status = ftdi.FT_ListDevices(&count, scratch, FT_LIST_NUMBER_ONLY);
  if (status != FT_OK) {
    LogLine(s, "FT_GetNumDevices Error#", Decimal(status));
    count = 0;
  }
  s.NumUsbDevices = std::min(static_cast<int32_t>(count), kMaxUsbDevices);
  if (s.NumUsbDevices <= 0) {
    s.UsbSerialList.assign(1, std::string());
    s.UsbDescList.assign(1, std::string());
    return;
  }
  const size_t n = static_cast<size_t>(s.NumUsbDevices);
  s.UsbSerialList.assign(n, std::string());
  s.UsbDescList.assign(n, std::string());
  ListBuffer description{};
  ListBuffer serial{};
  for (int32_t index = 0; index < s.NumUsbDevices; ++index) {
    for (int attempt = 0; attempt < kListAttempts; ++attempt) {
      if (QueryUsbEntry(s, index, description, serial)) {
        const size_t i = static_cast<size_t>(index);
        s.UsbSerialList[i] = ListEntry(serial, kSerialWidth);
        s.UsbDescList[i] = ListEntry(description, kDescriptionWidth);
        break;
      }
      WaitMicroseconds(s, kListRetryPause_usec);
    }
  }
}

bool ReplaceProgramFile(Server& s, const std::string& name, const std::string& contents) {
  Platform& p = s.platform;
  const std::string path = ProgramFile(s, name);
  const std::string temporary = path + kTemporarySuffix;
  const char* failed = nullptr;
  if (!p.WriteWholeFile(temporary, contents)) {
    failed = "WriteFile Error#";
  } else if (!p.MoveFileReplace(temporary, path)) {
    failed = "MoveFileEx Error#";
  } else {
    return true;
  }
  s.last_dll_error = p.GetLastError();
  LogLine(s, failed, name);
  LogLastErrors(s, true);
  SayCannotWrite(s, name);
  return false;
}

void ScriviHandleIni(Server& s, int64_t handle) {
  ReplaceProgramFile(s, kHandleIniName, std::to_string(handle) + "\r\n");
}

void AzzeraHandleIni(Server& s) {
  if (!FileExist(s.platform, ProgramFile(s, kHandleIniName))) return;
  ReplaceProgramFile(s, kHandleIniName, "\r\n");
}

void FileHandleVerificaChiusura(Server& s) {
  const std::string path = ProgramFile(s, kHandleIniName);
  if (!FileExist(s.platform, path)) return;
  std::string contents;
  if (!s.platform.ReadWholeFile(path, contents)) {
    s.platform.ShowMessage("FileHandleVerificaChiusura: Handle.ini could not be read", "ecubridge");
    return;
  }
  int64_t handle = 0;
  if (!ParseHandle(FirstField(contents), handle) || handle <= 0) return;
  // The number may come from an earlier run of the server and now name an unrelated handle
  // (the log, a pipe), so only a port handle this process opened and still holds is closed.
  // Any other number is stale: it is dropped from the file without a close.
  if (s.held_serial_handles.count(handle) == 0) {
    AzzeraHandleIni(s);
    return;
  }
  if (s.platform.CloseHandle(handle)) {
    s.held_serial_handles.erase(handle);
    AzzeraHandleIni(s);
  }
}

void LogLastErrors(Server& s, bool read_system_code) {
  if (read_system_code) LogLine(s, "GetLastError ", HexNoPad(s.platform.GetLastError()));
  LogLine(s, "LastDllError ", HexNoPad(s.last_dll_error));
}

}  // namespace ecub
