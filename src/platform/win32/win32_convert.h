// Conversions between the portable records and their Windows structures. Kept apart from the
// platform so that tests can check them field by field.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// windows.h first: tlhelp32.h builds on its types.
#include <tlhelp32.h>

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace ecub {

// The device control block, field for field. The flag word of the portable record holds the
// DCB bit fields from bit 0 upwards in declaration order (fBinary first, fDummy2 last), so a
// flag word from the settings file lands on the same bits it would in the Windows structure.
void ToWin32Dcb(const Dcb& from, DCB& to);
Dcb FromWin32Dcb(const DCB& from);

void ToWin32Timeouts(const CommTimeouts& from, COMMTIMEOUTS& to);
CommTimeouts FromWin32Timeouts(const COMMTIMEOUTS& from);

SYSTEMTIME ToSystemTime(const LocalDateTime& when);
LocalDateTime FromSystemTime(const SYSTEMTIME& when);

// Paths cross the portable code as UTF-8, so that a folder whose name lies outside the ANSI
// code page (Cyrillic or CJK letters in a user name) survives; the Windows layer turns them into
// the wide-character form for the W calls and back. Invalid UTF-8 becomes U+FFFD.
std::wstring WidePath(const std::string& utf8);
std::string Utf8Path(const std::wstring& wide);

// The executable name of a process entry: `szExeFile` up to its first zero character; empty
// when the field holds no zero character (such entries are skipped).
std::string ProcessEntryName(const PROCESSENTRY32& entry);

}  // namespace ecub
