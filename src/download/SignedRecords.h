#pragma once
// The documents the root key signs besides the catalogue: a release record
// (which file one phone's flash type is) and the certificate of an online
// key (which key may sign answers, and until when). The program reads them
// by these rules once their signatures verify; the service reads its store
// by the same ones. No system call: the service builds this too.
#include <string>
#include <vector>

#include "util/Text.h"

namespace mirq {

struct ReleaseRecord {
    std::wstring phonemode;
    int flashType = 0;
    long long version = 0;  // one above the record before it for this phone and type
    long long size = -1;    // -1 when the record names none that can be used
    std::wstring sha256;    // 64 lower-case hex digits; empty when there are none
    std::wstring md5;       // 32 lower-case hex digits, or empty
    std::wstring until;     // YYYY-MM-DD: the record counts to the end of that day (UTC)
    std::vector<std::wstring> urls;  // every place the file may be fetched from, the root's order
    std::wstring file;      // its name under the store's files/, where the store holds it; or empty
    long long pieceSize = 0;           // bytes of each piece but the last (0: the record names no pieces)
    std::vector<std::wstring> pieces;  // the SHA-256 of each piece, 64 lower-case hex digits, in the file's order
};

// Pieces are of 64 KiB at least: a record names a few thousand at most for any file it takes; and of
// 16 MiB at most: each is held whole in memory until it is checked, one for each connection at worst.
constexpr long long kLeastPieceSize = 64 * 1024;
constexpr long long kMostPieceSize = 16 * 1024 * 1024;

// A record's signed text (the root left open before <signature>): <release>
// holding phonemode, flashtype (digits), version (digits), size, sha256, md5,
// until (a date), file and piecesize at most once each, one or more <url>,
// each a place (IsPlaceUrl), and with a piece size (64 KiB or more) one
// <piece> (64 hex digits) for each piece of the size (the last may be
// short), else none. False when the document or one of the named parts
// breaks that; a size or checksum that is not one is left out (-1, empty)
// for the caller to refuse.
bool ReadReleaseText(const std::wstring& text, ReleaseRecord& out);

// An address a record may name: http:// or https://, then no blank or control character.
bool IsPlaceUrl(const std::wstring& url);

struct OnlineCertificate {
    std::wstring key;    // base64 of the online key's DER SubjectPublicKeyInfo
    std::wstring until;  // YYYY-MM-DD: the key may sign answers to the end of that day (UTC)
};

// A certificate's signed text: <certificate> holding key and until once each.
bool ReadCertificateText(const std::wstring& text, OnlineCertificate& out);

}  // namespace mirq
