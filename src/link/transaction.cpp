#include "link/transaction.h"

#include <cstdint>
#include <string>

#include "codec/hex.h"
#include "link/byte_io.h"
#include "link/pipe_poll.h"
#include "link/port.h"
#include "server/clock.h"
#include "server/server.h"
#include "server/traffic_log.h"

namespace ecub {

namespace {

// The length byte counts the bytes from itself through the checksum: data + 3.
constexpr size_t kMaxFrameData = 255 - 3;

constexpr uint8_t kAnswerStartD = 0x44;
constexpr uint8_t kAnswerStartB = 0x42;
constexpr uint8_t kAnswerSecond = 0x01;
constexpr size_t kCommandOffset = 3;
constexpr size_t kOutcomeOffset = 4;
constexpr uint8_t kOutcomeExecFailed = 0xFE;
constexpr uint8_t kOutcomeBadRequestChecksum = 0xFF;

// How often the receive loop looks at the port while an answer is outstanding.
constexpr double kReceivePoll_usec = 5000;

bool Rejected(Server& s, const char* reason) {
  LogLine(s, "COMUNICATION ERROR:", reason);
  return false;
}

// Waits for the next look at the port; wakes early when bytes arrive where the platform can
// tell, so a fast unit is not held up by the poll interval.
// In a polling transaction it also wakes for the host, which is then served at once.
void WaitForInput(Server& s, bool host_too) {
  const bool usb = PortIsUsb(s);
  const bool waited = host_too
                          ? s.platform.WaitPortOrHostInput(s.HandlePorta, usb, kReceivePoll_usec)
                          : s.platform.WaitPortInput(s.HandlePorta, usb, kReceivePoll_usec);
  if (!waited) WaitMicroseconds(s, kReceivePoll_usec);
}

// The receive loop of one attempt; true when a checked answer is in RxBuffer.
bool AwaitAnswer(Server& s, uint8_t poll_host) {
  while (true) {
    if (TimerApi_uSec(s) > s.AnswerDeadline) return false;
    if (s.CommError) return false;
    ReceiveBytes(s);
    if (s.CommError) return false;
    if (!FrameComplete(s.RxBuffer)) {
      // A host message already held for the main loop must not be overwritten by the next.
      const bool serve_host = poll_host != 0 && s.PendingMessage.empty();
      WaitForInput(s, serve_host);
      if (serve_host) ControllaRispondiPipe(s);
      continue;
    }
    if (s.settings.LOG) LogLine(s, "R ", BytesToHex(s.RxBuffer));
    return CheckAnswer(s);
  }
}

}  // namespace

uint8_t FrameChecksum(const std::string& bytes) {
  uint8_t sum = 0;
  for (unsigned char b : bytes) sum ^= b;
  return sum;
}

std::string BuildFrame(uint8_t start, uint8_t second, uint8_t command, const std::string& data) {
  // A longer data part has no length byte that describes it; no frame beats a wrong one.
  if (data.size() > kMaxFrameData) return {};
  std::string frame;
  frame.reserve(data.size() + 5);
  frame.push_back(static_cast<char>(start));
  frame.push_back(static_cast<char>(second));
  frame.push_back(static_cast<char>(data.size() + 3));
  frame.push_back(static_cast<char>(command));
  frame += data;
  frame.push_back(static_cast<char>(FrameChecksum(frame)));
  return frame;
}

bool FrameComplete(const std::string& rx) {
  const uint8_t start = ByteAt(rx, 0);
  return (start == kAnswerStartD || start == kAnswerStartB) && ByteAt(rx, 1) == kAnswerSecond &&
         rx.size() > 2 && rx.size() >= static_cast<size_t>(ByteAt(rx, 2)) + 2;
}

bool CheckAnswer(Server& s) {
  const std::string& rx = s.RxBuffer;
  const std::string& tx = s.TxBuffer;
  if (FrameChecksum(rx) != 0) return Rejected(s, "RX ESITO_CKSUM");
  if (rx.size() <= kCommandOffset || tx.size() <= kCommandOffset ||
      rx[kCommandOffset] != tx[kCommandOffset]) {
    return Rejected(s, "ECO COMANDO");
  }
  // Without data an answer may end at the outcome byte's place; whatever stands there is read
  // as the outcome.
  if (rx.size() > kOutcomeOffset) {
    const uint8_t outcome = ByteAt(rx, kOutcomeOffset);
    if (outcome == kOutcomeExecFailed) return Rejected(s, "ESITO_EXE_ERR");
    if (outcome == kOutcomeBadRequestChecksum) return Rejected(s, "TX ESITO_CKSUM");
  }
  return true;
}

bool SendCommand(Server& s, const std::string& frame, std::string& answer, uint8_t poll_host) {
  // A copy, so a caller may pass one of the transaction buffers or its answer variable as the
  // frame without it being emptied under the retries.
  const std::string request = frame;
  s.SendCount = 0;
  answer.clear();
  // The counter is wider than the setting, so even the largest NumResend is passed and the
  // retries end.
  const int32_t num_resend = s.settings.NumResend;
  while (true) {
    SendBytes(s, request);
    s.AnswerDeadline = TimerApi_uSec(s) + s.AttesaGlobaleCorrente + s.settings.Idle_usec;
    if (poll_host == 0) WaitMicroseconds(s, s.settings.Idle_usec);
    if (AwaitAnswer(s, poll_host)) {
      answer = s.RxBuffer;
      return true;
    }
    // Leave nothing of this attempt behind for the next one.
    CleanInputCom(s);
    s.RxBuffer.clear();
    PurgePort(s);
    s.TxBuffer.clear();
    // A failing port or driver will fail again; retrying would only repeat the log lines.
    if (s.CommError) {
      s.CommError = false;
      s.SendCount = num_resend;
    }
    ++s.SendCount;
    if (s.SendCount > num_resend) break;
  }
  answer.clear();
  s.LinkStatus = 0;
  ChiudiPorta(s);
  return false;
}

}  // namespace ecub
