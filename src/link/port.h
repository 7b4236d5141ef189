// Opening, configuring and closing the serial port or the USB interface; the USB interface
// list; the recorded serial handle in Handle.ini.
#pragma once

#include <cstdint>
#include <string>

namespace ecub {

struct Server;
struct Dcb;
struct CommTimeouts;

inline constexpr const char* kHandleIniName = "Handle.ini";
// How often a close is tried before the handle is given up.
inline constexpr int kCloseAttempts = 5;

// Opens and configures the port PortaCom selects (0: the USB interface IndiceUsb). Refuses
// while HandlePorta still holds a port that could not be closed, which must not be lost.
bool ApriPorta(Server& s);
// True when the port calls go to the USB driver: the open handle's own kind, or, with no port
// open, the kind PortaCom selects.
bool PortIsUsb(const Server& s);
// Closes the open port (up to five attempts) and always refreshes the USB interface list.
bool ChiudiPorta(Server& s);
// The close attempts of ChiudiPorta alone, by the open handle's own kind.
bool CloseHeldHandle(Server& s);
// Refreshes NumUsbDevices, UsbSerialList and UsbDescList from the driver.
void RefreshUsbList(Server& s);
// Replaces the file `name` of the program folder as a whole: the contents go to a temporary
// file that is then renamed over it, so a full disk or a locked file leaves the old file
// complete instead of empty or cut. A failure is logged with its error code; false then.
bool ReplaceProgramFile(Server& s, const std::string& name, const std::string& contents);
void ScriviHandleIni(Server& s, int64_t handle);
void AzzeraHandleIni(Server& s);
// Closes a serial handle recorded in Handle.ini that this process still holds.
void FileHandleVerificaChiusura(Server& s);
// "\\.\COMn", the device name of serial port n.
std::string SerialDeviceName(int port);
// Configures an open serial handle with the line settings and time-outs (get state, get
// time-outs, set state, set time-outs) without logging. On a failure `failed_step` names the
// call ("GetCommState", "GetCommTimeouts", "SetCommState", "SetCommTimeouts") and last_dll_error
// holds its error code.
bool ConfigureSerial(Server& s, int64_t handle, std::string& failed_step);
// The same, keeping the control block and time-outs it set in `dcb` and `timeouts`.
bool ConfigureSerial(Server& s, int64_t handle, Dcb& dcb, CommTimeouts& timeouts,
                     std::string& failed_step);

// The error-code lines that follow a failed call's own log lines: "GetLastError " with the
// system's code read now (when `read_system_code` is set), then "LastDllError " with the code
// captured right after the call.
void LogLastErrors(Server& s, bool read_system_code);

}  // namespace ecub
