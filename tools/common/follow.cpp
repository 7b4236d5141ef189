#include "common/follow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace ecub::tools {

namespace {

// The first line of a log holds the clock reading at its start, so the head of the file tells
// one run's log from the next even when the new one reuses the file and grows past the old
// size before we look.
constexpr size_t kHeadSize = 64;

void Sleep(int ms) {
  timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);  // a signal ends it early, which is what a stop wants
}

class Follower {
 public:
  Follower(const std::string& path, const FollowCallbacks& callbacks)
      : path_(path), callbacks_(callbacks) {}
  ~Follower() { Close(); }
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

  // One look: reads what is new; false when there was nothing.
  bool Step() {
    if (fd_ < 0 && !Open()) return false;
    char buffer[65536];
    const ssize_t n = pread(fd_, buffer, sizeof buffer, static_cast<off_t>(offset_));
    // Checked after the read: bytes read from a file that was started anew meanwhile may
    // belong to the new log, at the old one's offset, and are read again from its start.
    if (Replaced()) {
      Flush();
      Close();
      Note(path_ + " was started anew: following the new log");
      Open();
      return true;
    }
    if (n <= 0) return false;
    Take(std::string(buffer, static_cast<size_t>(n)));
    return true;
  }

  void Flush() {
    std::vector<LogEvent> events;
    reader_.Finish(events);
    Show(events);
  }

 private:
  bool Open() {
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      if (!waiting_) Note("waiting for " + path_ + " to appear");
      waiting_ = true;
      return false;
    }
    waiting_ = false;
    struct stat st {};
    fstat(fd_, &st);
    inode_ = st.st_ino;
    device_ = st.st_dev;
    offset_ = 0;
    head_.clear();
    reader_ = TrafficLogReader();
    return true;
  }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  void Take(const std::string& bytes) {
    if (head_.size() < kHeadSize) head_ += bytes.substr(0, kHeadSize - head_.size());
    offset_ += bytes.size();
    std::vector<LogEvent> events;
    reader_.Feed(bytes, events);
    Show(events);
  }

  void Show(const std::vector<LogEvent>& events) {
    for (const LogEvent& e : events) callbacks_.entry(e);
  }

  // The name now leads to another file, the file is shorter than what was read, or it begins
  // differently: a new run's log.
  bool Replaced() {
    struct stat st {};
    if (stat(path_.c_str(), &st) != 0) return false;  // moved aside; its successor will come
    if (st.st_ino != inode_ || st.st_dev != device_) return true;
    if (static_cast<uint64_t>(st.st_size) < offset_) return true;
    std::string head(head_.size(), '\0');
    const ssize_t n = pread(fd_, head.data(), head.size(), 0);
    return n >= 0 && head.substr(0, static_cast<size_t>(n)) != head_;
  }

  void Note(const std::string& text) {
    if (callbacks_.note) callbacks_.note(text);
  }

  std::string path_;
  const FollowCallbacks& callbacks_;
  TrafficLogReader reader_;
  int fd_ = -1;
  ino_t inode_ = 0;
  dev_t device_ = 0;
  uint64_t offset_ = 0;
  std::string head_;
  bool waiting_ = false;
};

}  // namespace

void FollowLog(const std::string& path, const FollowCallbacks& callbacks,
               const volatile std::sig_atomic_t& stop, int poll_ms) {
  Follower follower(path, callbacks);
  while (stop == 0) {
    if (!follower.Step()) Sleep(poll_ms);
  }
  follower.Flush();
}

}  // namespace ecub::tools
