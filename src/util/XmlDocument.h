#pragma once
// The service's signed documents read exactly: elements that hold either
// text or other elements, nothing else. What a general XML parser would also
// take (comments, CDATA, a DOCTYPE, processing instructions, attributes,
// entities other than the five predefined ones, text beside elements) could
// make one signed document read two ways, so it is refused.
#include <string>
#include <vector>

namespace mirq {

struct XmlElement {
    std::wstring name;
    std::wstring text;  // entities decoded; empty when it holds elements
    std::vector<XmlElement> children;
};

// Reads an optional leading XML declaration, then one root element with
// white space around it. With `openRoot` the text may end inside the root,
// after whole children (the bytes a signature covers stop there); false for
// anything the rules above refuse.
bool ReadXmlDocument(const std::wstring& text, XmlElement& root, bool openRoot = false);

// The children of `parent` by the names given, each at most once and
// holding text only, their texts in `values` (same order; empty when
// absent); other children are skipped. False when a named one is doubled or
// holds elements.
bool TakeSingleTexts(const XmlElement& parent, const std::vector<const wchar_t*>& names,
                     std::vector<std::wstring>& values, std::vector<bool>* present = nullptr);

// The texts of every child of `parent` by that name, in order; false when one holds elements.
bool TakeTexts(const XmlElement& parent, const wchar_t* name, std::vector<std::wstring>& values);

// Text with the five characters XML reserves written as entities.
std::wstring EscapeXmlText(const std::wstring& text);

}  // namespace mirq
