// The status form FrmMain: three labels that show the link state carried by every reply, and a
// pair of boxes that inject one host message as if the host had sent it.
//
// This is the form's behaviour, free of any window system: the window that shows it copies the
// box texts in before an event and the captions out after it. The server never shows the form
// by itself.
#pragma once

#include <cstddef>
#include <string>

#include "codec/host_codec.h"

namespace ecub {

struct Server;

// The unload mode of a window closed from its control menu or its close box.
inline constexpr int kUnloadFormControlMenu = 0;

class StatusForm {
 public:
  explicit StatusForm(Server& server);
  ~StatusForm();
  StatusForm(const StatusForm&) = delete;
  StatusForm& operator=(const StatusForm&) = delete;

  // Text1(1), "Cmd": the instruction code in decimal; Text1(7), "Argomento": the argument in
  // hexadecimal, two digits per byte.
  std::string code_text;
  std::string argument_text;
  // Label2, Label3, Label4.
  std::string com_caption = "Com: 0";
  std::string mod_caption = "Mod: 0";
  std::string port_caption = "Port: 0";

  // Timer1 tick (every 500 ms): LinkStatus, PollMode and PortaCom in decimal.
  void OnTimer();
  // The argument box lost the focus: an odd number of digits gets a trailing "0".
  void OnArgumentLostFocus();
  // Click of Invia: builds the host message and puts it in PendingMessage, replacing what was
  // there. Returns an empty text, or why the boxes were refused (nothing is stored then).
  std::string OnInvia();
  // The form is asked to unload; returns true to cancel. Closing from the control menu or the
  // close box ends the server (QuitRequested) without a reply, and the form stays.
  bool OnQueryUnload(int unload_mode);

 private:
  Server& s_;
};

// The argument text as it is left after losing the focus.
std::string PadArgumentText(const std::string& text);

// Builds the host message from the two box texts. An empty code box gives the 8-byte message
// of code 0. Returns false, with the reason in `refusal`, for a code that is not a decimal
// number from 0 to 255, an argument with a character that is not a hexadecimal digit, or a
// message longer than the length field can announce.
bool BuildFormMessage(const std::string& code_text, const std::string& argument_text,
                      std::string& message, std::string& refusal);

}  // namespace ecub
