#include "codec/host_codec.h"

#include <gtest/gtest.h>

#include <tuple>

#include "test_util.h"

namespace ecub::test {
namespace {

// Exact length bytes at the points where lo wraps into hi, up to the longest message, whose hi
// would be 256 if counted plainly: it must go out as 255 + 255 * 255, never as hi 0.
TEST(HostCodec, LengthFieldAndParserAgreeUpToTheLongestMessage) {
  struct Case {
    size_t total;
    int lo;
    int hi;
    uint8_t code;  // echo takes no argument too; send needs one
  };
  for (const Case& c :
       {Case{8, 8, 0, 0}, Case{254, 254, 0, 6}, Case{255, 0, 1, 6}, Case{300, 45, 1, 6},
        Case{510, 0, 2, 6}, Case{65279, 254, 255, 6}, Case{65280, 255, 255, 6}}) {
    const std::string argument(c.total - kHostHeaderSize, 'a');
    const std::string m = EncodeHostMessage(c.code, argument);
    ASSERT_EQ(m.size(), c.total);
    EXPECT_EQ(m.substr(0, 8), Bytes({c.lo, c.hi, c.code, 0, 0, 0, 0, 0})) << c.total;
    EXPECT_EQ(AnnouncedHostLength(m), c.total);
    int32_t code = -1;
    std::string parsed;
    EXPECT_EQ(ParseHostMessage(m, code, parsed), kParseOk) << c.total;
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(parsed, argument);
  }
  // Nothing longer can be announced: the argument is cut to the longest message.
  const std::string over = EncodeHostMessage(0, std::string(kLongestHostMessage, 'b'));
  EXPECT_EQ(over.size(), kLongestHostMessage);
  EXPECT_EQ(AnnouncedHostLength(over), kLongestHostMessage);
}

TEST(HostCodec, DecodesWhatTheServerFramesAndOnlyWholeReplies) {
  const std::string bytes = BuildReply(13, 1, 0, 2, 5, 4, std::string(300, 'z'));
  EXPECT_EQ(ReplyLength(bytes), 308u);
  const auto r = DecodeReply(bytes);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(std::tuple(r->length, r->code, r->link_status, r->reserved, r->poll_mode, r->porta_com,
                       r->result, r->data),
            std::tuple(308u, 13, 1, 0, 2, 5, 4, std::string(300, 'z')));
  for (const std::string& bad : {bytes.substr(0, 307), bytes + "z", Bytes({0, 7, 0, 0, 0, 0, 0}),
                                 Bytes({0}), std::string()}) {
    EXPECT_FALSE(DecodeReply(bad).has_value()) << bad.size();
  }
  EXPECT_EQ(ReplyLength(Bytes({1})), 0u);
}

}  // namespace
}  // namespace ecub::test
