#include "device/DeviceChecker.h"

#include "adb/AdbManager.h"
#include "app/TaskStateTable.h"
#include "device/DeviceModel.h"
#include "util/Utils.h"

namespace mirq {

namespace {
const wchar_t* const kTextConnecting = L"检查设备连接中...";
const wchar_t* const kTextReading = L"读取设备信息中...";
}  // namespace

CDeviceChecker* CDeviceChecker::GetInstance() {
    static CDeviceChecker* instance = new CDeviceChecker();
    return instance;
}

int CDeviceChecker::Check() {
    ReportProgress(5, kTextConnecting);
    if (StopRequested()) return kCheckStopped;
    if (!IsAdbReady()) return kCheckNoAdb;
    ReportProgress(10, kTextConnecting);
    if (StopRequested()) return kCheckStopped;
    if (!CheckConnection()) return kCheckNoDevice;
    if (StopRequested()) return kCheckStopped;
    if (!ReadDeviceInfo()) return kCheckReadFailed;
    return CDeviceModel::GetInstance()->GetModelId() >= 0 ? kCheckOk : kCheckUnsupported;
}

bool CDeviceChecker::IsAdbReady() { return IsAdbPresent(); }

bool CDeviceChecker::CheckConnection() {
    CAdbManager* adb = CAdbManager::GetInstance();
    if (adb->IsDeviceConnected()) return true;
    adb->RestartServer();
    return adb->IsDeviceConnected();
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
