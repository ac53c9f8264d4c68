#pragma once
// A digest of a stream of bytes through the system's crypto provider: MD5 for
// the checksum the service announces, SHA-256 for the one it signs.
#include <cstdint>
#include <string>

namespace mirq {

enum class DigestKind { Md5, Sha256 };

class CDigest {
public:
    explicit CDigest(DigestKind kind);
    ~CDigest();
    CDigest(const CDigest&) = delete;
    CDigest& operator=(const CDigest&) = delete;

    void Update(const void* data, size_t size);
    // Lower-case hex digits (32 or 64); empty when the provider failed.
    std::wstring HexDigest();

private:
    // HCRYPTPROV and HCRYPTHASH: as wide as a pointer (64 bits in the 64-bit build).
    uintptr_t m_provider = 0;
    uintptr_t m_hash = 0;
    unsigned long m_length;
    bool m_failed = false;
};

// Lower-case hex digits of the bytes.
std::wstring HexOf(const void* data, size_t size);
// The SHA-256 of the bytes, 64 lower-case hex digits (a piece's, a key's).
std::wstring Sha256Hex(const void* data, size_t size);

}  // namespace mirq
