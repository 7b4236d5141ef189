// The Linux side of the Wine end-to-end test: a simulated control unit on a pseudo-terminal,
// linked into a Wine prefix as the COM port the Windows server opens.
//
//   ecub_wine_unit DOSDEVICES_FOLDER COM_NUMBER EXPECT_FILE
//
// Links DOSDEVICES_FOLDER/comN to the terminal, writes what the Windows host must expect
// (identification, a request and its answer, as hex text) to EXPECT_FILE once the unit is
// ready, and serves the unit until SIGTERM or SIGINT. Exits 0 when the unit answered at least
// one request, 1 otherwise, 2 when it could not start.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "codec/hex.h"
#include "sim/ecu_sim.h"
#include "sim/posix/pty_link.h"

namespace {

constexpr uint8_t kRelayedCommand = 0x30;

int Fail(const std::string& why) {
  std::fprintf(stderr, "ecub_wine_unit: %s\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: ecub_wine_unit DOSDEVICES_FOLDER COM_NUMBER EXPECT_FILE\n");
    return 2;
  }
  const std::string dosdevices = argv[1];
  const int com = std::atoi(argv[2]);
  const std::string expect_path = argv[3];
  if (com < 1 || com > 255) return Fail("the COM number must be 1 to 255");

  // The signals that end the unit are taken by sigwait below, on this thread only: block them
  // before the serving thread starts, so that it inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  ecub::EcuSim unit;
  unit.SetAnswer(kRelayedCommand, std::string("\x12\x34\x56\x78", 4));
  const std::string request = ecub::EcuSim::RequestFrame(kRelayedCommand, std::string(1, '\x01'));
  const std::string answer =
      unit.Frame(kRelayedCommand, ecub::EcuSim::Reply(std::string("\x12\x34\x56\x78", 4)));

  // PtyLink's own COMn link goes beside the expectations; Wine looks its devices up in lower
  // case, so the prefix gets a link of its own.
  const std::string scratch = expect_path + ".ports";
  ecub::PtyLink link(&unit, scratch, com);
  if (!link.ok()) return Fail(link.error());
  const std::string device = dosdevices + "/com" + std::to_string(com);
  unlink(device.c_str());
  if (symlink(link.slave_path().c_str(), device.c_str()) != 0) return Fail("cannot link " + device);
  link.Start();

  {
    const std::string partial = expect_path + ".tmp";
    std::ofstream out(partial, std::ios::binary);
    out << "ident=" << ecub::BytesToHex(unit.ExpectedIdentity()) << "\n"
        << "request=" << ecub::BytesToHex(request) << "\n"
        << "answer=" << ecub::BytesToHex(answer) << "\n";
    out.close();
    if (!out || std::rename(partial.c_str(), expect_path.c_str()) != 0) {
      link.Stop();
      unlink(device.c_str());
      return Fail("cannot write " + expect_path);
    }
  }

  int signal_number = 0;
  sigwait(&stop, &signal_number);
  link.Stop();
  unlink(device.c_str());
  size_t answered = 0;
  {
    auto lock = link.Lock();
    answered = unit.answers_sent();
  }
  std::fprintf(stderr, "ecub_wine_unit: %zu requests, %zu answers, %d opens\n",
               unit.requests().size(), answered, unit.open_count());
  return answered > 0 ? 0 : 1;
}
