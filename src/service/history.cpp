#include "service/history.h"

#include "host/server.h"
#include "settings/settings.h"

namespace ecub {

std::string PrendiStorico(Server& s, size_t index) {
  MsgRecord& record = s.MsgTable.at(index);
  const size_t entry = record.MsgLastAnswer.size() + 4;
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((entry >> (8 * i)) & 0xFF);

  const size_t room = kHistoryBlockMax - data.size();
  const size_t whole_entries = room / entry;
  if (record.MsgHistory.size() <= room || whole_entries == 0) {
    // Everything fits (or entries are too large to ever fit one): return it all, cut to the
    // block size, and start the history afresh.
    data += record.MsgHistory.substr(0, room);
    ResetMsgRecord(s, static_cast<int32_t>(index));
    return data;
  }
  const size_t taken = whole_entries * entry;
  data += record.MsgHistory.substr(0, taken);
  record.MsgHistory.erase(0, taken);
  record.MsgHistoryLeft += static_cast<int32_t>(whole_entries);
  return data;
}

}  // namespace ecub
