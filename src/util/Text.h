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

}  // namespace mirq
