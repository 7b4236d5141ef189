// A simulated control unit behind a real serial port: a pseudo-terminal whose slave appears as
// `<ports folder>/COMn`, so the server (or any program) opens it like a COM port, while the
// master side is served in real time from a SimLink. Opens and closes of the port reach the
// link as OnOpen (with the line speed then in force) and OnClose.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "sim/sim_link.h"

namespace ecub {

class PtyLink {
 public:
  // Creates the pseudo-terminal (raw, so no byte is changed or echoed) and links its slave as
  // `ports_folder`/COM`com_number`, making the folder and its parents when missing. A COMn that
  // exists already is never replaced: ok() is then false and error() says why. `link` must
  // outlive this object.
  PtyLink(SimLink* link, const std::string& ports_folder, int com_number);
  // Stops serving, hangs up and removes the link, if it is still ours.
  ~PtyLink();
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  bool ok() const { return master_ >= 0 || hung_up_; }
  const std::string& error() const { return error_; }
  const std::string& slave_path() const { return slave_path_; }
  const std::string& link_path() const { return link_path_; }

  // Serves on the calling thread: moves what the port sent to the link (stamped with the
  // CLOCK_MONOTONIC time in microseconds) and writes what the link has ready, without waiting.
  void Step();
  // Serves on the calling thread for about `ms` milliseconds (at least one Step), sleeping
  // until the next byte from either side.
  void RunFor(double ms);

  // Serves on a background thread until Stop(). Meanwhile touch the link only under Lock().
  void Start();
  void Stop();
  std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }

  // Closes the master side, as an unplugged adapter would: the open port sees a hang-up.
  // Serving stops for good.
  void HangUp();

  // Bytes moved each way so far.
  uint64_t bytes_to_link() const { return to_link_; }
  uint64_t bytes_from_link() const { return from_link_; }

 private:
  bool Open(const std::string& ports_folder, int com_number);
  void Serve(int64_t deadline_ns, bool until_stopped);
  void Transfer(double now_usec);
  void ToLink(double now_usec);

  SimLink* link_;
  int master_ = -1;
  int slave_keep_ = -1;  // keeps the master from seeing a hang-up between server opens
  int wake_[2] = {-1, -1};
  int notify_ = -1;  // inotify on the slave: the port being opened and closed
  bool hung_up_ = false;
  std::string slave_path_;
  std::string link_path_;
  std::string error_;
  std::string pending_;  // link bytes the terminal had no room for yet
  std::mutex mutex_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> to_link_{0};
  std::atomic<uint64_t> from_link_{0};
};

}  // namespace ecub
