#include "service/status_form.h"

#include <cstdint>

#include "codec/hex.h"
#include "codec/host_codec.h"
#include "codec/text.h"
#include "server/server.h"

namespace ecub {

namespace {

// A decimal number from 0 to 255, blanks around it allowed; -1 for anything else.
int ParseCode(const std::string& text) {
  const std::string digits(TrimBlanks(text));
  if (digits.empty() || digits.size() > 3) return -1;
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= 255 ? value : -1;
}

}  // namespace

StatusForm::StatusForm(Server& server) : s_(server) {
  s_.status_form_shown = true;
}

StatusForm::~StatusForm() {
  s_.status_form_shown = false;
}

std::string PadArgumentText(const std::string& text) {
  return text.size() % 2 == 1 ? text + "0" : text;
}

bool BuildFormMessage(const std::string& code_text, const std::string& argument_text,
                      std::string& message, std::string& refusal) {
  message.clear();
  refusal.clear();
  int code = 0;
  std::string argument;
  if (!code_text.empty()) {
    code = ParseCode(code_text);
    if (code < 0) {
      refusal = "Cmd: the instruction code must be a decimal number from 0 to 255";
      return false;
    }
    // Leaving the box pads it, but a click can come while the box still has the focus.
    const std::string digits = PadArgumentText(argument_text);
    for (size_t i = 0; i < digits.size(); i += 2) {
      const int high = HexDigitValue(digits[i]);
      const int low = HexDigitValue(digits[i + 1]);
      if (high < 0 || low < 0) {
        refusal = "Argomento: the argument must be hexadecimal digits, two for each byte";
        return false;
      }
      argument.push_back(static_cast<char>(high * 16 + low));
    }
  }
  if (kHostHeaderSize + argument.size() > kLongestHostMessage) {
    refusal = "Argomento: the message would be longer than " + std::to_string(kLongestHostMessage) +
              " bytes";
    return false;
  }
  message = EncodeHostMessage(static_cast<uint8_t>(code), argument);
  return true;
}

void StatusForm::OnTimer() {
  com_caption = "Com: " + std::to_string(s_.LinkStatus);
  mod_caption = "Mod: " + std::to_string(s_.PollMode);
  port_caption = "Port: " + std::to_string(s_.PortaCom);
}

void StatusForm::OnArgumentLostFocus() {
  argument_text = PadArgumentText(argument_text);
}

std::string StatusForm::OnInvia() {
  std::string message;
  std::string refusal;
  if (!BuildFormMessage(code_text, argument_text, message, refusal)) return refusal;
  s_.PendingMessage = std::move(message);
  return std::string();
}

bool StatusForm::OnQueryUnload(int unload_mode) {
  if (unload_mode != kUnloadFormControlMenu) return false;
  s_.QuitRequested = true;
  return true;
}

}  // namespace ecub
