#include "link/pipe_poll.h"

#include <algorithm>
#include <exception>

#include "link/history.h"
#include "link/host_link.h"
#include "server/server.h"

namespace ecub {

void ControllaRispondiPipe(Server& s) {
  try {
    std::string message;
    PullHostPipe(s);
    TakeHostMessage(s, message);
    if (message.empty()) return;
    s.PendingMessage = message;

    int32_t code = -1;
    std::string argument;
    if (ParseHostMessage(s.PendingMessage, code, argument) != kParseOk) return;
    if (code != 6 && code != 7) return;
    auto record = std::find_if(s.MsgTable.begin(), s.MsgTable.end(), [&](const MsgRecord& r) {
      return (r.MsgTimed || r.MsgCyclic) && r.MsgRequest == argument;
    });
    if (record == s.MsgTable.end()) return;

    if (code == 6) {
      SendReply(s, 6, 0, record->MsgLastAnswer);
    } else {
      const size_t index = static_cast<size_t>(record - s.MsgTable.begin());
      SendReply(s, 7, 0, TakeHistory(s, index));
    }
    s.PendingMessage.clear();
  } catch (const std::exception& e) {
    s.platform.ShowMessage(std::string("ControllaRispondiPipe_Err: ") + e.what(), "ecubridge");
  }
}

}  // namespace ecub
