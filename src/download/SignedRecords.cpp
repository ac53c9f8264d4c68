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

bool IsPlaceUrl(const std::wstring& url) {
    const size_t scheme = url.compare(0, 7, L"http://") == 0 ? 7 : url.compare(0, 8, L"https://") == 0 ? 8 : 0;
    if (scheme == 0 || url.size() == scheme) return false;
    for (wchar_t c : url)
        if (c <= 0x20 || c == 0x7F) return false;
    return true;
}

bool ReadReleaseText(const std::wstring& text, ReleaseRecord& out) {
    enum { kPhonemode, kFlashtype, kVersion, kSize, kSha256, kMd5, kUntil, kFile, kPieceSize };
    XmlElement root;
    std::vector<std::wstring> v;
    std::vector<bool> present;
    ReleaseRecord r;
    if (!ReadXmlDocument(text, root, true) || root.name != L"release" ||
        !TakeSingleTexts(root, {L"phonemode", L"flashtype", L"version", L"size", L"sha256", L"md5", L"until", L"file", L"piecesize"},
                         v, &present) ||
        !TakeTexts(root, L"url", r.urls) || !TakeTexts(root, L"piece", r.pieces))
        return false;
    // The pieces, where it names them, cover the file exactly: one for each piece size of it, the last
    // maybe short (a size that is not one is the caller's to refuse).
    r.pieceSize = present[kPieceSize] ? ParseDigits(v[kPieceSize], 18) : 0;
    const long long size = ParseDigits(v[kSize], 19), count = static_cast<long long>(r.pieces.size());
    if (r.pieceSize < 0 || (r.pieceSize > 0 && (r.pieceSize < kLeastPieceSize || r.pieceSize > kMostPieceSize)) || (r.pieceSize == 0 && count > 0) ||
        (r.pieceSize > 0 && size >= 1 && count != (size - 1) / r.pieceSize + 1))
        return false;
    for (std::wstring& piece : r.pieces)
        if ((piece = HexDigits(piece, 64)).empty()) return false;
    r.phonemode = v[kPhonemode];
    const long long type = ParseDigits(v[kFlashtype], 9), version = ParseDigits(v[kVersion], 18);
    // It ends, and the root names every place its file may come from.
    if (!present[kPhonemode] || type < 0 || version < 1 || !IsCalendarDate(v[kUntil]) || r.urls.empty() ||
        (present[kFile] && v[kFile].empty()))
        return false;
    for (const std::wstring& url : r.urls)
        if (!IsPlaceUrl(url)) return false;
    r.flashType = static_cast<int>(type);
    r.version = version;
    r.size = size >= 1 ? size : -1;
    r.sha256 = HexDigits(v[kSha256], 64);
    r.md5 = HexDigits(v[kMd5], 32);
    r.until = v[kUntil];
    r.file = v[kFile];
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

}  // namespace mirq
