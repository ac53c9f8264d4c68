#include "download/SignedRecords.h"

#include <vector>

#include "util/Text.h"
#include "util/XmlDocument.h"

namespace mirq {

namespace {

// The document's root by name, with its children's texts taken once each.
bool ReadSigned(const std::wstring& text, const wchar_t* rootName, const std::vector<const wchar_t*>& names,
                std::vector<std::wstring>& values, std::vector<bool>& present) {
    XmlElement root;
    return ReadXmlDocument(text, root, true) && root.name == rootName && TakeSingleTexts(root, names, values, &present);
}

}  // namespace

std::wstring HexDigits(const std::wstring& text, size_t count) {
    if (text.size() != count) return std::wstring();
    std::wstring digits = text;
    for (wchar_t& c : digits) {
        if (c >= L'A' && c <= L'F') c = c - L'A' + L'a';
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'))) return std::wstring();
    }
    return digits;
}

bool ReadReleaseText(const std::wstring& text, ReleaseRecord& out) {
    enum { kPhonemode, kFlashtype, kVersion, kSize, kSha256, kMd5, kFile, kUrl };
    std::vector<std::wstring> v;
    std::vector<bool> present;
    if (!ReadSigned(text, L"release", {L"phonemode", L"flashtype", L"version", L"size", L"sha256", L"md5", L"file", L"url"},
                    v, present))
        return false;
    ReleaseRecord r;
    r.phonemode = v[kPhonemode];
    const long long type = ParseDigits(v[kFlashtype], 9), version = ParseDigits(v[kVersion], 18);
    // One place the file is: in the store, or at an address of its own.
    if (!present[kPhonemode] || type < 0 || version < 1 || present[kFile] == present[kUrl] ||
        v[present[kFile] ? kFile : kUrl].empty())
        return false;
    r.flashType = static_cast<int>(type);
    r.version = version;
    const long long size = ParseDigits(v[kSize], 19);
    r.size = size >= 1 ? size : -1;
    r.sha256 = HexDigits(v[kSha256], 64);
    r.md5 = HexDigits(v[kMd5], 32);
    r.file = v[kFile];
    r.url = v[kUrl];
    out = r;
    return true;
}

bool ReadCertificateText(const std::wstring& text, OnlineCertificate& out) {
    std::vector<std::wstring> v;
    std::vector<bool> present;
    if (!ReadSigned(text, L"certificate", {L"key", L"until"}, v, present) || v[0].empty() || !IsCalendarDate(v[1]))
        return false;
    out.key = v[0];
    out.until = v[1];
    return true;
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
