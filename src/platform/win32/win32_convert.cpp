#include "platform/win32/win32_convert.h"

#include <cstring>

namespace ecub {

namespace {

// One bit field of the DCB flag word: where it starts and how wide it is.
struct FlagField {
  int shift;
  int width;
};

constexpr FlagField kBinary{0, 1}, kParity{1, 1}, kOutxCtsFlow{2, 1}, kOutxDsrFlow{3, 1},
    kDtrControl{4, 2}, kDsrSensitivity{6, 1}, kTXContinueOnXoff{7, 1}, kOutX{8, 1}, kInX{9, 1},
    kErrorChar{10, 1}, kNull{11, 1}, kRtsControl{12, 2}, kAbortOnError{14, 1}, kDummy2{15, 17};

constexpr DWORD Take(uint32_t word, FlagField f) {
  return (word >> f.shift) & ((1u << f.width) - 1u);
}

constexpr uint32_t Put(DWORD value, FlagField f) {
  return (static_cast<uint32_t>(value) & ((1u << f.width) - 1u)) << f.shift;
}

// The fields that have the same name and width in both control blocks.
template <typename From, typename To>
void CopyPlainFields(const From& from, To& to) {
  to.wReserved = from.wReserved;
  to.XonLim = from.XonLim;
  to.XoffLim = from.XoffLim;
  to.ByteSize = from.ByteSize;
  to.Parity = from.Parity;
  to.StopBits = from.StopBits;
  to.XonChar = from.XonChar;
  to.XoffChar = from.XoffChar;
  to.ErrorChar = from.ErrorChar;
  to.EofChar = from.EofChar;
  to.EvtChar = from.EvtChar;
  to.wReserved1 = from.wReserved1;
}

}  // namespace

void ToWin32Dcb(const Dcb& from, DCB& to) {
  to.DCBlength = sizeof(DCB);
  to.BaudRate = from.BaudRate;
  const uint32_t w = from.fBitFields;
  to.fBinary = Take(w, kBinary);
  to.fParity = Take(w, kParity);
  to.fOutxCtsFlow = Take(w, kOutxCtsFlow);
  to.fOutxDsrFlow = Take(w, kOutxDsrFlow);
  to.fDtrControl = Take(w, kDtrControl);
  to.fDsrSensitivity = Take(w, kDsrSensitivity);
  to.fTXContinueOnXoff = Take(w, kTXContinueOnXoff);
  to.fOutX = Take(w, kOutX);
  to.fInX = Take(w, kInX);
  to.fErrorChar = Take(w, kErrorChar);
  to.fNull = Take(w, kNull);
  to.fRtsControl = Take(w, kRtsControl);
  to.fAbortOnError = Take(w, kAbortOnError);
  to.fDummy2 = Take(w, kDummy2);
  CopyPlainFields(from, to);
}

Dcb FromWin32Dcb(const DCB& from) {
  Dcb to;
  to.DCBlength = from.DCBlength;
  to.BaudRate = from.BaudRate;
  to.fBitFields = Put(from.fBinary, kBinary) | Put(from.fParity, kParity) |
                  Put(from.fOutxCtsFlow, kOutxCtsFlow) | Put(from.fOutxDsrFlow, kOutxDsrFlow) |
                  Put(from.fDtrControl, kDtrControl) | Put(from.fDsrSensitivity, kDsrSensitivity) |
                  Put(from.fTXContinueOnXoff, kTXContinueOnXoff) | Put(from.fOutX, kOutX) |
                  Put(from.fInX, kInX) | Put(from.fErrorChar, kErrorChar) | Put(from.fNull, kNull) |
                  Put(from.fRtsControl, kRtsControl) | Put(from.fAbortOnError, kAbortOnError) |
                  Put(from.fDummy2, kDummy2);
  CopyPlainFields(from, to);
  return to;
}

void ToWin32Timeouts(const CommTimeouts& from, COMMTIMEOUTS& to) {
  to.ReadIntervalTimeout = from.ReadIntervalTimeout;
  to.ReadTotalTimeoutMultiplier = from.ReadTotalTimeoutMultiplier;
  to.ReadTotalTimeoutConstant = from.ReadTotalTimeoutConstant;
  to.WriteTotalTimeoutMultiplier = from.WriteTotalTimeoutMultiplier;
  to.WriteTotalTimeoutConstant = from.WriteTotalTimeoutConstant;
}

CommTimeouts FromWin32Timeouts(const COMMTIMEOUTS& from) {
  CommTimeouts to;
  to.ReadIntervalTimeout = from.ReadIntervalTimeout;
  to.ReadTotalTimeoutMultiplier = from.ReadTotalTimeoutMultiplier;
  to.ReadTotalTimeoutConstant = from.ReadTotalTimeoutConstant;
  to.WriteTotalTimeoutMultiplier = from.WriteTotalTimeoutMultiplier;
  to.WriteTotalTimeoutConstant = from.WriteTotalTimeoutConstant;
  return to;
}

SYSTEMTIME ToSystemTime(const LocalDateTime& when) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(when.year);
  st.wMonth = static_cast<WORD>(when.month);
  st.wDay = static_cast<WORD>(when.day);
  st.wHour = static_cast<WORD>(when.hour);
  st.wMinute = static_cast<WORD>(when.minute);
  st.wSecond = static_cast<WORD>(when.second);
  return st;
}

LocalDateTime FromSystemTime(const SYSTEMTIME& when) {
  LocalDateTime to;
  to.year = when.wYear;
  to.month = when.wMonth;
  to.day = when.wDay;
  to.hour = when.wHour;
  to.minute = when.wMinute;
  to.second = when.wSecond;
  return to;
}

std::string ProcessEntryName(const PROCESSENTRY32& entry) {
  const void* zero = std::memchr(entry.szExeFile, '\0', sizeof entry.szExeFile);
  if (zero == nullptr) return std::string();
  return std::string(entry.szExeFile, static_cast<const char*>(zero));
}

std::wstring WidePath(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int size = static_cast<int>(utf8.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

std::string Utf8Path(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string utf8(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
  return utf8;
}

}  // namespace ecub
