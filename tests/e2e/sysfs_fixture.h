// A machine's serial ports as the kernel shows them, built in a folder for tests: sys/ laid out
// as sysfs is (class/tty links into the device tree, USB device and interface folders with
// their attributes, driver links into bus/), and dev/ nodes that are links to terminals.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace ecub::test {

struct UsbSerialSpec {
  std::string tty;                  // "ttyUSB0"
  std::string usb_path = "1-1";     // the USB device: bus 1, then the hub ports
  std::string driver = "ftdi_sio";  // the usb-serial driver of the port
  std::string vendor_id = "0403";
  std::string product_id = "6001";
  std::string manufacturer = "FTDI";
  std::string product = "FT232R USB UART";
  std::string serial = "A10KX7Z9";
  int interface = 0;
  int interfaces = 1;
  std::string latency = "16";  // the latency_timer attribute; empty for none
  std::string node;            // what dev/<tty> links to (a pseudo-terminal); empty for no node
};

// A port with these fields and an FTDI cable's for the rest.
inline UsbSerialSpec FtdiSpec(const std::string& tty, const std::string& usb_path,
                              const std::string& serial, const std::string& product,
                              const std::string& node = "") {
  return {.tty = tty, .usb_path = usb_path, .product = product, .serial = serial, .node = node};
}

class SysfsFixture {
 public:
  explicit SysfsFixture(std::string root) : root_(std::move(root)) {
    std::filesystem::create_directories(Sys("class/tty"));
    std::filesystem::create_directories(root_ + "/dev");
  }
  const std::string& root() const { return root_; }
  std::string Sys(const std::string& path) const { return root_ + "/sys/" + path; }

  // A USB serial adapter's port, as usbserial lays it out: the port folder ttyUSBn inside the
  // interface folder, the terminal inside the port.
  void AddUsbSerial(const UsbSerialSpec& spec) {
    const std::string port =
        Interface(UsbDevice(spec), spec.usb_path, spec.interface, spec.driver) + "/" + spec.tty;
    std::filesystem::create_directories(port);
    Link(Sys("bus/usb-serial/drivers/" + spec.driver), port + "/driver");
    if (!spec.latency.empty()) Write(port + "/latency_timer", spec.latency);
    Terminal(port + "/tty/" + spec.tty, port, spec.tty, spec.node);
    ById(spec, "-port0");
  }

  // A CDC ACM modem: the terminal sits in the interface folder itself.
  void AddAcm(const std::string& tty, const std::string& usb_path, const std::string& node) {
    UsbSerialSpec spec = FtdiSpec(tty, usb_path, "7563331313335", "Uno");
    spec.vendor_id = "2341";
    spec.product_id = "0043";
    spec.manufacturer = "Arduino (www.arduino.cc)";
    spec.interfaces = 2;
    const std::string interface = Interface(UsbDevice(spec), usb_path, 0, "cdc_acm");
    Terminal(interface + "/tty/" + tty, interface, tty, node);
    ById(spec, "");
  }

  // A ttyS line on a pnp UART (`type` not 0) or on the legacy platform driver without a UART
  // (`type` 0), each behind serial core's own port and controller devices.
  void AddUart(const std::string& tty, int type, const std::string& node) {
    const bool real = type != 0;
    const std::string name = real ? "00:04" : "serial8250";
    const std::string top = Sys(real ? "devices/pnp0/00:04" : "devices/platform/serial8250");
    const std::string ctrl = top + "/" + name + ":0";
    const std::string port = ctrl + "/" + name + ":0." + tty.substr(4);
    std::filesystem::create_directories(port);
    Link(Sys(real ? "bus/pnp/drivers/serial" : "bus/platform/drivers/serial8250"), top + "/driver");
    Link(Sys("bus/serial-base/drivers/ctrl"), ctrl + "/driver");
    Link(Sys("bus/serial-base/drivers/port"), port + "/driver");
    const std::string terminal = port + "/tty/" + tty;
    Terminal(terminal, port, tty, node);
    Write(terminal + "/type", std::to_string(type));
  }

  // The adapter on `usb_path` is pulled out: its terminals, nodes and folders go.
  void Unplug(const std::string& usb_path) {
    namespace fs = std::filesystem;
    const std::string device = DevicePath(usb_path);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Sys("class/tty"), ec)) {
      const std::string target = fs::weakly_canonical(entry.path(), ec).string();
      if (target.rfind(fs::weakly_canonical(device, ec).string() + "/", 0) != 0) continue;
      const std::string tty = entry.path().filename().string();
      fs::remove(root_ + "/dev/" + tty, ec);
      fs::remove(entry.path(), ec);
    }
    for (const auto& entry : fs::directory_iterator(root_ + "/dev/serial/by-id", ec)) {
      if (!fs::exists(entry.path(), ec)) fs::remove(entry.path(), ec);
    }
    fs::remove_all(device, ec);
  }

  std::string LatencyTimer(const UsbSerialSpec& spec) const {
    return DevicePath(spec.usb_path) + "/" + spec.usb_path + ":1." +
           std::to_string(spec.interface) + "/" + spec.tty + "/latency_timer";
  }
  std::string DevicePath(const std::string& usb_path) const {
    // Hubs nest: 1-1.4 is port 4 of the hub on 1-1, which is on the root hub usb1.
    std::string path = RootHub(usb_path);
    for (size_t dot = usb_path.find('.'); dot != std::string::npos;
         dot = usb_path.find('.', dot + 1)) {
      path += "/" + usb_path.substr(0, dot);
    }
    return path + "/" + usb_path;
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string RootHub(const std::string& usb_path) const {
    return Sys("devices/pci0000:00/0000:00:14.0/usb" + usb_path.substr(0, usb_path.find('-')));
  }

  static void Write(const std::string& path, const std::string& value) {
    std::ofstream(path, std::ios::binary) << value << "\n";
  }
  static void Link(const std::string& target, const std::string& link) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(target).parent_path());
    if (!fs::exists(target)) fs::create_directories(target);
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_directory_symlink(fs::relative(target, fs::path(link).parent_path()), link);
  }

  static void UsbAttributes(const std::string& folder, const std::string& vendor,
                            const std::string& product_id, const std::string& manufacturer,
                            const std::string& product, const std::string& serial, int interfaces) {
    std::filesystem::create_directories(folder);
    Write(folder + "/idVendor", vendor);
    Write(folder + "/idProduct", product_id);
    Write(folder + "/manufacturer", manufacturer);
    Write(folder + "/product", product);
    if (!serial.empty()) Write(folder + "/serial", serial);
    char count[8];
    std::snprintf(count, sizeof count, "%2d", interfaces);
    Write(folder + "/bNumInterfaces", count);
  }

  // The device folder with its attributes; the root hub and any hub on the way get theirs,
  // so a lookup that climbs too far finds the wrong ids.
  std::string UsbDevice(const UsbSerialSpec& s) {
    const std::string device = DevicePath(s.usb_path);
    const std::string root_hub = RootHub(s.usb_path);
    UsbAttributes(root_hub, "1d6b", "0002", "Linux 6.1.0 xhci-hcd", "xHCI Host Controller",
                  "0000:00:14.0", 1);
    for (std::string hub = std::filesystem::path(device).parent_path().string(); hub != root_hub;
         hub = std::filesystem::path(hub).parent_path().string()) {
      UsbAttributes(hub, "05e3", "0610", "GenesysLogic", "USB2.1 Hub", "", 1);
    }
    UsbAttributes(device, s.vendor_id, s.product_id, s.manufacturer, s.product, s.serial,
                  s.interfaces);
    return device;
  }

  std::string Interface(const std::string& device, const std::string& usb_path, int number,
                        const std::string& driver) {
    const std::string interface = device + "/" + usb_path + ":1." + std::to_string(number);
    std::filesystem::create_directories(interface);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02x", number);
    Write(interface + "/bInterfaceNumber", hex);
    Link(Sys("bus/usb/drivers/" + driver), interface + "/driver");
    return interface;
  }

  void Terminal(const std::string& folder, const std::string& device, const std::string& tty,
                const std::string& node) {
    std::filesystem::create_directories(folder);
    Write(folder + "/dev", "188:0");
    Link(device, folder + "/device");
    Link(folder, Sys("class/tty/" + tty));
    if (!node.empty()) {
      std::error_code ec;
      std::filesystem::remove(root_ + "/dev/" + tty, ec);
      std::filesystem::create_symlink(node, root_ + "/dev/" + tty);
    }
  }

  // The stable name udev gives the terminal.
  void ById(const UsbSerialSpec& spec, const std::string& suffix) {
    std::string name = "usb-" + spec.manufacturer + "_" + spec.product;
    if (!spec.serial.empty()) name += "_" + spec.serial;
    std::replace(name.begin(), name.end(), ' ', '_');
    name += (spec.interface < 10 ? "-if0" : "-if") + std::to_string(spec.interface) + suffix;
    std::filesystem::create_directories(root_ + "/dev/serial/by-id");
    std::error_code ec;
    std::filesystem::remove(root_ + "/dev/serial/by-id/" + name, ec);
    std::filesystem::create_symlink("../../" + spec.tty, root_ + "/dev/serial/by-id/" + name);
  }

  std::string root_;
};

}  // namespace ecub::test
