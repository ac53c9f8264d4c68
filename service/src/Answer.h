#pragma once
// The download-URL query and the signed answer to it.
#include <string>

namespace mirqsvc {

class CSigningKey;
struct Release;

struct Query {
    std::string phonemode;  // UTF-8
    int flashType = 0;
    std::string nonce;
};

// The query's body: <root> holding <phonemode>, <flashtype> (digits) and
// <nonce> (16 to 128 hex digits) once each, read as strictly as the
// program reads answers; false for anything else.
bool ReadQuery(const std::string& body, Query& out);

// The answer, signed with the online key: the asked phone, file and nonce,
// the key's certificate and, with a release, status ok, its root-signed
// record (both by their exact bytes, base64) and the address; without one,
// status "norelease". The address is one the record names: the first under
// `filesBase` (where this service's files are reached), else the record's first.
std::string SignedAnswer(const Query& query, const Release* release, const std::string& filesBase,
                         const std::string& certificate, const CSigningKey& key);

}  // namespace mirqsvc
