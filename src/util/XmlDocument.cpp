#include "util/XmlDocument.h"

#include <cwchar>

namespace mirq {

namespace {

// Deeper than any document of the service: a bound on the recursion.
const int kMaxDepth = 8;

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

bool IsNameChar(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_' ||
           c == L'-' || c == L'.';
}

class CReader {
public:
    explicit CReader(const std::wstring& text) : m_text(text) {}

    bool Document(XmlElement& root, bool openRoot) {
        if (m_text.compare(0, 5, L"<?xml") == 0) {
            const size_t end = m_text.find(L"?>");
            if (end == std::wstring::npos) return false;
            m_at = end + 2;
        }
        SkipSpace();
        if (!Element(root, 0, openRoot)) return false;
        SkipSpace();
        return m_at == m_text.size();
    }

private:
    void SkipSpace() {
        while (m_at < m_text.size() && IsSpace(m_text[m_at])) ++m_at;
    }

    bool Name(std::wstring& name) {
        const size_t start = m_at;
        while (m_at < m_text.size() && IsNameChar(m_text[m_at])) ++m_at;
        name = m_text.substr(start, m_at - start);
        return !name.empty();
    }

    // "<name>" with no attributes; the '<' is at m_at.
    bool OpenTag(std::wstring& name) {
        ++m_at;
        if (!Name(name) || m_at >= m_text.size() || m_text[m_at] != L'>') return false;
        ++m_at;
        return true;
    }

    // The five predefined entities; anything else after '&' is refused.
    bool Entity(std::wstring& text) {
        static const struct {
            const wchar_t* name;
            wchar_t c;
        } kEntities[] = {{L"&amp;", L'&'}, {L"&lt;", L'<'}, {L"&gt;", L'>'}, {L"&quot;", L'"'}, {L"&apos;", L'\''}};
        for (const auto& e : kEntities) {
            const size_t length = wcslen(e.name);
            if (m_text.compare(m_at, length, e.name) == 0) {
                text += e.c;
                m_at += length;
                return true;
            }
        }
        return false;
    }

    // An element whose '<' is at m_at. With `mayStayOpen`, the text may end
    // before its end tag, after whole children (the root of signed bytes).
    bool Element(XmlElement& element, int depth, bool mayStayOpen) {
        if (depth > kMaxDepth || m_at >= m_text.size() || m_text[m_at] != L'<' || !OpenTag(element.name))
            return false;
        std::wstring text;
        bool textSeen = false;
        for (;;) {
            if (m_at >= m_text.size()) return mayStayOpen && !textSeen;
            const wchar_t c = m_text[m_at];
            if (c == L'&') {
                if (!Entity(text)) return false;
                textSeen = true;
            } else if (c != L'<') {
                text += c;
                textSeen |= !IsSpace(c);
                ++m_at;
            } else if (m_text.compare(m_at, 2, L"</") == 0) {
                m_at += 2;
                std::wstring name;
                if (!Name(name) || name != element.name || m_at >= m_text.size() || m_text[m_at] != L'>') return false;
                ++m_at;
                if (element.children.empty()) element.text = text;
                return true;
            } else {
                // A comment, CDATA, a DOCTYPE or a processing instruction
                // fails the open tag's name; markup inside text is refused.
                if (textSeen) return false;
                element.children.emplace_back();
                if (!Element(element.children.back(), depth + 1, false)) return false;
                text.clear();
            }
            if (textSeen && !element.children.empty()) return false;  // text beside elements
        }
    }

    const std::wstring& m_text;
    size_t m_at = 0;
};

}  // namespace

bool ReadXmlDocument(const std::wstring& text, XmlElement& root, bool openRoot) {
    root = XmlElement();
    return CReader(text).Document(root, openRoot);
}

std::wstring EscapeXmlText(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'\'': out += L"&apos;"; break;
        default: out += c;
        }
    }
    return out;
}

bool TakeSingleTexts(const XmlElement& parent, const std::vector<const wchar_t*>& names,
                     std::vector<std::wstring>& values, std::vector<bool>* present) {
    values.assign(names.size(), std::wstring());
    std::vector<bool> seen(names.size(), false);
    for (const XmlElement& child : parent.children) {
        for (size_t i = 0; i < names.size(); ++i) {
            if (child.name != names[i]) continue;
            if (seen[i] || !child.children.empty()) return false;
            seen[i] = true;
            values[i] = child.text;
        }
    }
    if (present) *present = seen;
    return true;
}

bool TakeTexts(const XmlElement& parent, const wchar_t* name, std::vector<std::wstring>& values) {
    values.clear();
    for (const XmlElement& child : parent.children) {
        if (child.name != name) continue;
        if (!child.children.empty()) return false;
        values.push_back(child.text);
    }
    return true;
}

}  // namespace mirq
