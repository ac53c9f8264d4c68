#pragma once
// The service's answer to the download-URL query, and the signature that
// makes it trustworthy: the program holds the service's public key, and the
// address, size and checksums are read only from the bytes the signature
// covers, so nobody on the network path can hand out another file.
#include <string>

namespace mirq {

// What a file must be to be used: its length and checksums as the signed
// answer gives them (-1 and empty where not known: an answer taken unverified).
struct ExpectedFile {
    long long size = -1;
    std::wstring sha256;  // 64 lower-case hex digits
    std::wstring md5;     // 32 lower-case hex digits
};

// What the answer names for the file asked for.
struct ServiceAnswer {
    std::wstring url;
    ExpectedFile file;
};

// How the answer fared: verified, taken as it came (no key built in), or the
// check that refused it.
enum class AnswerCheck {
    Verified,
    NotVerified,
    NoSignature,
    BadSignature,
    Malformed,
    Doubled,
    NotOk,
    OtherPhone,
    OtherFile,
    OtherQuery,
    NoSize,
    NoSha256
};

// What the query asked: the phone, the file and the query's nonce. An
// answer kept from an earlier query and read again has no nonce to match.
struct AnswerAsked {
    std::wstring phonemode;
    int flashType;
    std::wstring nonce;
    bool kept = false;
};

// The answer's bytes as they came. With a key (a DER SubjectPublicKeyInfo of
// an RSA key), the answer must hold <signature>BASE64</signature>, an RSA
// PKCS#1 v1.5 SHA-256 signature over every byte before it, and the signed
// bytes, read exactly, must say ok, name the phone, the flash type and the
// nonce asked for, the size and the SHA-256. Without a key the answer is
// read as it comes.
AnswerCheck ReadServiceAnswer(const std::string& answer, const std::string& key, const AnswerAsked& asked,
                              ServiceAnswer& out);
// The bytes a signature covers (every byte before the first <signature>),
// as text once they verify; NoSignature, BadSignature or Malformed (not
// UTF-8) otherwise, else Verified.
AnswerCheck VerifySignedText(const std::string& document, const std::string& key, std::wstring& signedText);
// 32 lower-case hex digits from the system's random generator; empty when it fails.
std::wstring MakeNonce();
// For the log: which check refused an answer.
const wchar_t* DescribeAnswerCheck(AnswerCheck check);

// The signature check itself, through the system's crypto; false for a key
// shorter than 2048 bits or one that is not RSA.
bool VerifyRsaSha256(const std::string& key, const std::string& data, const std::string& signature);

// The public key the program was built with (empty: answers are not verified).
const std::string& BuiltInServiceKey();
// For the log: the SHA-256 of the key's bytes, or that there is none.
std::wstring DescribeServiceKey(const std::string& key);

}  // namespace mirq
