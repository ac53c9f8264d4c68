#include "device/ModelCatalogue.h"

#include "device/ModelTable.h"
#include "util/Utils.h"

namespace mirq {

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
