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

// Blanks around the name are a slip of the editor, not another section.
Section FindSection(std::string_view line) {
  line = TrimBlanks(line);
  for (const Header& h : kHeaders) {
    if (SameHeader(line, h.text)) return h.section;
  }
  return Section::kNone;
}

std::string_view HeaderText(Section section) {
  for (const Header& h : kHeaders) {
    if (h.section == section) return h.text;
  }
  return {};
}

// Collects the problems of one load, each with the line of the file it is on.
class Problems {
 public:
  explicit Problems(std::vector<SettingsProblem>* out) : out_(out) {}
  void Add(size_t line, std::string text) {
    if (out_ != nullptr) out_->push_back({line, std::move(text)});
  }

 private:
  std::vector<SettingsProblem>* out_;
};

// The first byte that no text file holds (a control character other than tab, CR and LF), with
// its line; false when there is none.
bool FindBinaryByte(const std::string& text, size_t& line, unsigned& byte) {
  line = 1;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u == '\n') ++line;
    if ((u < 0x20 && u != '\t' && u != '\r' && u != '\n') || u == 0x7F) {
      byte = u;
      return true;
    }
  }
  return false;
}

std::string Quoted(std::string_view value) {
  constexpr size_t kShown = 40;
  std::string shown(value.substr(0, kShown));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return "'" + shown + (value.size() > kShown ? "...'" : "'");
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
bool SetDuration(std::string_view text, double& field) {
  int32_t value = 0;
  if (!SetInteger(text, value)) return false;
  field = value;
  return true;
}

// A switch is on for exactly "1"; anything but "0" is worth a word, since it switches off.
bool IsSwitchValue(std::string_view text) {
  text = TrimBlanks(text);
  return text == "0" || text == "1";
}

bool IsOne(std::string_view text) {
  return TrimBlanks(text) == "1";
}

// False when an item is not a number its field can take or fewer than four are given.
bool ApplySetport(std::string_view line, Settings& st) {
  std::string_view rest = TrimBlanks(line);
  bool ok = true;
  for (int item = 0; item < 4; ++item) {
    const size_t comma = rest.find(',');
    const std::string_view value = rest.substr(0, comma);
    switch (item) {
      case 0:
        ok = SetInteger(value, st.BaudRate) && ok;
        break;
      case 1:
        ok = SetInteger(value, st.Bit) && ok;
        break;
      case 2:
        ok = SetInteger(value, st.StopBit) && ok;
        break;
      default:
        ok = SetInteger(value, st.Parity) && ok;
        break;
    }
    if (comma == std::string_view::npos) return ok && item == 3;  // fewer: the rest are kept
    rest.remove_prefix(comma + 1);
  }
  return ok;
}

// Reads the value lines of a "[MSG]" section starting at lines[first] into a new record.
// Returns how many value lines were there to consume. `line_of` gives a line's place in the
// file.
template <typename LineOf>
size_t ReadMsgSection(std::vector<MsgRecord>& table, int32_t& count,
                      const std::vector<std::string>& lines, size_t first, LineOf line_of,
                      Problems& problems) {
  ++count;
  table.resize(static_cast<size_t>(count) + 1);
  MsgRecord& r = table[static_cast<size_t>(count)];
  const size_t available = lines.size() - first;
  const size_t used = available < kMsgValueLines ? available : kMsgValueLines;
  if (used < kMsgValueLines) {
    problems.Add(line_of(first - 1), "[MSG] has " + std::to_string(used) + " of its " +
                                         std::to_string(kMsgValueLines) + " value lines");
  }
  const auto number = [&](size_t k, int32_t& field, const char* what) {
    if (!SetInteger(lines[first + k], field)) {
      problems.Add(line_of(first + k), std::string("[MSG] ") + what + " " +
                                           Quoted(lines[first + k]) + " is not a whole number");
    }
  };
  for (size_t k = 0; k < used; ++k) {
    const std::string& v = lines[first + k];
    switch (k) {
      case 0:
        number(k, r.MsgNumber, "number");
        break;
      case 1:
        r.MsgText = v;
        break;
      case 2: {
        // Blanks around the frame are a slip of the editor, not part of the hex.
        const std::string hex(TrimBlanks(v));
        r.MsgRequest = HexToBytes(hex);
        if (r.MsgRequest.empty() && !hex.empty()) {
          problems.Add(line_of(first + k), "[MSG] request " + Quoted(v) + " is not hex");
        }
        break;
      }
      case 3:
        r.MsgTimed = IsOne(v);
        break;
      case 4:
        number(k, r.MsgPeriod_ms, "period");
        break;
      case 5:
        number(k, r.MsgHistoryMax, "history size");
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
// line of the file. Returns what the value should have been when it was not, else null.
const char* ApplySingle(Section section, const std::string* value, Settings& st) {
  if (section == Section::kLog) st.LOG = false;
  if (section == Section::kAppendLog) st.APPEND_LOG = false;
  if (value == nullptr) return section == Section::kFirmware ? nullptr : "a value line";
  const std::string& v = *value;
  constexpr const char* kWhole = "a whole number from -2147483648 to 2147483647; kept as before";
  constexpr const char* kSwitch = "0 or 1; taken as 0";
  switch (section) {
    case Section::kSetport:
      return ApplySetport(v, st)
                 ? nullptr
                 : "four numbers: speed,bits,stop-bit code,parity code; the others kept as before";
    case Section::kAttesaByteTx:
      return SetDuration(v, st.AttesaByteTx_usec) ? nullptr : kWhole;
    case Section::kAttesaGlobale:
      return SetDuration(v, st.AttesaGlobale_usec) ? nullptr : kWhole;
    case Section::kMolAttesaGlobale:
      return SetDuration(v, st.MolAttesaGlobale) ? nullptr : kWhole;
    case Section::kIdle:
      return SetDuration(v, st.Idle_usec) ? nullptr : kWhole;
    case Section::kNumResend:
      return SetInteger(v, st.NumResend) ? nullptr
                                         : "a whole number from -32768 to 32767; kept as before";
    case Section::kDcbFlags:
      return SetInteger(v, st.DCB_fBitFields) ? nullptr : kWhole;
    case Section::kLog:
      st.LOG = IsOne(v);
      return IsSwitchValue(v) ? nullptr : kSwitch;
    case Section::kAppendLog:
      st.APPEND_LOG = IsOne(v);
      return IsSwitchValue(v) ? nullptr : kSwitch;
    case Section::kCriptProto: {
      const std::string_view t = TrimBlanks(v);
      st.CRIPT_PROTO = t == "1" ? 1 : t == "2" ? 2 : 0;
      return t == "0" || t == "1" || t == "2" ? nullptr : "0, 1 or 2; taken as 0";
    }
    case Section::kAutoSpegnimento:
      return SetDuration(v, st.AutoSpegnimento_usec) ? nullptr : kWhole;
    case Section::kLatencyTimer:
      return SetInteger(v, st.LatencyTimer_ms) ? nullptr
                                               : "a whole number from 0 to 255; kept as before";
    case Section::kFirmware:
    case Section::kMsg:
    case Section::kNone:
      break;
  }
  return nullptr;
}

// The lines of a protected file after its header, decoded; false when it is not one. A line that
// does not decode spoils the whole file (a half-decoded settings text would be worse): no lines.
bool DecodeProtected(const std::vector<std::string>& lines, std::vector<std::string>& decoded,
                     Problems& problems) {
  if (!StartsWithProtectedHeader(lines)) return false;
  decoded.assign(lines.size() - 1, std::string());
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!DecodeCheckedLine(lines[i], decoded[i - 1])) {
      problems.Add(i + 1,
                   "does not decode (a protected file holds groups of four digits); "
                   "the whole file is passed over");
      decoded.clear();
      break;
    }
  }
  return true;
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

std::vector<std::string> SplitSettingsLines(const std::string& text) {
  std::vector<std::string> lines = SplitAt(text, "\n");
  // A CR belongs to the line end only where an LF follows it.
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i].back() == '\r') lines[i].pop_back();
  }
  return lines;
}

std::string DescribeSettingsProblem(const std::string& path, const SettingsProblem& problem) {
  if (problem.line == 0) return path + ": " + problem.text;
  return path + ":" + std::to_string(problem.line) + ": " + problem.text;
}

bool LoadSettings(Platform& p, const std::string& path, Settings& settings,
                  std::vector<MsgRecord>& table, std::vector<SettingsProblem>* problem_list) {
  table.assign(1, MsgRecord{});
  int32_t count = -1;
  SetDefaults(settings);
  Problems problems(problem_list);
  if (!FileExist(p, path)) {
    // A missing file is the usual case and no problem; one that is there but unusable is.
    switch (p.KindOfPath(path)) {
      case Platform::PathKind::kMissing:
        break;
      case Platform::PathKind::kFile:
        problems.Add(0, "cannot be read; the defaults are used");
        break;
      case Platform::PathKind::kOther:
        problems.Add(0, "is not a regular file; the defaults are used");
        break;
    }
    return false;
  }

  std::string contents;
  if (!p.ReadWholeFile(path, contents)) {
    problems.Add(0, "cannot be read; the defaults are used");
    return true;
  }
  std::vector<std::string> lines = SplitSettingsLines(contents);
  size_t first_line = 1;  // the file line of lines[0]
  std::vector<std::string> decoded;
  if (DecodeProtected(lines, decoded, problems)) {
    lines.swap(decoded);
    first_line = 2;
  } else {
    size_t at = 0;
    unsigned byte = 0;
    if (FindBinaryByte(contents, at, byte)) {
      problems.Add(at, "is not a text file (byte " + std::to_string(byte) + ")");
    }
  }
  const auto line_of = [first_line](size_t index) { return index + first_line; };

  size_t i = 0;
  while (i < lines.size()) {
    const Section section = FindSection(lines[i]);
    ++i;
    if (section == Section::kNone) {
      const std::string_view text = TrimBlanks(lines[i - 1]);
      if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        problems.Add(line_of(i - 1), "unknown section " + Quoted(text) + "; passed over");
      }
      continue;
    }
    if (section == Section::kMsg) {
      i += ReadMsgSection(table, count, lines, i, line_of, problems);
      continue;
    }
    const std::string* value = i < lines.size() ? &lines[i] : nullptr;
    if (const char* wanted = ApplySingle(section, value, settings)) {
      const std::string header(HeaderText(section));
      if (value == nullptr) {
        problems.Add(line_of(i - 1), header + " has no value line");
      } else {
        problems.Add(line_of(i), header + " value " + Quoted(*value) + " is not " + wanted);
      }
    }
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
