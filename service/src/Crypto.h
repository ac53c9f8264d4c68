#pragma once
// The service's keys, signatures and file digests, through OpenSSL's libcrypto.
#include <memory>
#include <string>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace mirqsvc {

// The private key the answers and the catalogue are signed with.
class CSigningKey {
public:
    // An RSA key of 2048 bits or more from a PEM file; false (and `why`) otherwise.
    bool Load(const std::string& pemPath, std::string& why);
    // RSA PKCS#1 v1.5 over the bytes' SHA-256, base64; empty on failure.
    std::string Sign(const std::string& data) const;
    // The public half as DER SubjectPublicKeyInfo (what the program is built with).
    std::string PublicDer() const;
    int Bits() const;

private:
    std::shared_ptr<EVP_PKEY> m_key;
};

// Writes DIR/service.pem (RSA of `bits`, mode 0600) and DIR/service.der;
// refuses to replace a key that is there (the releases out there trust it).
bool GenerateKey(const std::string& dir, std::string& why, int bits = 3072);

// A DER SubjectPublicKeyInfo of an RSA key of 2048 bits or more.
bool IsRsaPublicDer(const std::string& der);
// Whether `signature` (raw bytes) is the RSA PKCS#1 v1.5 SHA-256 signature of
// `data` under that key (false for a key that is not one, as the program holds).
bool VerifiesUnder(const std::string& publicDer, const std::string& data, const std::string& signature);

std::string Base64(const std::string& bytes);
// Empty for anything that is not base64.
std::string Unbase64(const std::string& text);

struct FileDigests {
    long long size = 0;
    std::string sha256;  // lower-case hex
    std::string md5;
    std::vector<std::string> pieces;  // the SHA-256 of each piece, in the file's order (where a piece size was given)
};

// Reads the file once, hashing it (and each `pieceSize` bytes of it, the
// last piece what is left, when that is above 0); with a copy path the bytes
// also go there (and are flushed to disk). False when the file cannot be
// read or the copy written.
bool DigestFile(const std::string& path, FileDigests& out, const std::string& copyTo = std::string(), long long pieceSize = 0);
std::string Sha256Hex(const std::string& data);

}  // namespace mirqsvc
