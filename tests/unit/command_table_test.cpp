#include "codec/command_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

namespace ecub {
namespace {

TEST(CommandTable, NamesAtTellingCodesAndFallbackOutside) {
  const std::pair<int, const char*> cases[] = {
      {1, "CMD_GET_ADR_VAR"},    {0x0C, "CMD_READ_MEM1"}, {33, "CMD_READ_FIRMWARE"},
      {105, "CMD_ERAS_SERVICE"}, {110, "CMD_READ_MEM6"},  {111, "CMD_WRIT_MEM6"},
      {112, "CMD_READ_MEM7"},    {113, "CMD_WRT_MEM7"},   {119, "CMD_WRITE_COMP_MULTIAIR"},
      {0x78, "CMD_ECUM_GEN"},    {0, " XXXXXXXXXX "},     {121, " XXXXXXXXXX "},
      {255, " XXXXXXXXXX "}};
  for (const auto& [code, name] : cases) {
    EXPECT_EQ(CommandName(static_cast<uint8_t>(code)), name) << code;
  }
}

// A shifted or short row would leave a gap, a duplicate or a fallback inside 1..120.
TEST(CommandTable, TableIsDenseWithDistinctNames) {
  std::set<std::string> seen;
  for (int code = 1; code <= 120; ++code) {
    const std::string name = CommandName(static_cast<uint8_t>(code));
    EXPECT_EQ(name.rfind("CMD_", 0), 0u) << code << " " << name;
    EXPECT_EQ(name.find(' '), std::string::npos) << code;
    seen.insert(name);
  }
  EXPECT_EQ(seen.size(), 120u);
}

}  // namespace
}  // namespace ecub
