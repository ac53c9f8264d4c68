#include "download/SeenReleases.h"

#include "util/Text.h"
#include "util/Utils.h"

namespace mirq {

CSeenReleases::CSeenReleases(std::wstring path) : m_path(std::move(path)) {
    m_newest = ParseSeenReleases(Utf8ToWide(ReadBinaryFile(m_path)));
}

long long CSeenReleases::Newest(const std::wstring& phonemode, int flashType) const {
    const auto at = m_newest.find({flashType, phonemode});
    return at == m_newest.end() ? 0 : at->second;
}

unsigned long CSeenReleases::Note(const std::wstring& phonemode, int flashType, long long version) {
    if (version <= Newest(phonemode, flashType)) return 0;
    m_newest[{flashType, phonemode}] = version;
    unsigned long error = 0;
    return ReplaceFileWith(m_path, WideToUtf8(FormatSeenReleases(m_newest)), &error) ? 0 : (error ? error : 1);
}

std::wstring SeenReleasesPath() { return GetDataDirectory() + L"\\releases.txt"; }

std::map<std::pair<int, std::wstring>, long long> ParseSeenReleases(const std::wstring& text) {
    std::map<std::pair<int, std::wstring>, long long> newest;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(at, end - at);
        at = end + 1;
        const size_t first = line.find(L' '), second = first == std::wstring::npos ? first : line.find(L' ', first + 1);
        if (second == std::wstring::npos) continue;
        const long long type = ParseDigits(line.substr(0, first), 9), version = ParseDigits(line.substr(first + 1, second - first - 1));
        const std::wstring phonemode = line.substr(second + 1);
        if (type < 0 || version < 1 || phonemode.empty()) continue;
        long long& kept = newest[{static_cast<int>(type), phonemode}];
        if (version > kept) kept = version;
    }
    return newest;
}

std::wstring FormatSeenReleases(const std::map<std::pair<int, std::wstring>, long long>& newest) {
    std::wstring text;
    for (const auto& entry : newest)
        text += std::to_wstring(entry.first.first) + L" " + std::to_wstring(entry.second) + L" " + entry.first.second + L"\n";
    return text;
}

}  // namespace mirq
