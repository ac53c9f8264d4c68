#pragma once
// The phone a command is for, as the device check read it from the device
// list. A type of its own with no default, so that no command can leave its
// phone out by accident; OnlyDevice() ("adb" without "-s") is for the
// callers that mean the one device attached: a phone not checked yet.
#include <string>

namespace mirq {

class CSerial {
public:
    explicit CSerial(const std::wstring& text) : m_text(text) {}
    static CSerial OnlyDevice() { return CSerial(std::wstring()); }
    const std::wstring& Text() const { return m_text; }
    bool NamesAPhone() const { return !m_text.empty(); }

private:
    std::wstring m_text;
};

}  // namespace mirq
