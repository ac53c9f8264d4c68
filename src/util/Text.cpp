#include "util/Text.h"

namespace mirq {

namespace {

bool IsTrimSpace(wchar_t c) {
    return c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r' || c == L' ';
}

}  // namespace

std::wstring& TrimLeft(std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && IsTrimSpace(text[i])) ++i;
    text.erase(0, i);
    return text;
}

std::wstring& TrimRight(std::wstring& text) {
    size_t n = text.size();
    while (n > 0 && IsTrimSpace(text[n - 1])) --n;
    text.erase(n);
    return text;
}

std::wstring Trimmed(std::wstring text) { return TrimLeft(TrimRight(text)); }

std::wstring AsciiLower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    return text;
}

long long ParseDigits(const std::wstring& text, size_t most) {
    if (text.empty() || text.size() > most || text.size() > 19) return -1;
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return -1;
        value = value * 10 + static_cast<unsigned>(c - L'0');  // 19 digits fit before the bound below
    }
    return value <= 0x7FFFFFFFFFFFFFFFull ? static_cast<long long>(value) : -1;
}

}  // namespace mirq
