#include "protocol/command_table.h"

#include <gtest/gtest.h>

#include <set>

namespace ecub {
namespace {

TEST(CommandTable, NamesTellingCodes) {
  EXPECT_EQ(CommandName(1), "CMD_GET_ADR_VAR");
  EXPECT_EQ(CommandName(0x0C), "CMD_READ_MEM1");
  EXPECT_EQ(CommandName(33), "CMD_READ_FIRMWARE");
  EXPECT_EQ(CommandName(105), "CMD_ERAS_SERVICE");
  EXPECT_EQ(CommandName(110), "CMD_READ_MEM6");
  EXPECT_EQ(CommandName(111), "CMD_WRIT_MEM6");
  EXPECT_EQ(CommandName(112), "CMD_READ_MEM7");
  EXPECT_EQ(CommandName(113), "CMD_WRT_MEM7");
  EXPECT_EQ(CommandName(119), "CMD_WRITE_COMP_MULTIAIR");
  EXPECT_EQ(CommandName(0x78), "CMD_ECUM_GEN");
}

TEST(CommandTable, CodesWithoutNameGiveFallback) {
  for (int code : {0, 121, 122, 200, 255}) {
    EXPECT_EQ(CommandName(static_cast<uint8_t>(code)), " XXXXXXXXXX ") << code;
  }
}

// A shifted or short row would leave a gap, a duplicate or a fallback inside 1..120.
TEST(CommandTable, TableIsDenseWithDistinctNames) {
  std::set<std::string> seen;
  for (int code = 1; code <= 120; ++code) {
    const std::string name = CommandName(static_cast<uint8_t>(code));
    EXPECT_EQ(name.rfind("CMD_", 0), 0u) << code << " " << name;
    EXPECT_EQ(name.find(' '), std::string::npos) << code;
    EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
  }
  EXPECT_EQ(seen.size(), 120u);
}

}  // namespace
}  // namespace ecub
