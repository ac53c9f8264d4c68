#include "Answer.h"

#include "Crypto.h"
#include "Records.h"
#include "Store.h"
#include "Text.h"
#include "util/Text.h"
#include "util/XmlDocument.h"

namespace mirqsvc {

namespace {

bool IsHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace

bool ReadQuery(const std::string& body, Query& out) {
    std::wstring text;
    mirq::XmlElement root;
    std::vector<std::wstring> v;
    std::vector<bool> present;
    if (!DecodeUtf8(body, text) || !mirq::ReadXmlDocument(text, root) || root.name != L"root" ||
        !mirq::TakeSingleTexts(root, {L"phonemode", L"flashtype", L"nonce"}, v, &present))
        return false;
    Query q;
    q.phonemode = EncodeUtf8(v[0]);
    const long long type = mirq::ParseDigits(v[1], 9);
    q.nonce = EncodeUtf8(v[2]);
    if (!IsPlainName(q.phonemode) || type < 0 || q.nonce.size() < 16 || q.nonce.size() > 128 || !IsHex(q.nonce))
        return false;
    q.flashType = static_cast<int>(type);
    out = q;
    return true;
}

std::string SignedAnswer(const Query& query, const Release* release, const std::string& filesBase,
                         const std::string& certificate, const CSigningKey& key) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>" + Element("status", release ? "ok" : "norelease") +
                       Element("phonemode", EscapeXml(query.phonemode)) +
                       Element("flashtype", std::to_string(query.flashType)) + Element("nonce", query.nonce) +
                       Element("certificate", Base64(certificate));
    if (release) {
        // Only among the places the root named: this service's own first where the record names it.
        std::string url = release->urls.front();
        for (const std::string& place : release->urls)
            if (place.compare(0, filesBase.size(), filesBase) == 0) {
                url = place;
                break;
            }
        text += Element("release", Base64(release->signedRecord)) + Element("flashurl", EscapeXml(url));
    }
    return SignDocument(text, "root", key);
}

}  // namespace mirqsvc
