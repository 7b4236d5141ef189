// The ecubridge server on Windows: a program of the GUI subsystem, so that no console window
// appears when a host starts it, talking to the host through the standard handles it inherits.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/main_loop.h"
#include "app/status_window.h"
#include "platform/win32/win32_platform.h"
#include "server/server.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace {

// The status form is for diagnosis only: it appears when ECUBRIDGE_STATUS_FORM is 1.
bool StatusFormWanted() {
  const char* value = std::getenv("ECUBRIDGE_STATUS_FORM");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  ecub::Win32Platform platform;
  ecub::Server server(platform, ecub::Win32ProgramFolder());
  std::unique_ptr<ecub::StatusWindow> form;
  if (StatusFormWanted()) form = std::make_unique<ecub::StatusWindow>(server, platform);
  // A window that could not be made drives nothing: without it the end of the host's input
  // ends the server as usual.
  if (form && !form->ok()) form.reset();
  ecub::RunServer(server);
  return 0;
}
