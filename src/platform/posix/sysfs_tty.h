// What the kernel tells about the machine's serial ports through sysfs: the driver behind each
// terminal and, for USB adapters, the USB device's ids and texts.
#pragma once

#include <string>
#include <vector>

namespace ecub {

struct TtyPort {
  std::string name;    // "ttyUSB0"
  std::string node;    // its device node, <root>/dev/ttyUSB0
  std::string driver;  // the driver serving the port: "ftdi_sio", "cdc_acm", "serial8250", ...
  bool has_hardware = true;  // false for a ttyS line without a UART behind it (most of them)
  // USB adapters only; `usb_path` is empty for other ports.
  std::string usb_path;      // the USB device's name: bus, then hub ports ("1-1.4")
  int interface_number = 0;  // bInterfaceNumber of the interface the port belongs to
  int interface_count = 1;   // bNumInterfaces of the device
  std::string vendor_id;     // four hex digits, as sysfs writes them ("0403")
  std::string product_id;
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::string latency_timer;  // path of the ftdi_sio latency_timer attribute, or empty
};

// The folder under which sys/ and dev/ are looked up: $ECUBRIDGE_SYSROOT when set and not empty
// (tests run over a fixture tree there), otherwise "" for the machine's own /sys and /dev.
std::string SysRoot();

// The terminals named ttyS*, ttyUSB* and ttyACM* in <root>/sys/class/tty, by name with numbers
// compared as numbers (ttyS2 before ttyS10).
std::vector<TtyPort> ListTtyPorts(const std::string& root);

// The terminals the ftdi_sio driver serves, in the order USB interfaces are numbered: by the
// device's place on the bus (bus, then hub ports, numerically), then by interface. That order
// does not depend on the order the cables were plugged in.
std::vector<TtyPort> ListFtdiPorts(const std::string& root);

// Orders names with runs of digits compared as numbers.
bool NaturalLess(const std::string& a, const std::string& b);

// The text of a sysfs attribute without its trailing line end; false when it cannot be read.
bool ReadAttribute(const std::string& path, std::string& value);
// Writes `value` to an attribute in one write, as the kernel takes it; false when refused.
bool WriteAttribute(const std::string& path, const std::string& value);

}  // namespace ecub
