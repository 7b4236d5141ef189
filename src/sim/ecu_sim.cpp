#include "sim/ecu_sim.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "codec/hex.h"

namespace ecub {
namespace {

constexpr uint8_t kRequestStart = 0x41;
constexpr uint8_t kRequestSecond = 0x02;
constexpr uint8_t kAnswerSecond = 0x01;
constexpr size_t kMaxFrame = 257;  // a length byte of 255 plus the two bytes before it

// Sets one byte that is not the last and keeps the XOR of the whole frame unchanged.
void Patch(std::string& frame, size_t offset, uint8_t value) {
  if (offset + 1 >= frame.size()) return;
  const uint8_t delta = static_cast<uint8_t>(ByteAt(frame, offset) ^ value);
  frame[offset] = static_cast<char>(value);
  frame.back() = static_cast<char>(ByteAt(frame, frame.size() - 1) ^ delta);
}

// Gives the answer an outcome byte at offset 4; an answer too short to hold one besides its
// checksum is rebuilt around it.
void SetOutcome(std::string& frame, uint8_t outcome) {
  if (frame.size() >= 6) {
    Patch(frame, 4, outcome);
  } else if (frame.size() >= 4) {
    frame.resize(4);
    frame.push_back(static_cast<char>(outcome));
    frame[2] = static_cast<char>(frame.size() - 1);  // the checksum still to come
    frame.push_back(static_cast<char>(EcuSim::Xor(frame)));
  }
}

}  // namespace

uint8_t EcuSim::Xor(const std::string& bytes) {
  uint8_t x = 0;
  for (char c : bytes) x = static_cast<uint8_t>(x ^ static_cast<uint8_t>(c));
  return x;
}

std::string EcuSim::RequestFrame(uint8_t command, const std::string& data) {
  std::string frame;
  frame.push_back(static_cast<char>(kRequestStart));
  frame.push_back(static_cast<char>(kRequestSecond));
  frame.push_back(static_cast<char>(data.size() + 3));
  frame.push_back(static_cast<char>(command));
  frame += data;
  frame.push_back(static_cast<char>(Xor(frame)));
  return frame;
}

std::string EcuSim::Frame(uint8_t command, const Reply& reply) const {
  std::string frame;
  frame.push_back(static_cast<char>(config.start_byte));
  frame.push_back(static_cast<char>(kAnswerSecond));
  frame.push_back('\0');
  frame.push_back(static_cast<char>(command));
  if (reply.has_outcome) frame.push_back(static_cast<char>(reply.outcome));
  // Data beyond what a length byte can announce is cut off.
  frame += reply.data.substr(0, kMaxFrame - 1 - frame.size());
  frame[2] = static_cast<char>(frame.size() - 1);  // length + checksum - the first two bytes
  frame.push_back(static_cast<char>(Xor(frame)));
  return frame;
}

std::string EcuSim::IdentityData() const {
  std::string data = config.ident_filler;
  for (size_t i = 0; i < config.ident_pieces.size(); ++i) {
    if (i > 0) data.push_back(' ');
    data += config.ident_pieces[i];
  }
  return data;
}

std::string EcuSim::IdentityAnswer() const {
  return Frame(kCmdReadFirmware, Reply{IdentityData()});
}

std::string EcuSim::LiveData(double elapsed_usec, uint8_t sequence) {
  const int64_t ms = static_cast<int64_t>(std::max(0.0, elapsed_usec) / 1000.0);
  const int64_t seconds = ms / 1000;
  // The engine revs up and down in a 20 s triangle between idle and 3000 rpm.
  const int64_t phase = ms % 20000;
  const int64_t tri = phase < 10000 ? phase / 10 : (20000 - phase) / 10;  // 0 to 1000
  const int64_t rpm = 800 + 2200 * tri / 1000;
  const int64_t petrol_usec = 2500 + rpm;
  const int64_t gas_usec = petrol_usec * 6 / 5;
  const int64_t map_kpa = 30 + (rpm - 800) / 25;
  // The reducer and the gas warm up after the start and settle.
  const int64_t reducer_c = std::min<int64_t>(20 + seconds / 3, 80);
  const int64_t gas_c = std::min<int64_t>(15 + seconds / 6, 45);
  const int64_t battery_dv = 136 + tri / 250;
  std::string out;
  auto u16 = [&out](int64_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
  };
  u16(rpm);
  u16(petrol_usec);
  u16(gas_usec);
  u16(map_kpa);
  out.push_back(static_cast<char>(reducer_c + 40));
  out.push_back(static_cast<char>(gas_c + 40));
  out.push_back(static_cast<char>(battery_dv));
  out.push_back(static_cast<char>(sequence));
  return out;
}

void EcuSim::SetReply(uint8_t command, const Reply& reply) {
  by_command_[command] = [reply](const Request&, double) { return reply; };
}

void EcuSim::SetReplyFor(const std::string& request_frame, const Reply& reply) {
  by_request_[request_frame] = reply;
}

void EcuSim::SetGenerator(uint8_t command, Generator generator) {
  by_command_[command] = std::move(generator);
}

void EcuSim::ClearReplies() {
  by_request_.clear();
  by_command_.clear();
}

void EcuSim::Inject(Fault fault, int count, int command) {
  if (count == 0) return;
  faults_.push_back(FaultRule{fault, count, command});
}

void EcuSim::SetPermutation(const ByteTable& permutation) {
  permutation_ = permutation;
  for (size_t i = 0; i < permutation_.size(); ++i) {
    inverse_[permutation_[i]] = static_cast<uint8_t>(i);
  }
}

double EcuSim::ByteTime() const {
  return config.baud == 0 ? 0.0 : 10.0 * 1e6 / static_cast<double>(config.baud);
}

void EcuSim::OnByte(uint8_t wire_byte, double now_usec) {
  if (!partial_.empty() && config.frame_timeout_usec > 0 &&
      now_usec - last_byte_usec_ > config.frame_timeout_usec) {
    skipped_ += partial_.size();
    partial_.clear();
    early_done_ = false;
  }
  last_byte_usec_ = now_usec;
  partial_.push_back(static_cast<char>(config.scrambled ? inverse_[wire_byte] : wire_byte));
  Parse(now_usec);
}

void EcuSim::DropFront() {
  partial_.erase(0, 1);
  ++skipped_;
  early_done_ = false;
}

void EcuSim::Parse(double now_usec) {
  for (;;) {
    while (!partial_.empty() && ByteAt(partial_, 0) != kRequestStart) DropFront();
    // A start byte not followed by a request's second byte and a possible length was noise.
    if (partial_.size() >= 2 && ByteAt(partial_, 1) != kRequestSecond) {
      DropFront();
      continue;
    }
    if (partial_.size() >= 3 && ByteAt(partial_, 2) < 3) {
      DropFront();
      continue;
    }
    if (partial_.empty()) return;
    if (!early_done_ && partial_.size() >= std::max<size_t>(config.fault.early_after, 1)) {
      early_done_ = true;
      // Before its command byte has come, a request is hit only by rules for any command.
      constexpr int kNotYetKnown = -2;
      const int command = partial_.size() > 3 ? ByteAt(partial_, 3) : kNotYetKnown;
      if (!TakeFaults(command, true).empty()) {
        Transmit(config.fault.early_bytes, now_usec, std::string::npos, 0);
      }
    }
    if (partial_.size() < 3 || partial_.size() < static_cast<size_t>(ByteAt(partial_, 2)) + 2)
      return;
    const size_t length = static_cast<size_t>(ByteAt(partial_, 2)) + 2;
    Request request;
    request.frame = partial_.substr(0, length);
    request.command = ByteAt(request.frame, 3);
    request.time_usec = now_usec;
    request.checksum_ok = Xor(request.frame) == 0;
    partial_.erase(0, length);
    early_done_ = false;
    requests_.push_back(request);
    Answer(request, now_usec);
  }
}

std::set<EcuSim::Fault> EcuSim::TakeFaults(int command, bool early_talk) {
  std::set<Fault> hit;
  for (FaultRule& rule : faults_) {
    if ((rule.fault == Fault::kEarlyTalk) != early_talk) continue;
    if (rule.command != kAnyCommand && rule.command != command) continue;
    hit.insert(rule.fault);
    if (rule.count > 0) --rule.count;
  }
  std::erase_if(faults_, [](const FaultRule& rule) { return rule.count == 0; });
  return hit;
}

EcuSim::Reply EcuSim::ReplyTo(const Request& request, double now_usec) {
  if (auto it = by_request_.find(request.frame); it != by_request_.end()) return it->second;
  if (auto it = by_command_.find(request.command); it != by_command_.end() && it->second) {
    return it->second(request, now_usec);
  }
  if (request.command == kCmdReadFirmware) {
    if (config.short_ident) {
      return Reply::Raw(std::string("\x42\x01\x04\x21\x00\x66", 6));
    }
    return Reply{IdentityData()};
  }
  if (config.live_commands.count(request.command) > 0) {
    const double origin = live_origin_usec_.value_or(0.0);
    return Reply{LiveData(now_usec - origin, sequence_++)};
  }
  return Reply{};
}

void EcuSim::Answer(const Request& request, double now_usec) {
  const std::set<Fault> faults = TakeFaults(request.command, false);
  const auto has = [&faults](Fault f) { return faults.count(f) > 0; };
  if (!request.checksum_ok && !config.answer_bad_checksum) return;
  if (has(Fault::kSilence)) return;

  Reply reply;
  if (request.checksum_ok) {
    reply = ReplyTo(request, now_usec);
  } else {
    reply.outcome = 0xFF;
  }
  std::string answer = reply.raw ? *reply.raw : Frame(request.command, reply);
  if (answer.empty()) return;

  const FaultParams& p = config.fault;
  if (has(Fault::kWrongEcho) && answer.size() > 3) {
    Patch(answer, 3, static_cast<uint8_t>(ByteAt(answer, 3) + 1));
  }
  if (has(Fault::kOutcomeFE)) SetOutcome(answer, 0xFE);
  if (has(Fault::kOutcomeFF)) SetOutcome(answer, 0xFF);
  if (has(Fault::kWrongStart)) {
    for (size_t i = 0; i < std::min<size_t>(2, p.wrong_start.size()); ++i) {
      Patch(answer, i, ByteAt(p.wrong_start, i));
    }
  }
  if (has(Fault::kBadChecksum))
    answer.back() = static_cast<char>(ByteAt(answer, answer.size() - 1) ^ 0xFF);
  if (has(Fault::kTruncate)) answer.resize(std::min(answer.size(), p.truncate_to));
  if (has(Fault::kTrailing)) answer += p.trailing;

  double start = now_usec + config.answer_delay_usec;
  if (has(Fault::kDelay)) start += p.extra_delay_usec;
  answers_.push_back(answer);
  Transmit(answer, start, has(Fault::kSplit) ? p.split_at : std::string::npos, p.split_gap_usec);
}

void EcuSim::Transmit(const std::string& plain, double start_usec, size_t split_at,
                      double gap_usec) {
  const double byte_time = ByteTime();
  double t = std::max(start_usec, line_free_usec_);
  for (size_t i = 0; i < plain.size(); ++i) {
    if (i == split_at && i > 0) t += gap_usec;
    t += byte_time;
    const uint8_t b = ByteAt(plain, i);
    out_.push_back(OutByte{t, config.scrambled ? permutation_[b] : b});
  }
  line_free_usec_ = std::max(line_free_usec_, t);
}

size_t EcuSim::Queued(double now_usec) {
  const auto arrived = std::partition_point(
      out_.begin(), out_.end(), [now_usec](const OutByte& b) { return b.time_usec <= now_usec; });
  return static_cast<size_t>(arrived - out_.begin());
}

std::string EcuSim::Take(size_t max, double now_usec) {
  std::string taken;
  while (taken.size() < max && !out_.empty() && out_.front().time_usec <= now_usec) {
    taken.push_back(static_cast<char>(out_.front().wire));
    out_.pop_front();
  }
  return taken;
}

double EcuSim::NextArrival(double now_usec) {
  const auto next = std::partition_point(
      out_.begin(), out_.end(), [now_usec](const OutByte& b) { return b.time_usec <= now_usec; });
  return next == out_.end() ? std::numeric_limits<double>::infinity() : next->time_usec;
}

void EcuSim::OnOpen(uint32_t baud, double now_usec) {
  open_ = true;
  ++open_count_;
  open_baud_ = baud;
  if (!live_origin_usec_) live_origin_usec_ = now_usec;
  partial_.clear();
  early_done_ = false;
}

void EcuSim::OnClose(double now_usec) {
  open_ = false;
  out_.clear();  // whatever was on its way is lost with the port
  line_free_usec_ = now_usec;
  partial_.clear();
  early_done_ = false;
}

void EcuSim::DropQueued(double now_usec) {
  while (!out_.empty() && out_.front().time_usec <= now_usec) out_.pop_front();
}

}  // namespace ecub
