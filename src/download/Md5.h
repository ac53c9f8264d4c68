#pragma once
// MD5 of a stream of bytes through the system's crypto provider, to compare a
// download with the checksum the service sends beside its address.
#include <string>

namespace mirq {

class CMd5 {
public:
    CMd5();
    ~CMd5();
    CMd5(const CMd5&) = delete;
    CMd5& operator=(const CMd5&) = delete;

    void Update(const void* data, size_t size);
    // 32 lower-case hex digits; empty when the provider was not available.
    std::wstring HexDigest();

private:
    unsigned long m_provider = 0;  // HCRYPTPROV
    unsigned long m_hash = 0;      // HCRYPTHASH
    bool m_failed = false;
};

}  // namespace mirq
