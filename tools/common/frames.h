// ECU frames taken apart for display: request frames (41 02 L command data checksum) and answer
// frames (44|42 01 L echo outcome data checksum), as the host and log tools show them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/json.h"

namespace ecub::tools {

enum class FrameKind { kRequest, kAnswer, kOther };

struct FrameFields {
  FrameKind kind = FrameKind::kOther;
  size_t size = 0;           // bytes given
  size_t expected_size = 0;  // length byte + 2; 0 when too short to hold a length byte
  bool complete = false;     // at least expected_size bytes
  uint8_t start = 0;
  uint8_t second = 0;
  uint8_t length = 0;
  std::optional<uint8_t> command;
  std::optional<uint8_t> outcome;  // answers long enough to hold one besides the checksum
  std::string data;                // between the command (or outcome) and the checksum
  std::optional<uint8_t> checksum;
  bool checksum_ok = false;  // the XOR of the whole frame, checksum included, is 0
  std::string trailing;      // bytes after the frame's end
};

// Splits `bytes` by the frame layout; an incomplete frame keeps what it has, without checksum.
FrameFields SplitFrame(const std::string& bytes);

// "ok", "not executed" (0xFE) or "request checksum wrong" (0xFF).
std::string OutcomeText(uint8_t outcome);
// "CMD_READ_MEM1 (0C)"; the fallback name for codes without one is shown trimmed.
std::string CommandLabel(uint8_t code);

// One line: "start 44 01, length 16, command 0C CMD_READ_MEM1, outcome 00 ok, data 2003
// (2 bytes), checksum 5A ok". `with_name` false leaves the command's name out (when the
// caller shows it in a column of its own).
std::string DescribeFrame(const FrameFields& frame, bool with_name = true);
// The same fields as a JSON object.
Json FrameJson(const FrameFields& frame);

// A command code from a name (CMD_READ_MEM1, read_mem1: case and the CMD_ prefix optional),
// a decimal number or 0x-hex, 1 to 255 for numbers. False when it is none of these.
bool ParseCommand(const std::string& text, uint8_t& code);

// A request frame from "NAME" or "NAME:DATAHEX" (the checksum computed), or from plain hex
// of a complete frame. False when the text is neither.
bool ParseRequest(const std::string& text, std::string& frame);

}  // namespace ecub::tools
