// A control unit that answers as the unit in a traffic log did. Each request frame gets the
// answers that followed the same frame in the log, the k-th time it is sent getting the k-th
// recorded answer (the last one again once the log runs out), after the recorded delay.
//
// The log holds frame bytes: what the server handed to its send table and got out of its
// receive table. A scrambled session is therefore logged in plain, and its replay must be
// scrambled again on the way to the wire (a permutation given to the unit) for the server,
// which scrambles too, to understand it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crypt/crypt.h"
#include "sim/sim_link.h"

namespace ecub::tools {

struct RecordedAnswer {
  std::optional<std::string> bytes;  // nullopt: the unit stayed silent
  double delay_usec = 0;             // from the request's last byte
};

struct ReplayScript {
  std::map<std::string, std::vector<RecordedAnswer>> answers;  // by request frame
  size_t exchanges = 0;                                        // requests with their answers
};

// Reads the script from a traffic log's contents. False with the reason when the log holds no
// request the server sent whole.
bool BuildReplayScript(const std::string& log_contents, ReplayScript& script, std::string& error);

class ReplayUnit : public ScheduledLink {
 public:
  // `speed` scales the recorded delays (0: answer at once); `permutation` (frame byte to wire
  // byte) when the unit talks scrambled.
  ReplayUnit(ReplayScript script, double speed, std::optional<ByteTable> permutation);

  // What the unit does with each request: its frame (plain), what goes out, and whether the
  // log knew the frame at all. Called for every request. A scrambled unit takes a request in
  // plain too, when it is a whole frame with a right checksum, and answers it as recorded.
  std::function<void(const std::string& request, const RecordedAnswer& answer, bool known,
                     double now_usec)>
      on_request;

  void OnByte(uint8_t wire_byte, double now_usec) override;
  void OnClose(double now_usec) override;

  size_t requests() const { return requests_; }
  size_t unknown() const { return unknown_; }

 private:
  const std::vector<RecordedAnswer>* Lookup(const std::string& frame) const;

  void Answer(const std::string& request, double now_usec);

  // A request being received, read through one table.
  struct Reader {
    ByteTable table{};  // wire byte -> frame byte
    std::string partial;
  };

  ReplayScript script_;
  double speed_;
  std::optional<ByteTable> permutation_;
  // Plain only; or, for a scrambled unit, descrambled and plain side by side: a server that
  // tries both ways (CRIPT PROTO 2) logs its plain tries with the same frames, and a replay
  // must count them like the recorded unit did, which heard them as noise and kept silent.
  std::vector<Reader> readers_;
  std::map<std::string, size_t> sent_count_;
  double last_byte_usec_ = 0;
  size_t requests_ = 0;
  size_t unknown_ = 0;
};

struct ReplayOptions {
  std::string log_path;
  std::string ports;
  int com = 0;
  double speed = 1;
  bool scrambled = false;
  std::string scramble_table;  // empty: the built-in permutation
  double seconds = 0;          // 0: until a signal
  bool quiet = false;
};

// ecubridge-sim --replay: serves the log's unit on <ports>/COMn until SIGINT or SIGTERM. The
// exit status: 0 ended, 1 the log or the table cannot be used or the port not set up.
int ServeReplay(const ReplayOptions& options);

}  // namespace ecub::tools
