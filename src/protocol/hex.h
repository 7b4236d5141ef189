// Byte strings, hex text and the file-existence test shared by the whole server.
#pragma once

#include <string>

namespace ecub {

class Platform;

// Bytes as two upper-case hex digits each; empty for more than 32767 bytes.
std::string BytesToHex(const std::string& bytes);
// Hex text (either case; an odd count gets a leading "0") back to bytes; empty when invalid.
std::string HexToBytes(const std::string& hex);
// True when `path` can be opened for reading.
bool FileExist(Platform& p, const std::string& path);

}  // namespace ecub
