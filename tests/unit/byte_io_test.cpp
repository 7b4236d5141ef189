#include "link/byte_io.h"
#include "codec/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "link_fixture.h"
#include "test_util.h"

namespace ecub::test {
namespace {

using Counts = std::vector<uint32_t>;

// CMD_READ_MEM1 with one data byte.
const std::string kFrame = Bytes({0x41, 0x02, 0x04, 0x0C, 0x00, 0x4B});
const std::string kFrameLog = "CMD_READ_MEM1\r\nT 4102040C004B\r\n";
const std::string kFrameCutLog = "CMD_READ_MEM1\r\nERR_DISAL 4102040C004B\r\n";
// Ten bytes, for a write that fails in the middle.
const std::string kLongFrame = Bytes({0x41, 0x02, 0x08, 0x0C, 1, 2, 3, 4, 5, 0x46});
// The lines of a failed Windows or D2XX transfer call.
const std::string kSerialErr = "lpErrors 0\r\nGetLastError 1F\r\nLastDllError 1F\r\n";
const std::string kUsbErr = "FtStatus 12\r\nLastDllError 1F\r\n";

TEST(HexNoPad, UpperCaseWithoutLeadingZerosNegativesAsThirtyTwoBits) {
  const std::vector<std::pair<int64_t, std::string>> cases = {
      {0, "0"},
      {31, "1F"},
      {0x0ABC, "ABC"},
      {0x80000005u, "80000005"},
      {-1, "FFFFFFFF"},
      {-2147483648, "80000000"},
      {-4294967296, "00000000"}};  // still 8 digits
  for (const auto& [value, hex] : cases) EXPECT_EQ(HexNoPad(value), hex) << value;
}

// Odd digit counts read as if a 0 led; 32767 bytes, the most a 16-bit count holds, convert.
TEST(Hex, OddDigitCountsAndTheLongestString) {
  EXPECT_EQ(HexToBytes("ABC"), Bytes({0x0A, 0xBC}));
  EXPECT_EQ(BytesToHex(std::string(32767, 'Z')).size(), 65534u);
  EXPECT_EQ(BytesToHex(std::string(32768, 'Z')), "");
}

// COM3 or the USB interface, open, with the log and the call records emptied.
class OpenPort : public LinkTest {
 protected:
  void Open(bool usb) {
    usb_ = usb;
    ASSERT_TRUE(usb ? OpenUsb() : OpenSerial());
    ForgetLog();
    p.port_calls.clear();
    p.driver_args.clear();
  }
  // The count of every read of the port, on either branch.
  Counts Reads() const {
    if (!usb_) return p.read_counts;
    Counts counts;
    for (const std::string& call : p.driver_args) {
      if (call.rfind("FT_Read ", 0) == 0)
        counts.push_back(static_cast<uint32_t>(std::stoul(call.substr(8))));
    }
    return counts;
  }
  size_t Waiting() { return link.Queued(p.NowUsec()); }
  uint32_t LargestRead() const {
    const Counts reads = Reads();
    return reads.empty() ? 0 : *std::max_element(reads.begin(), reads.end());
  }
  bool usb_ = false;
};

class ByteIo : public OpenPort, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { Open(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(SerialAndUsb, ByteIo, ::testing::Bool(),
                         [](const auto& tp) { return tp.param ? "Usb" : "Serial"; });

TEST_P(ByteIo, SendWritesOneByteAtATimeWithTheWaitBetween) {
  s.RxBuffer = "old answer";
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame);
  EXPECT_EQ(std::tuple(s.TxBuffer, s.RxBuffer, s.CommError), std::tuple(kFrame, "", false));
  EXPECT_EQ(LogText(), kFrameLog);
  std::vector<std::string> expected;
  for (size_t i = 0; i < kFrame.size(); ++i) {
    expected.push_back(usb_ ? "FT_GetQueueStatus" : "ClearCommError");
    expected.push_back(usb_ ? "FT_Write" : "WriteFile");
  }
  EXPECT_EQ(p.port_calls, expected);
  EXPECT_TRUE(p.driver_args.empty());  // in particular no write of more than one byte
  for (size_t i = 1; i < link.received_at.size(); ++i) {
    EXPECT_GE(link.received_at[i] - link.received_at[i - 1], 500.0);
  }
}

TEST_P(ByteIo, ReceiveTakesExactlyWhatIsQueuedAndJoinsPieces) {
  const double now = p.NowUsec();
  link.Schedule(now, Bytes({0x44, 0x01, 0x04}));
  link.Schedule(now + 10000, Bytes({0x21, 0x00, 0x60}));
  ReceiveBytes(s);
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x01, 0x04}));
  ReceiveBytes(s);  // nothing new: no read at all
  EXPECT_EQ(Reads(), Counts{3});
  p.Advance(10000);
  ReceiveBytes(s);
  EXPECT_EQ(s.RxBuffer, Bytes({0x44, 0x01, 0x04, 0x21, 0x00, 0x60}));
  EXPECT_EQ(Reads(), (Counts{3, 3}));
  EXPECT_FALSE(s.CommError);
  EXPECT_EQ(Log(), "");
}

// A far end whose queue count is far beyond what it delivers: a faulty driver or kernel.
class InflatedQueue : public SimLink {
 public:
  size_t claimed = 0;
  void OnByte(uint8_t, double) override {}
  size_t Queued(double) override { return claimed; }
  std::string Take(size_t max, double) override {
    return std::string(std::min<size_t>(max, 1 << 20), 'x');
  }
  double NextArrival(double) override { return std::numeric_limits<double>::infinity(); }
  void DropQueued(double) override {}
};

TEST_P(ByteIo, AQueueCountBeyondReasonIsReadInBoundedPieces) {
  InflatedQueue inflated;
  (usb_ ? p.usb_devices[0].link : p.com_ports[3]) = &inflated;
  for (const size_t claimed : {size_t{1} << 20, size_t{0xFFFFFFFF}}) {
    inflated.claimed = claimed;
    s.RxBuffer.clear();
    ReceiveBytes(s);
    ASSERT_EQ(LargestRead(), kMaxPortRead) << claimed;
    EXPECT_EQ(s.RxBuffer, std::string(kMaxPortRead, 'x'));
    CleanInputCom(s);
    ASSERT_EQ(LargestRead(), kMaxPortRead) << claimed;
    EXPECT_FALSE(s.CommError);
  }
}

TEST_P(ByteIo, CleaningDropsTheInputAndAbortsReads) {
  link.Schedule(p.NowUsec(), Bytes({1, 2, 3}));
  s.RxBuffer = "kept";
  CleanInputCom(s);
  PurgePort(s);
  EXPECT_EQ(Waiting(), 0u);
  EXPECT_EQ(s.RxBuffer, "kept");
  EXPECT_EQ(Log(), "");
  if (usb_) {
    EXPECT_EQ(p.driver_args, (std::vector<std::string>{"FT_Purge 3", "FT_Purge 2"}));
  } else {
    EXPECT_EQ(p.read_counts, Counts{3});
    EXPECT_EQ(p.purge_comm_flags, Counts{2});
  }
}

// --- The unit talking while a frame goes out ---------------------------------------------------

struct EarlyInput {
  const char* name;
  bool usb;
  size_t after;        // frame bytes written before the unit talks
  size_t written;      // frame bytes that reach the wire
  std::string log;     // without times
  size_t left_queued;  // input bytes still queued afterwards
  std::vector<std::string> driver_args;
};

class EarlyInputTest : public OpenPort, public ::testing::WithParamInterface<EarlyInput> {};

TEST_P(EarlyInputTest, CutsTheFrameExceptBeforeTheLastUsbByte) {
  const EarlyInput& c = GetParam();
  Open(c.usb);
  link.AfterBytes(c.after, 0, Bytes({0x44, 0x01}));
  SendBytes(s, kFrame);
  EXPECT_EQ(link.received, kFrame.substr(0, c.written));
  EXPECT_EQ(LogText(), c.log);  // the whole frame is logged either way
  EXPECT_EQ(Waiting(), c.left_queued);
  EXPECT_EQ(p.driver_args, c.driver_args);
  EXPECT_FALSE(s.CommError);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EarlyInputTest,
    ::testing::Values(EarlyInput{"SerialMidFrame", false, 2, 2, kFrameCutLog, 0, {}},
                      EarlyInput{"SerialBeforeLastByte", false, 5, 5, kFrameCutLog, 0, {}},
                      EarlyInput{"UsbMidFrame", true, 2, 2, kFrameCutLog, 0, {"FT_Purge 3"}},
                      EarlyInput{"UsbBeforeLastByte", true, 5, 6, kFrameLog, 2, {}}),
    [](const auto& tp) { return std::string(tp.param.name); });

// --- Failing calls -------------------------------------------------------------------------------

// Sending and receiving stop with CommError set; cleaning only logs.
enum class Action { kSend, kReceive, kClean };

struct Failure {
  const char* name;
  bool usb;
  const char* calls;  // blank-separated; each fails after `successes` good calls
  int successes;
  Action action;
  std::string before;  // the frame sent, or RxBuffer before a receive
  std::string input;   // queued by the unit
  std::string after;   // what reached the unit after a send, RxBuffer otherwise
  std::string log;     // without times
};

class FailureTest : public OpenPort, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailureTest, IsLoggedExactly) {
  const Failure& c = GetParam();
  Open(c.usb);
  if (!c.input.empty()) link.Schedule(p.NowUsec(), c.input);
  s.queued_input = static_cast<uint32_t>(c.input.size());  // as the last status call left it
  std::istringstream calls(c.calls);
  for (std::string call; calls >> call;) p.FailCall(call, c.successes);
  const double start = p.NowUsec();
  if (c.action == Action::kSend) {
    SendBytes(s, c.before);
    // Every byte written or tried gets its wait, a failed one too.
    EXPECT_GE(p.NowUsec() - start, 500.0 * std::min(c.before.size(), c.after.size() + 1));
  } else if (c.action == Action::kReceive) {
    s.RxBuffer = c.before;
    ReceiveBytes(s);
  } else {
    CleanInputCom(s);
    PurgePort(s);
  }
  EXPECT_EQ(c.action == Action::kSend ? link.received : s.RxBuffer, c.after);
  EXPECT_EQ(LogText(), c.log);
  EXPECT_EQ(s.CommError, c.action != Action::kClean);
}

const std::string kAABB = Bytes({0xAA, 0xBB});
const std::string kLongCut = kLongFrame.substr(0, 2);
const std::string kCleanErr = "GetLastError 1F\r\nLastDllError 1F\r\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureTest,
    ::testing::Values(
        // A failed write stops the frame after that byte; the text starts with the error
        // code, so no command-name line comes before it.
        Failure{"SerialWrite", false, "WriteFile", 2, Action::kSend, kLongFrame, "", kLongCut,
                "WriteFile Send\r\n" + kSerialErr + "ERR_H 314102080C010203040546\r\n"},
        Failure{"UsbWrite", true, "FT_Write", 2, Action::kSend, kLongFrame, "", kLongCut,
                "FT_Write Send\r\n" + kUsbErr + "ERR_H 314102080C010203040546\r\n"},
        // A failed status call before a byte is logged and the byte still written.
        Failure{"SerialSendStatus", false, "ClearCommError", 0, Action::kSend, kAABB, "", kAABB,
                "ClearCommError Send\r\n" + kSerialErr + "ClearCommError Send\r\n" + kSerialErr +
                    "T AABB\r\n"},
        Failure{"UsbSendStatus", true, "FT_GetQueueStatus", 0, Action::kSend, kAABB, "", kAABB,
                "FT_GetQueueStatus Send\r\n" + kUsbErr + "FT_GetQueueStatus Send\r\n" + kUsbErr +
                    "T AABB\r\n"},
        // A failed status call reads nothing.
        Failure{"SerialReceiveStatus", false, "ClearCommError", 0, Action::kReceive, "",
                Bytes({0x44}), "", "ClearCommError Recive \r\n" + kSerialErr},
        Failure{"UsbReceiveStatus", true, "FT_GetQueueStatus", 0, Action::kReceive, "",
                Bytes({0x44}), "", "FT_GetQueueStatus Recive\r\n" + kUsbErr},
        // A failed read appends the whole read buffer, whatever the call put into it.
        Failure{"SerialRead", false, "ReadFile", 0, Action::kReceive, Bytes({0x44, 0x01}),
                Bytes({0x04, 0x21}), Bytes({0x44, 0x01, 0, 0}),
                "ReadFile Recive\r\n" + kSerialErr + "R 44010000\r\n"},
        Failure{"UsbRead", true, "FT_Read", 0, Action::kReceive, Bytes({0x44}), Bytes({0x01, 0x04}),
                Bytes({0x44, 0, 0}), "FT_Read Recive\r\n" + kUsbErr + "R 440000\r\n"},
        // A failed status call reports an empty queue, so nothing is read.
        Failure{"SerialClean", false, "ClearCommError ReadFile PurgeComm", 0, Action::kClean, "",
                Bytes({1}), "",
                "ClearCommError Error#0\r\n" + kCleanErr + "PurgeComm Error#0\r\n" + kCleanErr},
        Failure{"SerialCleanRead", false, "ReadFile", 0, Action::kClean, "", Bytes({1, 2}), "",
                "ReadFile CleanInputCom Error#0\r\n" + kCleanErr},
        Failure{"UsbClean", true, "FT_Purge", 0, Action::kClean, "", Bytes({1}), "",
                "FT_Purge Error#18\r\nFT_Purge Error#18\r\n"}),
    [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace ecub::test
