#include "download/Digest.h"

#include "download/Crypt.h"

namespace mirq {

CDigest::CDigest(DigestKind kind) : m_length(kind == DigestKind::Md5 ? 16 : 32) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    // The AES provider is the one that knows SHA-256 (Windows XP SP3 and later).
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, kind == DigestKind::Md5 ? CALG_MD5 : CALG_SHA_256, 0, 0, &hash)) {
        m_provider = provider;
        m_hash = hash;
    } else {
        if (provider) CryptReleaseContext(provider, 0);
        m_failed = true;
    }
}

CDigest::~CDigest() {
    if (m_hash) CryptDestroyHash(m_hash);
    if (m_provider) CryptReleaseContext(m_provider, 0);
}

void CDigest::Update(const void* data, size_t size) {
    if (m_failed || size == 0) return;
    if (!CryptHashData(m_hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0)) m_failed = true;
}

std::wstring CDigest::HexDigest() {
    BYTE digest[32];
    DWORD length = sizeof(digest);
    if (m_failed || !CryptGetHashParam(m_hash, HP_HASHVAL, digest, &length, 0) || length != m_length)
        return std::wstring();
    return HexOf(digest, length);
}

std::wstring HexOf(const void* data, size_t size) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::wstring text;
    for (size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

std::wstring Sha256Hex(const void* data, size_t size) {
    CDigest sha256(DigestKind::Sha256);
    sha256.Update(data, size);
    return sha256.HexDigest();
}

}  // namespace mirq
