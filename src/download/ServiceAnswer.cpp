#include "download/ServiceAnswer.h"

#include <algorithm>

#include "download/Crypt.h"

#include "download/Digest.h"
#include "download/SignedRecords.h"
#include "download/UrlQuery.h"
#include "device/ModelCatalogue.h"
#include "util/XmlDocument.h"
#include "util/Utils.h"

namespace mirq {

namespace {

bool DecodeUtf8Exactly(const std::string& bytes, std::wstring& text) {
    if (bytes.empty() || bytes.find('\0') != std::string::npos) return false;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return false;
    text.assign(n, L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), &text[0], n) == n;
}

const char kSignatureOpen[] = "<signature>";
const char kSignatureClose[] = "</signature>";
const DWORD kLeastKeyBits = 2048;

std::string DecodeBase64(const std::string& text) {
    DWORD size = 0;
    if (text.empty() ||
        !CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr))
        return std::string();
    std::string bytes(size, '\0');
    if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(&bytes[0]), &size, nullptr, nullptr))
        return std::string();
    bytes.resize(size);
    return bytes;
}

struct CCryptContext {
    HCRYPTPROV provider = 0;
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    ~CCryptContext() {
        if (hash) CryptDestroyHash(hash);
        if (key) CryptDestroyKey(key);
        if (provider) CryptReleaseContext(provider, 0);
    }
};

}  // namespace

bool VerifyRsaSha256(const std::string& key, const std::string& data, const std::string& signature) {
    CCryptContext c;
    if (key.empty() || signature.empty() ||
        !CryptAcquireContextW(&c.provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return false;
    CERT_PUBLIC_KEY_INFO* info = nullptr;
    DWORD infoSize = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, reinterpret_cast<const BYTE*>(key.data()),
                             static_cast<DWORD>(key.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &infoSize))
        return false;
    const bool rsa = strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) == 0;
    const BOOL imported = rsa && CryptImportPublicKeyInfo(c.provider, X509_ASN_ENCODING, info, &c.key);
    LocalFree(info);
    DWORD bits = 0, bitsSize = sizeof(bits);
    if (!imported || !CryptGetKeyParam(c.key, KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &bitsSize, 0) ||
        bits < kLeastKeyBits)
        return false;
    if (!CryptCreateHash(c.provider, CALG_SHA_256, 0, 0, &c.hash) ||
        !CryptHashData(c.hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0))
        return false;
    // CryptoAPI takes the signature's bytes little-endian.
    const std::string reversed(signature.rbegin(), signature.rend());
    return CryptVerifySignatureW(c.hash, reinterpret_cast<const BYTE*>(reversed.data()),
                                 static_cast<DWORD>(reversed.size()), c.key, nullptr, 0) != FALSE;
}

AnswerCheck VerifySignedText(const std::string& document, const std::string& key, std::wstring& signedText) {
    signedText.clear();
    const size_t open = document.find(kSignatureOpen);
    const size_t start = open + sizeof(kSignatureOpen) - 1;
    const size_t close = open == std::string::npos ? open : document.find(kSignatureClose, start);
    if (close == std::string::npos) return AnswerCheck::NoSignature;
    const std::string signedBytes = document.substr(0, open);
    if (!VerifyRsaSha256(key, signedBytes, DecodeBase64(document.substr(start, close - start))))
        return AnswerCheck::BadSignature;
    // Nothing after the first signature is read; the signed bytes are UTF-8, as they say.
    return DecodeUtf8Exactly(signedBytes, signedText) ? AnswerCheck::Verified : AnswerCheck::Malformed;
}

namespace {

// The signed bytes of a document whose key is not known yet (the certificate
// inside an answer names the key the answer is signed with), read by the same
// strict rules; nothing of it counts until that key verifies the same bytes.
bool ReadUnverified(const std::string& document, XmlElement& root) {
    std::wstring text;
    const size_t open = document.find(kSignatureOpen);
    return open != std::string::npos && DecodeUtf8Exactly(document.substr(0, open), text) &&
           ReadXmlDocument(text, root, true);
}

// The online key the certificate vouches for, once it verifies under the root and is in force.
AnswerCheck ReadCertificate(const std::string& certificate, const std::string& root, std::string& onlineKey,
                            std::wstring& until) {
    std::wstring text;
    OnlineCertificate read;
    if (VerifySignedText(certificate, root, text) != AnswerCheck::Verified || !ReadCertificateText(text, read) ||
        (onlineKey = DecodeBase64(WideToUtf8(read.key))).empty())
        return AnswerCheck::CertificateRefused;
    until = read.until;
    // To the end of its last day: a date compares as its text does.
    return TodayUtc() > until ? AnswerCheck::CertificateEnded : AnswerCheck::Verified;
}

}  // namespace

AnswerCheck ReadReleaseRecord(const std::string& record, const std::string& key, const std::wstring& phonemode,
                              int flashType, ServiceAnswer& out) {
    std::wstring text;
    ReleaseRecord read;
    if (VerifySignedText(record, key, text) != AnswerCheck::Verified || !ReadReleaseText(text, read))
        return AnswerCheck::RecordRefused;
    if (read.phonemode != phonemode) return AnswerCheck::OtherPhone;
    if (read.flashType != flashType) return AnswerCheck::OtherFile;
    if (read.size < 0) return AnswerCheck::NoSize;
    if (read.sha256.empty()) return AnswerCheck::NoSha256;
    out.recordUntil = read.until;
    // To the end of its last day, whatever version this PC saw: a host that keeps old records cannot hand them out for ever.
    if (TodayUtc() > read.until) return AnswerCheck::RecordEnded;
    out.places = read.urls;
    out.file.size = read.size;
    out.file.sha256 = read.sha256;
    out.file.md5 = read.md5;
    out.file.pieceSize = read.pieceSize;
    out.file.pieces = read.pieces;
    out.version = read.version;
    out.record = record;
    return AnswerCheck::Verified;
}

AnswerCheck ReadServiceAnswer(const std::string& answer, const std::string& key, const AnswerAsked& asked,
                              ServiceAnswer& out) {
    out = ServiceAnswer();
    if (key.empty()) {
        const std::wstring text = DecodeAnsi(answer);
        out.url = ExtractFlashUrl(text);
        out.file.md5 = ExtractMd5(text);
        return AnswerCheck::NotVerified;
    }
    enum { kStatus, kPhonemode, kFlashtype, kNonce, kFlashurl, kCertificate, kRelease };
    const std::vector<const wchar_t*> names = {L"status", L"phonemode", L"flashtype", L"nonce", L"flashurl",
                                               L"certificate", L"release"};
    std::vector<std::wstring> v;
    XmlElement root;
    if (answer.find(kSignatureOpen) == std::string::npos) return AnswerCheck::NoSignature;
    if (!ReadUnverified(answer, root) || root.name != L"root") return AnswerCheck::Malformed;
    if (!TakeSingleTexts(root, names, v)) return AnswerCheck::Doubled;
    std::string onlineKey;
    const AnswerCheck certified =
        ReadCertificate(DecodeBase64(WideToUtf8(v[kCertificate])), key, onlineKey, out.certificateUntil);
    if (certified != AnswerCheck::Verified) return certified;
    if (asked.catalogue && asked.catalogue->Withdrew(Sha256Hex(onlineKey.data(), onlineKey.size()))) return AnswerCheck::KeyWithdrawn;
    // The values read above count only now: the online key signed those very bytes.
    std::wstring text;
    const AnswerCheck verified = VerifySignedText(answer, onlineKey, text);
    if (verified != AnswerCheck::Verified) return verified;
    if (v[kStatus] != L"ok") return AnswerCheck::NotOk;
    if (v[kPhonemode] != asked.phonemode) return AnswerCheck::OtherPhone;
    if (v[kFlashtype] != std::to_wstring(asked.flashType)) return AnswerCheck::OtherFile;
    if (asked.nonce.empty() || v[kNonce] != asked.nonce) return AnswerCheck::OtherQuery;
    const AnswerCheck record = ReadReleaseRecord(DecodeBase64(WideToUtf8(v[kRelease])), key, asked.phonemode, asked.flashType, out);
    if (record != AnswerCheck::Verified) return record;
    // The online key only picks among the places the root named, and which comes first.
    const auto chosen = std::find(out.places.begin(), out.places.end(), v[kFlashurl]);
    if (chosen == out.places.end()) return AnswerCheck::OtherPlace;
    std::rotate(out.places.begin(), chosen, chosen + 1);
    out.url = v[kFlashurl];
    return AnswerCheck::Verified;
}

std::wstring MakeNonce() {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return std::wstring();
    BYTE bytes[16] = {};
    const BOOL made = CryptGenRandom(provider, sizeof(bytes), bytes);
    CryptReleaseContext(provider, 0);
    return made ? HexOf(bytes, sizeof(bytes)) : std::wstring();
}

std::wstring DescribeServiceKey(const std::string& key) {
    if (key.empty()) return L"no service key: answers are not verified";
    return L"root key SHA-256 " + Sha256Hex(key.data(), key.size());
}

const wchar_t* DescribeAnswerCheck(AnswerCheck check) {
    switch (check) {
    case AnswerCheck::Verified: return L"signature verified";
    case AnswerCheck::NotVerified: return L"not verified (built without the service's key)";
    case AnswerCheck::NoSignature: return L"refused: no signature";
    case AnswerCheck::BadSignature: return L"refused: the signature does not verify";
    case AnswerCheck::Malformed: return L"refused: not a plain document (markup in a text, a comment, an entity)";
    case AnswerCheck::Doubled: return L"refused: an element twice, or holding others";
    case AnswerCheck::NotOk: return L"refused: the status is not ok";
    case AnswerCheck::OtherQuery: return L"refused: not the answer to this query (replayed)";
    case AnswerCheck::OtherPhone: return L"refused: signed for another phone";
    case AnswerCheck::OtherFile: return L"refused: signed for the other file";
    case AnswerCheck::NoSize: return L"refused: no size";
    case AnswerCheck::NoSha256: return L"refused: no SHA-256";
    case AnswerCheck::CertificateRefused: return L"refused: the service's certificate is not one the root key signed";
    case AnswerCheck::CertificateEnded: return L"refused: the service's certificate has ended (or the PC's date is wrong)";
    case AnswerCheck::RecordRefused: return L"refused: the release record is not one the root key signed";
    case AnswerCheck::RecordEnded: return L"refused: the release record has ended (or the PC's date is wrong)";
    case AnswerCheck::OtherPlace: return L"refused: an address the release record does not name";
    case AnswerCheck::KeyWithdrawn: return L"refused: the catalogue withdrew the service's online key";
    case AnswerCheck::OlderRecord: return L"refused: an older release than one this PC has seen";
    }
    return L"";
}

}  // namespace mirq
