#include "device/ModelCatalogue.h"

#include "util/Text.h"
#include "util/Utils.h"

namespace mirq {

namespace {

// To the end of its last day: dates compare as their texts do.
bool HasEnded(const CModelRows& rows) { return !rows.Until().empty() && TodayUtc() > rows.Until(); }

CatalogueModel BuiltIn(const wchar_t* phonemode, std::vector<std::wstring> brands, const wchar_t* device,
                       const wchar_t* name) {
    CatalogueModel model;
    model.phonemode = phonemode;
    model.brands = std::move(brands);
    model.device = device;
    model.name = name;
    return model;
}

}  // namespace

Catalogue BuiltInCatalogue() {
    Catalogue catalogue;
    catalogue.models = {BuiltIn(L"Blade", {L"zte"}, L"blade", L"ZTE V880"),
                        BuiltIn(L"Nexus One", {L"android", L"google"}, L"passion", L"Google Nexus One"),
                        BuiltIn(L"Nexus S", {L"google", L"android"}, L"crespo", L"Google Nexus S"),
                        BuiltIn(L"HTC Desire", {L"htc_wwe"}, L"bravo", L"HTC Desire")};
    return catalogue;
}

CatalogueRef BuiltInRows() {
    static const CatalogueRef rows = CModelRows::Make(BuiltInCatalogue());
    return rows;
}

std::shared_ptr<const CModelRows> CModelRows::Make(const Catalogue& catalogue, const CModelRows* previous) {
    auto made = std::make_shared<CModelRows>();
    if (previous) made->m_rows = previous->m_rows;
    for (const CatalogueModel& model : catalogue.models) {
        // A row seen before keeps its id.
        size_t id = 0;
        while (id < made->m_rows.size() && !(made->m_rows[id] == model)) ++id;
        if (id == made->m_rows.size()) made->m_rows.push_back(model);
        made->m_counting.push_back(static_cast<int>(id));
    }
    made->m_version = catalogue.version;
    made->m_until = catalogue.until;
    made->m_withdrawn = catalogue.withdrawn;
    return made;
}

bool CModelRows::Withdrew(const std::wstring& keySha256) const {
    for (const std::wstring& key : m_withdrawn)
        if (key == keySha256) return true;
    return false;
}

int CModelRows::Find(const std::wstring& brand, const std::wstring& device) const {
    const std::wstring b = Trimmed(AsciiLower(brand)), d = Trimmed(AsciiLower(device));
    for (int id : m_counting) {
        const CatalogueModel& row = m_rows[id];
        if (AsciiLower(row.device) != d) continue;
        for (const std::wstring& accepted : row.brands)
            if (accepted == b) return id;
    }
    return -1;
}

bool CModelRows::Has(int id) const { return id >= 0 && id < static_cast<int>(m_rows.size()); }

const CatalogueModel& CModelRows::Row(int id) const {
    static const CatalogueModel none;
    return Has(id) ? m_rows[id] : none;
}

CatalogueRef CCatalogueHolder::Current() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return HasEnded(*m_current) ? m_afterEnd : m_current;
}

CatalogueRef CCatalogueHolder::Use(const Catalogue& catalogue) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_current = CModelRows::Make(catalogue, m_current.get());
    Catalogue builtIn = BuiltInCatalogue();
    builtIn.withdrawn = catalogue.withdrawn;
    m_afterEnd = CModelRows::Make(builtIn, m_current.get());
    return HasEnded(*m_current) ? m_afterEnd : m_current;
}

std::wstring CCatalogueHolder::Ended() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return HasEnded(*m_current) ? m_current->Until() : std::wstring();
}

}  // namespace mirq
