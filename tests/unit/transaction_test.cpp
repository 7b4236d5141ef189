#include "link/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "codec/hex.h"
#include "crypt/crypt.h"
#include "link_fixture.h"
#include "test_util.h"

namespace ecub::test {
namespace {

// The identification request without data, and the unit's plain answer to it.
const std::string kRequest = Bytes({0x41, 0x02, 0x03, 0x21, 0x61});
const std::string kAnswer = Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x60});
const std::string kRequestLog = "CMD_READ_FIRMWARE\r\nT 4102032161\r\n";
const std::string kAnswerLog = "R 440104210060\r\n";

// An answer frame 44 01 L command outcome data checksum with the XOR of all bytes 0.
std::string Answer(uint8_t command, uint8_t outcome, const std::string& data = {}) {
  std::string frame = Bytes({0x44, 0x01, static_cast<int>(data.size() + 4), command, outcome});
  frame += data;
  frame.push_back(static_cast<char>(FrameChecksum(frame)));
  return frame;
}

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// --- Frames ----------------------------------------------------------------------------------

TEST(Frame, BuildFramePutsLengthAndChecksum) {
  EXPECT_EQ(BuildFrame(0x41, 0x02, 0x21, ""), kRequest);
  EXPECT_EQ(BuildFrame(0x41, 0x02, 0x21, std::string(11, '\0')),
            Bytes({0x41, 0x02, 0x0E, 0x21}) + std::string(11, '\0') + Bytes({0x6C}));
  const std::string longest = BuildFrame(0x41, 0x02, 0x0C, std::string(252, '\x01'));
  ASSERT_EQ(longest.size(), 257u);
  EXPECT_EQ(At(longest, 2), 0xFF);
  EXPECT_EQ(FrameChecksum(longest), 0);
  // One byte more has no length byte that could describe it.
  EXPECT_EQ(BuildFrame(0x41, 0x02, 0x0C, std::string(253, '\x01')), "");
}

// --- Answer checks ---------------------------------------------------------------------------

using AnswerCheck = LinkTest;

// The checks' common cases are in the exchanges below; these are the edge cases. A short answer
// 44 01 03 <cmd> <checksum> has no data, and its checksum sits where the outcome would be.
TEST_F(AnswerCheck, LogsTheFirstFailingCheck) {
  // Name, request, answer, the "COMUNICATION ERROR:" text or nullptr when accepted.
  using Case = std::tuple<const char*, std::string, std::string, const char*>;
  for (const auto& [name, tx, rx, logged] : std::vector<Case>{
           {"AcceptedWithData", kRequest, Answer(0x21, 0x00, "DATA"), nullptr},
           {"FourBytesHaveNoOutcome", Bytes({0x41, 0x02, 0x03, 0x47, 0x07}),
            Bytes({0x44, 0x01, 0x02, 0x47}), nullptr},
           {"BadChecksumWinsOverOutcome", kRequest, Bytes({0x44, 0x01, 0x04, 0x21, 0xFE, 0x61}),
            "RX ESITO_CKSUM"},
           {"RequestTooShortForEcho", Bytes({0x41, 0x02, 0x21}), kAnswer, "ECO COMANDO"},
           {"ShortAnswerAccepted", kRequest, Bytes({0x44, 0x01, 0x03, 0x21, 0x67}), nullptr},
           {"ShortAnswerBadChecksum", kRequest, Bytes({0x44, 0x01, 0x03, 0x21, 0x66}),
            "RX ESITO_CKSUM"},
           {"EchoBelowTheCommand", kRequest, Answer(0x20, 0x00), "ECO COMANDO"},
           {"ShortAnswerChecksumFE", Bytes({0x41, 0x02, 0x03, 0xB8, 0}),
            Bytes({0x44, 0x01, 0x03, 0xB8, 0xFE}), "ESITO_EXE_ERR"},
           {"ShortAnswerChecksumFF", Bytes({0x41, 0x02, 0x03, 0xB9, 0}),
            Bytes({0x44, 0x01, 0x03, 0xB9, 0xFF}), "TX ESITO_CKSUM"}}) {
    SCOPED_TRACE(name);
    ForgetLog();
    s.TxBuffer = tx;
    s.RxBuffer = rx;
    EXPECT_EQ(CheckAnswer(s), logged == nullptr);
    EXPECT_EQ(Log(),
              logged == nullptr ? "" : std::string("0 COMUNICATION ERROR:") + logged + "\r\n");
  }
}

// --- The transaction -------------------------------------------------------------------------

// An open COM3 or USB interface whose scripted unit cuts requests of the identification
// request's size.
class Transaction : public LinkTest {
 protected:
  void SetUp() override { Open(false); }
  void Open(bool usb) {
    ASSERT_TRUE(usb ? OpenUsb() : OpenSerial());
    link.request_size = kRequest.size();
    s.LinkStatus = 1;
    ForgetLog();
    p.port_calls.clear();
  }
  void Reply(const std::string& bytes, double delay_usec = 2000) {
    link.replies.push_back({{delay_usec, bytes}});
  }
  bool Send(uint8_t poll_host = 0) { return SendCommand(s, kRequest, answer, poll_host); }
  std::string answer = "stale";
};

// What the unit answers, or a failing port call, decides the whole exchange: the answer
// returned, what went out, what is logged, how long it took, and the state it leaves.
struct Exchange {
  const char* name;
  bool usb;
  int num_resend;
  std::vector<std::string> replies;  // one per request, 2 ms after it; none left: silence
  std::string answer;                // returned; empty when the transaction fails
  std::string wire;                  // what reached the unit
  std::string log;                   // without times
  double min_usec;                   // how long it took, at least
  double max_usec;                   // and less than
  const char* failing_call = "";     // made to fail after `successes` good calls
  int successes = 0;
};

// The answer time-out and the idle pause, waited out for every attempt.
constexpr double kAttempt_usec = 4000000 + 40000;

Exchange Accepted(const char* name, bool usb, const std::string& rx) {
  return {name,  usb,  1, {rx}, rx, kRequest, kRequestLog + "R " + BytesToHex(rx) + "\r\n",
          40000, 50000};
}

// A rejected first answer is logged, then the request goes out again and the plain answer is
// taken.
Exchange Rejected(const char* name, const std::string& rx, const std::string& logged) {
  const std::string log = kRequestLog + "R " + BytesToHex(rx) + "\r\nCOMUNICATION ERROR:" + logged +
                          "\r\n" + kRequestLog + kAnswerLog;
  return {name, false, 1, {rx, kAnswer}, kAnswer, kRequest + kRequest, log, 80000, 100000};
}

// No answer: NumResend + 1 attempts (at least one), each waiting out the time-out.
Exchange Unanswered(const char* name, int num_resend, std::vector<std::string> replies = {}) {
  const int n = std::max(num_resend, 0) + 1;
  const std::string wire = Repeat(kRequest, n), log = Repeat(kRequestLog, n);
  const double least = n * kAttempt_usec, most = n * (kAttempt_usec + 10000);
  return {name, false, num_resend, std::move(replies), "", wire, log, least, most};
}

// A failing port or driver ends the transaction after one attempt, without waiting out the
// answer time-out.
Exchange Failing(const char* name, bool usb, const char* call, int successes,
                 const std::string& wire, const std::string& log) {
  return {name, usb, 10, {kAnswer}, "", wire, log, 0, 100000, call, successes};
}

class ExchangeTest : public Transaction, public ::testing::WithParamInterface<Exchange> {
 protected:
  void SetUp() override { Open(GetParam().usb); }
};

TEST_P(ExchangeTest, AnswerDecidesTheOutcome) {
  const Exchange& c = GetParam();
  s.settings.NumResend = static_cast<int16_t>(c.num_resend);
  for (const std::string& reply : c.replies) Reply(reply);
  if (*c.failing_call != '\0') p.FailCall(c.failing_call, c.successes);
  const bool ok = !c.answer.empty();
  const double start = p.NowUsec();
  EXPECT_EQ(Send(), ok);
  EXPECT_GE(p.NowUsec() - start, c.min_usec);
  EXPECT_LT(p.NowUsec() - start, c.max_usec);
  EXPECT_EQ(answer, c.answer);
  EXPECT_EQ(link.received, c.wire);  // identity tables: the frame as it is
  EXPECT_EQ(LogText(), c.log);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(s.LinkStatus, ok ? 1 : 0);
  EXPECT_EQ(link.closes, ok ? 0 : 1);
  EXPECT_EQ(s.HandlePorta, !ok ? 0 : c.usb ? 0x7000 : 0x1000);
  // No clean-up after success: the buffers keep the exchange until the next send.
  EXPECT_EQ(s.TxBuffer, ok ? kRequest : "");
  EXPECT_EQ(s.RxBuffer, c.answer);
  if (c.wire == kRequest && ok) {
    EXPECT_TRUE(p.purge_comm_flags.empty());
    EXPECT_EQ(std::count(p.port_calls.begin(), p.port_calls.end(), "FT_Purge"), 0);
  }
  if (c.wire == kRequest || !ok) return;
  // Clean-up between the attempts: the input is emptied, then pending reads are aborted, and
  // only then does the frame go out again.
  const auto purge = std::find(p.port_calls.begin(), p.port_calls.end(), "PurgeComm");
  ASSERT_TRUE(purge - p.port_calls.begin() >= 2 && p.port_calls.end() - purge >= 3);
  // The rejected answer's read, CleanInputCom finding nothing more, the purge, the next SendBytes.
  EXPECT_EQ(std::vector<std::string>(purge - 2, purge + 3),
            (std::vector<std::string>{"ReadFile", "ClearCommError", "PurgeComm", "ClearCommError",
                                      "WriteFile"}));
  EXPECT_EQ(p.purge_comm_flags, std::vector<uint32_t>{2});
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ExchangeTest,
    ::testing::Values(
        Accepted("Serial", false, kAnswer), Accepted("Usb", true, kAnswer),
        Accepted("TrailingBytesThatKeepTheChecksum", false, kAnswer + Bytes({0x55, 0x55})),
        Rejected("BadChecksum", Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x61}), "RX ESITO_CKSUM"),
        Rejected("TrailingByteInTheChecksum", kAnswer + Bytes({0x55}), "RX ESITO_CKSUM"),
        Rejected("WrongEcho", Answer(0x22, 0x00), "ECO COMANDO"),
        Rejected("NotExecuted", Answer(0x21, 0xFE), "ESITO_EXE_ERR"),
        Rejected("RequestChecksumWrong", Answer(0x21, 0xFF), "TX ESITO_CKSUM"),
        Unanswered("Silent0", 0), Unanswered("Silent2", 2), Unanswered("Silent10", 10),
        Unanswered("SilentNegative", -3),
        // An incomplete or foreign answer times out without an "R" line.
        Unanswered("IncompleteThenForeign", 1,
                   {kAnswer.substr(0, 5), Bytes({0x45, 0x01, 0x04, 0x21, 0x00, 0x61})}),
        Failing("SerialWrite", false, "WriteFile", 1, kRequest.substr(0, 1),
                "WriteFile Send\r\nlpErrors 0\r\nGetLastError 1F\r\nLastDllError 1F\r\n"
                "ERR_H 314102032161\r\n"),
        // The status call fails once sending is done, while the answer is awaited.
        Failing("SerialStatus", false, "ClearCommError", 5, kRequest,
                kRequestLog + "ClearCommError Recive \r\nlpErrors 0\r\nGetLastError 1F\r\n"
                              "LastDllError 1F\r\nClearCommError Error#0\r\nGetLastError 1F\r\n"
                              "LastDllError 1F\r\n"),
        Failing("UsbRead", true, "FT_Read", 0, kRequest,
                kRequestLog +
                    "FT_Read Recive\r\nFtStatus 12\r\nLastDllError 1F\r\nR 000000000000\r\n")),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(Transaction, AnswerVariableMayBeTheFrame) {
  Reply(kAnswer);
  std::string frame_and_answer = kRequest;
  EXPECT_TRUE(SendCommand(s, frame_and_answer, frame_and_answer, 0));
  EXPECT_EQ(link.received, kRequest);
  EXPECT_EQ(frame_and_answer, kAnswer);
}

TEST_F(Transaction, TheLargestNumResendStillEnds) {
  std::tie(s.settings.NumResend, s.settings.LOG, s.AttesaGlobaleCorrente, s.settings.Idle_usec,
           s.settings.AttesaByteTx_usec) = std::tuple(32767, false, 0, 0, 0);
  EXPECT_FALSE(Send());
  EXPECT_EQ(link.requests, 32768);
  EXPECT_EQ(s.HandlePorta, 0);
}

TEST_F(Transaction, IdlePauseDelaysTheFirstLookUnlessTheHostIsPolled) {
  Reply(kAnswer, 1000);
  double start = p.NowUsec();
  EXPECT_TRUE(Send(0));
  EXPECT_GE(p.NowUsec() - start, s.settings.Idle_usec);

  // Without polling the host pipe is left alone.
  Reply(kAnswer, 20000);
  p.HostSend(HostMsg(2), 10000);
  EXPECT_TRUE(Send(0));
  EXPECT_EQ(s.PendingMessage, "");
  // A polling transaction skips the idle pause and reads the pipe while the answer is awaited.
  Reply(kAnswer, 20000);
  start = p.NowUsec();
  EXPECT_TRUE(Send(1));
  EXPECT_LT(p.NowUsec() - start, 30000.0);
  EXPECT_EQ(s.PendingMessage, HostMsg(2));
  // A message already held is not overwritten.
  Reply(kAnswer, 20000);
  p.HostSend(HostMsg(1), 5000);
  EXPECT_TRUE(Send(1));
  EXPECT_EQ(s.PendingMessage, HostMsg(2));
}

TEST_F(Transaction, ScrambledTablesApplyOnTheWireOnly) {
  ImpostaTabelleProto(s.tables, true);
  const auto wire = [this](const std::string& plain) {
    std::string out;
    for (unsigned char b : plain) out.push_back(static_cast<char>(s.tables.TxTable[b]));
    return out;
  };
  ASSERT_NE(wire(kRequest), kRequest);
  Reply(wire(kAnswer));
  EXPECT_TRUE(Send());
  EXPECT_EQ(link.received, wire(kRequest));
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(LogText(), kRequestLog + kAnswerLog);
}

}  // namespace
}  // namespace ecub::test
