// The server on Linux without the D2XX library: FTDI cables served by the kernel's ftdi_sio
// driver, over a fixture machine whose cables are pseudo-terminals with simulated units.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <tuple>

#include "sim_host.h"
#include "sysfs_fixture.h"

namespace ecub::e2e {
namespace {

using test::FtdiSpec;
using test::SysfsFixture;
using test::UsbSerialSpec;

const std::string kReadMem1 = EcuSim::RequestFrame(EcuSim::kCmdReadMem1);

class KernelUsb : public SimHost {
 protected:
  void SetUp() override {
    SimHost::SetUp();
    machine_ = std::make_unique<SysfsFixture>(Path("machine"));
    // Cable 0 sits at 1-1.4, cable 1 at 1-1.10: the bus order, not the tty numbers, puts the
    // one at hub port 4 first. A Prolific adapter on port 2 is no FTDI interface.
    UsbSerialSpec first = FtdiSpec("ttyUSB1", "1-1.4", "FT12", "USB <-> Serial Cable Long Name");
    second_ = FtdiSpec("ttyUSB0", "1-1.10", "A10KX7Z9Q", "FT232R USB UART");
    UsbSerialSpec prolific = FtdiSpec("ttyUSB2", "1-1.2", "", "USB-Serial Controller");
    prolific.driver = "pl2303";
    prolific.vendor_id = "067b";
    machine_->AddUsbSerial(prolific);
    EcuSim::Config other;
    other.ident_pieces = {"FW", "2.00", "OTHER-UNIT", "Y"};
    Plug(first, 1, other);
    second_unit_ = &Plug(second_, 2, EcuSim::Config{});
    Write("SetComVarno.ini", FastTimingIni() + "[LOG]\r\n1\r\n");
    ASSERT_TRUE(server_.Start({ECUBRIDGE_EXE}, {{"ECUBRIDGE_HOME", home_},
                                                {"ECUBRIDGE_SYSROOT", machine_->root()},
                                                {"ECUBRIDGE_D2XX", Path("no-libftd2xx.so")}}));
  }

  // Plugs a cable with a unit behind it (its terminal also linked as COM10n, which no test uses).
  PtyUnit& Plug(UsbSerialSpec& spec, int number, const EcuSim::Config& config) {
    PtyUnit& unit = AddUnit(100 + number, config);
    spec.node = unit.slave_path();
    machine_->AddUsbSerial(spec);
    return unit;
  }

  std::unique_ptr<SysfsFixture> machine_;
  UsbSerialSpec second_;
  PtyUnit* second_unit_ = nullptr;
};

TEST_F(KernelUsb, FindsTheFtdiCableRelaysRefusesTheEepromAndFindsItAgainAfterAnUnplug) {
  const HostReply connected = Connect(0, *second_unit_);
  ASSERT_TRUE(connected.ok);
  EXPECT_EQ(std::pair(connected.link, connected.port), std::pair(1, 0));
  const std::string identity = second_unit_->With([](EcuSim& sim) { return sim.IdentityAnswer(); });
  EXPECT_EQ(connected.data, Byte(0) + " " + identity);
  // The cable found stays open with the latency timer at 1 ms.
  EXPECT_TRUE(second_unit_->IsOpen());
  EXPECT_EQ(SysfsFixture::Read(machine_->LatencyTimer(second_)), "1\n");

  EXPECT_EQ(Call(4, Byte(2)).poll, 2);
  const HostReply relayed = Call(6, kReadMem1);
  EXPECT_EQ(relayed.link, 1);
  second_unit_->With([&](EcuSim& sim) {
    EXPECT_EQ(sim.requests().back().frame, kReadMem1);
    EXPECT_EQ(Hex(relayed.data), Hex(sim.answers().back()));
  });

  // Without the vendor's library the EEPROM cannot be written: refused, the cable untouched.
  const std::string device = machine_->DevicePath(second_.usb_path);
  const std::string product = SysfsFixture::Read(device + "/product");
  const size_t before_eeprom = second_unit_->RequestCount();
  const HostReply written = Call(12, std::string("LPG LINK") + std::string(12, '\0'));
  EXPECT_EQ(std::tuple(written.result, written.data, written.link), std::tuple(4, "1", 1));
  EXPECT_EQ(SysfsFixture::Read(device + "/product"), product);
  EXPECT_EQ(second_unit_->RequestCount(), before_eeprom);
  EXPECT_EQ(second_unit_->With([](EcuSim& sim) { return sim.skipped_bytes(); }), 0u);
  ExpectHas(Read("RxTx.TXT"),
            {" FT_EE_Read Error#17\r\n", " FT_EE_Read not supported by the driver in use;"});

  // The unit takes its time; the cable is pulled while the server waits for the answer.
  second_unit_->With([](EcuSim& sim) { sim.config.answer_delay_usec = 250000; });
  const size_t requests = second_unit_->RequestCount();
  ASSERT_TRUE(server_.Write(EncodeHostMessage(6, kReadMem1)));
  ASSERT_TRUE(Eventually([&] { return second_unit_->RequestCount() > requests; }));
  machine_->Unplug(second_.usb_path);
  second_unit_->HangUp();
  const HostReply failed = Reply();
  ASSERT_TRUE(failed.ok);
  EXPECT_EQ(std::pair(failed.link, failed.data), std::pair(0, std::string()));
  EXPECT_TRUE(Has(Read("RxTx.TXT"), " FT_GetQueueStatus Recive\r\n"));
  // Only the first cable is left. (The list is taken at every close; 28 bytes per interface,
  // serial numbers padded or cut to 8 characters, descriptions to 20.)
  EXPECT_EQ(Call(5).data, "FT12    USB <-> Serial Cable");
  EXPECT_EQ(Connect(0, *second_unit_).link, 0);

  // Plugged in again, it comes back under a new terminal name at the same place on the bus.
  UsbSerialSpec back = second_;
  back.tty = "ttyUSB3";
  PtyUnit& unit = Plug(back, 3, EcuSim::Config{});
  const HostReply found = Connect(0, unit);
  EXPECT_EQ(std::pair(found.link, found.port), std::pair(1, 0));
  EXPECT_TRUE(unit.IsOpen());
  EXPECT_EQ(Call(5).data, "FT12    USB <-> Serial CableA10KX7Z9FT232R USB UART     ");
  Quit();
}

}  // namespace
}  // namespace ecub::e2e
