#include "download/ServiceAnswer.h"

#include "download/Crypt.h"

#include "download/UrlQuery.h"
#include "util/Utils.h"

namespace mirq {

namespace {

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

AnswerCheck ReadServiceAnswer(const std::string& answer, const std::string& key, const std::wstring& phonemode,
                              int flashType, ServiceAnswer& out) {
    out = ServiceAnswer();
    if (key.empty()) {
        const std::wstring text = DecodeAnsi(answer);
        out.url = ExtractFlashUrl(text);
        out.file.md5 = ExtractMd5(text);
        return AnswerCheck::NotVerified;
    }
    const size_t open = answer.find(kSignatureOpen);
    const size_t start = open + sizeof(kSignatureOpen) - 1;
    const size_t close = open == std::string::npos ? open : answer.find(kSignatureClose, start);
    if (close == std::string::npos) return AnswerCheck::NoSignature;
    const std::string signedBytes = answer.substr(0, open);
    if (!VerifyRsaSha256(key, signedBytes, DecodeBase64(answer.substr(start, close - start))))
        return AnswerCheck::BadSignature;

    // Nothing outside the signed bytes is read.
    const std::wstring text = DecodeAnsi(signedBytes);
    std::wstring value;
    if (!ElementText(text, L"phonemode", value) || value != phonemode) return AnswerCheck::OtherPhone;
    if (!ElementText(text, L"flashtype", value) || value != std::to_wstring(flashType)) return AnswerCheck::OtherFile;
    if (!ElementText(text, L"size", value) || (out.file.size = ParseLength(value)) < 0) return AnswerCheck::NoSize;
    if (!ElementText(text, L"sha256", value) || (out.file.sha256 = HexDigits(value, 64)).empty())
        return AnswerCheck::NoSha256;
    out.url = ExtractFlashUrl(text);
    out.file.md5 = ExtractMd5(text);
    return AnswerCheck::Verified;
}

const wchar_t* DescribeAnswerCheck(AnswerCheck check) {
    switch (check) {
    case AnswerCheck::Verified: return L"signature verified";
    case AnswerCheck::NotVerified: return L"not verified (built without the service's key)";
    case AnswerCheck::NoSignature: return L"refused: no signature";
    case AnswerCheck::BadSignature: return L"refused: the signature does not verify with the service's key";
    case AnswerCheck::OtherPhone: return L"refused: signed for another phone";
    case AnswerCheck::OtherFile: return L"refused: signed for the other file";
    case AnswerCheck::NoSize: return L"refused: no size";
    case AnswerCheck::NoSha256: return L"refused: no SHA-256";
    }
    return L"";
}

}  // namespace mirq
