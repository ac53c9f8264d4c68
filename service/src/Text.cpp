#include "Text.h"

#include <ctime>

#include "device/CatalogueText.h"
#include "util/Text.h"
#include "util/XmlDocument.h"

namespace mirqsvc {

bool DecodeUtf8(const std::string& bytes, std::wstring& text) {
    text.clear();
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char lead = bytes[i];
        int extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || lead == 0 || i + extra >= bytes.size()) return false;
        unsigned long c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = bytes[i + k];
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        static const unsigned long kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (c < kLeast[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        text += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return true;
}

std::string EncodeUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t wc : text) {
        const unsigned long c = static_cast<unsigned long>(wc);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string EscapeXml(const std::string& utf8) {
    std::wstring text;
    return DecodeUtf8(utf8, text) ? EncodeUtf8(mirq::EscapeXmlText(text)) : std::string();
}

bool IsPlainName(const std::string& text) {
    std::wstring decoded;
    return DecodeUtf8(text, decoded) && mirq::IsPlainText(decoded);
}

std::string Element(const char* name, const std::string& text) {
    return std::string("<") + name + ">" + text + "</" + name + ">";
}

long long ParseDigits(const std::string& text, size_t most) {
    std::wstring wide;
    for (unsigned char c : text) wide += static_cast<wchar_t>(c);
    return mirq::ParseDigits(wide, most);
}

bool IsDate(const std::string& date) { return mirq::IsCalendarDate(std::wstring(date.begin(), date.end())); }

std::string UtcDate(long days) {
    const time_t then = time(nullptr) + static_cast<time_t>(days) * 86400;
    struct tm utc;
    gmtime_r(&then, &utc);
    char text[16];
    strftime(text, sizeof(text), "%Y-%m-%d", &utc);
    return text;
}

}  // namespace mirqsvc
