// The status form's behaviour: captions, argument padding, the injected message, refusals and
// closing the window.
#include "service/status_form.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "server_fixture.h"

namespace ecub::test {
namespace {

class StatusFormTest : public ServerFixture {
 protected:
  StatusFormTest() : form(s) {}
  StatusForm form;
};

TEST_F(StatusFormTest, CaptionsFollowTheLinkStateOnEveryTick) {
  s.LinkStatus = 7;
  s.PollMode = 255;
  s.PortaCom = 12;
  EXPECT_EQ(form.com_caption, "Com: 0");  // only a tick refreshes them
  form.OnTimer();
  EXPECT_EQ(form.com_caption + form.mod_caption + form.port_caption, "Com: 7Mod: 255Port: 12");
  s.PortaCom = 0;
  form.OnTimer();
  EXPECT_EQ(form.port_caption, "Port: 0");
}

TEST_F(StatusFormTest, AnOddArgumentIsPaddedAtTheEndWhenTheBoxLosesTheFocus) {
  for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
           {"ABC", "ABC0"}, {"ABC0", "ABC0"}, {"", ""}, {"7", "70"}}) {
    form.argument_text = before;
    form.OnArgumentLostFocus();
    EXPECT_EQ(form.argument_text, after) << before;
  }
}

// What a click of Invia leaves in PendingMessage: the new message, or the waiting one kept
// with the refusal naming the box at fault.
TEST_F(StatusFormTest, InviaBuildsTheMessageOrRefusesTheBoxes) {
  const auto click = [&](const char* code, const char* argument) {
    s.PendingMessage = "kept";
    form.code_text = code;
    form.argument_text = argument;
    return form.OnInvia();
  };
  const std::tuple<const char*, const char*, std::string> built[] = {
      {"6", "41020421", Bytes({0x0C, 0, 6, 0, 0, 0, 0, 0, 0x41, 0x02, 0x04, 0x21})},
      {"14", "ab", Bytes({9, 0, 14, 0, 0, 0, 0, 0, 0xAB})},
      // A click while the box still holds an odd count pads as leaving it does.
      {"0", "ABC", Bytes({10, 0, 0, 0, 0, 0, 0, 0, 0xAB, 0xC0})},
      {"0", "123", Bytes({10, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x30})},
      {"", "4142", Bytes({8, 0, 0, 0, 0, 0, 0, 0})},
      {" 255 ", "", Bytes({8, 0, 255, 0, 0, 0, 0, 0})}};
  for (const auto& [code, argument, message] : built) {
    EXPECT_EQ(click(code, argument), "") << code << argument;
    EXPECT_EQ(s.PendingMessage, message) << code << argument;
  }
  for (const char* code : {"256", "-1", "abc", "1.5", "6a", " ", "1000"}) {
    EXPECT_NE(click(code, "41").find("Cmd"), std::string::npos) << code;
    EXPECT_EQ(s.PendingMessage, "kept") << code;
  }
  for (const char* argument : {"4G", "41 02", "0x41", "41-2", "\xC3\xA9"}) {
    EXPECT_NE(click("6", argument).find("Argomento"), std::string::npos) << argument;
    EXPECT_EQ(s.PendingMessage, "kept") << argument;
  }
}

// The length field itself is pinned with the codec; the form adds the limit: the longest
// announceable message is built and read back, one byte more is refused.
TEST_F(StatusFormTest, MessagesUpToTheLongestAnnounceableOneAreBuilt) {
  std::string message, refusal;
  ASSERT_TRUE(BuildFormMessage("0", std::string(2 * (65280 - 8), '5'), message, refusal));
  ASSERT_EQ(message.size(), 65280u);
  int32_t code = -1;
  std::string argument;
  EXPECT_EQ(ParseHostMessage(message, code, argument), kParseOk);
  EXPECT_FALSE(BuildFormMessage("0", std::string(2 * (65281 - 8), '5'), message, refusal));
  EXPECT_NE(refusal, "");
}

TEST_F(StatusFormTest, TheInjectedMessageIsExecutedAtTheNextPassAndAnsweredOnTheHostPipe) {
  Start();
  form.code_text = "0";
  form.argument_text = "4142";
  ASSERT_EQ(form.OnInvia(), "");
  EXPECT_TRUE(LoopPass(s));  // one pass, with nothing on the pipe and no wait for it
  EXPECT_EQ(p.forever_waits, 0);
  EXPECT_EQ(p.TakeReplies(),
            std::vector<std::string>{Bytes({0, 10, 0, 0, 0, 0, 0, 0, 0x41, 0x42})});
  EXPECT_TRUE(s.PendingMessage.empty());
}

TEST_F(StatusFormTest, OnlyTheCloseBoxEndsTheServerAndWithoutAReply) {
  Start();
  for (int mode : {1, 2, 3, 4, 5}) {
    EXPECT_FALSE(form.OnQueryUnload(mode)) << mode;
    EXPECT_FALSE(s.QuitRequested) << mode;
  }
  EXPECT_TRUE(form.OnQueryUnload(kUnloadFormControlMenu));  // the unload is cancelled
  EXPECT_TRUE(s.QuitRequested);
  EXPECT_FALSE(LoopPass(s));
  ServerShutdown(s);
  EXPECT_TRUE(p.replies.empty());
  EXPECT_TRUE(p.input_closed);
  EXPECT_TRUE(p.output_closed);
}

}  // namespace
}  // namespace ecub::test
