#include "protocol/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "link_fixture.h"
#include "protocol/hex.h"
#include "test_util.h"

namespace ecub {
namespace {

using test::Bytes;
using test::HostMsg;
using test::LinkTest;
using test::ScriptedLink;

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
  EXPECT_EQ(test::At(longest, 2), 0xFF);
  EXPECT_EQ(FrameChecksum(longest), 0);
  // One byte more has no length byte that could describe it.
  EXPECT_EQ(BuildFrame(0x41, 0x02, 0x0C, std::string(253, '\x01')), "");
}

TEST(Frame, CompleteOnceTheLengthByteIsCovered) {
  for (const std::string& bytes : {kAnswer, kAnswer + Bytes({0x55}), Bytes({0x42, 0x01, 0x00})}) {
    EXPECT_TRUE(FrameComplete(bytes)) << BytesToHex(bytes);  // 'B' start, length 0: 3 bytes
  }
  // A wrong first or second byte never completes, however long the buffer gets.
  for (const std::string& bytes :
       {std::string(), Bytes({0x44}), Bytes({0x44, 0x01}), kAnswer.substr(0, 5),
        Bytes({0x41, 0x01, 0x04, 0x21, 0x00, 0x60, 0, 0}),
        Bytes({0x44, 0x02, 0x04, 0x21, 0x00, 0x60, 0, 0})}) {
    EXPECT_FALSE(FrameComplete(bytes)) << BytesToHex(bytes);
  }
}

// --- Answer checks ---------------------------------------------------------------------------

// 44 01 03 <cmd> <checksum>: without data the checksum sits where the outcome would be.
std::string ShortAnswer(uint8_t command) {
  std::string frame = Bytes({0x44, 0x01, 0x03, command});
  frame.push_back(static_cast<char>(FrameChecksum(frame)));
  return frame;
}

using AnswerCheck = LinkTest;

TEST_F(AnswerCheck, LogsTheFirstFailingCheck) {
  struct Case {
    const char* name;
    std::string tx;
    std::string rx;
    const char* logged;  // the "COMUNICATION ERROR:" text, or nullptr when accepted
  };
  for (const Case& c : std::vector<Case>{
           {"Accepted", kRequest, kAnswer, nullptr},
           {"AcceptedWithData", kRequest, Answer(0x21, 0x00, "DATA"), nullptr},
           {"FourBytesHaveNoOutcome", Bytes({0x41, 0x02, 0x03, 0x47, 0x07}),
            Bytes({0x44, 0x01, 0x02, 0x47}), nullptr},
           {"BadChecksum", kRequest, Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x61}), "RX ESITO_CKSUM"},
           {"BadChecksumWinsOverOutcome", kRequest, Bytes({0x44, 0x01, 0x04, 0x21, 0xFE, 0x61}),
            "RX ESITO_CKSUM"},
           {"WrongEcho", kRequest, Answer(0x22, 0x00), "ECO COMANDO"},
           {"RequestTooShortForEcho", Bytes({0x41, 0x02, 0x21}), kAnswer, "ECO COMANDO"},
           {"NotExecuted", kRequest, Answer(0x21, 0xFE), "ESITO_EXE_ERR"},
           {"RequestChecksumWrong", kRequest, Answer(0x21, 0xFF, "X"), "TX ESITO_CKSUM"},
           {"ShortAnswerAccepted", kRequest, ShortAnswer(0x21), nullptr},
           {"ShortAnswerChecksumFE", Bytes({0x41, 0x02, 0x03, 0xB8, 0}), ShortAnswer(0xB8),
            "ESITO_EXE_ERR"},
           {"ShortAnswerChecksumFF", Bytes({0x41, 0x02, 0x03, 0xB9, 0}), ShortAnswer(0xB9),
            "TX ESITO_CKSUM"}}) {
    SCOPED_TRACE(c.name);
    ForgetLog();
    s.TxBuffer = c.tx;
    s.RxBuffer = c.rx;
    EXPECT_EQ(CheckAnswer(s), c.logged == nullptr);
    EXPECT_EQ(Log(),
              c.logged == nullptr ? "" : std::string("0 COMUNICATION ERROR:") + c.logged + "\r\n");
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
  void Reply(ScriptedLink::Reply reply) { link.replies.push_back(std::move(reply)); }
  void Reply(const std::string& bytes, double delay_usec = 2000) {
    link.replies.push_back({{delay_usec, bytes}});
  }
  bool Send(uint8_t poll_host = 0) { return SendCommand(s, kRequest, answer, poll_host); }
  std::string answer = "stale";
};

class EitherPort : public Transaction, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { Open(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(SerialAndUsb, EitherPort, ::testing::Bool(),
                         [](const auto& tp) { return tp.param ? "Usb" : "Serial"; });

TEST_P(EitherPort, CheckedAnswerIsReturnedOnTheFirstAttempt) {
  Reply(kAnswer);
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(link.received, kRequest);  // identity tables: the frame as it is
  EXPECT_EQ(LogText(), kRequestLog + kAnswerLog);
  EXPECT_EQ(s.LinkStatus, 1);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(s.HandlePorta, GetParam() ? 0x7000 : 0x1000);
  // No clean-up after success: the buffers keep the exchange until the next send.
  EXPECT_EQ(s.TxBuffer, kRequest);
  EXPECT_EQ(s.RxBuffer, kAnswer);
  EXPECT_TRUE(p.purge_comm_flags.empty());
  EXPECT_EQ(std::count(p.port_calls.begin(), p.port_calls.end(), "FT_Purge"), 0);
}

TEST_F(Transaction, PiecesAreJoinedAndTrailingBytesReturned) {
  // The idle pause is 40 ms, so the first two pieces are read together, the last later.
  Reply({{1000, kAnswer.substr(0, 2)}, {20000, kAnswer.substr(2, 1)}, {60000, kAnswer.substr(3)}});
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(p.read_counts, (std::vector<uint32_t>{3, 3}));
  EXPECT_EQ(LogText(), kRequestLog + kAnswerLog);

  ForgetLog();
  Reply(kAnswer + Bytes({0x55, 0x55}));  // still XORs to zero
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer + Bytes({0x55, 0x55}));
  EXPECT_EQ(LogText(), kRequestLog + "R 4401042100605555\r\n");
}

TEST_F(Transaction, AnswerVariableMayBeTheFrame) {
  Reply(kAnswer);
  std::string frame_and_answer = kRequest;
  EXPECT_TRUE(SendCommand(s, frame_and_answer, frame_and_answer, 0));
  EXPECT_EQ(link.received, kRequest);
  EXPECT_EQ(frame_and_answer, kAnswer);
}

struct Rejection {
  const char* name;
  std::string answer;
  const char* logged;
};

class RejectedAnswer : public Transaction, public ::testing::WithParamInterface<Rejection> {};

TEST_P(RejectedAnswer, IsLoggedCleanedUpAndSentAgain) {
  const Rejection& r = GetParam();
  Reply(r.answer);
  Reply(kAnswer);
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(link.received, kRequest + kRequest);
  EXPECT_EQ(LogText(), kRequestLog + "R " + BytesToHex(r.answer) + "\r\nCOMUNICATION ERROR:" +
                           r.logged + "\r\n" + kRequestLog + kAnswerLog);
  // Clean-up between the attempts: the input is emptied, then pending reads are aborted, and
  // only then does the frame go out again.
  const auto purge = std::find(p.port_calls.begin(), p.port_calls.end(), "PurgeComm");
  ASSERT_NE(purge, p.port_calls.end());
  ASSERT_GE(purge - p.port_calls.begin(), 2);
  EXPECT_EQ(*(purge - 2), "ReadFile");        // the rejected answer
  EXPECT_EQ(*(purge - 1), "ClearCommError");  // CleanInputCom finds nothing more
  EXPECT_EQ(*(purge + 1), "ClearCommError");  // the next SendBytes
  EXPECT_EQ(*(purge + 2), "WriteFile");
  EXPECT_EQ(p.purge_comm_flags, std::vector<uint32_t>{2});
}

INSTANTIATE_TEST_SUITE_P(
    EachCheck, RejectedAnswer,
    ::testing::Values(
        Rejection{"BadChecksum", Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x61}), "RX ESITO_CKSUM"},
        Rejection{"TrailingByteInTheChecksum", kAnswer + Bytes({0x55}), "RX ESITO_CKSUM"},
        Rejection{"WrongEcho", Answer(0x22, 0x00), "ECO COMANDO"},
        Rejection{"NotExecuted", Answer(0x21, 0xFE), "ESITO_EXE_ERR"},
        Rejection{"RequestChecksumWrong", Answer(0x21, 0xFF), "TX ESITO_CKSUM"}),
    [](const auto& tp) { return std::string(tp.param.name); });

class SilentUnit : public Transaction, public ::testing::WithParamInterface<int> {};

TEST_P(SilentUnit, SendsNumResendPlusOneTimesThenGivesUp) {
  const int num_resend = GetParam();
  s.settings.NumResend = static_cast<int16_t>(num_resend);
  const int attempts = std::max(num_resend, 0) + 1;
  const double start = p.NowUsec();
  EXPECT_FALSE(Send());
  const double elapsed = p.NowUsec() - start;
  EXPECT_EQ(link.received, Repeat(kRequest, attempts));
  EXPECT_EQ(LogText(), Repeat(kRequestLog, attempts));
  // Each attempt waits out AttesaGlobaleCorrente + Idle_usec after its last byte.
  const double per_attempt = s.AttesaGlobaleCorrente + s.settings.Idle_usec;
  EXPECT_GE(elapsed, attempts * per_attempt);
  EXPECT_LT(elapsed, attempts * (per_attempt + 10000));
  EXPECT_EQ(answer, "");
  EXPECT_EQ(s.LinkStatus, 0);
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(link.closes, 1);
  EXPECT_EQ(s.TxBuffer, "");
  EXPECT_EQ(s.RxBuffer, "");
}

INSTANTIATE_TEST_SUITE_P(Counts, SilentUnit, ::testing::Values(0, 2, 10, -3));

TEST_F(Transaction, TheLargestNumResendStillEnds) {
  s.settings.NumResend = 32767;
  s.settings.LOG = false;
  s.AttesaGlobaleCorrente = 0;
  s.settings.Idle_usec = 0;
  s.settings.AttesaByteTx_usec = 0;
  EXPECT_FALSE(Send());
  EXPECT_EQ(link.requests, 32768);
  EXPECT_EQ(s.HandlePorta, 0);
}

TEST_F(Transaction, OnlyAWholeAnswerBeforeTheDeadlineIsTaken) {
  // An incomplete or foreign answer times out without an "R" line.
  s.settings.NumResend = 1;
  Reply(kAnswer.substr(0, 5));
  Reply(Bytes({0x45, 0x01, 0x04, 0x21, 0x00, 0x61}));
  EXPECT_FALSE(Send());
  EXPECT_EQ(LogText(), kRequestLog + kRequestLog);

  Open(false);
  s.settings.NumResend = 0;
  s.AttesaGlobaleCorrente = 100000;
  Reply(kAnswer, 130000);  // before now + 100 ms + 40 ms
  EXPECT_TRUE(Send());
  Reply(kAnswer, 150000);
  EXPECT_FALSE(Send());
  EXPECT_EQ(s.LinkStatus, 0);
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

// A failing port or driver ends the transaction after one attempt, without waiting out the
// answer time-out, and closes the port.
struct DriverFailure {
  const char* name;
  bool usb;
  const char* call;
  int successes;
  std::string wire;
  std::string log;  // without times
};

class FailingDriver : public Transaction, public ::testing::WithParamInterface<DriverFailure> {
 protected:
  void SetUp() override { Open(GetParam().usb); }
};

TEST_P(FailingDriver, EndsTheTransactionAfterOneAttempt) {
  const DriverFailure& c = GetParam();
  Reply(kAnswer);
  p.FailCall(c.call, c.successes);
  const double start = p.NowUsec();
  EXPECT_FALSE(Send());
  EXPECT_LT(p.NowUsec() - start, 100000.0);
  EXPECT_EQ(link.received, c.wire);
  EXPECT_EQ(LogText(), c.log);
  EXPECT_EQ(answer, "");
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(s.LinkStatus, 0);
  EXPECT_EQ(s.HandlePorta, 0);
  EXPECT_EQ(link.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailingDriver,
    ::testing::Values(
        DriverFailure{"SerialWrite", false, "WriteFile", 1, kRequest.substr(0, 1),
                      "WriteFile Send\r\nlpErrors 0\r\nGetLastError 1F\r\nLastDllError 1F\r\n"
                      "ERR_H 314102032161\r\n"},
        // The status call fails once sending is done, while the answer is awaited.
        DriverFailure{"SerialStatus", false, "ClearCommError", 5, kRequest,
                      kRequestLog +
                          "ClearCommError Recive \r\nlpErrors 0\r\nGetLastError 1F\r\n"
                          "LastDllError 1F\r\n"
                          "ClearCommError Error#0\r\nGetLastError 1F\r\nLastDllError 1F\r\n"},
        DriverFailure{"UsbRead", true, "FT_Read", 0, kRequest,
                      kRequestLog + "FT_Read Recive\r\nFtStatus 12\r\nLastDllError 1F\r\n"
                                    "R 000000000000\r\n"}),
    [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace ecub
