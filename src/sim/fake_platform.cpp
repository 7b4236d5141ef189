#include "sim/fake_platform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ecub {

FakePlatform::FakePlatform() : now_ns(1'000'000'000'000) {}  // 1000 s after an arbitrary origin

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorSharingViolation = 32;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorDiskFull = 112;
// The driver's status for a transfer that failed on the bus.
constexpr FtResult kFtIoError = 4;
constexpr int64_t kUsbHandleBase = 0x7000;

// Copies `text` as a zero-terminated string into a driver buffer of `size` bytes.
void CopyOut(const std::string& text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  const size_t n = std::min(text.size(), size - 1);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

}  // namespace

void FakePlatform::FailCall(const std::string& name, int successes, int times) {
  if (successes < 0 || times == 0) {
    failures_.erase(name);
  } else {
    failures_[name] = Failure{successes, times};
  }
}

bool FakePlatform::FaultNow(const char* name, Fallible kind) {
  ++platform_calls;
  const bool point = kind == Fallible::kCall    ? call_fault_points
                     : kind == Fallible::kClock ? clock_fault_points
                                                : false;
  if (!point) return false;
  ++fault_points;
  if (record_fault_points) fault_point_names.emplace_back(name);
  if (fault_points != fail_point) return false;
  failed_call = name;
  return true;
}

bool FakePlatform::CallSucceeds(const std::string& name) {
  if (throwing_calls.count(name) > 0) throw std::runtime_error(name + " threw");
  port_calls.push_back(name);
  if (FaultNow(name.c_str())) {
    last_error = kErrorGenFailure;
    return false;
  }
  auto it = failures_.find(name);
  if (it == failures_.end()) return true;
  if (it->second.successes > 0) {
    --it->second.successes;
    return true;
  }
  if (it->second.times > 0 && --it->second.times == 0) failures_.erase(it);
  last_error = kErrorGenFailure;
  return false;
}

int64_t FakePlatform::OpenSerial(const std::string& name) {
  port_calls.push_back("CreateFile " + name);
  if (FaultNow("CreateFile")) {
    last_error = kErrorAccessDenied;
    return kInvalidHandle;
  }
  const std::string prefix = "\\\\.\\COM";
  int number = 0;
  if (name.rfind(prefix, 0) == 0) number = std::atoi(name.c_str() + prefix.size());
  auto it = com_ports.find(number);
  if (it == com_ports.end() || it->second == nullptr) {
    last_error = kErrorFileNotFound;
    return kInvalidHandle;
  }
  const bool in_use = busy_ports.count(number) > 0 ||
                      std::any_of(open_serial.begin(), open_serial.end(),
                                  [&](const auto& entry) { return entry.second.number == number; });
  if (in_use || failures_.count("CreateFile")) {
    last_error = kErrorAccessDenied;
    return kInvalidHandle;
  }
  const int64_t handle = next_handle_++;
  OpenSerialPort port;
  port.number = number;
  port.dcb.BaudRate = 9600;
  port.dcb.fBitFields = 0x1;  // binary mode, as drivers report it
  open_serial[handle] = port;
  it->second->OnOpen(port.dcb.BaudRate, NowUsec());
  return handle;
}

bool FakePlatform::GetCommState(int64_t handle, Dcb& dcb) {
  auto it = open_serial.find(handle);
  if (!CallSucceeds("GetCommState") || it == open_serial.end()) return false;
  dcb = it->second.dcb;
  return true;
}

bool FakePlatform::SetCommState(int64_t handle, const Dcb& dcb) {
  auto it = open_serial.find(handle);
  if (!CallSucceeds("SetCommState") || it == open_serial.end()) return false;
  it->second.dcb = dcb;
  return true;
}

bool FakePlatform::GetCommTimeouts(int64_t handle, CommTimeouts& timeouts) {
  auto it = open_serial.find(handle);
  if (!CallSucceeds("GetCommTimeouts") || it == open_serial.end()) return false;
  timeouts = it->second.timeouts;
  return true;
}

bool FakePlatform::SetCommTimeouts(int64_t handle, const CommTimeouts& timeouts) {
  auto it = open_serial.find(handle);
  if (!CallSucceeds("SetCommTimeouts") || it == open_serial.end()) return false;
  it->second.timeouts = timeouts;
  return true;
}

SimLink* FakePlatform::LinkOf(int64_t handle, bool usb) {
  if (usb) {
    const int64_t index = handle - kUsbHandleBase;
    if (index < 0 || index >= static_cast<int64_t>(usb_devices.size())) return nullptr;
    UsbDevice& device = usb_devices[static_cast<size_t>(index)];
    return device.open ? device.link : nullptr;
  }
  auto it = open_serial.find(handle);
  return it == open_serial.end() ? nullptr : com_ports[it->second.number];
}

bool FakePlatform::ClearCommError(int64_t handle, uint32_t& errors, uint32_t& in_queue) {
  errors = 0;
  in_queue = 0;
  SimLink* link = LinkOf(handle, false);
  if (!CallSucceeds("ClearCommError")) return false;
  if (link == nullptr) {
    last_error = kErrorInvalidHandle;
    return false;
  }
  in_queue = static_cast<uint32_t>(link->Queued(NowUsec()));
  return true;
}

bool FakePlatform::PurgeComm(int64_t handle, uint32_t /*flags*/) {
  SimLink* link = LinkOf(handle, false);
  if (!CallSucceeds("PurgeComm")) return false;
  if (link == nullptr) last_error = kErrorInvalidHandle;
  return link != nullptr;
}

bool FakePlatform::ReadFile(int64_t handle, uint32_t count, std::string& out, uint32_t& read) {
  out.clear();
  read = 0;
  SimLink* link = LinkOf(handle, false);
  if (!CallSucceeds("ReadFile")) return false;
  if (link == nullptr) {
    last_error = kErrorInvalidHandle;
    return false;
  }
  out = link->Take(count, NowUsec());
  read = static_cast<uint32_t>(out.size());
  return true;
}

bool FakePlatform::WriteFile(int64_t handle, const std::string& data, uint32_t& written) {
  written = 0;
  SimLink* link = LinkOf(handle, false);
  if (!CallSucceeds("WriteFile")) return false;
  if (link == nullptr) {
    last_error = kErrorInvalidHandle;
    return false;
  }
  for (char c : data) link->OnByte(static_cast<uint8_t>(c), NowUsec());
  wire_written += data;
  written = static_cast<uint32_t>(data.size());
  return true;
}

bool FakePlatform::CloseHandle(int64_t handle) {
  auto it = open_serial.find(handle);
  if (!CallSucceeds("CloseHandle")) return false;
  if (handle == kInvalidHandle) return true;  // as on Windows: nothing to close, no error
  if (it == open_serial.end()) {
    last_error = kErrorInvalidHandle;
    return false;
  }
  if (SimLink* link = com_ports[it->second.number]) link->OnClose(NowUsec());
  open_serial.erase(it);
  return true;
}

bool FakePlatform::WaitPortInput(int64_t handle, bool usb, double max_usec) {
  // A platform that cannot wait on the port says so; the caller then waits the time itself.
  if (FaultNow("WaitPortInput")) return false;
  return WaitPort(handle, usb, max_usec);
}

bool FakePlatform::WaitPort(int64_t handle, bool usb, double max_usec) {
  SimLink* link = LinkOf(handle, usb);
  double target = NowUsec() + std::max(0.0, max_usec);
  if (link != nullptr) {
    if (link->Queued(NowUsec()) > 0) return true;
    target = std::min(target, link->NextArrival(NowUsec()));
  }
  const int64_t target_ns = static_cast<int64_t>(std::ceil(target * 1000.0));
  now_ns = std::max(now_ns, target_ns);
  return true;
}

bool FakePlatform::WaitPortOrHostInput(int64_t handle, bool usb, double max_usec) {
  if (FaultNow("WaitPortOrHostInput")) return false;
  DeliverDueInput();
  if (!pipe_.empty()) return true;
  double limit = max_usec;
  if (!scheduled_.empty()) {
    limit = std::min(limit, static_cast<double>(scheduled_.front().first - now_ns) / 1000.0);
  }
  return WaitPort(handle, usb, std::max(0.0, limit));
}

// The D2XX driver over the simulated USB interfaces.
class FakePlatform::FakeD2xx : public D2xx {
 public:
  explicit FakeD2xx(FakePlatform& p) : p_(p) {}

  FtResult FT_ListDevices(void* arg1, void* arg2, uint32_t flags) override {
    if (const FtResult status = Call("FT_ListDevices"); status != FT_OK) return status;
    if (flags == FT_LIST_NUMBER_ONLY) {
      *static_cast<uint32_t*>(arg1) = static_cast<uint32_t>(p_.usb_devices.size());
      return FT_OK;
    }
    const size_t index = reinterpret_cast<uintptr_t>(arg1);
    if ((flags & FT_LIST_BY_INDEX) == 0 || index >= p_.usb_devices.size()) {
      return FT_DEVICE_NOT_FOUND;
    }
    const UsbDevice& device = p_.usb_devices[index];
    if ((flags & FT_OPEN_BY_DESCRIPTION) != 0) {
      CopyOut(device.description, static_cast<char*>(arg2), 64);
    } else if ((flags & FT_OPEN_BY_SERIAL_NUMBER) != 0) {
      CopyOut(device.serial, static_cast<char*>(arg2), 16);
    } else {
      return FT_OTHER_ERROR;
    }
    return FT_OK;
  }
  FtResult FT_Open(int device, int64_t* handle) override {
    if (p_.driver_missing) {
      p_.FaultNow("FT_Open", Fallible::kNo);
      return FT_OTHER_ERROR;
    }
    // As the driver does: the out-handle is written on every call, 0 when the open failed.
    *handle = 0;
    if (const FtResult status = Call("FT_Open"); status != FT_OK) return status;
    if (device < 0 || device >= static_cast<int>(p_.usb_devices.size())) {
      return FT_DEVICE_NOT_FOUND;
    }
    UsbDevice& d = p_.usb_devices[static_cast<size_t>(device)];
    if (d.open) return 3;  // FT_DEVICE_NOT_OPENED: already in use
    d.open = true;
    *handle = kUsbHandleBase + device;
    if (d.link != nullptr) d.link->OnOpen(0, p_.NowUsec());
    return FT_OK;
  }
  FtResult FT_SetBaudRate(int64_t h, uint32_t) override { return Simple("FT_SetBaudRate", h); }
  FtResult FT_SetDataCharacteristics(int64_t h, uint8_t, uint8_t, uint8_t) override {
    return Simple("FT_SetDataCharacteristics", h);
  }
  FtResult FT_SetFlowControl(int64_t h, uint16_t, uint8_t, uint8_t) override {
    return Simple("FT_SetFlowControl", h);
  }
  FtResult FT_SetTimeouts(int64_t h, uint32_t, uint32_t) override {
    return Simple("FT_SetTimeouts", h);
  }
  FtResult FT_SetChars(int64_t h, uint8_t, uint8_t, uint8_t, uint8_t) override {
    return Simple("FT_SetChars", h);
  }
  FtResult FT_GetQueueStatus(int64_t h, uint32_t* rx) override {
    *rx = 0;
    const FtResult status = Simple("FT_GetQueueStatus", h);
    if (status != FT_OK) return status;
    if (SimLink* link = p_.LinkOf(h, true)) {
      *rx = static_cast<uint32_t>(link->Queued(p_.NowUsec()));
    }
    return FT_OK;
  }
  FtResult FT_Write(int64_t h, const void* buffer, uint32_t count, uint32_t* written) override {
    *written = 0;
    const FtResult status = Simple("FT_Write", h);
    if (status != FT_OK) return status;
    const std::string data(static_cast<const char*>(buffer), count);
    if (SimLink* link = p_.LinkOf(h, true)) {
      for (char c : data) link->OnByte(static_cast<uint8_t>(c), p_.NowUsec());
    }
    p_.wire_written += data;
    *written = count;
    return FT_OK;
  }
  FtResult FT_Read(int64_t h, void* buffer, uint32_t count, uint32_t* read) override {
    *read = 0;
    const FtResult status = Simple("FT_Read", h);
    if (status != FT_OK) return status;
    if (SimLink* link = p_.LinkOf(h, true)) {
      const std::string data = link->Take(count, p_.NowUsec());
      std::memcpy(buffer, data.data(), data.size());
      *read = static_cast<uint32_t>(data.size());
    }
    return FT_OK;
  }
  FtResult FT_Purge(int64_t h, uint32_t mask) override {
    const FtResult status = Simple("FT_Purge", h);
    if (status == FT_OK && (mask & 1) != 0) {
      if (SimLink* link = p_.LinkOf(h, true)) link->DropQueued(p_.NowUsec());
    }
    return status;
  }
  FtResult FT_Close(int64_t h) override {
    const FtResult status = Simple("FT_Close", h);
    if (status != FT_OK) return status;
    UsbDevice& d = p_.usb_devices[static_cast<size_t>(h - kUsbHandleBase)];
    d.open = false;
    if (d.link != nullptr) d.link->OnClose(p_.NowUsec());
    return FT_OK;
  }
  FtResult FT_EE_Read(int64_t h, FtProgramData* data) override {
    const FtResult status = Simple("FT_EE_Read", h);
    if (status != FT_OK) return status;
    if (data->Signature1 != 0 || data->Signature2 != 0xFFFFFFFF) return FT_OTHER_ERROR;
    const UsbDevice& d = p_.usb_devices[static_cast<size_t>(h - kUsbHandleBase)];
    data->VendorId = 0x0403;
    data->ProductId = 0x6001;
    data->MaxPower = 90;
    CopyOut(d.eeprom_manufacturer, data->Manufacturer, kFtManufacturerSize);
    CopyOut("FT", data->ManufacturerId, kFtManufacturerIdSize);
    CopyOut(d.eeprom_description.empty() ? d.description : d.eeprom_description, data->Description,
            kFtDescriptionSize);
    CopyOut(d.serial, data->SerialNumber, kFtSerialNumberSize);
    return FT_OK;
  }
  FtResult FT_EE_Program(int64_t h, FtProgramData* data) override {
    const FtResult status = Simple("FT_EE_Program", h);
    if (status != FT_OK) return status;
    UsbDevice& d = p_.usb_devices[static_cast<size_t>(h - kUsbHandleBase)];
    ++p_.ee_program_calls;
    p_.last_programmed = *data;
    p_.last_programmed_description = data->Description ? data->Description : "";
    d.eeprom_description = p_.last_programmed_description;
    if (data->Manufacturer != nullptr) d.eeprom_manufacturer = data->Manufacturer;
    return FT_OK;
  }
  FtResult FT_SetLatencyTimer(int64_t h, uint8_t milliseconds) override {
    if (p_.latency_timer_missing) return FT_NOT_SUPPORTED;
    const FtResult status = Simple("FT_SetLatencyTimer", h);
    if (status != FT_OK) return status;
    if (milliseconds == 0) return 6;  // FT_INVALID_PARAMETER, as a device refuses it
    p_.usb_devices[static_cast<size_t>(h - kUsbHandleBase)].latency_timer_ms = milliseconds;
    return FT_OK;
  }

 private:
  FtResult Call(const std::string& name) {
    if (p_.driver_missing) {
      p_.FaultNow(name.c_str(), Fallible::kNo);
      return FT_OTHER_ERROR;
    }
    const int64_t before = p_.fault_points;
    if (p_.CallSucceeds(name)) return FT_OK;
    // A numbered fault is a transfer that failed on the bus; a named one a refusal.
    return p_.fault_points == p_.fail_point && p_.fault_points != before ? kFtIoError
                                                                         : FT_OTHER_ERROR;
  }
  // A call on an open handle that only reports success or failure.
  FtResult Simple(const std::string& name, int64_t handle) {
    if (const FtResult status = Call(name); status != FT_OK) return status;
    const int64_t index = handle - kUsbHandleBase;
    if (index < 0 || index >= static_cast<int64_t>(p_.usb_devices.size()) ||
        !p_.usb_devices[static_cast<size_t>(index)].open) {
      return 1;  // FT_INVALID_HANDLE
    }
    return FT_OK;
  }
  FakePlatform& p_;
};

D2xx& FakePlatform::Ftdi() {
  FaultNow("Ftdi", Fallible::kNo);
  if (!ftdi_) ftdi_ = std::make_unique<FakeD2xx>(*this);
  return *ftdi_;
}

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

void FakePlatform::ForgetRecords() {
  sleeps_ms.clear();
  precise_sleeps_usec.clear();
  host_output.clear();
  replies.clear();
  reply_times_usec.clear();
  port_calls.clear();
  wire_written.clear();
  fault_point_names.clear();
}

size_t FakePlatform::HostBytesUnread() const {
  size_t n = pipe_.size();
  for (const auto& item : scheduled_) n += item.second.size();
  return n;
}

std::vector<std::string> FakePlatform::TakeReplies() {
  std::vector<std::string> out;
  out.swap(replies);
  return out;
}

bool FakePlatform::HostPeek(uint32_t& available) {
  available = 0;
  if (FaultNow("HostPeek")) {
    last_error = kErrorBrokenPipe;
    return false;
  }
  if (peek_fails || input_closed) return false;
  DeliverDueInput();
  available = static_cast<uint32_t>(pipe_.size());
  return true;
}

bool FakePlatform::HostRead(uint32_t count, std::string& out) {
  if (FaultNow("HostRead")) {
    last_error = kErrorBrokenPipe;
    return false;
  }
  if (input_closed || count > pipe_.size()) return false;
  out = pipe_.substr(0, count);
  pipe_.erase(0, count);
  return true;
}

bool FakePlatform::HostWrite(const std::string& data) {
  if (FaultNow("HostWrite")) {
    last_error = kErrorBrokenPipe;
    return false;
  }
  if (output_closed) return false;
  host_output += data;
  replies.push_back(data);
  reply_times_usec.push_back(NowUsec());
  return true;
}

bool FakePlatform::HostInputEnded() {
  DeliverDueInput();
  return input_end_ && pipe_.empty() && scheduled_.empty();
}

void FakePlatform::HostWaitInput(double max_usec) {
  if (FaultNow("HostWaitInput")) return;  // an early return, which waits are allowed
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
  if (FaultNow("QueryPerformanceFrequency", Fallible::kClock)) {
    frequency = 0;
    last_error = kErrorGenFailure;
    return false;
  }
  frequency = has_counter ? 1'000'000'000 : 0;
  return has_counter;
}

bool FakePlatform::QueryPerformanceCounter(int64_t& counter) {
  if (throwing_calls.count("QueryPerformanceCounter") > 0) {
    throw std::runtime_error("QueryPerformanceCounter threw");
  }
  if (FaultNow("QueryPerformanceCounter", Fallible::kClock)) {
    counter = 0;
    now_ns += read_step_ns;
    last_error = kErrorGenFailure;
    return false;
  }
  counter = has_counter ? now_ns : 0;
  now_ns += read_step_ns;
  return has_counter;
}

uint64_t FakePlatform::TickCountMs() {
  FaultNow("TickCountMs", Fallible::kNo);
  const uint64_t ms = static_cast<uint64_t>(now_ns / 1'000'000);
  now_ns += read_step_ns;  // as a counter read does, so spinning on it ends
  return ms;
}

void FakePlatform::Sleep(uint32_t milliseconds) {
  FaultNow("Sleep", Fallible::kNo);
  sleeps_ms.push_back(milliseconds);
  now_ns += static_cast<int64_t>(milliseconds) * 1'000'000;
}

void FakePlatform::SleepMicroseconds(double usec) {
  FaultNow("SleepMicroseconds", Fallible::kNo);
  precise_sleeps_usec.push_back(usec);
  if (usec > 0) now_ns += static_cast<int64_t>(usec * 1000.0);
}

void FakePlatform::TimeBeginPeriod(uint32_t ms) {
  FaultNow("TimeBeginPeriod", Fallible::kNo);
  timer_period_depth += ms > 0 ? 1 : 0;
}

void FakePlatform::TimeEndPeriod(uint32_t ms) {
  FaultNow("TimeEndPeriod", Fallible::kNo);
  timer_period_depth -= ms > 0 ? 1 : 0;
}

void FakePlatform::PumpMessages() {
  FaultNow("PumpMessages", Fallible::kNo);
  ++pump_calls;
}

bool FakePlatform::ListProcesses(std::vector<std::string>& names) {
  ++process_list_calls;
  if (throwing_calls.count("ListProcesses") > 0) throw std::runtime_error("ListProcesses threw");
  if (FaultNow("ListProcesses")) {
    last_error = kErrorGenFailure;
    return false;
  }
  if (process_list_fails) return false;
  names = processes;
  return true;
}

bool FakePlatform::FileReadable(const std::string& path) {
  if (FaultNow("FileReadable")) {
    last_error = kErrorAccessDenied;
    return false;
  }
  return files.count(path) > 0 && unreadable.count(path) == 0;
}

Platform::PathKind FakePlatform::KindOfPath(const std::string& path) {
  if (folders.count(path) > 0) return PathKind::kOther;
  return files.count(path) > 0 ? PathKind::kFile : PathKind::kMissing;
}

bool FakePlatform::ReadWholeFile(const std::string& path, std::string& contents) {
  if (FaultNow("ReadWholeFile")) {
    last_error = kErrorAccessDenied;
    return false;
  }
  auto it = files.find(path);
  if (it == files.end() || unreadable.count(path) > 0) return false;
  contents = it->second;
  return true;
}

bool FakePlatform::WriteWholeFile(const std::string& path, const std::string& contents) {
  if (locked.count(path) || folders.count(path)) {
    last_error = kErrorSharingViolation;
    return false;
  }
  if (FaultNow("WriteWholeFile")) {
    // The disk filled up after the file was cut to length 0 and half the bytes went out.
    files[path] = contents.substr(0, contents.size() / 2);
    last_error = kErrorDiskFull;
    return false;
  }
  if (disk_full) {
    // As a real full disk: the file was created or cut before the write failed.
    files[path].clear();
    last_error = kErrorDiskFull;
    return false;
  }
  files[path] = contents;
  return true;
}

bool FakePlatform::MoveFileReplace(const std::string& from, const std::string& to) {
  if (FaultNow("MoveFileReplace")) {
    last_error = kErrorAccessDenied;  // both files stay as they were
    return false;
  }
  auto it = files.find(from);
  if (it == files.end()) {
    last_error = kErrorFileNotFound;
    return false;
  }
  if (locked.count(to) || folders.count(to)) {
    last_error = kErrorSharingViolation;
    return false;
  }
  std::string contents = std::move(it->second);
  files.erase(it);
  files[to] = std::move(contents);
  return true;
}

bool FakePlatform::CopyFileReplace(const std::string& from, const std::string& to) {
  auto it = files.find(from);
  if (copy_fails || it == files.end() || locked.count(to) || folders.count(to)) return false;
  if (FaultNow("CopyFileReplace")) {
    // As a write: the copy was cut to length 0 and only half of it was written.
    files[to] = it->second.substr(0, it->second.size() / 2);
    last_error = kErrorDiskFull;
    return false;
  }
  files[to] = it->second;
  return true;
}

int64_t FakePlatform::OpenWriteFile(const std::string& path) {
  if (FaultNow("OpenWriteFile")) {
    last_error = kErrorAccessDenied;
    return -1;
  }
  if (locked.count(path) || folders.count(path)) return -1;
  files[path].clear();
  open_files[next_file_] = path;
  return next_file_++;
}

int64_t FakePlatform::OpenAppendFile(const std::string& path) {
  if (FaultNow("OpenAppendFile")) {
    last_error = kErrorAccessDenied;
    return -1;
  }
  if (locked.count(path) || folders.count(path)) return -1;
  files[path];  // created when missing, kept otherwise
  open_files[next_file_] = path;
  return next_file_++;
}

bool FakePlatform::WriteOpenFile(int64_t file, const std::string& data) {
  if (FaultNow("WriteOpenFile")) {
    last_error = kErrorDiskFull;
    return false;
  }
  auto it = open_files.find(file);
  if (it == open_files.end()) return false;
  files[it->second] += data;
  return true;
}

void FakePlatform::CloseOpenFile(int64_t file) {
  FaultNow("CloseOpenFile", Fallible::kNo);
  open_files.erase(file);
}

std::string FakePlatform::FormatGeneralDate(const LocalDateTime& w) {
  FaultNow("FormatGeneralDate", Fallible::kNo);
  char text[64];
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", w.day, w.month, w.year, w.hour,
                w.minute, w.second);
  return text;
}

void FakePlatform::ShowMessage(const std::string& text, const std::string& title) {
  FaultNow("ShowMessage", Fallible::kNo);
  messages.push_back(title + "|" + text);
}

}  // namespace ecub
