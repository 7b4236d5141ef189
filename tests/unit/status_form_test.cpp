// The status form's behaviour: captions, argument padding, the injected message, refusals and
// closing the window.
#include "ui/status_form.h"

#include <gtest/gtest.h>

#include <string>

#include "server_fixture.h"

namespace ecub::test {
namespace {

class StatusFormTest : public ServerFixture {
 protected:
  StatusFormTest() : form(s) {}
  StatusForm form;
};

TEST_F(StatusFormTest, CaptionsStartAtZeroAndFollowTheLinkStateOnEveryTick) {
  EXPECT_EQ(form.com_caption, "Com: 0");
  EXPECT_EQ(form.mod_caption, "Mod: 0");
  EXPECT_EQ(form.port_caption, "Port: 0");
  s.LinkStatus = 7;
  s.PollMode = 2;
  s.PortaCom = 12;
  EXPECT_EQ(form.com_caption, "Com: 0");  // only a tick refreshes them
  form.OnTimer();
  EXPECT_EQ(form.com_caption, "Com: 7");
  EXPECT_EQ(form.mod_caption, "Mod: 2");
  EXPECT_EQ(form.port_caption, "Port: 12");
  s.LinkStatus = 1;
  s.PollMode = 255;
  s.PortaCom = 0;
  form.OnTimer();
  EXPECT_EQ(form.com_caption, "Com: 1");
  EXPECT_EQ(form.mod_caption, "Mod: 255");
  EXPECT_EQ(form.port_caption, "Port: 0");
}

TEST_F(StatusFormTest, AnOddArgumentIsPaddedAtTheEndWhenTheBoxLosesTheFocus) {
  form.argument_text = "ABC";
  form.OnArgumentLostFocus();
  EXPECT_EQ(form.argument_text, "ABC0");
  form.OnArgumentLostFocus();
  EXPECT_EQ(form.argument_text, "ABC0");
  form.argument_text = "";
  form.OnArgumentLostFocus();
  EXPECT_EQ(form.argument_text, "");
  form.argument_text = "7";
  form.OnArgumentLostFocus();
  EXPECT_EQ(form.argument_text, "70");
}

TEST_F(StatusFormTest, InviaBuildsTheHostMessageIntoPendingMessage) {
  form.code_text = "6";
  form.argument_text = "41020421";
  EXPECT_EQ(form.OnInvia(), "");
  EXPECT_EQ(s.PendingMessage, Bytes({0x0C, 0x00, 0x06, 0, 0, 0, 0, 0, 0x41, 0x02, 0x04, 0x21}));
  // Lower-case digits spell the same bytes; the new message replaces the one waiting.
  form.code_text = "14";
  form.argument_text = "ab";
  EXPECT_EQ(form.OnInvia(), "");
  EXPECT_EQ(s.PendingMessage, Bytes({9, 0, 14, 0, 0, 0, 0, 0, 0xAB}));
}

TEST_F(StatusFormTest, ThreeDigitsAreSentAsTwoBytesWithTheTrailingZero) {
  form.code_text = "0";
  form.argument_text = "ABC";
  form.OnArgumentLostFocus();
  EXPECT_EQ(form.OnInvia(), "");
  EXPECT_EQ(s.PendingMessage, Bytes({10, 0, 0, 0, 0, 0, 0, 0, 0xAB, 0xC0}));
  // A click while the box still holds an odd count pads the same way.
  form.argument_text = "123";
  EXPECT_EQ(form.OnInvia(), "");
  EXPECT_EQ(s.PendingMessage, Bytes({10, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x30}));
}

TEST_F(StatusFormTest, TheLengthFieldCountsItsHighPartIn255s) {
  std::string message;
  std::string refusal;
  ASSERT_TRUE(BuildFormMessage("0", std::string(2 * (300 - 8), 'F'), message, refusal));
  ASSERT_EQ(message.size(), 300u);
  EXPECT_EQ(At(message, 0), 45);
  EXPECT_EQ(At(message, 1), 1);
  ASSERT_TRUE(BuildFormMessage("0", std::string(2 * (200 - 8), '0'), message, refusal));
  ASSERT_EQ(message.size(), 200u);
  EXPECT_EQ(At(message, 0), 200);
  EXPECT_EQ(At(message, 1), 0);
  ASSERT_TRUE(BuildFormMessage("0", std::string(2 * (255 - 8), '0'), message, refusal));
  EXPECT_EQ(At(message, 0), 0);
  EXPECT_EQ(At(message, 1), 1);
  // The host reader accepts what the form builds, up to the longest announceable message.
  for (size_t total : {8u, 254u, 255u, 256u, 300u, 510u, 65280u}) {
    ASSERT_TRUE(BuildFormMessage("0", std::string(2 * (total - 8), '5'), message, refusal));
    int32_t code = -1;
    std::string argument;
    EXPECT_EQ(ParseHostMessage(message, code, argument), kParseOk) << total;
    EXPECT_EQ(message.size(), total);
  }
  EXPECT_EQ(At(message, 0), 255);  // 65280 = 255 + 255 * 255
  EXPECT_EQ(At(message, 1), 255);
  EXPECT_FALSE(BuildFormMessage("0", std::string(2 * (65281 - 8), '5'), message, refusal));
  EXPECT_NE(refusal, "");
}

TEST_F(StatusFormTest, AnEmptyCodeBoxGivesTheEightByteMessageOfCodeZero) {
  form.code_text = "";
  form.argument_text = "4142";
  EXPECT_EQ(form.OnInvia(), "");
  EXPECT_EQ(s.PendingMessage, Bytes({8, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(StatusFormTest, RefusesACodeOutsideZeroTo255AndKeepsTheWaitingMessage) {
  s.PendingMessage = "kept";
  for (const char* code : {"256", "-1", "abc", "1.5", "6a", " ", "1000"}) {
    form.code_text = code;
    form.argument_text = "41";
    const std::string refusal = form.OnInvia();
    EXPECT_NE(refusal.find("Cmd"), std::string::npos) << code;
    EXPECT_EQ(s.PendingMessage, "kept") << code;
  }
  form.code_text = " 255 ";
  EXPECT_EQ(form.OnInvia(), "");
  EXPECT_EQ(At(s.PendingMessage, 2), 255);
}

TEST_F(StatusFormTest, RefusesAnArgumentThatIsNotHexText) {
  s.PendingMessage = "kept";
  form.code_text = "6";
  for (const char* argument : {"4G", "41 02", "0x41", "41-2", "\xC3\xA9"}) {
    form.argument_text = argument;
    const std::string refusal = form.OnInvia();
    EXPECT_NE(refusal.find("Argomento"), std::string::npos) << argument;
    EXPECT_EQ(s.PendingMessage, "kept") << argument;
  }
}

TEST_F(StatusFormTest, TheInjectedMessageIsExecutedAtTheNextPassAndAnsweredOnTheHostPipe) {
  Start();
  form.code_text = "0";
  form.argument_text = "4142";
  ASSERT_EQ(form.OnInvia(), "");
  const auto replies = Replies(1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0], Bytes({0, 10, 0, 0, 0, 0, 0, 0, 0x41, 0x42}));
  EXPECT_TRUE(s.PendingMessage.empty());
}

TEST_F(StatusFormTest, ClosingFromTheCloseBoxEndsTheServerWithoutAReply) {
  Start();
  EXPECT_TRUE(form.OnQueryUnload(kUnloadFormControlMenu));  // the unload is cancelled
  EXPECT_TRUE(s.QuitRequested);
  EXPECT_FALSE(LoopPass(s));
  ServerShutdown(s);
  EXPECT_TRUE(p.replies.empty());
  EXPECT_TRUE(p.input_closed);
  EXPECT_TRUE(p.output_closed);
}

TEST_F(StatusFormTest, OtherUnloadModesAreNotIntercepted) {
  for (int mode : {1, 2, 3, 4, 5}) {
    EXPECT_FALSE(form.OnQueryUnload(mode)) << mode;
    EXPECT_FALSE(s.QuitRequested) << mode;
  }
}

}  // namespace
}  // namespace ecub::test
