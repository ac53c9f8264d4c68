#include "device/CatalogueText.h"

#include "util/Text.h"
#include "util/XmlDocument.h"

namespace mirq {

namespace {

// A device name becomes part of a file name (recovery_<device>.img).
bool IsDeviceName(const std::wstring& text) {
    if (text.empty() || text.size() > 64 || text == L"." || text == L"..") return false;
    for (wchar_t c : text)
        if (!((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
              c == L'_' || c == L'-'))
            return false;
    return true;
}

// The rule a row breaks, or null when it keeps them all.
const wchar_t* ReadModel(const XmlElement& element, CatalogueModel& model) {
    // Each of these once; a missing one reads as empty, which no rule below takes.
    std::vector<std::wstring> v;
    enum { kPhonemode, kDevice, kName, kRecovery, kScript };
    if (!TakeSingleTexts(element, {L"phonemode", L"device", L"name", L"recovery", L"script"}, v))
        return L"phonemode, device, name, recovery and script may occur once each and hold text only";
    std::vector<std::wstring> brands;
    if (!TakeTexts(element, L"brand", brands)) return L"a <brand> is empty or not plain text";
    for (const std::wstring& brand : brands) {
        if (!IsPlainText(brand)) return L"a <brand> is empty or not plain text";
        model.brands.push_back(AsciiLower(brand));
    }
    if (model.brands.empty()) return L"no <brand>";
    if (!IsPlainText(v[kPhonemode])) return L"<phonemode> is missing, empty or not plain text";
    if (!IsPlainText(v[kName])) return L"<name> is missing, empty or not plain text";
    if (!IsDeviceName(v[kDevice])) return L"<device> must be 1 to 64 letters, digits, '.', '_' or '-'";
    model.phonemode = v[kPhonemode];
    model.device = v[kDevice];
    model.name = v[kName];
    if (v[kRecovery] == L"flash_image") model.recovery = RecoveryKind::FlashImage;
    else if (v[kRecovery] == L"keep") model.recovery = RecoveryKind::Keep;
    else return L"<recovery> must be flash_image or keep";
    if (v[kScript] == L"extendedcommand") model.script = ScriptKind::ExtendedCommand;
    else if (v[kScript] == L"openrecoveryscript") model.script = ScriptKind::OpenRecoveryScript;
    else return L"<script> must be extendedcommand or openrecoveryscript";
    return nullptr;
}

// "model 3 (OnePlus One)": which row, for a refusal.
std::wstring NameRow(const XmlElement& element, size_t index) {
    std::wstring name = L"model " + std::to_wstring(index);
    for (const XmlElement& child : element.children)
        if (child.name == L"phonemode" && !child.text.empty()) return name + L" (" + child.text + L")";
    return name;
}

bool Refuse(std::wstring* why, const std::wstring& text) {
    if (why) *why = text;
    return false;
}

}  // namespace

bool IsPlainText(const std::wstring& text) {
    if (text.empty() || Trimmed(text) != text) return false;
    for (wchar_t c : text)
        if (c < 0x20) return false;
    return true;
}

bool ReadCatalogueText(const std::wstring& text, Catalogue& out, std::wstring* why) {
    XmlElement root;
    if (!ReadXmlDocument(text, root, true) || root.name != L"models")
        return Refuse(why, L"not a plain <models> document (a comment, CDATA, an attribute, an unknown entity, "
                           L"text beside elements, or markup that does not close)");
    std::vector<std::wstring> v, withdrawn;
    std::vector<bool> present;
    if (!TakeSingleTexts(root, {L"version", L"until"}, v, &present) || !present[0]) return Refuse(why, L"not one <version>");
    Catalogue read;
    if ((read.version = ParseDigits(v[0], 18)) < 0) return Refuse(why, L"<version> is not 1 to 18 digits");
    // It ends: a catalogue the root withdrew a phone from cannot be handed out for ever.
    if (!IsCalendarDate(read.until = v[1])) return Refuse(why, L"not one <until> of a calendar day (YYYY-MM-DD)");
    if (!TakeTexts(root, L"withdrawn", withdrawn)) return Refuse(why, L"a <withdrawn> holds elements");
    for (const std::wstring& key : withdrawn) {
        read.withdrawn.push_back(HexDigits(key, 64));
        if (read.withdrawn.back().empty()) return Refuse(why, L"a <withdrawn> is not a key's SHA-256 (64 hex digits)");
    }
    for (const XmlElement& child : root.children) {
        if (child.name != L"model") continue;
        CatalogueModel model;
        if (const wchar_t* broken = ReadModel(child, model))
            return Refuse(why, NameRow(child, read.models.size() + 1) + L": " + broken);
        read.models.push_back(model);
    }
    out = read;
    return true;
}

}  // namespace mirq
