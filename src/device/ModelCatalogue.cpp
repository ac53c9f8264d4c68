#include "device/ModelCatalogue.h"

#include "device/ModelTable.h"
#include "util/Utils.h"
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

bool IsPlainText(const std::wstring& text) {
    if (text.empty() || Trimmed(text) != text) return false;
    for (wchar_t c : text)
        if (c < 0x20) return false;
    return true;
}

bool ReadModel(const XmlElement& element, CatalogueModel& model) {
    // Each of these once; a missing one reads as empty, which no rule below takes.
    std::vector<std::wstring> v;
    enum { kPhonemode, kDevice, kName, kRecovery, kScript };
    if (!TakeSingleTexts(element, {L"phonemode", L"device", L"name", L"recovery", L"script"}, v)) return false;
    for (const XmlElement& child : element.children) {
        if (child.name != L"brand") continue;
        if (!child.children.empty() || !IsPlainText(child.text)) return false;
        model.brands.push_back(AsciiLower(child.text));
    }
    if (model.brands.empty() || !IsPlainText(v[kPhonemode]) || !IsPlainText(v[kName]) || !IsDeviceName(v[kDevice]))
        return false;
    model.phonemode = v[kPhonemode];
    model.device = v[kDevice];
    model.name = v[kName];
    if (v[kRecovery] == L"flash_image") model.recovery = RecoveryKind::FlashImage;
    else if (v[kRecovery] == L"keep") model.recovery = RecoveryKind::Keep;
    else return false;
    if (v[kScript] == L"extendedcommand") model.script = ScriptKind::ExtendedCommand;
    else if (v[kScript] == L"openrecoveryscript") model.script = ScriptKind::OpenRecoveryScript;
    else return false;
    return true;
}

}  // namespace

bool ReadCatalogueText(const std::wstring& text, Catalogue& out) {
    XmlElement root;
    if (!ReadXmlDocument(text, root, true) || root.name != L"models") return false;
    std::vector<std::wstring> v;
    std::vector<bool> present;
    if (!TakeSingleTexts(root, {L"version"}, v, &present) || !present[0]) return false;
    const std::wstring& version = v[0];
    if (version.empty() || version.size() > 18 || version.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    Catalogue read;
    read.version = std::stoll(version);
    for (const XmlElement& child : root.children) {
        if (child.name != L"model") continue;
        CatalogueModel model;
        if (!ReadModel(child, model)) return false;
        read.models.push_back(model);
    }
    out = read;
    return true;
}

bool IsSupportedModelId(int modelId) { return CModelCatalogue::GetInstance()->Has(modelId); }

Catalogue BuiltInCatalogue() {
    Catalogue catalogue;
    for (const ModelRow& row : kModelTable) {
        CatalogueModel model;
        model.phonemode = row.queryName;
        model.brands.push_back(AsciiLower(row.brandKey));
        if (row.brandKey2) model.brands.push_back(AsciiLower(row.brandKey2));
        model.device = row.deviceKey;
        model.name = row.displayName;
        catalogue.models.push_back(model);
    }
    return catalogue;
}

CModelCatalogue* CModelCatalogue::GetInstance() {
    static CModelCatalogue* instance = new CModelCatalogue();  // never deleted: workers may ask at exit
    return instance;
}

CModelCatalogue::CModelCatalogue() { Use(BuiltInCatalogue()); }

void CModelCatalogue::Use(const Catalogue& catalogue) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_counting.clear();
    for (const CatalogueModel& model : catalogue.models) {
        // A row seen before keeps its id (the built-in phones stay 0 to 3).
        size_t id = 0;
        while (id < m_rows.size() && !(m_rows[id] == model)) ++id;
        if (id == m_rows.size()) m_rows.push_back(model);
        m_counting.push_back(static_cast<int>(id));
    }
    m_version = catalogue.version;
}

long long CModelCatalogue::Version() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_version;
}

int CModelCatalogue::Find(const std::wstring& brand, const std::wstring& device) const {
    const std::wstring b = Trimmed(AsciiLower(brand)), d = Trimmed(AsciiLower(device));
    std::lock_guard<std::mutex> hold(m_lock);
    for (int id : m_counting) {
        const CatalogueModel& row = m_rows[id];
        if (AsciiLower(row.device) != d) continue;
        for (const std::wstring& accepted : row.brands)
            if (accepted == b) return id;
    }
    return -1;
}

bool CModelCatalogue::Has(int id) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return id >= 0 && id < static_cast<int>(m_rows.size());
}

CatalogueModel CModelCatalogue::Row(int id) const {
    std::lock_guard<std::mutex> hold(m_lock);
    return id >= 0 && id < static_cast<int>(m_rows.size()) ? m_rows[id] : CatalogueModel();
}

}  // namespace mirq
