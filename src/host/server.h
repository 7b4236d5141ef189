// The one process-wide context. Every operation takes it explicitly, so a test can run a whole
// server in-process on the fake platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "platform/platform.h"
#include "service/traffic_log.h"
#include "settings/settings.h"

namespace ecub {

// Bytes read from the host pipe that do not yet form a whole message.
struct HostStream {
  std::string buffered;
  double since_usec = 0;  // when the first buffered byte of the incomplete message arrived
};

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
  std::vector<std::string> UsbSerialList;
  std::vector<std::string> UsbDescList;

  // Host link.
  std::string HostMessage;
  std::string PendingMessage;
  int32_t InstructionCode = -1;
  std::string Argument;
  HostStream host_stream;
  bool QuitRequested = false;
  double StartTime_usec = 0;
  std::string WatchedProcess;
  double WatchDue_usec = 0;
  double last_idle_work_usec = -1e300;  // when an idle pass last did work (loop pacing)

  // Identification.
  std::string IdentitaAttesa;
  std::string RispostaIdentita;
  int32_t RequestedPort = 0;

  // Clock.
  int64_t CounterFrequency = 0;

  // Byte tables and the traffic log.
  ByteTables tables;
  TrafficLog log;
};

// Path of a file in the program folder.
std::string ProgramFile(Server& s, const std::string& name);

}  // namespace ecub
