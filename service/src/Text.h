#pragma once
// UTF-8 at the service's edges; the shared readers work on wide text.
#include <string>

namespace mirqsvc {

// Strict: false for bytes that are not UTF-8 (overlong forms, surrogates, past U+10FFFF) or hold a NUL.
bool DecodeUtf8(const std::string& bytes, std::wstring& text);
std::string EncodeUtf8(const std::wstring& text);
// Text as an XML element may hold it (the five reserved characters escaped).
std::string EscapeXml(const std::string& utf8);
// <name>text</name>, the text as given (escaped already where it needs to be).
std::string Element(const char* name, const std::string& text);
// UTF-8 text a catalogue may name a phone by (the program's rule).
bool IsPlainName(const std::string& text);
// 1 to `most` ASCII digits and nothing else, read as the program reads numbers; -1 otherwise.
long long ParseDigits(const std::string& text, size_t most);
// YYYY-MM-DD of a day the calendar has (the program's rule).
bool IsDate(const std::string& date);
// The UTC date `days` from now, YYYY-MM-DD.
std::string UtcDate(long days = 0);

}  // namespace mirqsvc
