#pragma once
// Text helpers with no system call, shared with the service (a Linux build).
#include <string>

namespace mirq {

// Whitespace is exactly tab, LF, VT, FF, CR and space.
std::wstring& TrimLeft(std::wstring& text);
std::wstring& TrimRight(std::wstring& text);
std::wstring Trimmed(std::wstring text);
// A-Z lowered, nothing else: what Android's property names and values compare by.
std::wstring AsciiLower(std::wstring text);
// The one decimal reader: 1 to `most` ASCII digits and nothing else (no sign,
// no blank), at most 2^63-1; -1 for anything else.
long long ParseDigits(const std::wstring& text, size_t most = 18);
// YYYY-MM-DD of a day the calendar has (years 2000 to 9999). Such dates
// compare as their texts do.
bool IsCalendarDate(const std::wstring& date);
// A-F lowered when the text is exactly `count` hex digits; empty otherwise.
std::wstring HexDigits(const std::wstring& text, size_t count);

}  // namespace mirq
