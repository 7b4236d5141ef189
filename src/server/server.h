// The one process-wide context. Every operation takes it explicitly, so a test can run a whole
// server in-process on the fake platform.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace ecub {

// Bytes read from the host pipe that do not yet form a whole message.
struct HostStream {
  std::string buffered;
  double since_usec = 0;  // when the first buffered byte of the incomplete message arrived
};

// The open traffic log RxTx.TXT.
struct TrafficLog {
  int64_t file = -1;  // open log file, -1 when none
};

// Naming: the names the system is known by (the Italian procedure and field names, the
// Windows and D2XX calls, the settings keys) are kept exactly as they are, so they can be looked
// up; everything this server adds is named in plain English, functions and types in CamelCase,
// fields in snake_case.
struct Server {
  Server(Platform& platform_in, std::string folder)
      : platform(platform_in), program_folder(std::move(folder)) {}
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  Platform& platform;
  std::string program_folder;  // without a trailing separator

  // Settings and polling messages.
  Settings settings;
  double AttesaGlobaleCorrente = 4000000;  // the answer time-out in force
  std::vector<MsgRecord> MsgTable = std::vector<MsgRecord>(1);

  // Link state carried by every reply.
  uint8_t LinkStatus = 0;
  uint8_t PollMode = 0;
  uint8_t PortaCom = 0;

  // Port state owned by the port layer.
  int32_t IndiceUsb = 0;
  int64_t HandlePorta = 0;  // 0: no port open; kInvalidHandle after a failed serial open
  // The kind of the handle in HandlePorta, fixed when it was opened: PortaCom may name another
  // port by the time the handle is used or closed (a scan sets it).
  bool open_port_is_usb = false;
  int64_t FtStatus = 0;  // result of the last D2XX or close call
  int32_t NumUsbDevices = 0;
  std::vector<std::string> UsbSerialList;
  std::vector<std::string> UsbDescList;
  Dcb dcb;
  CommTimeouts timeouts;
  // Serial handles this process opened and still holds: a handle recorded in Handle.ini is
  // closed only when it is one of these, never a number an earlier run left behind.
  std::set<int64_t> held_serial_handles;
  uint32_t last_dll_error = 0;   // last-error code captured right after the last failing call
  uint32_t comm_error_mask = 0;  // error mask of the last ClearCommError
  uint32_t queued_input = 0;     // input-queue count of the last ClearCommError / queue status

  // Command transaction.
  std::string TxBuffer;
  std::string RxBuffer;
  bool CommError = false;
  int32_t SendCount = 0;  // wider than the settings' 16 bits so NumResend 32767 still ends
  double AnswerDeadline = 0;

  // Host link.
  std::string HostMessage;
  std::string PendingMessage;
  int32_t instruction_code = -1;
  std::string Argument;
  HostStream host_stream;
  bool QuitRequested = false;
  // Set while the status form is shown: it can still drive the server after the host input ended.
  bool StatusFormShown = false;
  double StartTime_usec = 0;
  std::string WatchedProcess;
  double WatchDue_usec = 0;
  double last_idle_work_usec = -1e300;  // when an idle pass last did work (loop pacing)
  int32_t CyclicIndex = 0;              // the record cyclic polling looks at next

  // Identification.
  std::string IdentitaAttesa;
  std::string RispostaIdentita;
  int32_t RequestedPort = 0;

  // Clock.
  int64_t counter_frequency = 0;
  // Set once the performance counter could not be read: from then on the clock runs on the
  // tick count, continued from the last counter reading, so that waits and time-outs still end
  // and readings never go back.
  bool clock_on_tick_count = false;
  double tick_count_offset_usec = 0;
  double last_counter_usec = 0;

  // Byte tables and the traffic log.
  ByteTables tables;
  TrafficLog log;
};

// Path of a file in the program folder.
std::string ProgramFile(Server& s, const std::string& name);

// Loads the settings file at `path` into the settings record and MsgTable; no port is chosen
// afterwards and the answer time-out in force is the loaded one. False when the file does not
// exist.
bool LoadServerSettings(Server& s, const std::string& path);

}  // namespace ecub
