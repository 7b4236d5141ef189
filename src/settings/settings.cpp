#include "settings/settings.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string_view>

#include "codec/hex.h"
#include "codec/text.h"
#include "crypt/crypt.h"
#include "platform/platform.h"

namespace ecub {

namespace {

enum class Section {
  kSetport,
  kAttesaByteTx,
  kAttesaGlobale,
  kMolAttesaGlobale,
  kIdle,
  kNumResend,
  kDcbFlags,
  kLog,
  kAppendLog,
  kFirmware,
  kMsg,
  kCriptProto,
  kAutoSpegnimento,
  kLatencyTimer,
  kNone,
};

struct Header {
  std::string_view text;
  Section section;
};

// In the order a line is compared with them.
constexpr Header kHeaders[] = {
    {"[Setport,BaudRate,Bit,StopBit,Parity]", Section::kSetport},
    {"[AttesaByteTx_usec]", Section::kAttesaByteTx},
    {"[AttesaGlobale_usec]", Section::kAttesaGlobale},
    {"[MolAttesaGlobale]", Section::kMolAttesaGlobale},
    {"[Idle_usec]", Section::kIdle},
    {"[NumResend]", Section::kNumResend},
    {"[DCB_fBitFields]", Section::kDcbFlags},
    {"[LOG]", Section::kLog},
    {"[APPEND LOG]", Section::kAppendLog},
    {"[FIRMWARE]", Section::kFirmware},
    {"[MSG]", Section::kMsg},
    {"[CRIPT PROTO]", Section::kCriptProto},
    {"[AutoSpegnimento_usec]", Section::kAutoSpegnimento},
    {"[LatencyTimer_ms]", Section::kLatencyTimer},
};

constexpr size_t kMsgValueLines = 8;

// The whole line must be the header; case is ignored, blanks are not.
bool SameHeader(std::string_view line, std::string_view header) {
  if (line.size() != header.size()) return false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (AsciiUpper(line[i]) != AsciiUpper(header[i])) return false;
  }
  return true;
}

Section FindSection(const std::string& line) {
  for (const Header& h : kHeaders) {
    if (SameHeader(line, h.text)) return h.section;
  }
  return Section::kNone;
}

// A whole decimal number, optionally signed, with blanks around it, within [low, high].
bool ParseInteger(std::string_view text, int64_t low, int64_t high, int64_t& value) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  int64_t magnitude = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    // Any value past this is out of every field's range; stop before int64 could overflow.
    if (magnitude > (int64_t{1} << 40)) return false;
  }
  const int64_t result = negative ? -magnitude : magnitude;
  if (result < low || result > high) return false;
  value = result;
  return true;
}

// Stores the number in `field` when it fits the field's type; otherwise leaves it alone.
template <typename T>
bool SetInteger(std::string_view text, T& field) {
  int64_t value = 0;
  if (!ParseInteger(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), value)) {
    return false;
  }
  field = static_cast<T>(value);
  return true;
}

// Durations are kept as doubles but written in the file as 32-bit integers.
void SetDuration(std::string_view text, double& field) {
  int32_t value = 0;
  if (SetInteger(text, value)) field = value;
}

bool IsOne(std::string_view text) {
  return TrimBlanks(text) == "1";
}

void ApplySetport(std::string_view line, Settings& st) {
  std::string_view rest = TrimBlanks(line);
  for (int item = 0; item < 4; ++item) {
    const size_t comma = rest.find(',');
    const std::string_view value = rest.substr(0, comma);
    switch (item) {
      case 0:
        SetInteger(value, st.BaudRate);
        break;
      case 1:
        SetInteger(value, st.Bit);
        break;
      case 2:
        SetInteger(value, st.StopBit);
        break;
      default:
        SetInteger(value, st.Parity);
        break;
    }
    if (comma == std::string_view::npos) break;  // fewer items: the rest keep their values
    rest.remove_prefix(comma + 1);
  }
}

// Reads the value lines of a "[MSG]" section starting at lines[first] into a new record.
// Returns how many value lines were there to consume.
size_t ReadMsgSection(std::vector<MsgRecord>& table, int32_t& count,
                      const std::vector<std::string>& lines, size_t first) {
  ++count;
  table.resize(static_cast<size_t>(count) + 1);
  MsgRecord& r = table[static_cast<size_t>(count)];
  const size_t available = lines.size() - first;
  const size_t used = available < kMsgValueLines ? available : kMsgValueLines;
  for (size_t k = 0; k < used; ++k) {
    const std::string& v = lines[first + k];
    switch (k) {
      case 0:
        SetInteger(v, r.MsgNumber);
        break;
      case 1:
        r.MsgText = v;
        break;
      case 2:
        r.MsgRequest = HexToBytes(v);
        break;
      case 3:
        r.MsgTimed = IsOne(v);
        break;
      case 4:
        SetInteger(v, r.MsgPeriod_ms);
        break;
      case 5:
        SetInteger(v, r.MsgHistoryMax);
        break;
      case 6:
        break;  // not used by the server
      case 7:
        r.MsgCyclic = IsOne(v);
        break;
      default:
        break;
    }
  }
  ResetMsgRecord(table, count);
  return used;
}

// Applies the single value line of a section. `value` is null when the header was the last
// line of the file.
void ApplySingle(Section section, const std::string* value, Settings& st) {
  if (section == Section::kLog) st.LOG = false;
  if (section == Section::kAppendLog) st.APPEND_LOG = false;
  if (value == nullptr) return;
  const std::string& v = *value;
  switch (section) {
    case Section::kSetport:
      ApplySetport(v, st);
      break;
    case Section::kAttesaByteTx:
      SetDuration(v, st.AttesaByteTx_usec);
      break;
    case Section::kAttesaGlobale:
      SetDuration(v, st.AttesaGlobale_usec);
      break;
    case Section::kMolAttesaGlobale:
      SetDuration(v, st.MolAttesaGlobale);
      break;
    case Section::kIdle:
      SetDuration(v, st.Idle_usec);
      break;
    case Section::kNumResend:
      SetInteger(v, st.NumResend);
      break;
    case Section::kDcbFlags:
      SetInteger(v, st.DCB_fBitFields);
      break;
    case Section::kLog:
      st.LOG = IsOne(v);
      break;
    case Section::kAppendLog:
      st.APPEND_LOG = IsOne(v);
      break;
    case Section::kCriptProto: {
      const std::string_view t = TrimBlanks(v);
      st.CRIPT_PROTO = t == "1" ? 1 : t == "2" ? 2 : 0;
      break;
    }
    case Section::kAutoSpegnimento:
      SetDuration(v, st.AutoSpegnimento_usec);
      break;
    case Section::kLatencyTimer:
      SetInteger(v, st.LatencyTimer_ms);
      break;
    case Section::kFirmware:
    case Section::kMsg:
    case Section::kNone:
      break;
  }
}

void SetDefaults(Settings& st) {
  // LOG, APPEND LOG and CRIPT PROTO belong to start-up and are left as they are.
  const Settings defaults;
  st.BaudRate = defaults.BaudRate;
  st.Bit = defaults.Bit;
  st.StopBit = defaults.StopBit;
  st.Parity = defaults.Parity;
  st.AttesaByteTx_usec = defaults.AttesaByteTx_usec;
  st.AttesaGlobale_usec = defaults.AttesaGlobale_usec;
  st.MolAttesaGlobale = defaults.MolAttesaGlobale;
  st.Idle_usec = defaults.Idle_usec;
  st.NumResend = defaults.NumResend;
  st.DCB_fBitFields = defaults.DCB_fBitFields;
  st.AutoSpegnimento_usec = defaults.AutoSpegnimento_usec;
  st.LatencyTimer_ms = defaults.LatencyTimer_ms;
}

}  // namespace

bool LoadSettings(Platform& p, const std::string& path, Settings& settings,
                  std::vector<MsgRecord>& table) {
  table.assign(1, MsgRecord{});
  int32_t count = -1;
  SetDefaults(settings);
  if (!FileExist(p, path)) return false;

  const std::vector<std::string> lines =
      VerificaFileProtetto(p, path) ? DecodificaFileProtetto(p, path) : LeggiRigheFile(p, path);

  size_t i = 0;
  while (i < lines.size()) {
    const Section section = FindSection(lines[i]);
    ++i;
    if (section == Section::kNone) continue;
    if (section == Section::kMsg) {
      i += ReadMsgSection(table, count, lines, i);
      continue;
    }
    const std::string* value = i < lines.size() ? &lines[i] : nullptr;
    ApplySingle(section, value, settings);
    if (value != nullptr) ++i;
  }
  return true;
}

void ResetMsgRecord(std::vector<MsgRecord>& table, int32_t index) {
  if (index < 0 || static_cast<size_t>(index) >= table.size()) return;
  MsgRecord& r = table[static_cast<size_t>(index)];
  r.MsgHistoryLeft = r.MsgHistoryMax;
  r.MsgHistory.clear();
  r.history_entry_sizes.clear();
}

void AppendHistoryEntry(MsgRecord& r, const std::string& time_bytes, const std::string& answer) {
  // All or nothing, so the sizes always describe the history even when memory runs out.
  const std::string entry = time_bytes + answer;
  r.history_entry_sizes.push_back(entry.size());
  try {
    r.MsgHistory += entry;
  } catch (...) {
    r.history_entry_sizes.pop_back();
    throw;
  }
}

size_t OldestHistoryEntrySize(const MsgRecord& r) {
  // Bytes put into the history by other means than AppendHistoryEntry count as one entry.
  if (r.history_entry_sizes.empty()) return r.MsgHistory.size();
  return std::min(r.history_entry_sizes.front(), r.MsgHistory.size());
}

void DropOldestHistoryEntry(MsgRecord& r) {
  r.MsgHistory.erase(0, OldestHistoryEntrySize(r));
  if (!r.history_entry_sizes.empty()) r.history_entry_sizes.pop_front();
}

}  // namespace ecub
