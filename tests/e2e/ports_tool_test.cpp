// ecubridge-ports over a fixture machine: the listing in text and JSON, and ports/COMn links.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/posix/child_process.h"
#include "platform/posix/temp_folder.h"
#include "sim_host.h"
#include "sysfs_fixture.h"

namespace ecub {
namespace {

namespace fs = std::filesystem;
using test::FtdiSpec;
using test::SysfsFixture;
using test::UsbSerialSpec;

using ToolRun = e2e::Outcome;

class PortsTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.empty());
    // The tool may run as another user below; it must be able to look around.
    fs::permissions(dir_, fs::perms(0755));
    root_ = dir_ + "/machine";
    home_ = dir_ + "/home";
    fs::create_directories(home_ + "/ports");
    fs::create_directories(dir_ + "/nodes");
    machine_ = std::make_unique<SysfsFixture>(root_);

    // At hub port 10: the second USB interface.
    machine_->AddUsbSerial(
        FtdiSpec("ttyUSB0", "1-1.10", "A10KX7Z9Q", "FT232R USB UART", Node("ttyUSB0")));
    machine_->AddUsbSerial(
        FtdiSpec("ttyUSB1", "1-1.4", "FT12", "USB <-> Serial Cable", Node("ttyUSB1")));
    machine_->AddUsbSerial(UsbSerialSpec{.tty = "ttyUSB2",
                                         .usb_path = "1-1.2",
                                         .driver = "pl2303",
                                         .vendor_id = "067b",
                                         .product_id = "2303",
                                         .manufacturer = "Prolific Technology Inc.",
                                         .product = "USB-Serial Controller",
                                         .serial = "",
                                         .interface = 10,  // "0a" in sysfs
                                         .interfaces = 11,
                                         .node = Node("ttyUSB2")});
    machine_->AddAcm("ttyACM0", "3-2", Node("ttyACM0"));
    machine_->AddUart("ttyS0", 4, Node("ttyS0"));
    machine_->AddUart("ttyS1", 0, Node("ttyS1"));  // no UART: not listed

    by_id_ = root_ + "/dev/serial/by-id/";
    fs::create_symlink(by_id_ + "usb-FTDI_FT232R_USB_UART_A10KX7Z9Q-if00-port0",
                       home_ + "/ports/COM3");
    fs::create_symlink(by_id_ + "usb-FTDI_gone-if00-port0", home_ + "/ports/COM7");
  }
  // A device node stand-in that anyone may open.
  std::string Node(const std::string& name) {
    const std::string path = dir_ + "/nodes/" + name;
    std::ofstream(path).put('\n');
    fs::permissions(path, fs::perms(0666));
    return path;
  }

  ToolRun Ports(std::vector<std::string> args, bool as_other_user = false) {
    args.insert(args.begin(), ECUBRIDGE_PORTS_EXE);
    if (as_other_user) {
      args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                 "--clear-groups", "--"});
    }
    ChildProcess tool;
    ToolRun run;
    if (!tool.Start(args,
                    {{"ECUBRIDGE_HOME", home_},
                     {"ECUBRIDGE_SYSROOT", root_},
                     {"ECUBRIDGE_D2XX", dir_ + "/no-libftd2xx.so"}},
                    ChildProcess::Stderr::kDiscard)) {
      return run;
    }
    run.output = e2e::ReadAll(tool);
    run.exit_code = tool.WaitExit(5000).value_or(-1);
    return run;
  }

  TempFolder folder_{"ports"};
  const std::string dir_ = folder_.path();
  std::string root_, home_, by_id_;
  std::unique_ptr<SysfsFixture> machine_;
};

TEST_F(PortsTool, ListsPortsWithHowTheServerSeesThemAndWhoMayOpenThemAndLinksThem) {
  // Someone outside the port's group may not open it: run as such a user where we can.
  const bool root = geteuid() == 0;
  std::string access;
  if (root) {
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(chown((dir_ + "/nodes/ttyUSB1").c_str(), 0, dialout->gr_gid), 0);
    fs::permissions(dir_ + "/nodes/ttyUSB1", fs::perms::others_all, fs::perm_options::remove);
    access =
        "no permission: join the group dialout (sudo usermod -aG dialout $USER), then log "
        "out and in again";
  } else {
    fs::permissions(dir_ + "/nodes/ttyUSB1", fs::perms::none);
    access = "no permission: its group " + std::string(getgrgid(getegid())->gr_name) +
             " may not use it either: install the udev rule (share/ecubridge) or ask the "
             "administrator";
  }
  ToolRun run = Ports({}, root);
  EXPECT_EQ(run.exit_code, 0);
  const std::string dev = root_ + "/dev/";
  EXPECT_EQ(
      run.output,
      e2e::Lines(
          {"program folder: " + home_,
           "USB cables: the kernel's ftdi_sio driver (no D2XX library: no EEPROM writes)",
           "",
           dev + "ttyACM0  cdc_acm  2341:0043  Arduino (www.arduino.cc)  Uno  serial 7563331313335",
           "  by-id:  " + by_id_ + "usb-Arduino_(www.arduino.cc)_Uno_7563331313335-if00",
           "  server: not reachable; make it a COM port: ecubridge-ports link N ttyACM0",
           "  access: ok",
           "",
           dev + "ttyS0  serial",
           "  server: COM1 (no ports/COM1 link)",
           "  access: ok",
           "",
           dev + "ttyUSB0  ftdi_sio  0403:6001  FTDI  FT232R USB UART  serial A10KX7Z9Q",
           "  by-id:  " + by_id_ + "usb-FTDI_FT232R_USB_UART_A10KX7Z9Q-if00-port0",
           "  server: USB interface 1, COM3 (ports/COM3)",
           "  access: ok",
           "",
           dev + "ttyUSB1  ftdi_sio  0403:6001  FTDI  USB <-> Serial Cable  serial FT12",
           "  by-id:  " + by_id_ + "usb-FTDI_USB_<->_Serial_Cable_FT12-if00-port0",
           "  server: USB interface 0",
           "  access: " + access,
           "",
           dev + "ttyUSB2  pl2303  067b:2303  Prolific Technology Inc.  USB-Serial Controller",
           "  by-id:  " + by_id_ + "usb-Prolific_Technology_Inc._USB-Serial_Controller-if10-port0",
           "  server: not reachable; make it a COM port: ecubridge-ports link N ttyUSB2",
           "  access: ok",
           "",
           "ports/COM7 -> " + by_id_ + "usb-FTDI_gone-if00-port0: the device is missing"}));

  // Links make COM ports, and the JSON listing shows them.
  run = Ports({"link", "4", "ttyUSB1"});
  EXPECT_EQ(run.exit_code, 0);
  const std::string first_by_id = by_id_ + "usb-FTDI_USB_<->_Serial_Cable_FT12-if00-port0";
  EXPECT_EQ(run.output,
            home_ + "/ports/COM4 -> " + first_by_id + "\nthe server now finds it as COM4\n");
  EXPECT_EQ(fs::read_symlink(home_ + "/ports/COM4").string(), first_by_id);
  // A port without a by-id name is linked as itself; an old link is replaced.
  run = Ports({"link", "3", "/dev/ttyS0"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(fs::read_symlink(home_ + "/ports/COM3").string(), root_ + "/dev/ttyS0");
  EXPECT_NE(run.output.find("(was -> " + by_id_ + "usb-FTDI_FT232R"), std::string::npos)
      << run.output;
  EXPECT_EQ(Ports({"link", "5", "ttyUSB9"}).exit_code, 1);
  EXPECT_FALSE(fs::exists(home_ + "/ports/COM5"));
  // Only a device is linked, and only a link is replaced.
  EXPECT_EQ(Ports({"link", "5", "/etc/passwd"}).exit_code, 1);
  EXPECT_FALSE(fs::exists(home_ + "/ports/COM5"));
  std::ofstream(home_ + "/ports/COM6") << "mine";
  EXPECT_EQ(Ports({"link", "6", "ttyUSB1"}).exit_code, 1);
  EXPECT_EQ(fs::symlink_status(home_ + "/ports/COM6").type(), fs::file_type::regular);
  fs::remove(home_ + "/ports/COM6");
  for (const auto& bad : std::vector<std::vector<std::string>>{
           {"link", "0", "ttyUSB0"}, {"link", "256", "ttyUSB0"}, {"link", "4"}, {"--bogus"}}) {
    EXPECT_EQ(Ports(bad).exit_code, 2) << bad.back();
  }

  run = Ports({"--json"});
  ASSERT_EQ(run.exit_code, 0);
  const nlohmann::json json = nlohmann::json::parse(run.output);
  EXPECT_EQ(json["program_folder"], home_);
  EXPECT_EQ(json["usb_driver"], "ftdi_sio");
  std::map<std::string, nlohmann::json> ports;
  std::vector<std::string> order;
  for (const auto& port : json["ports"]) {
    order.push_back(port["name"]);
    ports[port["name"]] = port;
  }
  EXPECT_EQ(order, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2"}));
  EXPECT_EQ(ports["ttyUSB1"]["usb_interface"], 0);
  EXPECT_EQ(ports["ttyUSB1"]["com"], nlohmann::json::array({4}));
  EXPECT_EQ(ports["ttyUSB1"]["by_id"], first_by_id);
  EXPECT_EQ(ports["ttyUSB1"]["usb"]["serial"], "FT12");
  EXPECT_EQ(ports["ttyUSB1"]["usb"]["bus_path"], "1-1.4");
  EXPECT_EQ(ports["ttyUSB0"]["usb_interface"], 1);
  EXPECT_EQ(ports["ttyUSB0"]["com"], nlohmann::json::array());
  // ports/COM3 now names ttyS0, which COM1 reaches too.
  EXPECT_EQ(ports["ttyS0"]["com"], nlohmann::json::array({3, 1}));
  EXPECT_TRUE(ports["ttyS0"]["usb"].is_null());
  EXPECT_TRUE(ports["ttyUSB2"]["usb_interface"].is_null());
  EXPECT_EQ(ports["ttyUSB2"]["usb"]["id"], "067b:2303");
  EXPECT_EQ(ports["ttyUSB2"]["usb"]["interface"], 10);
  EXPECT_EQ(ports["ttyACM0"]["access"], "ok");
  EXPECT_EQ(json["dangling_links"], nlohmann::json::parse(R"([{"com":7,"target":")" + by_id_ +
                                                          R"(usb-FTDI_gone-if00-port0"}])"));
}

}  // namespace
}  // namespace ecub
