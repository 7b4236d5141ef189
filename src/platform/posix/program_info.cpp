#include "platform/posix/program_info.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#ifndef ECUB_VERSION
#error "ECUB_VERSION must be defined by the build"
#endif

namespace ecub {

namespace {

const char kServerHelp[] =
    "usage: ecubridge [--help | --version]\n"
    "\n"
    "The communication server for LPG/CNG gas-injection control units. A host program starts\n"
    "it as a child process, writes binary host messages to its standard input and reads one\n"
    "reply per message from its standard output; the server finds the control unit on a serial\n"
    "port or an FTDI USB cable and relays the host's frames to it. It takes no arguments.\n"
    "\n"
    "To try it by hand, let ecubridge-host start it:\n"
    "  ecubridge-host --interactive\n"
    "\n"
    "Program folder (SetComVarno.ini, RxTx.TXT, ports/COMn links): $ECUBRIDGE_HOME if set;\n"
    "else the executable's folder if it holds SetComVarno.ini or can be written (an installed\n"
    "bin/ excepted); else ${XDG_DATA_HOME:-$HOME/.local/share}/ecubridge, made on first start.\n"
    "\n"
    "Serial port COMn: <program folder>/ports/COMn if it exists (ecubridge-ports link makes\n"
    "it), else /dev/ttyS<n-1>. USB cables: the FTDI D2XX library ($ECUBRIDGE_D2XX, else\n"
    "libftd2xx.so) when it loads, otherwise the kernel's ftdi_sio driver (/dev/ttyUSBn; no\n"
    "EEPROM writes). ecubridge-ports lists the ports and how the server sees them.\n"
    "\n"
    "Exit status: 0 after instruction 1, the end of the host's input, or when the watched\n"
    "process has ended; 2 for an argument other than --help or --version.\n"
    "\n"
    "See ecubridge(1) and ecubridge-ports(1).\n";

void Write(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

const char* EcubridgeVersion() {
  return ECUB_VERSION;
}

std::string VersionLine(const std::string& program) {
  return program + " " + EcubridgeVersion() + "\n";
}

int ServerCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Write(STDOUT_FILENO, kServerHelp);
      return 0;
    }
    if (arg == "--version") {
      Write(STDOUT_FILENO, VersionLine("ecubridge"));
      return 0;
    }
  }
  if (argc > 1) {
    // A host passes none; a person who typed one expects it to do something, so the server
    // does not start as if it had been understood.
    Write(STDERR_FILENO, std::string("ecubridge: unknown argument '") + argv[1] +
                             "': the server takes none\n" + kServerHelp);
    return 2;
  }
  if (isatty(STDIN_FILENO) == 1) {
    // One write, so the line arrives whole.
    Write(STDERR_FILENO, std::string("ecubridge ") + EcubridgeVersion() +
                             ": ECU communication server waiting for binary host messages on "
                             "standard input; to try it, run ecubridge-host --interactive "
                             "(ecubridge --help for more)\n");
  }
  return -1;
}

}  // namespace ecub
