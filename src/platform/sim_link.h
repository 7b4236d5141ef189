// The far end of a simulated serial line or USB interface, on the fake platform's virtual
// clock. The simulated control unit implements it; tests may plug in simpler scripted ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

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

}  // namespace ecub
