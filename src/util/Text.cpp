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

std::wstring HexDigits(const std::wstring& text, size_t count) {
    if (text.size() != count) return std::wstring();
    std::wstring digits = text;
    for (wchar_t& c : digits) {
        if (c >= L'A' && c <= L'F') c = c - L'A' + L'a';
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return std::wstring();
    }
    return digits;
}

bool IsCalendarDate(const std::wstring& date) {
    if (date.size() != 10 || date[4] != L'-' || date[7] != L'-') return false;
    const long long year = ParseDigits(date.substr(0, 4), 4), month = ParseDigits(date.substr(5, 2), 2),
                    day = ParseDigits(date.substr(8, 2), 2);
    if (year < 2000 || month < 1 || month > 12 || day < 1) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace mirq
