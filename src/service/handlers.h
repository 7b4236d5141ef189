// Host instructions with handlers of their own: USB list, relaying a request, histories,
// run-time time-outs, timed polling switches and the USB interface description.
#pragma once

#include <string>

namespace ecub {

struct Server;

// Result codes of the handlers' replies.
inline constexpr int kResultDone = 0;
inline constexpr int kResultRefused = 3;
inline constexpr int kResultEeprom = 4;

std::string ElencoDispositiviUsb(const Server& s);
void LeggiRisposta(Server& s, const std::string& frame);
void LeggiStorico(Server& s, const std::string& frame);
void ImpostaAttesaGlobale(Server& s, const std::string& argument);
void ImpostaAttesaByteTx(Server& s, const std::string& argument);
void ImpostaMsgTimed(Server& s, const std::string& argument);
void ScriviDescrizioneUsb(Server& s, const std::string& description);

}  // namespace ecub
