#pragma once

#include <cstdint>
#include <string>

namespace ecub {

// Name of an ECU command code (1 to 120), or " XXXXXXXXXX " for a code without a name.
std::string CommandName(uint8_t code);

}  // namespace ecub
