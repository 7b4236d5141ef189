#include "link/history.h"

#include "server/server.h"
#include "settings/settings.h"

namespace ecub {

std::string TakeHistory(Server& s, size_t index) {
  MsgRecord& record = s.MsgTable.at(index);
  // The prefix is the size of an entry holding the last answer, as the host expects it; the
  // entries themselves are cut only where they really end.
  const size_t entry = record.MsgLastAnswer.size() + 4;
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((entry >> (8 * i)) & 0xFF);

  const size_t room = kHistoryBlockMax - data.size();
  if (record.MsgHistory.size() <= room) {
    data += record.MsgHistory;
    ResetMsgRecord(s.MsgTable, static_cast<int32_t>(index));
    return data;
  }
  // The oldest whole entries that fit; the rest stays for the next request.
  size_t taken = 0;
  int32_t entries = 0;
  for (const size_t size : record.history_entry_sizes) {
    if (taken + size > room) break;
    taken += size;
    ++entries;
  }
  if (entries == 0) {
    // An entry larger than a whole block can never go out whole: it goes out cut, alone.
    data += record.MsgHistory.substr(0, room);
    DropOldestHistoryEntry(record);
    ++record.MsgHistoryLeft;
    return data;
  }
  data += record.MsgHistory.substr(0, taken);
  record.MsgHistory.erase(0, taken);
  record.history_entry_sizes.erase(record.history_entry_sizes.begin(),
                                   record.history_entry_sizes.begin() + entries);
  record.MsgHistoryLeft += entries;
  return data;
}

}  // namespace ecub
