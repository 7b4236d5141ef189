// The status form as a real window (caption "Form1"): the boxes "Cmd" and "Argomento", the
// button Invia, the three status labels and a 500 ms timer. Its messages run whenever the
// server lets pending window messages run (the loop and every wait).
#pragma once

#include <memory>
#include <string>

#include "service/status_form.h"

namespace ecub {

struct Server;
class Win32Platform;

class StatusWindow {
 public:
  // Creates and shows the window; check ok().
  StatusWindow(Server& server, Win32Platform& platform);
  ~StatusWindow();
  StatusWindow(const StatusWindow&) = delete;
  StatusWindow& operator=(const StatusWindow&) = delete;

  bool ok() const { return window_ != nullptr; }
  void* window() const { return window_; }
  StatusForm& form() { return form_; }

  // Event handlers, called by the window procedure (and by tests with the control texts set).
  void Tick();
  void ArgumentLostFocus();
  void InviaClicked();
  // True when closing is cancelled.
  bool CloseRequested();

  // The text of one control (the ids below), as the window shows it.
  std::string ControlText(int id) const;
  void SetControlText(int id, const std::string& text);

  static constexpr int kCode = 101;      // Text1(1)
  static constexpr int kArgument = 107;  // Text1(7)
  static constexpr int kInvia = 110;
  static constexpr int kLabel1Cmd = 111;
  static constexpr int kLabel1Argomento = 112;
  static constexpr int kLabel2 = 120;
  static constexpr int kLabel3 = 121;
  static constexpr int kLabel4 = 122;
  static constexpr int kLblNome = 123;
  static constexpr unsigned kTimer1 = 1;
  static constexpr unsigned kTimer1Interval_ms = 500;

 private:
  void CreateControls();
  void ShowCaptions();

  Win32Platform& platform_;
  StatusForm form_;
  void* window_ = nullptr;
};

}  // namespace ecub
