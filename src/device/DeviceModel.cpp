#include "device/DeviceModel.h"

#include "device/ModelCatalogue.h"
#include "device/ModelTable.h"
#include "util/Utils.h"

namespace mirq {

const ModelRow kModelTable[kModelCount] = {
    {L"Blade", L"zte", nullptr, L"blade", L"ZTE V880"},
    {L"Nexus One", L"Android", L"google", L"passion", L"Google Nexus One"},
    {L"Nexus S", L"google", L"android", L"crespo", L"Google Nexus S"},
    {L"HTC Desire", L"htc_wwe", nullptr, L"bravo", L"HTC Desire"},
};

int FindModelId(std::wstring /*model*/, std::wstring brand, std::wstring device) {
    brand = Trimmed(AsciiLower(brand));
    device = Trimmed(AsciiLower(device));
    for (int id = 0; id < kModelCount; ++id) {
        const ModelRow& row = kModelTable[id];
        bool brandMatches = brand == AsciiLower(row.brandKey) || (row.brandKey2 && brand == row.brandKey2);
        if (brandMatches && device == row.deviceKey) return id;
    }
    return -1;
}

CDeviceModel* CDeviceModel::GetInstance() {
    static CDeviceModel* instance = [] {
        CDeviceModel* created = new CDeviceModel();
        created->Reset();
        return created;
    }();
    return instance;
}

void CDeviceModel::Reset() {
    m_values.clear();
    m_modelId = -1;
    m_rooted = false;
    m_buildProduct.clear();
}

std::wstring CDeviceModel::Get(const wchar_t* key) const {
    auto it = m_values.find(key);
    return it == m_values.end() ? std::wstring() : it->second;
}

int CDeviceModel::Identify() {
    // The phones of the catalogue in use: the built-in table, or the service's.
    m_modelId = CModelCatalogue::GetInstance()->Find(Get(L"ro.product.brand"), Get(L"ro.product.device"));
    return m_modelId;
}

}  // namespace mirq
