#include "download/Md5.h"

#include <windows.h>
#include <wincrypt.h>

namespace mirq {

CMd5::CMd5() {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
        m_provider = provider;
        m_hash = hash;
    } else {
        if (provider) CryptReleaseContext(provider, 0);
        m_failed = true;
    }
}

CMd5::~CMd5() {
    if (m_hash) CryptDestroyHash(m_hash);
    if (m_provider) CryptReleaseContext(m_provider, 0);
}

void CMd5::Update(const void* data, size_t size) {
    if (m_failed || size == 0) return;
    if (!CryptHashData(m_hash, static_cast<const BYTE*>(data), static_cast<DWORD>(size), 0)) m_failed = true;
}

std::wstring CMd5::HexDigest() {
    BYTE digest[16];
    DWORD length = sizeof(digest);
    if (m_failed || !CryptGetHashParam(m_hash, HP_HASHVAL, digest, &length, 0) || length != sizeof(digest))
        return std::wstring();
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    for (BYTE b : digest) {
        text += kHex[b >> 4];
        text += kHex[b & 15];
    }
    return text;
}

}  // namespace mirq
