#include "platform/posix/sysfs_tty.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <tuple>

namespace ecub {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPortPrefixes[] = {"ttyUSB", "ttyACM", "ttyS"};
constexpr char kFtdiDriver[] = "ftdi_sio";
// Newer kernels put serial-core devices of their own ("port", "ctrl") between a UART's device
// and its terminal; the UART's own driver sits above them.
constexpr char kSerialBaseBus[] = "/bus/serial-base/";

bool IsPortName(const std::string& name) {
  for (const std::string prefix : kPortPrefixes) {
    if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
      return true;
    }
  }
  return false;
}

bool Inside(const fs::path& path, const fs::path& top) {
  const std::string p = path.string();
  const std::string t = top.string();
  return p.size() > t.size() && p.compare(0, t.size(), t) == 0 && p[t.size()] == '/';
}

bool IsFile(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// A whole number in the given base, or `fallback` when the text is not one.
int Number(const std::string& text, int base, int fallback) {
  const char* begin = text.c_str();
  while (*begin == ' ') ++begin;
  char* end = nullptr;
  const long value = std::strtol(begin, &end, base);
  if (end == begin || *end != '\0' || value < 0 || value > 0xFFFF) return fallback;
  return static_cast<int>(value);
}

std::string Attribute(const fs::path& path) {
  std::string value;
  ReadAttribute(path.string(), value);
  return value;
}

// The driver of `device`, looking past serial-core's own devices.
std::string DriverOf(const fs::path& device, const fs::path& sys) {
  for (fs::path at = device; Inside(at, sys); at = at.parent_path()) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(at / "driver", ec);
    if (ec) return {};
    if (target.string().find(kSerialBaseBus) == std::string::npos) {
      return target.filename().string();
    }
  }
  return {};
}

// The nearest folder at or above `start` (within `sys`) that holds the attribute `marker`.
fs::path AncestorWith(const fs::path& start, const fs::path& sys, const char* marker) {
  for (fs::path at = start; Inside(at, sys); at = at.parent_path()) {
    if (IsFile(at / marker)) return at;
  }
  return {};
}

bool Describe(const std::string& root, const fs::path& sys, const std::string& name,
              TtyPort& port) {
  std::error_code ec;
  const fs::path class_dir = fs::canonical(sys / "class" / "tty" / name, ec);
  if (ec) return false;
  port.name = name;
  port.node = root + "/dev/" + name;
  const fs::path device = fs::canonical(class_dir / "device", ec);
  if (ec) return true;  // a terminal without a device (none of ours, but keep it listed)
  port.driver = DriverOf(device, sys);
  if (name.compare(0, 4, "ttyS") == 0) {
    // Serial core lists ttyS lines for every possible UART; "type" 0 means there is none.
    port.has_hardware = Number(Attribute(class_dir / "type"), 10, 0) != 0;
  }
  if (IsFile(device / "latency_timer")) port.latency_timer = (device / "latency_timer").string();

  const fs::path usb_device = AncestorWith(device, sys, "idVendor");
  if (usb_device.empty()) return true;
  port.usb_path = usb_device.filename().string();
  port.vendor_id = Attribute(usb_device / "idVendor");
  port.product_id = Attribute(usb_device / "idProduct");
  port.manufacturer = Attribute(usb_device / "manufacturer");
  port.product = Attribute(usb_device / "product");
  port.serial = Attribute(usb_device / "serial");
  port.interface_count = Number(Attribute(usb_device / "bNumInterfaces"), 10, 1);
  const fs::path interface = AncestorWith(device, sys, "bInterfaceNumber");
  if (Inside(interface, usb_device)) {
    port.interface_number = Number(Attribute(interface / "bInterfaceNumber"), 16, 0);
  }
  return true;
}

}  // namespace

std::string SysRoot() {
  const char* root = std::getenv("ECUBRIDGE_SYSROOT");
  std::string folder = root != nullptr ? root : "";
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

bool ReadAttribute(const std::string& path, std::string& value) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  value.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return true;
}

bool WriteAttribute(const std::string& path, const std::string& value) {
  const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  const ssize_t written = write(fd, value.data(), value.size());
  const bool closed = close(fd) == 0;
  return written == static_cast<ssize_t>(value.size()) && closed;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      size_t end_i = i;
      size_t end_j = j;
      while (end_i < a.size() && digit(a[end_i])) ++end_i;
      while (end_j < b.size() && digit(b[end_j])) ++end_j;
      // Leading zeros do not make a number larger.
      while (i + 1 < end_i && a[i] == '0') ++i;
      while (j + 1 < end_j && b[j] == '0') ++j;
      if (end_i - i != end_j - j) return end_i - i < end_j - j;
      const int order = a.compare(i, end_i - i, b, j, end_j - j);
      if (order != 0) return order < 0;
      i = end_i;
      j = end_j;
    } else {
      if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::vector<TtyPort> ListTtyPorts(const std::string& root) {
  std::vector<TtyPort> ports;
  std::error_code ec;
  const fs::path sys = fs::canonical(root + "/sys", ec);
  if (ec) return ports;
  fs::directory_iterator entries(sys / "class" / "tty", ec);
  if (ec) return ports;
  for (const fs::directory_entry& entry : entries) {
    const std::string name = entry.path().filename().string();
    if (!IsPortName(name)) continue;
    TtyPort port;
    if (Describe(root, sys, name, port)) ports.push_back(std::move(port));
  }
  std::sort(ports.begin(), ports.end(),
            [](const TtyPort& a, const TtyPort& b) { return NaturalLess(a.name, b.name); });
  return ports;
}

std::vector<TtyPort> ListFtdiPorts(const std::string& root) {
  std::vector<TtyPort> ports = ListTtyPorts(root);
  std::erase_if(ports, [](const TtyPort& p) { return p.driver != kFtdiDriver; });
  std::sort(ports.begin(), ports.end(), [](const TtyPort& a, const TtyPort& b) {
    if (a.usb_path != b.usb_path) return NaturalLess(a.usb_path, b.usb_path);
    return a.interface_number < b.interface_number;
  });
  return ports;
}

}  // namespace ecub
