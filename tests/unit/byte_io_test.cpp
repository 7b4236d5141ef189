#include "protocol/byte_io.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "link_fixture.h"
#include "test_util.h"

namespace ecub {
namespace {

using test::Bytes;
using test::LinkTest;

// CMD_READ_MEM1 with one data byte.
const std::string kFrame = Bytes({0x41, 0x02, 0x04, 0x0C, 0x00, 0x4B});
constexpr const char* kFrameHex = "4102040C004B";
// Ten bytes, for a write that fails in the middle.
const std::string kLongFrame = Bytes({0x41, 0x02, 0x08, 0x0C, 1, 2, 3, 4, 5, 0x46});
constexpr const char* kLongFrameHex = "4102080C010203040546";

size_t Count(const std::vector<std::string>& calls, const std::string& name) {
  return static_cast<size_t>(std::count(calls.begin(), calls.end(), name));
}

TEST(HexNoPad, UpperCaseWithoutLeadingZerosNegativesAsThirtyTwoBits) {
  EXPECT_EQ(HexNoPad(0), "0");
  EXPECT_EQ(HexNoPad(6), "6");
  EXPECT_EQ(HexNoPad(31), "1F");
  EXPECT_EQ(HexNoPad(0x0ABC), "ABC");
  EXPECT_EQ(HexNoPad(0x80000005u), "80000005");
  EXPECT_EQ(HexNoPad(-1), "FFFFFFFF");
  EXPECT_EQ(HexNoPad(-2147483647 - 1), "80000000");
  EXPECT_EQ(HexNoPad(-4294967296), "00000000");  // still eight digits
}

// --- Sending ---------------------------------------------------------------------------------

class Send : public LinkTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenSerial());
    ForgetLog();
    p.port_calls.clear();
  }
};

TEST_F(Send, SerialWritesOneByteAtATimeWithTheWaitBetween) {
  s.RxBuffer = "old answer";
  EXPECT_TRUE(SendBytes(s, kFrame));
  EXPECT_EQ(link.received, kFrame);
  EXPECT_EQ(s.TxBuffer, kFrame);
  EXPECT_EQ(s.RxBuffer, "");
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nT ") + kFrameHex + "\r\n");
  std::vector<std::string> expected;
  for (size_t i = 0; i < kFrame.size(); ++i) {
    expected.push_back("ClearCommError");
    expected.push_back("WriteFile");
  }
  EXPECT_EQ(p.port_calls, expected);
  for (size_t i = 1; i < link.received_at.size(); ++i) {
    EXPECT_GE(link.received_at[i] - link.received_at[i - 1], 500.0);
  }
}

TEST_F(Send, ScrambledTablesChangeTheWireNotTheLog) {
  ImpostaTabelleProto(s, true);
  SendBytes(s, kFrame);
  std::string wire;
  for (unsigned char b : kFrame) wire.push_back(static_cast<char>(s.tables.TxTable[b]));
  ASSERT_NE(wire, kFrame);
  EXPECT_EQ(link.received, wire);
  EXPECT_EQ(s.TxBuffer, kFrame);
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nT ") + kFrameHex + "\r\n");
}

TEST_F(Send, SerialInputWhileSendingCutsTheFrame) {
  link.AfterBytes(2, 0, Bytes({0x44, 0x01}));
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame.substr(0, 2));
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(s.TxBuffer, kFrame);
  // The whole frame is logged, and the early bytes are thrown away.
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nERR_DISAL ") + kFrameHex + "\r\n");
  EXPECT_EQ(link.Queued(p.NowUsec()), 0u);
  EXPECT_EQ(s.RxBuffer, "");
  EXPECT_EQ(p.read_counts, std::vector<uint32_t>{2});
}

TEST_F(Send, SerialInputBeforeTheLastByteStillCutsTheFrame) {
  link.AfterBytes(kFrame.size() - 1, 0, Bytes({0x44}));
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame.substr(0, kFrame.size() - 1));
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nERR_DISAL ") + kFrameHex + "\r\n");
}

TEST_F(Send, WriteFailureStopsAfterThatByte) {
  p.FailCall("WriteFile", 2);
  const double start = p.NowUsec();
  SendBytes(s, kLongFrame);
  EXPECT_EQ(link.received, kLongFrame.substr(0, 2));
  EXPECT_EQ(Count(p.port_calls, "WriteFile"), 3u);
  EXPECT_TRUE(s.CommError);
  // The failed byte still gets its wait.
  EXPECT_GE(p.NowUsec() - start, 3 * 500.0);
  EXPECT_EQ(LogText(), std::string("WriteFile Send\r\n"
                                   "lpErrors 0\r\n"
                                   "GetLastError 1F\r\n"
                                   "LastDllError 1F\r\n"
                                   "ERR_H 31") +
                           kLongFrameHex + "\r\n");
}

TEST_F(Send, StatusFailureIsLoggedAndTheByteStillWritten) {
  p.FailCall("ClearCommError");
  SendBytes(s, Bytes({0xAA, 0xBB}));
  EXPECT_EQ(link.received, Bytes({0xAA, 0xBB}));
  EXPECT_TRUE(s.CommError);
  const std::string group =
      "ClearCommError Send\r\nlpErrors 0\r\nGetLastError 1F\r\nLastDllError 1F\r\n";
  EXPECT_EQ(LogText(), group + group + "T AABB\r\n");
}

TEST_F(Send, ClosedPortFailsEveryCallWithoutHarm) {
  ASSERT_TRUE(ChiudiPorta(s));
  ForgetLog();
  SendBytes(s, Bytes({0xAA}));
  EXPECT_TRUE(s.CommError);
  EXPECT_EQ(LogText(),
            "ClearCommError Send\r\nlpErrors 0\r\nGetLastError 6\r\nLastDllError 6\r\n"
            "WriteFile Send\r\nlpErrors 0\r\nGetLastError 6\r\nLastDllError 6\r\n"
            "ERR_H 6AA\r\n");
}

TEST_F(Send, LogOffWritesNoLineEvenOnFailure) {
  s.settings.LOG = false;
  p.FailCall("ClearCommError");
  p.FailCall("WriteFile");
  SendBytes(s, kFrame);
  EXPECT_TRUE(s.CommError);
  EXPECT_EQ(Log(), "");
}

class UsbSend : public LinkTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenUsb());
    ForgetLog();
    p.port_calls.clear();
    p.driver_args.clear();
  }
};

TEST_F(UsbSend, WritesOneByteAtATime) {
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame);
  std::vector<std::string> expected;
  for (size_t i = 0; i < kFrame.size(); ++i) {
    expected.push_back("FT_GetQueueStatus");
    expected.push_back("FT_Write");
  }
  EXPECT_EQ(p.port_calls, expected);
  EXPECT_TRUE(p.driver_args.empty());  // no write of more than one byte
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nT ") + kFrameHex + "\r\n");
}

TEST_F(UsbSend, InputBeforeTheLastByteDoesNotStopIt) {
  link.AfterBytes(kFrame.size() - 1, 0, Bytes({0x44}));
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame);
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nT ") + kFrameHex + "\r\n");
  EXPECT_TRUE(p.driver_args.empty());  // nothing purged
  EXPECT_EQ(link.Queued(p.NowUsec()), 1u);
}

TEST_F(UsbSend, InputEarlierCutsTheFrameAndPurgesBothBuffers) {
  link.AfterBytes(2, 0, Bytes({0x44}));
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame.substr(0, 2));
  EXPECT_EQ(p.driver_args, std::vector<std::string>{"FT_Purge 3"});
  EXPECT_EQ(link.Queued(p.NowUsec()), 0u);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(LogText(), std::string("CMD_READ_MEM1\r\nERR_DISAL ") + kFrameHex + "\r\n");
}

TEST_F(UsbSend, WriteFailureStopsAfterThatByte) {
  p.FailCall("FT_Write", 2);
  SendBytes(s, kLongFrame);
  EXPECT_EQ(link.received, kLongFrame.substr(0, 2));
  EXPECT_EQ(Count(p.port_calls, "FT_Write"), 3u);
  EXPECT_TRUE(s.CommError);
  // The text starts with the error code, so no command-name line comes before it.
  EXPECT_EQ(LogText(), std::string("FT_Write Send\r\nFtStatus 12\r\nLastDllError 1F\r\n"
                                   "ERR_H 31") +
                           kLongFrameHex + "\r\n");
}

TEST_F(UsbSend, QueueStatusFailureIsLoggedAndTheByteStillWritten) {
  p.FailCall("FT_GetQueueStatus");
  SendBytes(s, Bytes({0xAA}));
  EXPECT_EQ(link.received, Bytes({0xAA}));
  EXPECT_TRUE(s.CommError);
  EXPECT_EQ(LogText(), "FT_GetQueueStatus Send\r\nFtStatus 12\r\nLastDllError 1F\r\nT AA\r\n");
}

// --- Receiving -------------------------------------------------------------------------------

using Receive = Send;

TEST_F(Receive, TakesExactlyWhatIsQueuedAndJoinsPieces) {
  const double now = p.NowUsec();
  link.Schedule(now, Bytes({0x44, 0x01, 0x04}));
  link.Schedule(now + 10000, Bytes({0x21, 0x00, 0x60}));
  s.RxBuffer.clear();
  ReceiveBytes(s);
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x01, 0x04}));
  ReceiveBytes(s);  // nothing new: no read at all
  EXPECT_EQ(p.read_counts, std::vector<uint32_t>{3});
  p.Advance(10000);
  ReceiveBytes(s);
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x60}));
  EXPECT_EQ(p.read_counts, (std::vector<uint32_t>{3, 3}));
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(Log(), "");
}

TEST_F(Receive, BytesPassTheReceiveTable) {
  ImpostaTabelleProto(s, true);
  const std::string plain = Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x60});
  std::string wire;
  for (unsigned char b : plain) wire.push_back(static_cast<char>(s.tables.TxTable[b]));
  link.Schedule(p.NowUsec(), wire);
  ReceiveBytes(s);
  EXPECT_EQ(s.RxBuffer, plain);
}

TEST_F(Receive, StatusFailureReadsNothing) {
  link.Schedule(p.NowUsec(), Bytes({0x44}));
  p.FailCall("ClearCommError");
  ReceiveBytes(s);
  EXPECT_TRUE(s.CommError);
  EXPECT_TRUE(p.read_counts.empty());
  EXPECT_EQ(LogText(),
            "ClearCommError Recive \r\nlpErrors 0\r\nGetLastError 1F\r\nLastDllError 1F\r\n");
}

TEST_F(Receive, ReadFailureKeepsTheBufferAndLogsIt) {
  s.RxBuffer = Bytes({0x44, 0x01});
  link.Schedule(p.NowUsec(), Bytes({0x04, 0x21}));
  p.FailCall("ReadFile");
  ReceiveBytes(s);
  EXPECT_TRUE(s.CommError);
  // The whole read buffer is appended, whatever the failed call put into it.
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x01, 0x00, 0x00}));
  EXPECT_EQ(LogText(),
            "ReadFile Recive\r\nlpErrors 0\r\nGetLastError 1F\r\nLastDllError 1F\r\n"
            "R 44010000\r\n");
}

using UsbReceive = UsbSend;

TEST_F(UsbReceive, TakesExactlyWhatIsQueued) {
  link.Schedule(p.NowUsec(), Bytes({0x44, 0x01, 0x04}));
  link.Schedule(p.NowUsec() + 10000, Bytes({0x21}));
  ReceiveBytes(s);
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x01, 0x04}));
  EXPECT_EQ(p.driver_args, std::vector<std::string>{"FT_Read 3"});
  EXPECT_FALSE(s.CommError);
}

TEST_F(UsbReceive, QueueStatusFailureReadsNothing) {
  link.Schedule(p.NowUsec(), Bytes({0x44}));
  p.FailCall("FT_GetQueueStatus");
  ReceiveBytes(s);
  EXPECT_TRUE(s.CommError);
  EXPECT_TRUE(p.driver_args.empty());
  EXPECT_EQ(LogText(), "FT_GetQueueStatus Recive\r\nFtStatus 12\r\nLastDllError 1F\r\n");
}

TEST_F(UsbReceive, ReadFailureKeepsTheBufferAndLogsIt) {
  s.RxBuffer = Bytes({0x44});
  link.Schedule(p.NowUsec(), Bytes({0x01, 0x04}));
  p.FailCall("FT_Read");
  ReceiveBytes(s);
  EXPECT_TRUE(s.CommError);
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x00, 0x00}));
  EXPECT_EQ(LogText(), "FT_Read Recive\r\nFtStatus 12\r\nLastDllError 1F\r\nR 440000\r\n");
}

// --- Cleaning the port -----------------------------------------------------------------------

using Clean = Send;

TEST_F(Clean, SerialDropsTheInputAndAbortsReads) {
  link.Schedule(p.NowUsec(), Bytes({1, 2, 3}));
  s.RxBuffer = "kept";
  CleanInputCom(s);
  PurgePort(s);
  EXPECT_EQ(link.Queued(p.NowUsec()), 0u);
  EXPECT_EQ(p.read_counts, std::vector<uint32_t>{3});
  EXPECT_EQ(p.purge_comm_flags, std::vector<uint32_t>{2});
  EXPECT_EQ(s.RxBuffer, "kept");
  EXPECT_EQ(Log(), "");
}

TEST_F(Clean, SerialFailuresAreOnlyLogged) {
  link.Schedule(p.NowUsec(), Bytes({1}));
  ASSERT_EQ(link.Queued(p.NowUsec()), 1u);
  s.InQueue = 1;  // as the last status call left it
  p.FailCall("ClearCommError");
  p.FailCall("ReadFile");
  p.FailCall("PurgeComm");
  CleanInputCom(s);
  PurgePort(s);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(LogText(),
            "ClearCommError Error#0\r\nGetLastError 1F\r\nLastDllError 1F\r\n"
            "PurgeComm Error#0\r\nGetLastError 1F\r\nLastDllError 1F\r\n");
  // The failed status call reported an empty queue, so nothing was read.
  EXPECT_TRUE(p.read_counts.empty());
}

TEST_F(Clean, SerialReadFailureIsOnlyLogged) {
  link.Schedule(p.NowUsec(), Bytes({1, 2}));
  p.FailCall("ReadFile");
  CleanInputCom(s);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(LogText(), "ReadFile CleanInputCom Error#0\r\nGetLastError 1F\r\nLastDllError 1F\r\n");
}

using UsbClean = UsbSend;

TEST_F(UsbClean, PurgesWithTheirMasks) {
  link.Schedule(p.NowUsec(), Bytes({1, 2, 3}));
  CleanInputCom(s);
  EXPECT_EQ(link.Queued(p.NowUsec()), 0u);
  PurgePort(s);
  EXPECT_EQ(p.driver_args, (std::vector<std::string>{"FT_Purge 3", "FT_Purge 2"}));
  EXPECT_EQ(Log(), "");
}

TEST_F(UsbClean, FailuresAreOnlyLogged) {
  p.FailCall("FT_Purge");
  CleanInputCom(s);
  PurgePort(s);
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(LogText(), "FT_Purge Error#18\r\nFT_Purge Error#18\r\n");
}

}  // namespace
}  // namespace ecub
