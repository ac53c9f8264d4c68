#pragma once
// The service's answer to the download-URL query, and the signatures that
// make it trustworthy. The program holds the root's public key alone: the
// root (kept offline) signs each release record (which file a phone gets)
// and certifies an online key until a date; the serving hosts sign each
// answer with that online key, so an answer proves it is fresh (the query's
// nonce) but only a root-signed record can choose a file. Size and checksums
// are read from the record alone.
#include <string>
#include <vector>

namespace mirq {

class CModelRows;

// What a file must be to be used: its length and checksums as the signed
// answer gives them (-1 and empty where not known: an answer taken unverified).
struct ExpectedFile {
    long long size = -1;
    std::wstring sha256;  // 64 lower-case hex digits
    std::wstring md5;     // 32 lower-case hex digits
    long long pieceSize = 0;           // where the record names pieces: their size,
    std::vector<std::wstring> pieces;  // and the SHA-256 of each
};

// What the answer names for the file asked for.
struct ServiceAnswer {
    std::wstring url;                 // where to fetch it first: the answer's choice
    std::vector<std::wstring> places;  // every place the root-signed record names, that one first
    ExpectedFile file;
    long long version = 0;       // the record's
    std::string record;          // the root-signed record as it came, to keep beside a file
    std::wstring certificateUntil;  // the online key's last day, once the certificate verified
    std::wstring recordUntil;       // the record's last day, once it verified
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
    NoSha256,
    CertificateRefused,  // missing, not signed by the root, or not a certificate
    CertificateEnded,    // its last day is before the PC's date (UTC)
    RecordRefused,       // missing, not signed by the root, or not a record
    RecordEnded,         // the record's last day is before the PC's date (UTC)
    OtherPlace,          // the answer's address is not one the record names
    KeyWithdrawn,        // the catalogue in use withdrew the online key that signed it
    OlderRecord          // older than one this PC has seen (the caller's check)
};

// What the query asked: the phone, the file and the query's nonce; and the
// catalogue in use, whose withdrawn keys sign nothing (null: none withdrawn).
struct AnswerAsked {
    std::wstring phonemode;
    int flashType;
    std::wstring nonce;
    const CModelRows* catalogue = nullptr;
};

// The answer's bytes as they came. With the root key (a DER
// SubjectPublicKeyInfo of an RSA key), every signed document holds
// <signature>BASE64</signature>, an RSA PKCS#1 v1.5 SHA-256 signature over
// every byte before it, and is read exactly. The answer's <certificate>
// (base64 of its bytes) must verify under the root and not have ended by the
// PC's clock, nor its key be withdrawn; the answer must verify under the
// certificate's key, say ok and name the phone, the flash type and the nonce
// asked for; its <release> (base64) must verify under the root, name the same
// phone and type, the size and the SHA-256, not have ended, and name the
// answer's <flashurl> among its places. Without a key the answer is read as it comes.
AnswerCheck ReadServiceAnswer(const std::string& answer, const std::string& key, const AnswerAsked& asked,
                              ServiceAnswer& out);
// A root-signed release record alone (one kept beside its file): verified,
// read, for the phone and flash type given, and not ended; its size,
// checksums and places into `out`.
AnswerCheck ReadReleaseRecord(const std::string& record, const std::string& key, const std::wstring& phonemode,
                              int flashType, ServiceAnswer& out);
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

// The root's public key the program was built with (empty: answers are not verified).
const std::string& BuiltInServiceKey();
// For the log: the SHA-256 of the key's bytes, or that there is none.
std::wstring DescribeServiceKey(const std::string& key);

}  // namespace mirq
