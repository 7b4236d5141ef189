#include "sim/posix/pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/posix/any_baud.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/serial_termios.h"

namespace ecub {

namespace {

double ToUsec(int64_t ns) {
  return static_cast<double>(ns) / 1000.0;
}

// `what` with the reason the last call failed; errno 0 means `what` says it all.
std::string Why(const char* what) {
  if (errno == 0) return what;
  return std::string(what) + ": " + std::strerror(errno);
}

// Makes `folder` and its missing parents (a fresh account has neither the program folder nor
// its ports/).
bool MakeFolders(const std::string& folder) {
  struct stat info {};
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) || (errno = ENOTDIR, false);
  const size_t slash = folder.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(folder.substr(0, slash))) {
    return false;
  }
  return mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string LinkTarget(const std::string& path) {
  char target[512];
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

}  // namespace

PtyLink::PtyLink(SimLink* link, const std::string& ports_folder, int com_number) : link_(link) {
  if (!Open(ports_folder, com_number)) {
    error_ = Why(error_.c_str());
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
}

bool PtyLink::Open(const std::string& ports_folder, int com_number) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  char name[128];
  termios tio{};
  if (master_ < 0) return error_ = "posix_openpt", false;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return error_ = "unlockpt", false;
  if (ptsname_r(master_, name, sizeof name) != 0) return error_ = "ptsname", false;
  slave_path_ = name;
  // Raw from the start: until the port is opened, a cooked terminal would echo the unit's
  // bytes back to it and turn CR into LF.
  if (tcgetattr(master_, &tio) != 0) return error_ = "tcgetattr", false;
  cfmakeraw(&tio);
  if (tcsetattr(master_, TCSANOW, &tio) != 0) return error_ = "tcsetattr", false;
  slave_keep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave_keep_ < 0) return error_ = "open " + slave_path_, false;
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return error_ = "pipe2", false;
  // Opens and closes of the slave are the port being opened and closed; the one held here is
  // already open, so it is not counted.
  notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (notify_ < 0 || inotify_add_watch(notify_, name, IN_OPEN | IN_CLOSE) < 0) {
    return error_ = "inotify", false;
  }
  if (!MakeFolders(ports_folder)) return error_ = "make folder " + ports_folder, false;
  const std::string path = ports_folder + "/COM" + std::to_string(com_number);
  // A COMn that is there already is someone's own port (a link to a real cable, another
  // simulator's terminal): never replaced. symlink() refuses it in the same step.
  if (symlink(name, path.c_str()) != 0) {
    if (errno != EEXIST) return error_ = "symlink " + path, false;
    const std::string target = LinkTarget(path);
    errno = 0;
    return error_ = path + (target.empty() ? "" : " (-> " + target + ")") +
                    " is not this simulator's; remove it or choose another port",
           false;
  }
  link_path_ = path;
  return true;
}

PtyLink::~PtyLink() {
  HangUp();
  if (slave_keep_ >= 0) close(slave_keep_);
  // Only our own link goes: one replaced since by someone else stays.
  if (!link_path_.empty() && LinkTarget(link_path_) == slave_path_) unlink(link_path_.c_str());
  for (int fd : {wake_[0], wake_[1], notify_}) {
    if (fd >= 0) close(fd);
  }
}

void PtyLink::ToLink(double now_usec) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;  // nothing more now
    for (ssize_t i = 0; i < n; ++i) link_->OnByte(static_cast<uint8_t>(buffer[i]), now_usec);
    to_link_ += static_cast<uint64_t>(n);
  }
}

void PtyLink::Transfer(double now_usec) {
  alignas(inotify_event) char events[1024];
  ssize_t size = 0;
  while ((size = read(notify_, events, sizeof events)) > 0) {
    for (ssize_t at = 0; at < size;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      if (event->mask & IN_OPEN) {
        termios tio{};
        const speed_t speed = tcgetattr(master_, &tio) == 0 ? cfgetospeed(&tio) : B0;
        link_->OnOpen(IsAnyBaudCode(speed) ? GetAnyBaud(master_) : TermiosBaud(speed), now_usec);
      } else if (event->mask & IN_CLOSE) {
        ToLink(now_usec);  // what was written before the close came first
        link_->OnClose(now_usec);
        pending_.clear();  // lost with the port, as the link's own queue is
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ToLink(now_usec);
  const size_t ready = link_->Queued(now_usec);
  if (ready > 0) pending_ += link_->Take(ready, now_usec);
  while (!pending_.empty()) {
    const ssize_t n = write(master_, pending_.data(), pending_.size());
    if (n <= 0) break;  // the port's input queue is full: the rest waits for room
    pending_.erase(0, static_cast<size_t>(n));
    from_link_ += static_cast<uint64_t>(n);
  }
}

void PtyLink::Step() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (master_ < 0) return;
  Transfer(ToUsec(MonotonicNs()));
}

void PtyLink::Serve(int64_t deadline_ns, bool until_stopped) {
  for (;;) {
    int64_t wake_ns = deadline_ns;
    short events = POLLIN;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (master_ < 0) return;
      const int64_t now_ns = MonotonicNs();
      Transfer(ToUsec(now_ns));
      if (!until_stopped && now_ns >= deadline_ns) return;
      const double next_usec = link_->NextArrival(ToUsec(now_ns));
      if (std::isfinite(next_usec)) {
        const double next_ns = std::ceil(next_usec * 1000.0);
        if (next_ns < static_cast<double>(wake_ns)) wake_ns = static_cast<int64_t>(next_ns);
      }
      if (!pending_.empty()) events |= POLLOUT;
    }
    if (until_stopped && stop_) return;
    pollfd fds[3] = {{master_, events, 0}, {wake_[0], POLLIN, 0}, {notify_, POLLIN, 0}};
    const int64_t left_ns = wake_ns - MonotonicNs();
    timespec left{};
    if (left_ns > 0) {
      left.tv_sec = static_cast<time_t>(left_ns / 1'000'000'000);
      left.tv_nsec = static_cast<long>(left_ns % 1'000'000'000);
    }
    const int ready = ppoll(fds, 3, &left, nullptr);
    if (ready > 0 && (fds[1].revents & POLLIN)) {
      char drain[64];
      while (read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
  }
}

void PtyLink::RunFor(double ms) {
  Serve(MonotonicNs() + static_cast<int64_t>(std::llround(ms * 1e6)), false);
}

void PtyLink::Start() {
  if (thread_.joinable() || master_ < 0) return;
  stop_ = false;
  thread_ = std::thread([this] { Serve(std::numeric_limits<int64_t>::max(), true); });
}

void PtyLink::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const char wake = 1;
  if (write(wake_[1], &wake, 1) < 0) {
    // The pipe is full, so the thread is awake already.
  }
  thread_.join();
}

void PtyLink::HangUp() {
  Stop();
  std::lock_guard<std::mutex> lock(mutex_);
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
    hung_up_ = true;
  }
  // The slave held here stays open until destruction: it keeps the terminal's number taken,
  // so the COMn link cannot come to name a newer terminal while the port is reopened.
}

}  // namespace ecub
