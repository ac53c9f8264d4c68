#include "device/DeviceChecker.h"

#include "adb/AdbManager.h"
#include "adb/AdbPort.h"
#include "device/DeviceModel.h"
#include "device/UsbProbe.h"
#include "log/logger.h"
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

int CDeviceChecker::Check(const CStopToken& stop, CSerial* serial, const CModelRows& catalogue) {
    m_detail.clear();
    CSerial found = CSerial::OnlyDevice();
    const int code = Run(stop, found, catalogue);
    // Nothing is known of the phone after a connection problem or a reading
    // cut short: the display and the commands go back to "unknown".
    if (IsConnectionProblem(code) || code == kCheckReadFailed) CDeviceModel::GetInstance()->Reset();
    if (serial) *serial = code == kCheckOk || code == kCheckUnsupported ? found : CSerial::OnlyDevice();
    return code;
}

int CDeviceChecker::Run(const CStopToken& stop, CSerial& serial, const CModelRows& catalogue) {
    ReportProgress(5, kTextConnecting);
    if (stop.Requested()) return kCheckStopped;
    if (!IsAdbReady()) return kCheckNoAdb;
    ReportProgress(10, kTextConnecting);
    if (stop.Requested()) return kCheckStopped;
    const int connection = CheckConnection(serial);
    if (connection != kCheckOk) return Explain(connection, stop);
    if (stop.Requested()) return kCheckStopped;
    if (!ReadDeviceInfo(serial, catalogue)) return kCheckReadFailed;
    // Properties read while the connection went wrong are not to be trusted.
    const int problem = ConnectionProblemCode();
    if (problem != kCheckOk) return Explain(problem, stop);
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

// What a client prints when its server cannot start (the port is taken).
bool ServerFailedToStart(const std::wstring& errors) {
    return errors.find(L"failed to start daemon") != std::wstring::npos ||
           errors.find(L"cannot connect to daemon") != std::wstring::npos;
}

std::wstring Join(const std::vector<std::wstring>& ids) {
    std::wstring joined;
    for (const std::wstring& id : ids) joined += (joined.empty() ? L"" : L" ") + id;
    return joined;
}

}  // namespace

int CDeviceChecker::Explain(int connection, const CStopToken& stop) {
    if (connection != kCheckNoDevice && connection != kCheckOtherAdbServer) return connection;
    const bool serverFailed = ServerFailedToStart(CAdbManager::GetInstance()->LastError());
    if (connection == kCheckOtherAdbServer || serverFailed) {
        const PortHolder holder = ProbeAdbPort(stop);
        if (stop.Requested()) return kCheckStopped;
        MIRQ_LOG(kLogInfo, L"device", L"port " + std::to_wstring(kAdbServerPort) + L": " +
                                          (holder.listening ? L"held" : L"free") + L", process " +
                                          std::to_wstring(holder.pid) + L" " + (holder.path.empty() ? holder.name : holder.path) +
                                          L", adb version " + std::to_wstring(holder.adbVersion));
        // Our own server, slow to start (a virus scanner looking at adb.exe): nobody else to name.
        if (holder.Ours()) return kCheckNoDevice;
        const std::wstring name = holder.name.empty() ? L"" : L"（" + holder.name + L"）";
        if (holder.adbVersion >= 0) {
            m_detail = L"其他程序" + name + L"的adb服务（版本1.0." + std::to_wstring(holder.adbVersion) +
                       L"）正在使用端口5037，请关闭该程序后点击“刷新设备信息”！";
            return kCheckOtherAdbServer;
        }
        if (holder.listening && serverFailed) {
            m_detail = L"端口5037被其他程序" + name + L"占用，请关闭该程序后点击“刷新设备信息”！";
            return kCheckPortTaken;
        }
        if (connection == kCheckOtherAdbServer) return connection;
    }
    const std::vector<UsbDevice> devices = ListUsbDevices();
    for (const UsbDevice& device : devices)
        MIRQ_LOG(kLogInfo, L"device", L"USB " + device.instanceId + L"; ids " + Join(device.hardwareIds) +
                                          L"; compatible " + Join(device.compatibleIds) + L"; service " +
                                          (device.service.empty() ? L"none" : device.service) + L"; flags " +
                                          std::to_wstring(device.configFlags) + L"; problem " +
                                          std::to_wstring(device.problem));
    const UsbFinding finding = ClassifyUsbDevices(devices);
    if (finding.state == UsbPhoneState::DriverMissing) {
        m_detail = L"检测到手机（" + finding.maker + L"，" + finding.vidPid +
                   L"）已连接，但电脑上没有安装它的驱动程序，请安装手机驱动后重新插拔USB线！";
        return kCheckDriverMissing;
    }
    if (finding.state == UsbPhoneState::Fastboot) {
        m_detail = L"手机处于Fastboot模式，请长按电源键重启手机进入系统后重试！";
        return kCheckFastboot;
    }
    return connection;
}

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

int CDeviceChecker::CheckConnection(CSerial& serial) {
    CAdbManager* adb = CAdbManager::GetInstance();
    // An emulator running beside the phone (a game player's) is no second phone.
    std::vector<std::wstring> aside;
    std::vector<CDeviceEntry> devices = SetEmulatorsAside(adb->ListDevices(), aside);
    // No phone, or one not ready yet: a restart of the server often brings it.
    if (devices.empty() || (devices.size() == 1 && NotReadyYet(devices[0].state))) {
        adb->RestartServer();
        devices = SetEmulatorsAside(adb->ListDevices(), aside);
    }
    if (!aside.empty()) MIRQ_LOG(kLogInfo, L"device", L"emulators left aside: " + Join(aside));
    int state = ReadConnection(devices);
    if (state == kCheckOk && adb->ServerReplacedInARow() >= 2) return kCheckOtherAdbServer;
    if (state != kCheckOk) return state;
    // A name that cannot stand on a command line exactly (a quote, a control
    // character, one outside the code pages) names no phone we can address.
    if (!IsUsableSerial(devices[0].serial)) {
        MIRQ_LOG(kLogWarning, L"device", L"the phone's serial cannot be named exactly in a command: " + devices[0].serial);
        return kCheckNoDevice;
    }
    serial = CSerial(devices[0].serial);
    return kCheckOk;
}

namespace {

// The serial shown as the IMEI: the IMEI, else the barcode, else the serial number.
std::wstring SerialOf(const PhoneReading& phone) {
    for (const wchar_t* key : {L"ril.IMEI", L"ril.barcode", L"ro.serialno"}) {
        const std::wstring value = phone.Property(key);
        if (!value.empty()) return value;
    }
    return std::wstring();
}

}  // namespace

bool CDeviceChecker::ReadDeviceInfo(const CSerial& serial, const CModelRows& catalogue) {
    // Every property and the root state come in one command; a property the
    // phone does not have reads as empty, as a getprop of it alone would.
    const PhoneReading phone = CAdbManager::GetInstance()->ReadPhone(serial);
    if (!phone.read) {
        MIRQ_LOG(kLogWarning, L"device", L"the phone's properties could not be read whole");
        return false;
    }
    m_lastReading = phone;
    TakeReading(phone, catalogue);
    return true;
}

void CDeviceChecker::TakeReading(const PhoneReading& phone, const CModelRows& catalogue) {
    CDeviceModel* record = CDeviceModel::GetInstance();
    const std::wstring shown = SerialOf(phone);  // the IMEI, else the serial number
    const std::wstring device = phone.Property(L"ro.product.device");
    // The same phone again: the record already describes it. Only a record
    // that identified a supported model counts (a reading that failed half-way
    // is read again), and the device must still answer the same: cheap phones
    // share placeholder serials.
    if (shown != record->GetImei() || Trimmed(shown).empty() || record->GetModelId() < 0 ||
        device != record->GetDevice()) {
        record->Reset();
        record->SetImei(shown);
        record->SetModel(phone.Property(L"ro.product.model"));
        record->SetBrand(phone.Property(L"ro.product.brand"));
        record->SetDevice(device);
        record->SetVersionRelease(phone.Property(L"ro.build.version.release"));
        record->SetBootloader(phone.Property(L"ro.bootloader"));
        record->SetBuildDescription(phone.Property(L"ro.build.description"));
        record->SetManufacturer(phone.Property(L"ro.product.manufacturer"));
        record->SetBasebandVersion(phone.Property(L"ril.sw_ver"));
        ReportProgress(100, kTextReading);
    }
    // Again for the same phone: the catalogue may have changed its row since.
    record->Identify(catalogue);
    // Taken from every reading, the same phone's too: root may have come or gone.
    record->SetRooted(phone.rooted);
    record->SetBuildProduct(phone.Property(L"ro.build.product"));
    const std::wstring display = phone.Property(L"ro.build.display.id");
    record->SetBuild(phone.Property(L"ro.build.date.utc"), display.empty() ? phone.Property(L"ro.build.id") : display);
}

void CDeviceChecker::RecordAfresh(const PhoneReading& phone, const CModelRows& catalogue) {
    CDeviceModel::GetInstance()->Reset();  // whole: the same phone runs another system now
    TakeReading(phone, catalogue);
}

void CDeviceChecker::ReportProgress(int percent, const std::wstring& text) { NotifyListener(percent, text); }

}  // namespace mirq
