// The far end of a simulated serial line or USB interface, on the fake platform's virtual
// clock. The simulated control unit implements it; tests may plug in simpler scripted ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <utility>

namespace ecub {

class SimLink {
 public:
  virtual ~SimLink() = default;
  // The server put one byte on the wire at virtual time `now_usec`.
  virtual void OnByte(uint8_t wire_byte, double now_usec) = 0;
  // How many bytes have reached the server's side by `now_usec` and wait to be read.
  virtual size_t Queued(double now_usec) = 0;
  // Takes up to `max` of the waiting bytes, oldest first.
  virtual std::string Take(size_t max, double now_usec) = 0;
  // When the next byte not yet waiting will arrive; infinity when none is on its way.
  virtual double NextArrival(double now_usec) = 0;
  // The port was opened (line settings as given) or closed by the server.
  virtual void OnOpen(uint32_t /*baud*/, double /*now_usec*/) {}
  virtual void OnClose(double /*now_usec*/) {}
  // Drops whatever waits to be read (a purge of the receive buffer).
  virtual void DropQueued(double now_usec) { Take(std::numeric_limits<size_t>::max(), now_usec); }
};

// A far end whose bytes arrive at scheduled virtual times: the reading side of SimLink done once,
// for scripted ends that only decide what to send and when.
class ScheduledLink : public SimLink {
 public:
  // Bytes that arrive at absolute virtual time `at_usec` (after any due at the same time).
  void Schedule(double at_usec, std::string bytes) { due_.emplace(at_usec, std::move(bytes)); }

  size_t Queued(double now_usec) override {
    Deliver(now_usec);
    return queue_.size();
  }
  std::string Take(size_t max, double now_usec) override {
    Deliver(now_usec);
    std::string out = queue_.substr(0, max);
    queue_.erase(0, out.size());
    return out;
  }
  double NextArrival(double now_usec) override {
    Deliver(now_usec);
    return due_.empty() ? std::numeric_limits<double>::infinity() : due_.begin()->first;
  }

 protected:
  // Forgets what waits and what is on its way (a line whose port was closed).
  void Forget() {
    due_.clear();
    queue_.clear();
  }

 private:
  void Deliver(double now_usec) {
    while (!due_.empty() && due_.begin()->first <= now_usec) {
      queue_ += due_.begin()->second;
      due_.erase(due_.begin());
    }
  }
  std::multimap<double, std::string> due_;
  std::string queue_;
};

}  // namespace ecub
