#include "protocol/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "link_fixture.h"
#include "platform/fake/ecu_sim.h"
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

TEST(Frame, ChecksumIsTheXorOfAllBytes) {
  EXPECT_EQ(FrameChecksum(""), 0);
  EXPECT_EQ(FrameChecksum(Bytes({0x41, 0x02, 0x03, 0x21})), 0x61);
  EXPECT_EQ(FrameChecksum(kAnswer), 0);
}

TEST(Frame, BuildFramePutsLengthAndChecksum) {
  const std::string frame = BuildFrame(0x41, 0x02, 0x21, std::string(11, '\0'));
  EXPECT_EQ(frame, Bytes({0x41, 0x02, 0x0E, 0x21}) + std::string(11, '\0') + Bytes({0x6C}));
  EXPECT_EQ(BuildFrame(0x41, 0x02, 0x21, ""), kRequest);

  const std::string longest = BuildFrame(0x41, 0x02, 0x0C, std::string(252, '\x01'));
  ASSERT_EQ(longest.size(), 257u);
  EXPECT_EQ(test::At(longest, 2), 0xFF);
  EXPECT_EQ(FrameChecksum(longest), 0);
  // One byte more has no length byte that could describe it.
  EXPECT_EQ(BuildFrame(0x41, 0x02, 0x0C, std::string(253, '\x01')), "");
}

TEST(Frame, CompleteOnceTheLengthByteIsCovered) {
  EXPECT_FALSE(FrameComplete(""));
  EXPECT_FALSE(FrameComplete(Bytes({0x44})));
  EXPECT_FALSE(FrameComplete(Bytes({0x44, 0x01})));
  EXPECT_FALSE(FrameComplete(kAnswer.substr(0, 5)));
  EXPECT_TRUE(FrameComplete(kAnswer));
  EXPECT_TRUE(FrameComplete(kAnswer + Bytes({0x55})));
  EXPECT_TRUE(FrameComplete(Bytes({0x42, 0x01, 0x04, 0x21, 0x00, 0x66})));
  EXPECT_TRUE(FrameComplete(Bytes({0x44, 0x01, 0x00})));  // length 0: three bytes suffice
  // Wrong first or second byte never completes, however long the buffer gets.
  EXPECT_FALSE(FrameComplete(Bytes({0x41, 0x01, 0x04, 0x21, 0x00, 0x60, 0, 0})));
  EXPECT_FALSE(FrameComplete(Bytes({0x44, 0x02, 0x04, 0x21, 0x00, 0x60, 0, 0})));
}

// --- Answer checks ---------------------------------------------------------------------------

struct CheckCase {
  const char* name;
  std::string tx;
  std::string rx;
  const char* logged;  // the "COMUNICATION ERROR:" text, or nullptr when accepted
};

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

class AnswerCheck : public LinkTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(AnswerCheck, FirstFailingCheckIsLogged) {
  const CheckCase& c = GetParam();
  s.TxBuffer = c.tx;
  s.RxBuffer = c.rx;
  EXPECT_EQ(CheckAnswer(s), c.logged == nullptr);
  EXPECT_EQ(Log(),
            c.logged == nullptr ? "" : std::string("0 COMUNICATION ERROR:") + c.logged + "\r\n");
}

// 44 01 03 <cmd> <checksum>: without data the checksum sits where the outcome would be.
std::string ShortAnswer(uint8_t command) {
  std::string frame = Bytes({0x44, 0x01, 0x03, command});
  frame.push_back(static_cast<char>(FrameChecksum(frame)));
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerCheck,
    ::testing::Values(
        CheckCase{"Accepted", kRequest, kAnswer, nullptr},
        CheckCase{"AcceptedWithData", kRequest, Answer(0x21, 0x00, "DATA"), nullptr},
        CheckCase{"FourBytesHaveNoOutcome", Bytes({0x41, 0x02, 0x03, 0x47, 0x07}),
                  Bytes({0x44, 0x01, 0x02, 0x47}), nullptr},
        CheckCase{"BadChecksum", kRequest, Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x61}),
                  "RX ESITO_CKSUM"},
        CheckCase{"BadChecksumWinsOverOutcome", kRequest,
                  Bytes({0x44, 0x01, 0x04, 0x21, 0xFE, 0x61}), "RX ESITO_CKSUM"},
        CheckCase{"WrongEcho", kRequest, Answer(0x22, 0x00), "ECO COMANDO"},
        CheckCase{"RequestTooShortForEcho", Bytes({0x41, 0x02, 0x21}), kAnswer, "ECO COMANDO"},
        CheckCase{"NotExecuted", kRequest, Answer(0x21, 0xFE), "ESITO_EXE_ERR"},
        CheckCase{"RequestChecksumWrong", kRequest, Answer(0x21, 0xFF, "X"), "TX ESITO_CKSUM"},
        CheckCase{"ShortAnswerAccepted", kRequest, ShortAnswer(0x21), nullptr},
        CheckCase{"ShortAnswerChecksumFE", Bytes({0x41, 0x02, 0x03, 0xB8, 0}), ShortAnswer(0xB8),
                  "ESITO_EXE_ERR"},
        CheckCase{"ShortAnswerChecksumFF", Bytes({0x41, 0x02, 0x03, 0xB9, 0}), ShortAnswer(0xB9),
                  "TX ESITO_CKSUM"}),
    [](const auto& tp) { return std::string(tp.param.name); });

// --- The transaction -------------------------------------------------------------------------

// An open COM3 whose scripted unit cuts requests of the identification request's size.
class Transaction : public LinkTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenSerial());
    link.request_size = kRequest.size();
    s.LinkStatus = 1;
    ForgetLog();
    p.port_calls.clear();
  }
  void Reply(ScriptedLink::Reply reply) { link.replies.push_back(std::move(reply)); }
  void Reply(const std::string& bytes, double delay_usec = 2000) {
    link.replies.push_back({{delay_usec, bytes}});
  }
  void Silence() { link.replies.push_back({}); }

  bool Send(uint8_t poll_host = 0) { return SendCommand(s, kRequest, answer, poll_host); }
  std::string answer = "stale";
};

TEST_F(Transaction, CheckedAnswerIsReturnedOnTheFirstAttempt) {
  Reply(kAnswer);
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(link.received, kRequest);
  EXPECT_EQ(LogText(), kRequestLog + "R 440104210060\r\n");
  EXPECT_EQ(s.LinkStatus, 1);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(s.HandlePorta, 0x1000);
  // No clean-up after success: the buffers keep the exchange until the next send.
  EXPECT_EQ(s.TxBuffer, kRequest);
  EXPECT_EQ(s.RxBuffer, kAnswer);
  EXPECT_TRUE(p.purge_comm_flags.empty());
}

TEST_F(Transaction, PiecesAreJoined) {
  // The idle pause is 40 ms, so the first two pieces are read together, the last later.
  Reply({{1000, kAnswer.substr(0, 2)}, {20000, kAnswer.substr(2, 1)}, {60000, kAnswer.substr(3)}});
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(p.read_counts, (std::vector<uint32_t>{3, 3}));
  EXPECT_EQ(LogText(), kRequestLog + "R 440104210060\r\n");
}

TEST_F(Transaction, TrailingBytesComeWithTheAnswer) {
  Reply(kAnswer + Bytes({0x55, 0x55}));
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer + Bytes({0x55, 0x55}));
  EXPECT_EQ(LogText(), kRequestLog + "R 4401042100605555\r\n");
}

TEST_F(Transaction, TrailingBytesTakePartInTheChecksum) {
  Reply(kAnswer + Bytes({0x55}));
  Reply(kAnswer);
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(link.received, kRequest + kRequest);
  EXPECT_EQ(LogText(), kRequestLog + "R 44010421006055\r\nCOMUNICATION ERROR:RX ESITO_CKSUM\r\n" +
                           kRequestLog + "R 440104210060\r\n");
}

struct Rejection {
  const char* name;
  std::string answer;
  const char* logged;
};

void PrintTo(const Rejection& r, std::ostream* os) {
  *os << r.name;
}

class RejectedAnswer : public Transaction, public ::testing::WithParamInterface<Rejection> {};

TEST_P(RejectedAnswer, IsLoggedCleanedUpAndSentAgain) {
  const Rejection& r = GetParam();
  Reply(r.answer);
  Reply(kAnswer);
  EXPECT_TRUE(Send());
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(link.received, kRequest + kRequest);
  EXPECT_EQ(LogText(), kRequestLog + "R " + BytesToHex(r.answer) + "\r\nCOMUNICATION ERROR:" +
                           r.logged + "\r\n" + kRequestLog + "R 440104210060\r\n");
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
    ::testing::Values(Rejection{"BadChecksum", Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x61}),
                                "RX ESITO_CKSUM"},
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
  EXPECT_EQ(s.SendCount, attempts);
}

INSTANTIATE_TEST_SUITE_P(Counts, SilentUnit, ::testing::Values(0, 2, 10, -3));

TEST_F(Transaction, TheLargestNumResendStillEnds) {
  s.settings.NumResend = 32767;
  s.settings.LOG = false;
  s.AttesaGlobaleCorrente = 0;
  s.settings.Idle_usec = 0;
  s.settings.AttesaByteTx_usec = 0;
  EXPECT_FALSE(Send());
  EXPECT_EQ(s.SendCount, 32768);
  EXPECT_EQ(link.requests, 32768);
  EXPECT_EQ(s.HandlePorta, 0);
}

TEST_F(Transaction, AnswerAfterTheDeadlineIsNotTaken) {
  s.settings.NumResend = 0;
  s.AttesaGlobaleCorrente = 100000;
  Reply(kAnswer, 130000);  // before now + 100 ms + 40 ms
  EXPECT_TRUE(Send());

  Reply(kAnswer, 150000);
  EXPECT_FALSE(Send());
  EXPECT_EQ(s.LinkStatus, 0);
}

TEST_F(Transaction, IncompleteOrForeignAnswerTimesOutWithoutALine) {
  s.settings.NumResend = 1;
  Reply(kAnswer.substr(0, 5));
  Reply(Bytes({0x45, 0x01, 0x04, 0x21, 0x00, 0x61}));
  EXPECT_FALSE(Send());
  EXPECT_EQ(LogText(), kRequestLog + kRequestLog);
}

TEST_F(Transaction, WriteFailureEndsAfterOneAttempt) {
  p.FailCall("WriteFile", 1);
  const double start = p.NowUsec();
  EXPECT_FALSE(Send());
  EXPECT_EQ(link.received, kRequest.substr(0, 1));
  EXPECT_LT(p.NowUsec() - start, 100000.0);  // no waiting for an answer
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(s.LinkStatus, 0);
  EXPECT_EQ(std::count(p.port_calls.begin(), p.port_calls.end(), "WriteFile"), 2);
}

TEST_F(Transaction, StatusFailureWhileWaitingEndsAfterOneAttempt) {
  p.FailCall("ClearCommError", static_cast<int>(kRequest.size()));  // sending succeeds
  Reply(kAnswer);
  EXPECT_FALSE(Send());
  EXPECT_EQ(link.received, kRequest);
  EXPECT_EQ(LogText(), kRequestLog +
                           "ClearCommError Recive \r\nlpErrors 0\r\nGetLastError 1F\r\n"
                           "LastDllError 1F\r\n"
                           "ClearCommError Error#0\r\nGetLastError 1F\r\nLastDllError 1F\r\n");
  EXPECT_EQ(answer, "");
  EXPECT_EQ(s.HandlePorta, 0);
}

TEST_F(Transaction, HostPipeIsPolledOnlyForPollingTransactions) {
  Reply(kAnswer, 20000);
  p.HostSend(HostMsg(2), 10000);
  EXPECT_TRUE(Send(0));
  EXPECT_EQ(s.PendingMessage, "");

  // Without the idle pause the pipe is read while the answer is awaited.
  Reply(kAnswer, 20000);
  const double start = p.NowUsec();
  EXPECT_TRUE(Send(1));
  EXPECT_LT(p.NowUsec() - start, 30000.0);
  EXPECT_EQ(s.PendingMessage, HostMsg(2));

  // A message already held is not overwritten.
  Reply(kAnswer, 20000);
  p.HostSend(HostMsg(1), 5000);
  EXPECT_TRUE(Send(1));
  EXPECT_EQ(s.PendingMessage, HostMsg(2));
}

TEST_F(Transaction, IdlePauseDelaysTheFirstLook) {
  Reply(kAnswer, 1000);
  const double start = p.NowUsec();
  EXPECT_TRUE(Send(0));
  EXPECT_GE(p.NowUsec() - start, s.settings.Idle_usec);
}

TEST_F(Transaction, ScrambledTablesApplyOnTheWireOnly) {
  ImpostaTabelleProto(s, true);
  std::string wire_answer;
  for (unsigned char b : kAnswer) wire_answer.push_back(static_cast<char>(s.tables.TxTable[b]));
  Reply(wire_answer);
  EXPECT_TRUE(Send());
  std::string wire_request;
  for (unsigned char b : kRequest) {
    wire_request.push_back(static_cast<char>(s.tables.TxTable[b]));
  }
  ASSERT_NE(wire_request, kRequest);
  EXPECT_EQ(link.received, wire_request);
  EXPECT_EQ(answer, kAnswer);
  EXPECT_EQ(LogText(), kRequestLog + "R 440104210060\r\n");
}

TEST_F(Transaction, AnswerVariableMayBeTheFrame) {
  Reply(kAnswer);
  std::string frame_and_answer = kRequest;
  EXPECT_TRUE(SendCommand(s, frame_and_answer, frame_and_answer, 0));
  EXPECT_EQ(link.received, kRequest);
  EXPECT_EQ(frame_and_answer, kAnswer);
}

class UsbTransaction : public LinkTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenUsb());
    link.request_size = kRequest.size();
    ForgetLog();
  }
  std::string answer;
};

TEST_F(UsbTransaction, AnswerIsReadThroughTheDriver) {
  link.replies.push_back({{2000, kAnswer}});
  EXPECT_TRUE(SendCommand(s, kRequest, answer, 0));
  EXPECT_EQ(answer, kAnswer);
  EXPECT_NE(std::find(p.driver_args.begin(), p.driver_args.end(), "FT_Read 6"),
            p.driver_args.end());
}

TEST_F(UsbTransaction, ReadFailureEndsAfterOneAttemptAndClosesTheDevice) {
  link.replies.push_back({{2000, kAnswer}});
  p.FailCall("FT_Read");
  EXPECT_FALSE(SendCommand(s, kRequest, answer, 0));
  EXPECT_EQ(link.received, kRequest);
  EXPECT_EQ(LogText(), kRequestLog +
                           "FT_Read Recive\r\nFtStatus 12\r\nLastDllError 1F\r\n"
                           "R 000000000000\r\n");
  EXPECT_FALSE(p.usb_devices[0].open);
  EXPECT_EQ(s.HandlePorta, 0);
}

// --- Against the simulated unit ----------------------------------------------------------------

class SimulatedUnit : public LinkTest {
 protected:
  void SetUp() override {
    p.com_ports[4] = &unit;
    s.PortaCom = 4;
    ASSERT_TRUE(ApriPorta(s));
    ForgetLog();
  }
  EcuSim unit;
  std::string answer;
};

TEST_F(SimulatedUnit, RequestIsAnsweredAndChecked) {
  const std::string request = EcuSim::RequestFrame(EcuSim::kCmdReadMem1, Bytes({0x00}));
  EXPECT_TRUE(SendCommand(s, request, answer, 0));
  ASSERT_EQ(unit.requests().size(), 1u);
  EXPECT_EQ(unit.requests()[0].frame, request);
  ASSERT_EQ(unit.answers().size(), 1u);
  EXPECT_EQ(answer, unit.answers()[0]);
  EXPECT_EQ(FrameChecksum(answer), 0);
  EXPECT_EQ(test::At(answer, 3), EcuSim::kCmdReadMem1);
}

TEST_F(SimulatedUnit, FaultyAnswersAreRetried) {
  unit.Inject(EcuSim::Fault::kBadChecksum, 1);
  unit.Inject(EcuSim::Fault::kSplit, 1);
  const std::string request = EcuSim::RequestFrame(EcuSim::kCmdReadFirmware);
  EXPECT_TRUE(SendCommand(s, request, answer, 0));
  EXPECT_EQ(unit.requests().size(), 2u);
  EXPECT_EQ(answer, unit.IdentityAnswer());
  EXPECT_NE(LogText().find("COMUNICATION ERROR:RX ESITO_CKSUM\r\n"), std::string::npos);
}

TEST_F(SimulatedUnit, ScrambledUnitIsUnderstood) {
  unit.config.scrambled = true;
  ImpostaTabelleProto(s, true);
  EXPECT_TRUE(SendCommand(s, EcuSim::RequestFrame(EcuSim::kCmdReadFirmware), answer, 0));
  EXPECT_EQ(answer, unit.IdentityAnswer());
}

}  // namespace
}  // namespace ecub
