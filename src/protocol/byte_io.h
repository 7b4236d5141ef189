// Moving the bytes of a transaction between memory and the open port, through the byte
// tables, with the failure lines of the traffic log.
#pragma once

#include <string>

namespace ecub {

struct Server;

// Sends a frame byte by byte with the per-byte wait; sets TxBuffer, empties RxBuffer.
bool SendBytes(Server& s, const std::string& frame);
// Appends to RxBuffer whatever the port has received.
bool ReceiveBytes(Server& s);
// Throws away what the port has received (on USB also what waits to be sent).
void CleanInputCom(Server& s);
void PurgePort(Server& s);
// Upper-case hex without leading zeros; negative values as eight digits of two's complement.
std::string HexNoPad(int64_t value);

}  // namespace ecub
