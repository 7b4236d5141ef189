// JSON output of the tools: nlohmann-json, members in the order they were added.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace ecub::tools {

using Json = nlohmann::ordered_json;

// A byte string as a JSON string. The bytes are taken as Latin-1, one character each, so any
// byte string gives valid JSON and the bytes can be recovered exactly.
Json JsonText(const std::string& bytes);

// One line of JSON in ASCII: every character beyond it is written as a \u00XX escape.
std::string DumpJson(const Json& value);

}  // namespace ecub::tools
