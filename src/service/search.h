// Finding the control unit: on a named port or the USB interfaces (Connetti), or on all
// serial ports at once (ScansionaCom).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ecub {

struct Server;

inline constexpr const char* kPortComIniName = "PortCom.ini";
inline constexpr int kScanLastPort = 100;

// The identification request: 11 zero data bytes with CRIPT PROTO 2, else 54.
std::string IdentityRequest(const Server& s);
// Fields 0 to 3 of an identification: after the first 12 bytes, split at blanks.
std::array<std::string, 4> IdentityFields(const std::string& bytes);
// True when the answer identifies the expected unit, or is the 6-byte short answer.
bool IdentMatches(const std::string& answer, const std::string& expected);
bool IsShortAnswer(const std::string& answer);
// Finds the unit on RequestedPort (0: each USB interface in turn); 1 when found.
int32_t Connetti(Server& s);
// Probes COM1..COM100 at once; the first matching port number, or -1.
int32_t ScansionaCom(Server& s, const std::string& expected, std::string& answer);

}  // namespace ecub
