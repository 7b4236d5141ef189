#include "app/polling.h"

#include <algorithm>
#include <limits>

#include "link/host_link.h"
#include "link/transaction.h"
#include "server/clock.h"
#include "server/server.h"

namespace ecub {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();

void PollRecord(Server& s, size_t index) {
  const std::string request = s.MsgTable[index].MsgRequest;
  std::string answer;
  if (SendCommand(s, request, answer, 1)) ScomponiMessaggio(s, request, answer);
}

}  // namespace

void PollIdle(Server& s) {
  if (s.LinkStatus != 1) return;
  if (s.PollMode == 0) {
    int best = -1;
    for (size_t i = 0; i < s.MsgTable.size(); ++i) {
      const MsgRecord& r = s.MsgTable[i];
      if (!r.MsgTimed || !(TimerApi_uSec(s) > r.MsgNextDue_usec)) continue;
      if (best < 0 || r.MsgNextDue_usec < s.MsgTable[static_cast<size_t>(best)].MsgNextDue_usec) {
        best = static_cast<int>(i);
      }
    }
    if (best < 0) return;
    MsgRecord& r = s.MsgTable[static_cast<size_t>(best)];
    s.last_idle_work_usec = TimerApi_uSec(s);
    // 64-bit product: periods beyond 2147483 ms must not wrap into the past.
    r.MsgNextDue_usec = TimerApi_uSec(s) + static_cast<double>(int64_t{r.MsgPeriod_ms} * 1000);
    PollRecord(s, static_cast<size_t>(best));
  } else if (s.PollMode == 1) {
    if (s.CyclicIndex < 0 || static_cast<size_t>(s.CyclicIndex) >= s.MsgTable.size()) {
      s.CyclicIndex = 0;
    }
    s.last_idle_work_usec = TimerApi_uSec(s);
    const size_t index = static_cast<size_t>(s.CyclicIndex);
    if (s.MsgTable[index].MsgCyclic) PollRecord(s, index);
    ++s.CyclicIndex;
    if (static_cast<size_t>(s.CyclicIndex) >= s.MsgTable.size()) s.CyclicIndex = 0;
  }
}

double NextPollDue(const Server& s) {
  if (s.LinkStatus != 1) return kNever;
  double due = kNever;
  if (s.PollMode == 0) {
    for (const MsgRecord& r : s.MsgTable) {
      if (r.MsgTimed) due = std::min(due, r.MsgNextDue_usec);
    }
  } else if (s.PollMode == 1) {
    const bool any = std::any_of(s.MsgTable.begin(), s.MsgTable.end(),
                                 [](const MsgRecord& r) { return r.MsgCyclic; });
    if (any) due = s.last_idle_work_usec;  // every idle pass advances the cycle
  }
  return due;
}

}  // namespace ecub
