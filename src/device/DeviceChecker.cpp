#include "device/DeviceChecker.h"

#include "adb/AdbManager.h"
#include "device/DeviceModel.h"
#include "util/Utils.h"

#include <vector>

namespace mirq {

namespace {
const wchar_t* const kTextConnecting = L"检查设备连接中...";
const wchar_t* const kTextReading = L"读取设备信息中...";
}  // namespace

CDeviceChecker* CDeviceChecker::GetInstance() {
    static CDeviceChecker* instance = new CDeviceChecker();
    return instance;
}

int CDeviceChecker::Check(const CStopToken& stop) {
    const int code = Run(stop);
    // Nothing is known of the phone after a connection problem: the display
    // and the commands go back to "unknown".
    if (IsConnectionProblem(code)) CDeviceModel::GetInstance()->Reset();
    return code;
}

int CDeviceChecker::Run(const CStopToken& stop) {
    ReportProgress(5, kTextConnecting);
    if (stop.Requested()) return kCheckStopped;
    if (!IsAdbReady()) return kCheckNoAdb;
    ReportProgress(10, kTextConnecting);
    if (stop.Requested()) return kCheckStopped;
    const int connection = CheckConnection();
    if (connection != kCheckOk) return connection;
    if (stop.Requested()) return kCheckStopped;
    if (!ReadDeviceInfo()) return kCheckReadFailed;
    // Properties read while the connection went wrong are not to be trusted.
    const int problem = ConnectionProblemCode();
    if (problem != kCheckOk) return problem;
    return CDeviceModel::GetInstance()->GetModelId() >= 0 ? kCheckOk : kCheckUnsupported;
}

int ConnectionProblemCode() {
    CAdbManager* adb = CAdbManager::GetInstance();
    if (adb->ServerReplacedInARow() >= 2) return kCheckOtherAdbServer;
    switch (ConnectionProblemIn(adb->LastError())) {
    case ConnectionProblem::ManyDevices: return kCheckManyDevices;
    case ConnectionProblem::Offline: return kCheckOffline;
    case ConnectionProblem::Unauthorized: return kCheckUnauthorized;
    default: return kCheckOk;
    }
}

bool CDeviceChecker::IsAdbReady() { return IsAdbPresent(); }

namespace {

// States of a phone that is attached but not ready for commands yet: still
// connecting, waiting for the key prompt, or not to be opened by the server
// ("no permissions", whose first word is the state).
bool NotReadyYet(const std::wstring& state) {
    return state == L"offline" || state == L"connecting" || state == L"authorizing" || state == L"no";
}

int ReadConnection(const std::vector<CDeviceEntry>& devices) {
    if (devices.empty()) return kCheckNoDevice;
    if (devices.size() > 1) return kCheckManyDevices;
    const std::wstring& state = devices[0].state;
    if (state == L"unauthorized" || state == L"authorizing") return kCheckUnauthorized;
    if (NotReadyYet(state)) return kCheckOffline;
    return kCheckOk;
}

}  // namespace

int CDeviceChecker::CheckConnection() {
    CAdbManager* adb = CAdbManager::GetInstance();
    std::vector<CDeviceEntry> devices = adb->ListDevices();
    // No phone, or one not ready yet: a restart of the server often brings it.
    if (devices.empty() || (devices.size() == 1 && NotReadyYet(devices[0].state))) {
        adb->RestartServer();
        devices = adb->ListDevices();
    }
    int state = ReadConnection(devices);
    if (state == kCheckOk && adb->ServerReplacedInARow() >= 2) return kCheckOtherAdbServer;
    return state;
}

bool CDeviceChecker::ReadDeviceInfo() {
    CAdbManager* adb = CAdbManager::GetInstance();
    CDeviceModel* record = CDeviceModel::GetInstance();
    const std::wstring serial = adb->GetImei();
    // The same phone again: the record already describes it. Only a record
    // that identified a supported model counts (a reading that failed half-way
    // is read again), and the device must still answer the same: cheap phones
    // share placeholder serials.
    if (serial == record->GetImei() && !Trimmed(serial).empty() && record->GetModelId() >= 0 &&
        adb->GetDevice() == record->GetDevice())
        return true;

    ReportProgress(20, kTextReading);
    record->Reset();
    record->SetImei(serial);
    ReportProgress(30, kTextReading);
    record->SetModel(adb->GetModel());
    record->SetBrand(adb->GetBrand());
    ReportProgress(40, kTextReading);
    record->SetDevice(adb->GetDevice());
    ReportProgress(50, kTextReading);
    record->SetVersionRelease(adb->GetVersionRelease());
    ReportProgress(60, kTextReading);
    record->SetBootloader(adb->GetBootloader());
    ReportProgress(70, kTextReading);
    record->SetBuildDescription(adb->GetBuildDescription());
    ReportProgress(80, kTextReading);
    record->SetManufacturer(adb->GetManufacturer());
    ReportProgress(90, kTextReading);
    record->SetBasebandVersion(adb->GetBasebandVersion());
    ReportProgress(100, kTextReading);
    record->Identify();
    return true;
}

void CDeviceChecker::ReportProgress(int percent, const std::wstring& text) { NotifyListener(percent, text); }

}  // namespace mirq
