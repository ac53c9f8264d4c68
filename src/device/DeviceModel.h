#pragma once
// The device-information record: properties of the last phone read and its model id.
#include <map>
#include <string>

namespace mirq {

class CModelRows;

class CDeviceModel {
public:
    static CDeviceModel* GetInstance();
    virtual ~CDeviceModel() = default;

    void Reset();
    // The model id of the phone read, by the catalogue given; -1 when it has no row for it.
    int Identify(const CModelRows& catalogue);
    int GetModelId() const { return m_modelId; }

    void SetImei(const std::wstring& v) { Set(L"ril.IMEI", v); }
    void SetModel(const std::wstring& v) { Set(L"ro.product.model", v); }
    void SetBrand(const std::wstring& v) { Set(L"ro.product.brand", v); }
    void SetDevice(const std::wstring& v) { Set(L"ro.product.device", v); }
    void SetVersionRelease(const std::wstring& v) { Set(L"ro.build.version.release", v); }
    void SetBootloader(const std::wstring& v) { Set(L"ro.bootloader", v); }
    void SetBuildDescription(const std::wstring& v) { Set(L"ro.build.description", v); }
    void SetManufacturer(const std::wstring& v) { Set(L"ro.product.manufacturer", v); }
    void SetBasebandVersion(const std::wstring& v) { Set(L"ril.sw_ver", v); }

    // The serial is kept under "ril.IMEI" whichever property supplied it.
    std::wstring GetImei() const { return Get(L"ril.IMEI"); }
    std::wstring GetModel() const { return Get(L"ro.product.model"); }
    std::wstring GetDevice() const { return Get(L"ro.product.device"); }
    std::wstring GetVersionRelease() const { return Get(L"ro.build.version.release"); }
    std::wstring GetBootloader() const { return Get(L"ro.bootloader"); }
    std::wstring GetBuildDescription() const { return Get(L"ro.build.description"); }
    std::wstring GetManufacturer() const { return Get(L"ro.product.manufacturer"); }
    std::wstring GetBasebandVersion() const { return Get(L"ril.sw_ver"); }

    const std::map<std::wstring, std::wstring>& Values() const { return m_values; }

    // Read with the rest, not shown: whether adb has root on the phone, and
    // the phone's other device name (ro.build.product) that packages may assert.
    void SetRooted(bool rooted) { m_rooted = rooted; }
    bool IsRooted() const { return m_rooted; }
    void SetBuildProduct(const std::wstring& v) { m_buildProduct = v; }
    const std::wstring& GetBuildProduct() const { return m_buildProduct; }
    // The system it runs: ro.build.date.utc, and its name (ro.build.display.id, else ro.build.id).
    void SetBuild(const std::wstring& dateUtc, const std::wstring& name) {
        m_buildDate = dateUtc;
        m_buildName = name;
    }
    const std::wstring& GetBuildDate() const { return m_buildDate; }
    const std::wstring& GetBuildName() const { return m_buildName; }

private:
    CDeviceModel() = default;
    void Set(const wchar_t* key, const std::wstring& value) { m_values[key] = value; }
    std::wstring Get(const wchar_t* key) const;

    std::map<std::wstring, std::wstring> m_values;
    int m_modelId = -1;
    bool m_rooted = false;
    std::wstring m_buildProduct;
    std::wstring m_buildDate, m_buildName;
};

// The id of a built-in phone (0 to 3) by its brand and device, compared as
// Identify compares them (ASCII case and surrounding whitespace aside; the
// brand against each of the row's brands); -1 when none matches. The model
// takes no part: phones of one device are sold under many model names.
int FindModelId(std::wstring model, std::wstring brand, std::wstring device);

}  // namespace mirq
