#include "platform/win32/win32_platform.h"

#include "platform/win32/win32_convert.h"
// After windows.h (pulled in above): mmsystem.h and tlhelp32.h build on its types.
#include <mmsystem.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/win32/win32_d2xx.h"

namespace ecub {

namespace {

// The process entry the snapshot calls fill must be the ANSI one of the declared size, or
// Process32First refuses it.
static_assert(sizeof(PROCESSENTRY32) == (sizeof(void*) == 4 ? 296 : 304),
              "PROCESSENTRY32 does not have its documented size");

HANDLE H(int64_t value) {
  return static_cast<HANDLE>(IntToHandle(value));
}

// Writes every byte; a pipe or file may take a large buffer in more than one piece.
bool WriteAll(HANDLE handle, const char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const size_t left = size - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(handle, data + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

// Milliseconds for a Windows wait: rounded up, so that a wait never ends before its time and
// a short one does not turn into a spin; INFINITE for no limit.
DWORD WaitMilliseconds(double usec) {
  if (std::isnan(usec) || usec < 0) return INFINITE;
  const double ms = std::ceil(usec / 1000.0);
  return ms >= 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<DWORD>(ms);
}

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// A waitable timer whose wake-ups are precise to well below a millisecond, where Windows offers
// one (Windows 10 1803 and later); null elsewhere.
HANDLE CreatePreciseTimer() {
  return ::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                  TIMER_ALL_ACCESS);
}

double NowUsec() {
  LARGE_INTEGER counter{}, frequency{};
  ::QueryPerformanceCounter(&counter);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// How the high-resolution timer's lateness estimate moves per wake-up, and its bounds.
constexpr double kLatenessStep_usec = 10;
constexpr double kInitialLateness_usec = 200;
constexpr double kMaxLateness_usec = 5000;

// Bytes held back from the reader once this many wait unread, so that a host that writes
// without reading replies meets a full pipe, as it would without the thread.
constexpr size_t kReaderBufferLimit = 1 << 20;

// How long shutdown waits for the reader thread to leave a cancelled read, after the output is
// closed; a cancelled read ends within a fraction of a millisecond, and a read that was not
// cancelled (Wine cannot cancel one on a Linux pipe) must not hold up the exit by much: a host
// on a Linux pipe under Wine sees the output end only when the process ends.
constexpr DWORD kReaderStopWait_ms = 2;

}  // namespace

// The thread that blocks in ReadFile on the host pipe and the bytes it has read. Shared between
// the platform and the thread, so that either may end first.
class HostInputReader {
 public:
  static std::shared_ptr<HostInputReader> Start(HANDLE input) {
    auto reader = std::make_shared<HostInputReader>(input);
    if (reader->ready_ == nullptr) return nullptr;
    auto* handed = new std::shared_ptr<HostInputReader>(reader);
    reader->thread_ = ::CreateThread(nullptr, 0, &HostInputReader::Run, handed, 0, nullptr);
    if (reader->thread_ == nullptr) {
      delete handed;
      return nullptr;
    }
    return reader;
  }

  explicit HostInputReader(HANDLE input)
      : input_(input), ready_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~HostInputReader() {
    if (thread_ != nullptr) ::CloseHandle(thread_);
    if (ready_ != nullptr) ::CloseHandle(ready_);
  }
  HostInputReader(const HostInputReader&) = delete;
  HostInputReader& operator=(const HostInputReader&) = delete;

  // Set while bytes wait, and once when the input ends.
  HANDLE ready() const { return ready_; }

  // False, like a failing PeekNamedPipe, once the pipe has ended and every byte was taken, and
  // once the input is closed.
  bool Peek(uint32_t& available) {
    std::lock_guard<std::mutex> lock(mutex_);
    available = stopping_ ? 0 : static_cast<uint32_t>(std::min<size_t>(bytes_.size(), 0xFFFFFFFFu));
    return available > 0 || !(ended_ || stopping_);
  }

  bool Take(uint32_t count, std::string& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > bytes_.size()) {
      out.clear();
      return false;
    }
    out.assign(bytes_, 0, count);
    bytes_.erase(0, count);
    if (bytes_.empty() && !ended_) ::ResetEvent(ready_);
    room_.notify_one();
    return true;
  }

  // True when nothing can arrive any more and nothing is left.
  bool Drained() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ && bytes_.empty();
  }
  bool HasBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !bytes_.empty();
  }

  // Asks the thread to stop and gives it at most `wait_ms` to do so. A read that cannot be
  // cancelled (the thread not yet in ReadFile, or a pipe whose read Windows or Wine does not
  // cancel) keeps the thread, and the pipe handle it reads, until the process ends, which it
  // does not hold up. True when the thread has ended, so the handle may be closed.
  bool Stop(DWORD wait_ms) {
    bool ended = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      ended = ended_;
    }
    room_.notify_one();
    if (!ended) ::CancelSynchronousIo(thread_);
    return ::WaitForSingleObject(thread_, wait_ms) == WAIT_OBJECT_0;
  }

 private:
  static DWORD WINAPI Run(void* argument) {
    std::unique_ptr<std::shared_ptr<HostInputReader>> self(
        static_cast<std::shared_ptr<HostInputReader>*>(argument));
    (*self)->Loop();
    return 0;
  }

  void Loop() {
    std::vector<char> buffer(65536);
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        room_.wait(lock, [this] { return stopping_ || bytes_.size() < kReaderBufferLimit; });
        if (stopping_) break;
      }
      DWORD got = 0;
      bool ok =
          ::ReadFile(input_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) != 0;
      // A message pipe hands a message longer than the buffer over in parts, each but the last
      // "failing" with ERROR_MORE_DATA: those are bytes like any others.
      if (!ok && got > 0 && ::GetLastError() == ERROR_MORE_DATA) ok = true;
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      // Nothing comes after the end, so the thread ends with it rather than read again: a read
      // of no bytes is the end of a socket or of a pipe handed over as standard input (and what
      // Wine gives for a Linux pipe whose writer closed it), and it stays so for every later
      // read; ERROR_BROKEN_PIPE is a host that closed its anonymous pipe, ERROR_HANDLE_EOF the
      // end of a file; no other failure of a pipe read heals either.
      if (!ok || got == 0) break;
      bytes_.append(buffer.data(), got);
      ::SetEvent(ready_);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    ::SetEvent(ready_);  // a waiter wakes once to see the end
  }

  HANDLE input_;
  HANDLE ready_;
  HANDLE thread_ = nullptr;
  std::mutex mutex_;
  std::condition_variable room_;
  std::string bytes_;
  bool ended_ = false;
  bool stopping_ = false;
};

int64_t HandleToInt(void* handle) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(handle));
}

void* IntToHandle(int64_t value) {
  return reinterpret_cast<void*>(static_cast<intptr_t>(value));
}

Win32Platform::Win32Platform()
    : Win32Platform(::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE)) {}

Win32Platform::Win32Platform(void* host_input, void* host_output)
    : host_input_(host_input),
      host_output_(host_output),
      precise_timer_(CreatePreciseTimer()),
      timer_lateness_usec_(kInitialLateness_usec) {
  if (host_input_ != nullptr && host_input_ != INVALID_HANDLE_VALUE &&
      ::GetFileType(host_input_) == FILE_TYPE_PIPE) {
    reader_ = HostInputReader::Start(host_input_);
  }
}

Win32Platform::~Win32Platform() {
  if (reader_ && reader_->Stop(0) && input_close_pending_) ::CloseHandle(host_input_for_close_);
  if (precise_timer_ != nullptr) ::CloseHandle(precise_timer_);
}

// --- Host pipe ----------------------------------------------------------------------------

bool Win32Platform::HostPeek(uint32_t& available) {
  available = 0;
  if (reader_) return reader_->Peek(available);
  DWORD total = 0;
  if (!::PeekNamedPipe(host_input_, nullptr, 0, nullptr, &total, nullptr)) return false;
  available = total;
  return true;
}

bool Win32Platform::HostRead(uint32_t count, std::string& out) {
  if (reader_) return reader_->Take(count, out);
  out.assign(count, '\0');
  uint32_t got = 0;
  // The peeked bytes are all there; a read may still hand them over in pieces.
  while (got < count) {
    DWORD read = 0;
    if (!::ReadFile(host_input_, out.data() + got, count - got, &read, nullptr) || read == 0) {
      out.resize(got);
      return false;
    }
    got += read;
  }
  return true;
}

bool Win32Platform::HostWrite(const std::string& data) {
  // One call for the whole reply, so that replies never interleave on the pipe.
  DWORD written = 0;
  return ::WriteFile(host_output_, data.data(), static_cast<DWORD>(data.size()), &written,
                     nullptr) &&
         written == data.size();
}

void Win32Platform::HostCloseInput() {
  // A thread still blocked in ReadFile would block the close too: the reader is asked to stop
  // now, and the handle is closed once the output is, if the reader has left its read by then.
  if (reader_) {
    reader_->Stop(0);
    host_input_for_close_ = host_input_;
    input_close_pending_ = true;
  } else {
    ::CloseHandle(host_input_);
  }
  host_input_ = INVALID_HANDLE_VALUE;
}

bool Win32Platform::HostInputEnded() {
  return reader_ != nullptr && reader_->Drained();
}

void Win32Platform::HostCloseOutput() {
  ::CloseHandle(host_output_);
  host_output_ = INVALID_HANDLE_VALUE;
  // The host knows the server is done; now the reader gets a moment to leave a cancelled read.
  // One that was not cancelled must not hold up the exit, which ends it.
  if (input_close_pending_ && reader_->Stop(kReaderStopWait_ms)) {
    ::CloseHandle(host_input_for_close_);
  }
  input_close_pending_ = false;
}

void Win32Platform::HostWaitInput(double max_usec) {
  if (TakeWake()) return;
  if (reader_ && reader_->HasBytes()) return;
  // Once the host has gone nothing can arrive: sleep the whole time rather than wake for it.
  WaitFor(reader_ && !reader_->Drained() ? reader_->ready() : nullptr, max_usec);
  TakeWake();  // asked for by a message run at the end of this wait, which returns anyway
}

bool Win32Platform::WaitPortOrHostInput(int64_t, bool, double max_usec) {
  if (!reader_) return false;
  HostWaitInput(max_usec);
  return true;
}

void Win32Platform::WaitFor(void* handle, double max_usec) {
  const DWORD timeout = WaitMilliseconds(max_usec);
  HANDLE handles[1] = {static_cast<HANDLE>(handle)};
  // Window messages already in the queue were let run by the caller; new ones end the wait so
  // that the status form stays alive.
  const DWORD count = handle != nullptr ? 1 : 0;
  const DWORD woke =
      ::MsgWaitForMultipleObjectsEx(count, handles, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  // Run the message that ended the wait now, so that what it asks of the loop (a closed status
  // form ends the server) is seen in this pass, not after the next wake-up.
  if (woke == WAIT_OBJECT_0 + count) PumpMessages();
}

bool Win32Platform::TakeWake() {
  const bool wake = wake_;
  wake_ = false;
  return wake;
}

// --- Clock and sleep ----------------------------------------------------------------------

bool Win32Platform::QueryPerformanceFrequency(int64_t& frequency) {
  LARGE_INTEGER value{};
  const bool ok = ::QueryPerformanceFrequency(&value) != 0;
  frequency = ok ? value.QuadPart : 0;
  return ok;
}

bool Win32Platform::QueryPerformanceCounter(int64_t& counter) {
  LARGE_INTEGER value{};
  const bool ok = ::QueryPerformanceCounter(&value) != 0;
  counter = ok ? value.QuadPart : 0;
  return ok;
}

uint64_t Win32Platform::TickCountMs() {
  return ::GetTickCount64();  // from Vista on, so on every Windows the server runs on
}

void Win32Platform::Sleep(uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

void Win32Platform::SleepMicroseconds(double usec) {
  if (!(usec > 0)) return;
  if (precise_timer_ == nullptr) {
    const double ms = std::floor(usec / 1000.0);
    ::Sleep(ms > 4e9 ? 4000000000u : static_cast<DWORD>(ms));
    return;
  }
  const double start = NowUsec();
  const double end = start + usec;
  // Wake early by the lateness seen so far; the caller spins what is left.
  const double target = end - timer_lateness_usec_;
  for (;;) {
    const double left = target - NowUsec();
    if (left < 50) break;  // not worth a timer
    LARGE_INTEGER due{};
    due.QuadPart = -static_cast<LONGLONG>(left * 10.0);  // relative, in 100 ns steps
    if (!::SetWaitableTimer(precise_timer_, &due, 0, nullptr, nullptr, FALSE)) return;
    HANDLE timer = precise_timer_;
    const DWORD woke =
        ::MsgWaitForMultipleObjectsEx(1, &timer, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_OBJECT_0) {
      // Learn how late the timer fires: three steps up for each one down settles where one
      // wake-up in four comes later than the estimate, so most waits end on time with a short
      // spin and a rare late one does not turn every later wait into a spin.
      const double late = NowUsec() - target;
      timer_lateness_usec_ +=
          late > timer_lateness_usec_ ? 3 * kLatenessStep_usec : -kLatenessStep_usec;
      timer_lateness_usec_ = std::clamp(timer_lateness_usec_, 0.0, kMaxLateness_usec);
      break;
    }
    PumpMessages();  // a window message came first: let it run and sleep on
  }
}

void Win32Platform::TimeBeginPeriod(uint32_t milliseconds) {
  ::timeBeginPeriod(milliseconds);
}

void Win32Platform::TimeEndPeriod(uint32_t milliseconds) {
  ::timeEndPeriod(milliseconds);
}

void Win32Platform::PumpMessages() {
  MSG msg;
  while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // The status form is a plain window: let the dialog manager move the focus with Tab.
    if (dialog_window_ != nullptr && ::IsDialogMessageA(static_cast<HWND>(dialog_window_), &msg)) {
      continue;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
}

// --- Serial port --------------------------------------------------------------------------

int64_t Win32Platform::OpenSerial(const std::string& name) {
  const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  return HandleToInt(handle);
}

bool Win32Platform::GetCommState(int64_t handle, Dcb& dcb) {
  DCB state{};
  state.DCBlength = sizeof state;
  if (!::GetCommState(H(handle), &state)) return false;
  dcb = FromWin32Dcb(state);
  return true;
}

bool Win32Platform::SetCommState(int64_t handle, const Dcb& dcb) {
  DCB state{};
  ToWin32Dcb(dcb, state);
  return ::SetCommState(H(handle), &state) != 0;
}

bool Win32Platform::GetCommTimeouts(int64_t handle, CommTimeouts& timeouts) {
  COMMTIMEOUTS value{};
  if (!::GetCommTimeouts(H(handle), &value)) return false;
  timeouts = FromWin32Timeouts(value);
  return true;
}

bool Win32Platform::SetCommTimeouts(int64_t handle, const CommTimeouts& timeouts) {
  COMMTIMEOUTS value{};
  ToWin32Timeouts(timeouts, value);
  return ::SetCommTimeouts(H(handle), &value) != 0;
}

bool Win32Platform::ClearCommError(int64_t handle, uint32_t& errors, uint32_t& in_queue) {
  DWORD mask = 0;
  COMSTAT status{};
  const bool ok = ::ClearCommError(H(handle), &mask, &status) != 0;
  errors = mask;
  in_queue = ok ? status.cbInQue : 0;
  return ok;
}

bool Win32Platform::PurgeComm(int64_t handle, uint32_t flags) {
  return ::PurgeComm(H(handle), flags) != 0;
}

bool Win32Platform::ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) {
  out.assign(count, '\0');
  DWORD got = 0;
  const bool ok = ::ReadFile(H(handle), out.data(), count, &got, nullptr) != 0;
  out.resize(got <= count ? got : count);
  read = got;
  return ok;
}

bool Win32Platform::WriteFile(int64_t handle, const std::string& data, uint32_t& written) {
  DWORD done = 0;
  const bool ok =
      ::WriteFile(H(handle), data.data(), static_cast<DWORD>(data.size()), &done, nullptr) != 0;
  written = done;
  return ok;
}

bool Win32Platform::CloseHandle(int64_t handle) {
  return ::CloseHandle(H(handle)) != 0;
}

uint32_t Win32Platform::GetLastError() {
  return ::GetLastError();
}

// --- FTDI driver --------------------------------------------------------------------------

D2xx& Win32Platform::Ftdi() {
  if (!ftdi_) ftdi_ = std::make_unique<Win32D2xx>();
  return *ftdi_;
}

// --- Process list -------------------------------------------------------------------------

bool Win32Platform::ListProcesses(std::vector<std::string>& names) {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  if (::Process32First(snapshot, &entry) != TRUE) {
    ::CloseHandle(snapshot);
    return false;
  }
  names.clear();
  do {
    std::string name = ProcessEntryName(entry);
    if (!name.empty()) names.push_back(std::move(name));
    entry.dwSize = sizeof entry;
  } while (::Process32Next(snapshot, &entry));
  ::CloseHandle(snapshot);
  return true;
}

// --- Files --------------------------------------------------------------------------------

bool Win32Platform::FileReadable(const std::string& path) {
  // Opening a folder without backup semantics fails, so only files pass.
  const HANDLE file =
      ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  ::CloseHandle(file);
  return true;
}

bool Win32Platform::ReadWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  const HANDLE file =
      ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    contents.append(buffer, got);
  }
  ::CloseHandle(file);
  return ok;
}

bool Win32Platform::WriteWholeFile(const std::string& path, const std::string& contents) {
  const HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = WriteAll(file, contents.data(), contents.size());
  const bool closed = ::CloseHandle(file) != 0;
  return written && closed;
}

bool Win32Platform::CopyFileReplace(const std::string& from, const std::string& to) {
  return ::CopyFileW(WidePath(from).c_str(), WidePath(to).c_str(), FALSE) != 0;
}

bool Win32Platform::MoveFileReplace(const std::string& from, const std::string& to) {
  return ::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING) !=
         0;
}

int64_t Win32Platform::OpenWriteFile(const std::string& path) {
  // Others may read the traffic log while the server writes it.
  const HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return HandleToInt(file);
}

int64_t Win32Platform::OpenAppendFile(const std::string& path) {
  // Append-only access: every write goes to the end of the file.
  const HANDLE file = ::CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return HandleToInt(file);
}

bool Win32Platform::WriteOpenFile(int64_t file, const std::string& data) {
  if (file == kInvalidHandle || file == 0) return false;
  return WriteAll(H(file), data.data(), data.size());
}

void Win32Platform::CloseOpenFile(int64_t file) {
  if (file != kInvalidHandle && file != 0) ::CloseHandle(H(file));
}

LocalDateTime Win32Platform::LocalNow() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  return FromSystemTime(now);
}

std::string Win32Platform::FormatGeneralDate(const LocalDateTime& when) {
  const SYSTEMTIME st = ToSystemTime(when);
  char date[128] = {};
  char time[128] = {};
  // The user's short date and long time, as the general date format shows them.
  if (::GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, date, sizeof date) == 0) {
    date[0] = '\0';
  }
  if (::GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, sizeof time) == 0) {
    time[0] = '\0';
  }
  return std::string(date) + " " + time;
}

// --- Message box --------------------------------------------------------------------------

void Win32Platform::ShowMessage(const std::string& text, const std::string& title) {
  ::MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | MB_TASKMODAL);
}

// --- Program folder -----------------------------------------------------------------------

std::string Win32ProgramFolder() {
  // The wide form: the ANSI one turns letters outside the code page into '?'.
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return ".";
    if (length < path.size()) {
      const std::wstring exe(path.data(), length);
      const size_t separator = exe.find_last_of(L"\\/");
      return separator == std::wstring::npos ? std::string(".")
                                             : Utf8Path(exe.substr(0, separator));
    }
    // The path was cut to the buffer: try again with more room.
    if (path.size() >= 32768) return ".";
    path.resize(path.size() * 2);
  }
}

}  // namespace ecub
