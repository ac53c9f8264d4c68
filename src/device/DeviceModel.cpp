#include "device/DeviceModel.h"

#include "device/ModelCatalogue.h"
#include "util/Utils.h"

namespace mirq {

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
    m_buildDate.clear();
    m_buildName.clear();
}

std::wstring CDeviceModel::Get(const wchar_t* key) const {
    auto it = m_values.find(key);
    return it == m_values.end() ? std::wstring() : it->second;
}

int FindModelId(std::wstring /*model*/, std::wstring brand, std::wstring device) {
    return BuiltInRows()->Find(brand, device);
}

int CDeviceModel::Identify(const CModelRows& catalogue) {
    m_modelId = catalogue.Find(Get(L"ro.product.brand"), Get(L"ro.product.device"));
    return m_modelId;
}

}  // namespace mirq
