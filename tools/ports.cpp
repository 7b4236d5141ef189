// ecubridge-ports: the machine's serial ports as the kernel sees them and as the server will,
// and the ports/COMn links that make a port a COM port for the server.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/posix/posix_d2xx.h"
#include "platform/posix/posix_platform.h"
#include "platform/posix/program_info.h"
#include "platform/posix/sysfs_tty.h"

namespace {

namespace fs = std::filesystem;
namespace tools = ecub::tools;
using Json = nlohmann::ordered_json;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kMaxCom = 255;

const char kHelp[] =
    "usage: ecubridge-ports [--json]\n"
    "       ecubridge-ports link N DEVICE\n"
    "\n"
    "Lists the serial ports of this machine (ttyS lines with a UART, ttyUSB, ttyACM): driver,\n"
    "USB vendor:product id, manufacturer, product, serial number, the stable\n"
    "/dev/serial/by-id/ name, whether you may open it, and how the server sees it: as USB\n"
    "interface N (an FTDI cable; instruction 3 with port 0 tries them in this order) or as COMn\n"
    "(a link ports/COMn in the program folder, else /dev/ttyS<n-1>).\n"
    "\n"
    "  --json          one JSON object instead of text\n"
    "  link N DEVICE   make <program folder>/ports/COMN (N from 1 to 255) point at DEVICE\n"
    "                  (ttyUSB0, /dev/ttyUSB0 or a by-id name; the by-id name is used when\n"
    "                  the port has one, so the link survives replugging). DEVICE must be\n"
    "                  a character device (or a link to one); an existing ports/COMN is\n"
    "                  replaced only when it is a link\n"
    "\n"
    "Environment: ECUBRIDGE_HOME (the program folder), ECUBRIDGE_D2XX (the D2XX library),\n"
    "ECUBRIDGE_SYSROOT (look up sys/ and dev/ under this folder).\n"
    "\n"
    "Exit codes: 0 done, 1 the link could not be made (no such device, not a device, a file\n"
    "that is not a link in the way), 2 bad arguments.\n";

struct Options {
  bool json = false;
  bool link = false;
  int com = 0;
  std::string device;
};

// One port with everything the listing says about it.
struct PortView {
  ecub::TtyPort tty;
  std::string by_id;
  std::optional<int> usb_index;  // its number among the USB interfaces the server sees
  std::vector<int> coms;         // the COM numbers that reach it
  std::vector<int> linked;       // of those, the ones made by a link in ports/
  std::string access;            // "ok", "no permission", "missing"
  std::string group;
  std::string hint;
};

struct Machine {
  std::string root;
  std::string program_folder;
  bool d2xx_library = false;
  std::vector<PortView> ports;
  std::map<int, std::string> dangling;  // ports/COMn links whose device is missing
};

int Usage(const std::string& message) {
  std::cerr << "ecubridge-ports: " << message << "\n(see ecubridge-ports --help)\n";
  return kUsage;
}

bool ParseOptions(const std::vector<std::string>& args, Options& o, int& exit_code) {
  exit_code = -1;
  std::vector<std::string> words;
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << kHelp;
      exit_code = kOk;
      return false;
    }
    if (a == "--version") {
      std::cout << ecub::VersionLine("ecubridge-ports");
      exit_code = kOk;
      return false;
    }
    if (a == "--json") {
      o.json = true;
    } else if (tools::StartsWith(a, "-") && a.size() > 1) {
      exit_code = Usage("unknown option '" + a + "'");
      return false;
    } else {
      words.push_back(a);
    }
  }
  if (words.empty()) return true;
  if (words[0] != "link") {
    exit_code = Usage("unknown command '" + words[0] + "'");
    return false;
  }
  int64_t number = 0;
  if (words.size() != 3 || !tools::ParseNumber(words[1], 1, kMaxCom, number)) {
    exit_code = Usage("link takes a COM number from 1 to 255 and a device");
    return false;
  }
  o.link = true;
  o.com = static_cast<int>(number);
  o.device = words[2];
  return true;
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const fs::path resolved = fs::canonical(path, ec);
  return ec ? std::string() : resolved.string();
}

// The number n of a name "COMn" (1 to 255), or 0.
int ComNumber(const std::string& name) {
  int64_t n = 0;
  if (name.size() < 4 || name.compare(0, 3, "COM") != 0) return 0;
  return tools::ParseNumber(name.substr(3), 1, kMaxCom, n) && name[3] != '0' ? static_cast<int>(n)
                                                                             : 0;
}

std::string GroupName(gid_t gid) {
  const group* g = getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

// True when the user this process runs as is listed in `gid`, whether or not this login
// session has the group yet.
bool UserListedIn(gid_t gid) {
  const passwd* user = getpwuid(getuid());
  if (user == nullptr) return false;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  for (gid_t g : groups) {
    if (g == gid) return true;
  }
  return false;
}

// Whether this user may open the port for reading and writing, and if not, what to do.
void CheckAccess(PortView& view) {
  struct stat info {};
  if (stat(view.tty.node.c_str(), &info) != 0) {
    view.access = "missing";
    view.hint = "no device node " + view.tty.node;
    return;
  }
  view.group = GroupName(info.st_gid);
  if (access(view.tty.node.c_str(), R_OK | W_OK) == 0) {
    view.access = "ok";
    return;
  }
  view.access = "no permission";
  if ((info.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
    view.hint = "its group " + view.group +
                " may not use it either: install the udev rule (share/ecubridge) or ask the "
                "administrator";
  } else if (UserListedIn(info.st_gid)) {
    view.hint = "you are in the group " + view.group +
                " but this login session is not yet: log out and in again";
  } else {
    view.hint = "join the group " + view.group + " (sudo usermod -aG " + view.group +
                " $USER), then log out and in again";
  }
}

Machine Survey() {
  Machine m;
  m.root = ecub::SysRoot();
  m.program_folder = ecub::PosixProgramFolder(false);
  ecub::PosixD2xx library;
  // The server uses only a library with every function; it says why on its standard error.
  m.d2xx_library = library.Complete();

  std::map<std::string, std::string> by_id;  // device (resolved) -> its by-id name
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(m.root + "/dev/serial/by-id", ec)) {
    // One name per device, the same on every run whatever order the folder lists them in.
    const std::string target = Canonical(entry.path().string());
    const std::string name = entry.path().string();
    if (!target.empty() && (by_id.count(target) == 0 || name < by_id[target])) {
      by_id[target] = name;
    }
  }
  std::map<std::string, std::vector<int>> links;  // device (resolved) -> COM numbers
  std::vector<bool> com_taken(kMaxCom + 1, false);
  for (const auto& entry : fs::directory_iterator(m.program_folder + "/ports", ec)) {
    const int n = ComNumber(entry.path().filename().string());
    if (n == 0) continue;
    com_taken[static_cast<size_t>(n)] = true;
    const std::string target = Canonical(entry.path().string());
    if (target.empty()) {
      std::error_code link_ec;
      const fs::path points_to = fs::read_symlink(entry.path(), link_ec);
      m.dangling[n] = link_ec ? entry.path().string() : points_to.string();
    } else {
      links[target].push_back(n);
    }
  }
  const std::vector<ecub::TtyPort> ftdi = ecub::ListFtdiPorts(m.root);
  for (const ecub::TtyPort& tty : ecub::ListTtyPorts(m.root)) {
    if (!tty.has_hardware) continue;
    PortView view;
    view.tty = tty;
    const std::string resolved = Canonical(tty.node);
    if (!resolved.empty() && by_id.count(resolved) > 0) view.by_id = by_id[resolved];
    for (size_t i = 0; i < ftdi.size() && !m.d2xx_library; ++i) {
      if (ftdi[i].name == tty.name) view.usb_index = static_cast<int>(i);
    }
    if (!resolved.empty() && links.count(resolved) > 0) {
      view.coms = view.linked = links[resolved];
    }
    // Without a link of its own COMn, the server opens ttyS<n-1>.
    int64_t line = 0;
    if (tools::StartsWith(tty.name, "ttyS") &&
        tools::ParseNumber(tty.name.substr(4), 0, kMaxCom - 1, line) &&
        !com_taken[static_cast<size_t>(line + 1)]) {
      view.coms.push_back(static_cast<int>(line) + 1);
    }
    CheckAccess(view);
    m.ports.push_back(std::move(view));
  }
  return m;
}

std::string ServerView(const Machine& m, const PortView& p) {
  std::vector<std::string> ways;
  if (p.usb_index) ways.push_back("USB interface " + std::to_string(*p.usb_index));
  if (m.d2xx_library && p.tty.driver == "ftdi_sio") {
    ways.push_back("not as USB: the D2XX library in use needs the ftdi_sio driver unloaded");
  }
  for (int n : p.coms) {
    const bool linked = std::find(p.linked.begin(), p.linked.end(), n) != p.linked.end();
    ways.push_back("COM" + std::to_string(n) +
                   (linked ? " (ports/COM" + std::to_string(n) + ")"
                           : " (no ports/COM" + std::to_string(n) + " link)"));
  }
  if (ways.empty())
    return "not reachable; make it a COM port: ecubridge-ports link N " + p.tty.name;
  std::string text;
  for (const std::string& way : ways) text += (text.empty() ? "" : ", ") + way;
  return text;
}

void PrintText(const Machine& m) {
  std::cout << "program folder: " << m.program_folder << "\n";
  std::cout << "USB cables: "
            << (m.d2xx_library ? "the FTDI D2XX library"
                               : "the kernel's ftdi_sio driver (no D2XX library: no EEPROM writes)")
            << "\n";
  if (m.ports.empty()) std::cout << "no serial ports found\n";
  for (const PortView& p : m.ports) {
    std::string head = p.tty.node + "  " + (p.tty.driver.empty() ? "?" : p.tty.driver);
    if (!p.tty.usb_path.empty()) {
      head += "  " + p.tty.vendor_id + ":" + p.tty.product_id;
      for (const std::string* text : {&p.tty.manufacturer, &p.tty.product}) {
        if (!text->empty()) head += "  " + *text;
      }
      if (!p.tty.serial.empty()) head += "  serial " + p.tty.serial;
    }
    std::cout << "\n" << head << "\n";
    if (!p.by_id.empty()) std::cout << "  by-id:  " << p.by_id << "\n";
    std::cout << "  server: " << ServerView(m, p) << "\n";
    std::cout << "  access: " << p.access << (p.hint.empty() ? "" : ": " + p.hint) << "\n";
  }
  for (const auto& [n, target] : m.dangling) {
    std::cout << "\nports/COM" << n << " -> " << target << ": the device is missing\n";
  }
}

void PrintJson(const Machine& m) {
  Json out;
  out["program_folder"] = m.program_folder;
  out["usb_driver"] = m.d2xx_library ? "d2xx" : "ftdi_sio";
  out["ports"] = Json::array();
  for (const PortView& p : m.ports) {
    Json port;
    port["device"] = p.tty.node;
    port["name"] = p.tty.name;
    port["driver"] = p.tty.driver;
    if (p.tty.usb_path.empty()) {
      port["usb"] = nullptr;
    } else {
      port["usb"] = {{"id", p.tty.vendor_id + ":" + p.tty.product_id},
                     {"manufacturer", p.tty.manufacturer},
                     {"product", p.tty.product},
                     {"serial", p.tty.serial},
                     {"bus_path", p.tty.usb_path},
                     {"interface", p.tty.interface_number}};
    }
    port["by_id"] = p.by_id.empty() ? Json(nullptr) : Json(p.by_id);
    port["usb_interface"] = p.usb_index ? Json(*p.usb_index) : Json(nullptr);
    port["com"] = p.coms;
    port["access"] = p.access;
    port["group"] = p.group;
    port["hint"] = p.hint.empty() ? Json(nullptr) : Json(p.hint);
    out["ports"].push_back(port);
  }
  out["dangling_links"] = Json::array();
  for (const auto& [n, target] : m.dangling) {
    out["dangling_links"].push_back({{"com", n}, {"target", target}});
  }
  // Texts from devices are not always UTF-8; replace what is not rather than fail.
  std::cout << out.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

int Link(const Options& o) {
  const Machine m = Survey();
  std::string target;
  for (const PortView& p : m.ports) {
    if (o.device == p.tty.name || o.device == p.tty.node || o.device == "/dev/" + p.tty.name ||
        (!p.by_id.empty() && o.device == p.by_id)) {
      target = p.by_id.empty() ? p.tty.node : p.by_id;
      if (p.access != "ok") std::cerr << "ecubridge-ports: note: " << p.hint << "\n";
    }
  }
  if (target.empty()) {
    std::error_code ec;
    if (o.device.empty() || o.device[0] != '/' || !fs::exists(o.device, ec)) {
      std::cerr << "ecubridge-ports: no serial port '" << o.device << "' (see ecubridge-ports)\n";
      return kFailed;
    }
    // A port is a character device; anything else would make the server open a file as COMn.
    if (fs::status(o.device, ec).type() != fs::file_type::character) {
      std::cerr << "ecubridge-ports: '" << o.device
                << "' is not a device (a serial port is a character device)\n";
      return kFailed;
    }
    target = o.device;
  }
  const std::string folder = ecub::PosixProgramFolder(true) + "/ports";
  const std::string link = folder + "/COM" + std::to_string(o.com);
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path old = fs::read_symlink(link, ec);
  const fs::file_type found = fs::symlink_status(link, ec).type();
  const bool replaced = found != fs::file_type::not_found;
  // Only a link is ours to replace: a file or folder there was put by someone on purpose.
  if (replaced && found != fs::file_type::symlink) {
    std::cerr << "ecubridge-ports: " << link
              << " exists and is not a link; left as it is (remove it first to link COM" << o.com
              << ")\n";
    return kFailed;
  }
  if (replaced && !fs::remove(link, ec)) {
    std::cerr << "ecubridge-ports: cannot replace " << link << ": " << ec.message() << "\n";
    return kFailed;
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    std::cerr << "ecubridge-ports: cannot make " << link << ": " << std::strerror(errno) << "\n";
    return kFailed;
  }
  std::cout << link << " -> " << target;
  if (replaced) std::cout << " (was -> " << old.string() << ")";
  std::cout << "\nthe server now finds it as COM" << o.com << "\n";
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exit_code = kOk;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, exit_code)) {
    return exit_code;
  }
  if (options.link) return Link(options);
  const Machine machine = Survey();
  if (options.json) {
    PrintJson(machine);
  } else {
    PrintText(machine);
  }
  return kOk;
}
