#pragma once
// The documents the root key signs, as the service writes and reads them:
// release records and the online key's certificate. The reading rules are
// the program's own (download/SignedRecords).
#include <string>
#include <vector>

namespace mirqsvc {

class CSigningKey;

struct Release {
    std::string phonemode;  // UTF-8
    int flashType = 0;
    long long version = 0;
    long long size = 0;
    std::string sha256, md5;
    std::string until;              // YYYY-MM-DD: clients take the record to the end of that day (UTC)
    std::vector<std::string> urls;  // every place the file may be fetched from, in the root's order
    std::string file;    // the name under files/ where the store holds it, or empty
    long long pieceSize = 0;          // bytes of each piece but the last
    std::vector<std::string> pieces;  // the SHA-256 of each piece, in the file's order
    std::string signedRecord;  // the document as the root signed it
};

// The record's document, signed with the root; empty when signing failed.
std::string SignRelease(const Release& release, const CSigningKey& root);
// A record's document by the program's rules (its signature is the
// program's to check); false for anything they refuse.
bool ReadRelease(const std::string& document, Release& out);

// The certificate: the online key's DER, its last day (YYYY-MM-DD, UTC), signed with the root.
std::string Certify(const std::string& onlineDer, const std::string& until, const CSigningKey& root);
// The key and last day a certificate names; false for anything else.
bool ReadCertificate(const std::string& document, std::string& onlineDer, std::string& until);

// A document's text (its root left open) closed with its signature by the
// key: what the program verifies. Empty when signing failed.
std::string SignDocument(const std::string& text, const char* root, const CSigningKey& key);
// What a signature covers (every byte before <signature>) as text; false
// when there is no signature or the bytes are not UTF-8.
bool SignedText(const std::string& document, std::wstring& text);
// Whether the document's signature verifies under the key (DER), as the program checks it.
bool SignedBy(const std::string& document, const std::string& publicDer);

}  // namespace mirqsvc
