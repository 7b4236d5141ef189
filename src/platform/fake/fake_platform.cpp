#include "platform/fake/fake_platform.h"

#include <algorithm>
#include <cstdio>

namespace ecub {

FakePlatform::FakePlatform() : now_ns(1'000'000'000'000) {}  // 1000 s after an arbitrary origin

void FakePlatform::HostSend(const std::string& bytes, double delay_usec) {
  const int64_t at = now_ns + static_cast<int64_t>(delay_usec * 1000.0);
  auto pos = std::upper_bound(scheduled_.begin(), scheduled_.end(), at,
                              [](int64_t t, const auto& item) { return t < item.first; });
  scheduled_.insert(pos, {at, bytes});
}

void FakePlatform::DeliverDueInput() {
  while (!scheduled_.empty() && scheduled_.front().first <= now_ns) {
    pipe_ += scheduled_.front().second;
    scheduled_.pop_front();
  }
}

std::vector<std::string> FakePlatform::TakeReplies() {
  std::vector<std::string> out;
  out.swap(replies);
  return out;
}

bool FakePlatform::HostPeek(uint32_t& available) {
  available = 0;
  if (peek_fails || input_closed) return false;
  DeliverDueInput();
  available = static_cast<uint32_t>(pipe_.size());
  return true;
}

bool FakePlatform::HostRead(uint32_t count, std::string& out) {
  if (input_closed || count > pipe_.size()) return false;
  out = pipe_.substr(0, count);
  pipe_.erase(0, count);
  return true;
}

bool FakePlatform::HostWrite(const std::string& data) {
  if (output_closed) return false;
  host_output += data;
  replies.push_back(data);
  return true;
}

void FakePlatform::HostWaitInput(double max_usec) {
  DeliverDueInput();
  if (!pipe_.empty()) return;
  int64_t target;
  if (max_usec >= 0) {
    target = now_ns + static_cast<int64_t>(max_usec * 1000.0);
    if (!scheduled_.empty()) target = std::min(target, scheduled_.front().first);
  } else if (!scheduled_.empty()) {
    target = scheduled_.front().first;
  } else {
    // Nothing will ever arrive: jump an hour so a test loop bounded by time still ends.
    ++forever_waits;
    target = now_ns + 3'600'000'000'000;
  }
  now_ns = std::max(now_ns, target);
}

bool FakePlatform::QueryPerformanceFrequency(int64_t& frequency) {
  frequency = has_counter ? 1'000'000'000 : 0;
  return has_counter;
}

bool FakePlatform::QueryPerformanceCounter(int64_t& counter) {
  counter = has_counter ? now_ns : 0;
  now_ns += read_step_ns;
  return has_counter;
}

void FakePlatform::Sleep(uint32_t milliseconds) {
  sleeps_ms.push_back(milliseconds);
  now_ns += static_cast<int64_t>(milliseconds) * 1'000'000;
}

void FakePlatform::SleepMicroseconds(double usec) {
  precise_sleeps_usec.push_back(usec);
  if (usec > 0) now_ns += static_cast<int64_t>(usec * 1000.0);
}

bool FakePlatform::ListProcesses(std::vector<std::string>& names) {
  ++process_list_calls;
  if (process_list_fails) return false;
  names = processes;
  return true;
}

bool FakePlatform::FileReadable(const std::string& path) {
  return files.count(path) > 0;
}

bool FakePlatform::ReadWholeFile(const std::string& path, std::string& contents) {
  auto it = files.find(path);
  if (it == files.end()) return false;
  contents = it->second;
  return true;
}

bool FakePlatform::WriteWholeFile(const std::string& path, const std::string& contents) {
  if (locked.count(path) || folders.count(path)) return false;
  files[path] = contents;
  return true;
}

bool FakePlatform::CopyFileReplace(const std::string& from, const std::string& to) {
  auto it = files.find(from);
  if (copy_fails || it == files.end() || locked.count(to) || folders.count(to)) return false;
  files[to] = it->second;
  return true;
}

int64_t FakePlatform::OpenWriteFile(const std::string& path) {
  if (locked.count(path) || folders.count(path)) return -1;
  files[path].clear();
  open_files[next_file_] = path;
  return next_file_++;
}

bool FakePlatform::WriteOpenFile(int64_t file, const std::string& data) {
  auto it = open_files.find(file);
  if (it == open_files.end()) return false;
  files[it->second] += data;
  return true;
}

void FakePlatform::CloseOpenFile(int64_t file) {
  open_files.erase(file);
}

std::string FakePlatform::FormatGeneralDate(const LocalDateTime& w) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", w.day, w.month, w.year, w.hour,
                w.minute, w.second);
  return text;
}

void FakePlatform::ShowMessage(const std::string& text, const std::string& title) {
  messages.push_back(title + "|" + text);
}

}  // namespace ecub
