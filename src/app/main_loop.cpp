#include "app/main_loop.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "app/polling.h"
#include "codec/text.h"
#include "crypt/crypt.h"
#include "link/host_link.h"
#include "link/port.h"
#include "server/clock.h"
#include "server/server.h"
#include "server/traffic_log.h"
#include "service/handlers.h"
#include "service/search.h"
#include "settings/settings.h"

namespace ecub {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
// Idle passes that do work stay at least this far apart, as the 1 ms loop sleep paces them.
constexpr double kIdlePacing_usec = 1000;

// When the next idle pass has work to do.
double NextIdleWorkDue(const Server& s) {
  const double watch = s.WatchedProcess.empty() ? kNever : s.WatchDue_usec;
  return std::min(watch, NextPollDue(s));
}

// The host's input has ended for good and everything it sent has been handled: no message can
// come any more, so the server ends as instruction 1 ends it. Only the status form, while shown,
// can still drive the server then.
bool HostGone(Server& s) {
  return !s.status_form_shown && s.PendingMessage.empty() && s.host_stream.buffered.empty() &&
         s.platform.HostInputEnded();
}

// Replaces the loop's blind 1 ms sleep: waits for host input, but no longer than until the
// buffered host bytes or the idle work need attention.
void WaitForWork(Server& s) {
  if (!s.PendingMessage.empty() || HostGone(s)) return;
  const double now = TimerApi_uSec(s);
  double until = kNever;
  const double stream_due = HostStreamDeadline(s);
  if (stream_due >= 0) until = stream_due;
  const double idle_due = NextIdleWorkDue(s);
  if (idle_due < kNever) {
    until = std::min(until, std::max(idle_due, s.last_idle_work_usec + kIdlePacing_usec));
  }
  s.platform.HostWaitInput(until == kNever ? -1.0 : std::max(0.0, until - now));
}

// Runs one step; a failure is shown with `label` and the caller goes on. A transaction cut
// short leaves no port failure pending for the next one.
template <typename Step>
void Guarded(Server& s, const char* label, Step step) {
  try {
    step();
  } catch (const std::exception& e) {
    s.CommError = false;
    s.platform.ShowMessage(label + std::string(e.what()), "ecubridge");
  }
}

// A step of an instruction: on a failure the instruction goes on, so the host still gets its
// reply.
template <typename Step>
void Guarded(Server& s, Step step) {
  Guarded(s, "EseguiIstruzione_Err: ", step);
}

// Runs a search with the byte tables that CRIPT PROTO asks for. Mode 2 tries the plain protocol
// first and falls back to scrambling; the tables of the last try stay in force.
template <typename Search>
void SearchWithScrambling(Server& s, Search search) {
  if (s.settings.CRIPT_PROTO == 2) {
    ImpostaTabelleProto(s.tables, false);
    if (search()) return;
    ImpostaTabelleProto(s.tables, true);
    search();
  } else {
    ImpostaTabelleProto(s.tables, s.settings.CRIPT_PROTO == 1);
    search();
  }
}

// Instruction 3: the port search on the requested port.
void ConnectInstruction(Server& s) {
  s.LinkStatus = 7;
  s.RequestedPort = static_cast<uint8_t>(s.Argument.at(0));
  int32_t found = 0;
  SearchWithScrambling(s, [&] { return (found = Connetti(s)) == 1; });
  s.LinkStatus = found == 1 ? 1 : 0;
}

// Instruction 13: the scan of the serial ports; no port stays open.
std::string ScanInstruction(Server& s) {
  int32_t number = -1;
  std::string text;
  s.LinkStatus = 7;
  // The scan moves PortaCom, which every later step reads as the kind of the open port, and
  // leaves no port open: so the open port goes first, closed by its own kind (and it can
  // take part in the scan).
  ChiudiPorta(s);
  SearchWithScrambling(s, [&] { return (number = ScansionaCom(s, s.IdentitaAttesa, text)) > 0; });
  s.LinkStatus = 0;
  s.PortaCom = number > 0 ? static_cast<uint8_t>(number) : 0;
  return text;
}

// A search cut short by a failure has found nothing: the link is down and its port closed, as
// after any failed search, rather than "searching" for good with polling stopped.
void EndFailedSearch(Server& s) {
  if (s.LinkStatus != 7) return;
  s.LinkStatus = 0;
  Guarded(s, [&] { ChiudiPorta(s); });
}

}  // namespace

std::vector<std::string> ListProcessNames(Server& s) {
  std::vector<std::string> names;
  if (!s.platform.ListProcesses(names)) return {};
  names.emplace_back();
  return names;
}

bool CheckWatchedProcess(Server& s) {
  if (TimerApi_uSec(s) < s.WatchDue_usec || s.WatchedProcess.empty()) return false;
  s.WatchDue_usec = TimerApi_uSec(s) + s.settings.AutoSpegnimento_usec;
  s.last_idle_work_usec = TimerApi_uSec(s);
  // Without a process list nothing is known about the watched process: keep running and look
  // again at the next due time rather than shutting down on a guess. A failure while taking or
  // comparing the list is passed over the same way.
  try {
    const std::vector<std::string> names = ListProcessNames(s);
    if (names.empty()) return false;
    const std::string watched = AsciiUpper(s.WatchedProcess);
    for (size_t i = 0; i + 1 < names.size(); ++i) {
      if (AsciiUpper(names[i]) == watched) return false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void EseguiIstruzione(Server& s, int32_t code) {
  const std::string& arg = s.Argument;
  std::string data;
  bool reply_here = true;
  switch (code) {
    case 0:
      data = arg;
      break;
    case 1:
      s.QuitRequested = true;
      break;
    case 2:
      s.LinkStatus = 0;
      Guarded(s, [&] { ChiudiPorta(s); });
      break;
    case 3:
      Guarded(s, [&] { ConnectInstruction(s); });
      EndFailedSearch(s);
      data = std::string(1, static_cast<char>(s.RequestedPort)) + " " + s.RispostaIdentita;
      break;
    case 4:
      Guarded(s, [&] { s.PollMode = static_cast<uint8_t>(arg.at(0)); });
      data = arg;
      break;
    case 5:
      Guarded(s, [&] { data = ElencoDispositiviUsb(s); });
      break;
    // The service instructions answer the host themselves.
    case 6:
      reply_here = false;
      Guarded(s, [&] { LeggiRisposta(s, arg); });
      break;
    case 7:
      reply_here = false;
      Guarded(s, [&] { LeggiStorico(s, arg); });
      break;
    case 8:
      reply_here = false;
      Guarded(s, [&] { ImpostaAttesaGlobale(s, arg); });
      break;
    case 9:
      reply_here = false;
      Guarded(s, [&] { ImpostaAttesaByteTx(s, arg); });
      break;
    case 11:
      reply_here = false;
      Guarded(s, [&] { ImpostaMsgTimed(s, arg); });
      break;
    case 12:
      reply_here = false;
      Guarded(s, [&] { ScriviDescrizioneUsb(s, arg); });
      break;
    case 10:
      s.IdentitaAttesa = arg;
      data = s.IdentitaAttesa;
      break;
    case 13: {
      std::string text;
      Guarded(s, [&] { text = ScanInstruction(s); });
      EndFailedSearch(s);
      data = std::string(1, static_cast<char>(s.PortaCom)) + " " + text;
      break;
    }
    case 14:
      s.WatchedProcess = arg;
      data = s.WatchedProcess;
      break;
    default:  // an unknown code is answered with empty data
      break;
  }
  if (reply_here) Guarded(s, [&] { SendReply(s, code, 0, data); });
}

void ServerStartup(Server& s) {
  s.UsbSerialList.assign(1, std::string());
  s.UsbDescList.assign(1, std::string());
  s.settings.CRIPT_PROTO = 0;
  s.platform.TimeBeginPeriod(1);
  LoadServerSettings(s, ProgramFile(s, kSettingsFileName));
  LoadScrambleTable(s.platform, ProgramFile(s, kScrambleTableFile), s.tables);
  ImpostaTabelleProto(s.tables, false);
  if (s.settings.LOG) ApriLog(s);
  s.StartTime_usec = TimerApi_uSec(s);
  for (const std::string& problem : s.settings_problems) LogLine(s, "Settings ", problem);
}

bool LoopPass(Server& s) {
  s.platform.PumpMessages();
  WaitForWork(s);
  if (s.platform.StopRequested()) return false;  // shut down as instruction 1 does
  ReadHostMessage(s);
  if (s.HostMessage.empty()) {
    if (CheckWatchedProcess(s) || HostGone(s)) s.QuitRequested = true;
    // Polling runs for hours unattended: a failure inside it (the transaction, storing its
    // answer) is shown like one in an instruction, and the server carries on.
    Guarded(s, "ScomponiMessaggio_Err", [&] { PollIdle(s); });
    return !s.QuitRequested;
  }
  s.WatchDue_usec = TimerApi_uSec(s) + s.settings.AutoSpegnimento_usec;
  const int32_t result = ParseHostMessage(s.HostMessage, s.instruction_code, s.Argument);
  if (result != kParseOk) {
    SendReply(s, s.instruction_code, result, s.Argument);
  } else {
    EseguiIstruzione(s, s.instruction_code);
  }
  if (s.QuitRequested) return false;
  s.HostMessage.clear();
  return true;
}

void ServerShutdown(Server& s) {
  ChiudiPorta(s);
  s.platform.HostCloseInput();
  s.platform.HostCloseOutput();
  if (s.settings.LOG) ChiudiLog(s);
  s.platform.TimeEndPeriod(1);
}

void RunServer(Server& s) {
  ServerStartup(s);
  while (LoopPass(s)) {
  }
  ServerShutdown(s);
}

}  // namespace ecub
