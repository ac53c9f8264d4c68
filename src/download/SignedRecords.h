#pragma once
// The documents the root key signs besides the catalogue: a release record
// (which file one phone's flash type is) and the certificate of an online
// key (which key may sign answers, and until when). The program reads them
// by these rules once their signatures verify; the service reads its store
// by the same ones. No system call: the service builds this too.
#include <string>

namespace mirq {

struct ReleaseRecord {
    std::wstring phonemode;
    int flashType = 0;
    long long version = 0;  // one above the record before it for this phone and type
    long long size = -1;    // -1 when the record names none that can be used
    std::wstring sha256;    // 64 lower-case hex digits; empty when there are none
    std::wstring md5;       // 32 lower-case hex digits, or empty
    std::wstring file;      // the name under the store's files/, or empty
    std::wstring url;       // where the file is hosted instead
};

// A record's signed text (the root left open before <signature>): <release>
// holding phonemode, flashtype (digits), version (digits), size, sha256, md5
// and file or url, each at most once. False when the document or one of the
// named parts breaks that; a size or checksum that is not one is left out
// (-1, empty) for the caller to refuse.
bool ReadReleaseText(const std::wstring& text, ReleaseRecord& out);

struct OnlineCertificate {
    std::wstring key;    // base64 of the online key's DER SubjectPublicKeyInfo
    std::wstring until;  // YYYY-MM-DD: the key may sign answers to the end of that day (UTC)
};

// A certificate's signed text: <certificate> holding key and until once each.
bool ReadCertificateText(const std::wstring& text, OnlineCertificate& out);

// YYYY-MM-DD of a day the calendar has (years 2000 to 9999).
bool IsCalendarDate(const std::wstring& date);

// A-F lowered when the text is exactly `count` hex digits; empty otherwise.
std::wstring HexDigits(const std::wstring& text, size_t count);

}  // namespace mirq
