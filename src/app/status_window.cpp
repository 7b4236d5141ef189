#include "app/status_window.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <vector>

#include "platform/win32/win32_platform.h"

namespace ecub {

namespace {

constexpr char kClassName[] = "EcubridgeFrmMain";
constexpr char kCaption[] = "Form1";

HWND W(void* window) {
  return static_cast<HWND>(window);
}

StatusWindow* Owner(HWND window) {
  return reinterpret_cast<StatusWindow*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
}

LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
    ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  StatusWindow* owner = Owner(window);
  if (owner == nullptr) return ::DefWindowProcA(window, message, wparam, lparam);
  switch (message) {
    case WM_TIMER:
      if (wparam == StatusWindow::kTimer1) owner->Tick();
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == StatusWindow::kInvia && HIWORD(wparam) == BN_CLICKED) {
        owner->InviaClicked();
        return 0;
      }
      if (LOWORD(wparam) == StatusWindow::kArgument && HIWORD(wparam) == EN_KILLFOCUS) {
        owner->ArgumentLostFocus();
        return 0;
      }
      break;
    case WM_CLOSE:
      if (owner->CloseRequested()) return 0;  // the form stays; the server is ending
      break;
    default:
      break;
  }
  return ::DefWindowProcA(window, message, wparam, lparam);
}

bool RegisterFormClass(HINSTANCE instance) {
  WNDCLASSEXA wc{};
  if (::GetClassInfoExA(instance, kClassName, &wc)) return true;
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = FormProc;
  wc.hInstance = instance;
  wc.hCursor = ::LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  return ::RegisterClassExA(&wc) != 0;
}

}  // namespace

StatusWindow::StatusWindow(Server& server, Win32Platform& platform)
    : platform_(platform), form_(server) {
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  if (!RegisterFormClass(instance)) return;
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
  RECT frame{0, 0, 330, 150};
  ::AdjustWindowRect(&frame, style, FALSE);
  const HWND window = ::CreateWindowExA(0, kClassName, kCaption, style, CW_USEDEFAULT,
                                        CW_USEDEFAULT, frame.right - frame.left,
                                        frame.bottom - frame.top, nullptr, nullptr, instance, this);
  if (window == nullptr) return;
  window_ = window;
  CreateControls();
  ShowCaptions();
  ::SetTimer(window, kTimer1, kTimer1Interval_ms, nullptr);
  platform_.SetDialogWindow(window_);
  ::ShowWindow(window, SW_SHOWNOACTIVATE);
  ::UpdateWindow(window);
}

StatusWindow::~StatusWindow() {
  if (window_ == nullptr) return;
  platform_.SetDialogWindow(nullptr);
  ::KillTimer(W(window_), kTimer1);
  // Detach first: the window procedure must not reach a form that is going away.
  ::SetWindowLongPtrA(W(window_), GWLP_USERDATA, 0);
  ::DestroyWindow(W(window_));
}

void StatusWindow::CreateControls() {
  const HWND parent = W(window_);
  const HINSTANCE instance = ::GetModuleHandleA(nullptr);
  const HFONT font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  struct Control {
    const char* kind;
    const char* text;
    DWORD style;
    int x, y, width, height, id;
  };
  const DWORD label = WS_CHILD | WS_VISIBLE | SS_LEFT;
  const DWORD box = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
  const std::vector<Control> controls = {
      {"STATIC", "Cmd", label, 10, 10, 60, 16, kLabel1Cmd},
      {"EDIT", "", box, 10, 28, 60, 22, kCode},
      {"STATIC", "Argomento", label, 80, 10, 150, 16, kLabel1Argomento},
      {"EDIT", "", box, 80, 28, 160, 22, kArgument},
      {"BUTTON", "Invia", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 250, 27, 70, 24,
       kInvia},
      {"STATIC", "Com: 0", label, 10, 70, 90, 16, kLabel2},
      {"STATIC", "Mod: 0", label, 110, 70, 90, 16, kLabel3},
      {"STATIC", "Port: 0", label, 210, 70, 90, 16, kLabel4},
      {"STATIC", "", label, 10, 100, 310, 16, kLblNome},
  };
  for (const Control& c : controls) {
    const HWND child =
        ::CreateWindowExA(0, c.kind, c.text, c.style, c.x, c.y, c.width, c.height, parent,
                          reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
    if (child != nullptr) ::SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
}

std::string StatusWindow::ControlText(int id) const {
  const HWND control = ::GetDlgItem(W(window_), id);
  if (control == nullptr) return std::string();
  const int length = ::GetWindowTextLengthA(control);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const int got = ::GetWindowTextA(control, text.data(), length + 1);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

void StatusWindow::SetControlText(int id, const std::string& text) {
  ::SetDlgItemTextA(W(window_), id, text.c_str());
}

void StatusWindow::ShowCaptions() {
  SetControlText(kLabel2, form_.com_caption);
  SetControlText(kLabel3, form_.mod_caption);
  SetControlText(kLabel4, form_.port_caption);
}

void StatusWindow::Tick() {
  form_.OnTimer();
  ShowCaptions();
}

void StatusWindow::ArgumentLostFocus() {
  form_.argument_text = ControlText(kArgument);
  const std::string before = form_.argument_text;
  form_.OnArgumentLostFocus();
  if (form_.argument_text != before) SetControlText(kArgument, form_.argument_text);
}

void StatusWindow::InviaClicked() {
  form_.code_text = ControlText(kCode);
  form_.argument_text = ControlText(kArgument);
  const std::string refusal = form_.OnInvia();
  if (!refusal.empty()) {
    ::MessageBoxA(W(window_), refusal.c_str(), kCaption, MB_OK | MB_ICONEXCLAMATION);
  }
}

bool StatusWindow::CloseRequested() {
  const bool cancel = form_.OnQueryUnload(kUnloadFormControlMenu);
  // The loop may be about to wait for the host with nothing due: it must end now instead.
  platform_.WakeHostWait();
  return cancel;
}

}  // namespace ecub
