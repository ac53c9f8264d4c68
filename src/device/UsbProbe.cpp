#include "device/UsbProbe.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cwctype>

namespace mirq {

namespace {

const wchar_t* const kAdbInterface = L"usb\\class_ff&subclass_42&prot_01";
const wchar_t* const kFastbootInterface = L"usb\\class_ff&subclass_42&prot_03";
const unsigned long kFailedInstall = 0x40;  // CONFIGFLAG_FAILEDINSTALL

struct Maker {
    const wchar_t* vendorId;
    const wchar_t* name;
};
const Maker kMakers[] = {{L"0BB4", L"HTC"},      {L"18D1", L"Google"},   {L"19D2", L"ZTE"},
                         {L"04E8", L"Samsung"},  {L"12D1", L"Huawei"},   {L"22B8", L"Motorola"},
                         {L"1004", L"LG"},       {L"0FCE", L"Sony Ericsson"}, {L"2717", L"Xiaomi"},
                         {L"05C6", L"Qualcomm"}, {L"0E8D", L"MediaTek"}};

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool HasId(const std::vector<std::wstring>& ids, const wchar_t* wanted) {
    for (const std::wstring& id : ids)
        if (Lower(id).compare(0, wcslen(wanted), wanted) == 0) return true;
    return false;
}

// The four hex digits after "VID_" or "PID_" in the device's ids; empty when none.
std::wstring IdPart(const UsbDevice& device, const wchar_t* tag) {
    std::vector<std::wstring> ids = device.hardwareIds;
    ids.push_back(device.instanceId);
    for (const std::wstring& id : ids) {
        const size_t at = Lower(id).find(Lower(tag));
        if (at == std::wstring::npos || at + 4 + 4 > id.size()) continue;
        std::wstring hex = id.substr(at + 4, 4);
        bool ok = true;
        for (wchar_t& c : hex) {
            ok = ok && std::iswxdigit(c);
            c = static_cast<wchar_t>(std::towupper(c));
        }
        if (ok) return hex;
    }
    return std::wstring();
}

std::wstring PhoneMakerOf(const std::wstring& vendorId) {
    for (const Maker& maker : kMakers)
        if (Lower(vendorId) == Lower(maker.vendorId)) return maker.name;
    return std::wstring();
}

bool LacksDriver(const UsbDevice& device) {
    const unsigned long p = device.problem;
    return device.service.empty() || (device.configFlags & kFailedInstall) || p == 1 || p == 10 || p == 18 || p == 28;
}

UsbFinding FindingFor(UsbPhoneState state, const UsbDevice& device) {
    const std::wstring vendor = IdPart(device, L"VID_"), product = IdPart(device, L"PID_");
    const std::wstring maker = PhoneMakerOf(vendor);
    return {state, maker.empty() ? L"未知厂商" : maker, L"USB\\VID_" + vendor + L"&PID_" + product};
}

}  // namespace

UsbFinding ClassifyUsbDevices(const std::vector<UsbDevice>& devices) {
    for (const UsbDevice& device : devices)
        if (HasId(device.compatibleIds, kAdbInterface) && LacksDriver(device))
            return FindingFor(UsbPhoneState::DriverMissing, device);
    for (const UsbDevice& device : devices)
        if (HasId(device.compatibleIds, kFastbootInterface)) return FindingFor(UsbPhoneState::Fastboot, device);
    for (const UsbDevice& device : devices)
        if (!PhoneMakerOf(IdPart(device, L"VID_")).empty() && LacksDriver(device))
            return FindingFor(UsbPhoneState::DriverMissing, device);
    return UsbFinding();
}

namespace {

std::vector<std::wstring> MultiString(HDEVINFO set, SP_DEVINFO_DATA& data, DWORD property) {
    std::vector<std::wstring> strings;
    wchar_t buffer[2048] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &data, property, nullptr, reinterpret_cast<BYTE*>(buffer),
                                           sizeof(buffer) - 2 * sizeof(wchar_t), nullptr))
        return strings;
    for (const wchar_t* p = buffer; *p; p += wcslen(p) + 1) strings.push_back(p);
    return strings;
}

}  // namespace

std::vector<UsbDevice> ListUsbDevices() {
    std::vector<UsbDevice> devices;
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return devices;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        UsbDevice device;
        wchar_t id[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &data, id, 512, nullptr)) device.instanceId = id;
        device.hardwareIds = MultiString(set, data, SPDRP_HARDWAREID);
        device.compatibleIds = MultiString(set, data, SPDRP_COMPATIBLEIDS);
        wchar_t service[256] = {};
        if (SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                              sizeof(service) - sizeof(wchar_t), nullptr))
            device.service = service;
        DWORD flags = 0;
        if (SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_CONFIGFLAGS, nullptr, reinterpret_cast<BYTE*>(&flags),
                                              sizeof(flags), nullptr))
            device.configFlags = flags;
        ULONG status = 0, problem = 0;
        if (CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0) == CR_SUCCESS && (status & DN_HAS_PROBLEM))
            device.problem = problem;
        devices.push_back(device);
    }
    SetupDiDestroyDeviceInfoList(set);
    return devices;
}

}  // namespace mirq
