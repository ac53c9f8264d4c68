#include "Records.h"

#include "Crypto.h"
#include "Text.h"
#include "download/SignedRecords.h"

namespace mirqsvc {

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

}  // namespace

std::string SignDocument(const std::string& text, const char* root, const CSigningKey& key) {
    const std::string signature = key.Sign(text);
    return signature.empty() ? std::string() : text + Element("signature", signature) + "</" + root + ">\n";
}

bool SignedText(const std::string& document, std::wstring& text) {
    const size_t open = document.find("<signature>");
    return open != std::string::npos && open > 0 && DecodeUtf8(document.substr(0, open), text);
}

bool SignedBy(const std::string& document, const std::string& publicDer) {
    const size_t open = document.find("<signature>"), start = open + 11;
    const size_t close = open == std::string::npos ? open : document.find("</signature>", start);
    return close != std::string::npos &&
           VerifiesUnder(publicDer, document.substr(0, open), Unbase64(document.substr(start, close - start)));
}

std::string SignRelease(const Release& r, const CSigningKey& root) {
    const std::string text = kDeclaration + std::string("<release>") + Element("phonemode", EscapeXml(r.phonemode)) +
                             Element("flashtype", std::to_string(r.flashType)) +
                             Element("version", std::to_string(r.version)) + Element("size", std::to_string(r.size)) +
                             Element("sha256", r.sha256) + Element("md5", r.md5) + Element("until", r.until) +
                             (r.file.empty() ? "" : Element("file", r.file));
    std::string places;
    for (const std::string& url : r.urls) places += Element("url", EscapeXml(url));
    if (r.pieceSize > 0) places += Element("piecesize", std::to_string(r.pieceSize));
    for (const std::string& piece : r.pieces) places += Element("piece", piece);
    return SignDocument(text + places, "release", root);
}

bool ReadRelease(const std::string& document, Release& out) {
    std::wstring text;
    mirq::ReleaseRecord read;
    if (!SignedText(document, text) || !mirq::ReadReleaseText(text, read) || read.size < 1 ||
        read.sha256.empty())
        return false;
    Release r;
    r.phonemode = EncodeUtf8(read.phonemode);
    r.flashType = read.flashType;
    r.version = read.version;
    r.size = read.size;
    r.sha256 = EncodeUtf8(read.sha256);
    r.md5 = EncodeUtf8(read.md5);
    r.until = EncodeUtf8(read.until);
    for (const std::wstring& url : read.urls) r.urls.push_back(EncodeUtf8(url));
    r.pieceSize = read.pieceSize;
    for (const std::wstring& piece : read.pieces) r.pieces.push_back(EncodeUtf8(piece));
    r.file = EncodeUtf8(read.file);
    r.signedRecord = document;
    out = r;
    return true;
}

std::string Certify(const std::string& onlineDer, const std::string& until, const CSigningKey& root) {
    const std::string text = kDeclaration + std::string("<certificate>") + Element("key", Base64(onlineDer)) +
                             Element("until", until);
    return SignDocument(text, "certificate", root);
}

bool ReadCertificate(const std::string& document, std::string& onlineDer, std::string& until) {
    std::wstring text;
    mirq::OnlineCertificate read;
    if (!SignedText(document, text) || !mirq::ReadCertificateText(text, read)) return false;
    onlineDer = Unbase64(EncodeUtf8(read.key));
    until = EncodeUtf8(read.until);
    return !onlineDer.empty();
}

}  // namespace mirqsvc
