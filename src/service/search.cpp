#include "service/search.h"

#include <vector>

#include "codec/hex.h"
#include "link/byte_io.h"
#include "link/host_link.h"
#include "link/port.h"
#include "link/transaction.h"
#include "server/clock.h"
#include "server/server.h"

namespace ecub {

namespace {

constexpr uint8_t kReadFirmware = 0x21;
constexpr size_t kIdentSkip = 12;

// Sets the next due time of every timed message, counted from now.
void ScheduleTimedMessages(Server& s) {
  for (MsgRecord& r : s.MsgTable) {
    if (r.MsgTimed) {
      r.MsgNextDue_usec = TimerApi_uSec(s) + static_cast<double>(int64_t{r.MsgPeriod_ms} * 1000);
    }
  }
}

// The port found the unit: record it, and start the polling messages unless the unit gave
// the short answer (which turns automatic polling off).
void UnitFound(Server& s) {
  // The unit stays found when the file cannot be written; the failure is in the log.
  ReplaceProgramFile(s, kPortComIniName, std::to_string(s.PortaCom) + "\r\n");
  if (IsShortAnswer(s.RispostaIdentita)) {
    s.PollMode = 2;
    return;
  }
  for (MsgRecord& r : s.MsgTable) {
    if (!r.MsgTimed) continue;
    const std::string request = r.MsgRequest;
    std::string answer;
    if (SendCommand(s, request, answer, 0)) ScomponiMessaggio(s, request, answer);
  }
  ScheduleTimedMessages(s);
}

// A probed port whose close fails would stay held by this process, and no later open of it
// could succeed: the close is tried as often as ChiudiPorta tries.
void CloseProbe(Platform& p, int64_t handle) {
  for (int attempt = 0; attempt < kCloseAttempts; ++attempt) {
    if (p.CloseHandle(handle)) return;
  }
}

}  // namespace

std::string IdentityRequest(const Server& s) {
  const size_t zeros = s.settings.CRIPT_PROTO == 2 ? 11 : 54;
  return BuildFrame(0x41, 0x02, kReadFirmware, std::string(zeros, '\0'));
}

std::array<std::string, 4> IdentityFields(const std::string& bytes) {
  std::array<std::string, 4> fields;
  if (bytes.size() <= kIdentSkip) return fields;
  size_t field = 0;
  for (size_t i = kIdentSkip; i < bytes.size() && field < fields.size(); ++i) {
    if (bytes[i] == ' ') {
      ++field;
    } else {
      fields[field] += bytes[i];
    }
  }
  return fields;
}

bool IsShortAnswer(const std::string& answer) {
  return answer.size() == 6 &&
         answer.substr(0, 4) + std::string(2, '\0') == HexToBytes("420104210000");
}

bool IdentMatches(const std::string& answer, const std::string& expected) {
  const auto got = IdentityFields(answer);
  const auto want = IdentityFields(expected);
  const bool fields_match = got[1] == want[1] && got[2] == want[2] && !got[1].empty() &&
                            !got[2].empty() && !want[1].empty() && !want[2].empty();
  return fields_match || IsShortAnswer(answer);
}

int32_t Connetti(Server& s) {
  ChiudiPorta(s);
  s.IndiceUsb = 0;
  s.PortaCom = static_cast<uint8_t>(s.RequestedPort);
  const int16_t num_resend = s.settings.NumResend;
  s.settings.NumResend = 2;
  int32_t result = 0;
  for (;;) {
    if (!ApriPorta(s)) {
      ChiudiPorta(s);
    } else if (!SendCommand(s, IdentityRequest(s), s.RispostaIdentita, 0)) {
      ChiudiPorta(s);
    } else if (IdentMatches(s.RispostaIdentita, s.IdentitaAttesa)) {
      result = 1;
      UnitFound(s);
      break;
    } else {
      ChiudiPorta(s);
    }
    if (s.PortaCom != 0 || s.IndiceUsb >= s.NumUsbDevices - 1) break;
    ++s.IndiceUsb;
  }
  s.settings.NumResend = num_resend;
  s.AttesaGlobaleCorrente = s.settings.AttesaGlobale_usec;
  return result;
}

int32_t ScansionaCom(Server& s, const std::string& expected, std::string& answer) {
  answer.clear();
  int32_t result = -1;
  const std::string request = IdentityRequest(s);
  Platform& p = s.platform;

  struct Probe {
    int port;
    int64_t handle;
  };
  std::vector<Probe> probes;
  for (int n = 1; n <= kScanLastPort; ++n) {
    const int64_t handle = p.OpenSerial(SerialDeviceName(n));
    if (handle == kInvalidHandle || handle < 0) continue;
    std::string failed_step;
    bool ok = ConfigureSerial(s, handle, failed_step);
    uint32_t errors = 0;
    uint32_t queued = 0;
    if (ok) ok = p.ClearCommError(handle, errors, queued);
    if (ok && queued > 0) {
      std::string stale;
      uint32_t read = 0;
      ok = p.ReadFile(handle, CappedReadCount(queued), stale, read);
    }
    if (ok) {
      probes.push_back({n, handle});
    } else {
      CloseProbe(p, handle);
    }
  }

  for (const Probe& probe : probes) {
    for (char c : request) {
      uint32_t written = 0;
      p.WriteFile(probe.handle,
                  std::string(1, static_cast<char>(s.tables.TxTable[static_cast<uint8_t>(c)])),
                  written);
      WaitMicroseconds(s, s.settings.AttesaByteTx_usec);
    }
  }
  WaitMicroseconds(s, s.settings.AttesaGlobale_usec);

  for (const Probe& probe : probes) {
    uint32_t errors = 0;
    uint32_t queued = 0;
    if (!p.ClearCommError(probe.handle, errors, queued) || queued == 0) continue;
    std::string bytes;
    uint32_t read = 0;
    p.ReadFile(probe.handle, CappedReadCount(queued), bytes, read);
    for (char& c : bytes) c = static_cast<char>(s.tables.RxTable[static_cast<uint8_t>(c)]);
    if (IdentMatches(bytes, expected)) {
      result = probe.port;
      answer = bytes;
      break;
    }
  }

  for (const Probe& probe : probes) CloseProbe(p, probe.handle);
  return result;
}

}  // namespace ecub
