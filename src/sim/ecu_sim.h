// A simulated gas-injection control unit at the far end of a serial line or USB interface.
//
// The unit reads request frames (41 02 L command data checksum) from the bytes the server
// writes, and answers each one with an answer frame (start 01 L echo outcome data checksum)
// that reaches the server's side byte by byte at the pace of the line. Time is always supplied
// by the caller: virtual time on the fake platform, monotonic time when served on a real
// terminal. Nothing here is random, so a run replays exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "crypt/crypt.h"
#include "sim/sim_link.h"

namespace ecub {

class EcuSim : public SimLink {
 public:
  // Command codes the unit gives a meaning to.
  static constexpr uint8_t kCmdReadFirmware = 0x21;  // identification
  static constexpr uint8_t kCmdReadMem1 = 0x0C;      // live engine values by default

  // A request frame as the unit parsed it (descrambled when the unit talks scrambled).
  struct Request {
    std::string frame;
    uint8_t command = 0;
    double time_usec = 0;  // arrival of its last byte
    bool checksum_ok = true;
  };

  // What the unit answers to one request.
  struct Reply {
    Reply() = default;
    explicit Reply(std::string answer_data, bool with_outcome = true, uint8_t outcome_byte = 0)
        : data(std::move(answer_data)), has_outcome(with_outcome), outcome(outcome_byte) {}
    // Exactly these bytes, whatever the request was.
    static Reply Raw(std::string bytes) {
      Reply reply;
      reply.raw = std::move(bytes);
      return reply;
    }

    std::string data;                // answer data, after the outcome byte
    bool has_outcome = true;         // false: start 01 L echo data checksum
    uint8_t outcome = 0x00;          // 0xFE: not executed; 0xFF: the request's checksum was wrong
    std::optional<std::string> raw;  // when set, exactly these bytes go out instead of a frame
  };
  using Generator = std::function<Reply(const Request& request, double now_usec)>;

  // Misbehaviours that can be switched on for the next requests.
  enum class Fault {
    kSilence,      // no answer at all
    kBadChecksum,  // the answer's checksum byte is inverted
    kWrongEcho,    // the echoed command byte is the request's plus one (checksum kept valid)
    kOutcomeFE,    // outcome byte 0xFE (inserted when the answer has none)
    kOutcomeFF,    // outcome byte 0xFF (inserted when the answer has none)
    kSplit,        // the answer comes in two pieces, FaultParams::split_at / split_gap_usec
    kDelay,        // the answer starts FaultParams::extra_delay_usec later
    kTrailing,     // FaultParams::trailing follows the answer
    kEarlyTalk,    // FaultParams::early_bytes go out after the request's first early_after bytes
    kWrongStart,   // the first two bytes are FaultParams::wrong_start (checksum kept valid)
    kTruncate,     // only the first FaultParams::truncate_to bytes of the answer go out
  };
  static constexpr int kForever = -1;     // a fault count that never runs out
  static constexpr int kAnyCommand = -1;  // a fault that applies to every command

  struct FaultParams {
    size_t split_at = 3;
    double split_gap_usec = 20000;
    double extra_delay_usec = 100000;
    std::string trailing = std::string("\x55\xAA", 2);
    size_t early_after = 2;
    std::string early_bytes = std::string(1, '\0');
    std::string wrong_start = std::string("\x45\x01", 2);
    size_t truncate_to = 3;
  };

  struct Config {
    uint8_t start_byte = 0x44;        // 'D'; some units answer with 0x42 ('B')
    uint32_t baud = 38400;            // 10 bits per byte; 0 delivers an answer at once
    double answer_delay_usec = 2000;  // from the request's last byte to the answer's start
    // A partly received request is dropped after this long without a byte; 0 keeps it forever.
    double frame_timeout_usec = 100000;
    // Talks scrambled frames only: descrambles what it reads, scrambles what it writes.
    bool scrambled = false;
    // Answer a request whose checksum is wrong with outcome 0xFF; false: stay silent.
    bool answer_bad_checksum = true;
    // Identification: answer 44 01 L 21 00, the filler, then the pieces joined by blanks.
    // Seven filler bytes put the text at offset 12, where the server starts reading it.
    std::string ident_filler = std::string(7, '\0');
    std::vector<std::string> ident_pieces = {"FW", "1.00", "LPGJET-4", "X"};
    // Answers the identification request with the six bytes 42 01 04 21 00 66 instead.
    bool short_ident = false;
    // Commands answered with LiveData() at the time of the request.
    std::set<uint8_t> live_commands = {kCmdReadMem1};
    FaultParams fault;
  };

  EcuSim() { SetPermutation(BuiltinScramblePermutation()); }
  explicit EcuSim(const Config& initial) : config(initial) {
    SetPermutation(BuiltinScramblePermutation());
  }

  Config config;

  // --- Answers. An exact request frame wins over its command; a command's reply or generator
  // wins over the identification and the live values; anything else gets an empty answer with
  // outcome 0.
  void SetAnswer(uint8_t command, const std::string& data) { SetReply(command, Reply{data}); }
  void SetReply(uint8_t command, const Reply& reply);
  void SetReplyFor(const std::string& request_frame, const Reply& reply);
  void SetGenerator(uint8_t command, Generator generator);
  void ClearReplies();

  // --- Faults. Each rule affects the next `count` requests of `command` (or of any command);
  // rules compose, so two rules can hit the same request.
  void Inject(Fault fault, int count = kForever, int command = kAnyCommand);
  void ClearFaults() { faults_.clear(); }

  // --- Scrambling: the permutation a frame byte goes through on its way to the wire.
  void SetPermutation(const ByteTable& permutation);
  const ByteTable& permutation() const { return permutation_; }

  // --- Frames the unit builds.
  // The answer frame of the identification request (long form, whatever short_ident says).
  std::string IdentityAnswer() const;
  // An expected identification the server recognises this unit by: same form as the answer.
  std::string ExpectedIdentity() const { return IdentityAnswer(); }
  // start 01 L command [outcome] data checksum, with the XOR of all bytes 0.
  std::string Frame(uint8_t command, const Reply& reply) const;
  // 41 02 L command data checksum: a request as the server sends it.
  static std::string RequestFrame(uint8_t command, const std::string& data = {});
  // The XOR of all bytes.
  static uint8_t Xor(const std::string& bytes);
  // Live engine values `elapsed_usec` after the first open (little-endian): rpm u16, petrol
  // injection time u16 (us), gas injection time u16 (us), manifold pressure u16 (kPa), reducer
  // temperature u8 and gas temperature u8 (both degrees C + 40), battery u8 (0.1 V), sequence u8.
  static std::string LiveData(double elapsed_usec, uint8_t sequence);

  // --- What happened.
  const std::vector<Request>& requests() const { return requests_; }
  const std::vector<std::string>& answers() const { return answers_; }  // plain, as sent
  size_t answers_sent() const { return answers_.size(); }
  size_t skipped_bytes() const { return skipped_; }  // read outside any request frame
  bool is_open() const { return open_; }
  int open_count() const { return open_count_; }
  uint32_t open_baud() const { return open_baud_; }
  // Answer bytes (on the wire) not yet taken, arrived or in flight.
  size_t Pending() const { return out_.size(); }
  // Drops the requests and answers kept for inspection, so a long run does not pile them up.
  void ForgetRecords() {
    requests_.clear();
    answers_.clear();
  }

  // SimLink. Bytes are read whether or not the port is open (a terminal's far end may not
  // see opens); a close loses the answer bytes in flight and a half-received request.
  void OnByte(uint8_t wire_byte, double now_usec) override;
  size_t Queued(double now_usec) override;
  std::string Take(size_t max, double now_usec) override;
  double NextArrival(double now_usec) override;
  void OnOpen(uint32_t baud, double now_usec) override;
  void OnClose(double now_usec) override;
  void DropQueued(double now_usec) override;

 private:
  struct FaultRule {
    Fault fault;
    int count;
    int command;
  };
  struct OutByte {
    double time_usec;
    uint8_t wire;
  };

  std::string IdentityData() const;  // filler and text
  void Parse(double now_usec);
  void DropFront();
  void Answer(const Request& request, double now_usec);
  Reply ReplyTo(const Request& request, double now_usec);
  // Rules that hit a request of `command` now; their counts are spent.
  std::set<Fault> TakeFaults(int command, bool early_talk);
  // Puts plain bytes on the line, the first one starting no earlier than `start_usec`.
  void Transmit(const std::string& plain, double start_usec, size_t split_at, double gap_usec);
  double ByteTime() const;

  ByteTable permutation_{};
  ByteTable inverse_{};
  std::map<std::string, Reply> by_request_;
  std::map<uint8_t, Generator> by_command_;
  std::vector<FaultRule> faults_;

  std::string partial_;  // plain bytes of the request being received
  double last_byte_usec_ = 0;
  bool early_done_ = false;
  std::deque<OutByte> out_;    // wire bytes in order of arrival
  double line_free_usec_ = 0;  // when the last scheduled byte has arrived

  std::vector<Request> requests_;
  std::vector<std::string> answers_;
  size_t skipped_ = 0;
  bool open_ = false;
  int open_count_ = 0;
  uint32_t open_baud_ = 0;
  uint8_t sequence_ = 0;
  std::optional<double> live_origin_usec_;  // the first open
};

}  // namespace ecub
