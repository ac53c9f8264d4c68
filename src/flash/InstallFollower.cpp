#include "flash/InstallFollower.h"

#include <windows.h>

#include <algorithm>

#include "adb/AdbManager.h"
#include "adb/AdbOutput.h"
#include "flash/Flasher.h"
#include "flash/PackageCheck.h"
#include "log/logger.h"
#include "progress/TransferStatus.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const wchar_t* const kLastInstall = L"/cache/recovery/last_install";
const wchar_t* const kLastLog = L"/cache/recovery/last_log";
const size_t kLoggedLines = 20;
const unsigned long kUnauthorizedMs = 30000;

// The value of the first `key=value` in a properties text (build.prop, the OTA metadata), trimmed; empty when absent.
std::wstring ValueOf(const std::string& text, const std::wstring& key) {
    for (const std::wstring& line : Lines(Utf8ToWide(text)))
        if (line.compare(0, key.size() + 1, key + L"=") == 0) return Trimmed(line.substr(key.size() + 1));
    return std::wstring();
}

}  // namespace

ExpectedBuild ReadExpectedBuild(const RomContents& contents) {
    ExpectedBuild build;
    build.dateUtc = ValueOf(contents.buildProp, L"ro.build.date.utc");
    build.displayId = ValueOf(contents.buildProp, L"ro.build.display.id");
    build.postTimestamp = ValueOf(contents.metadata, L"post-timestamp");
    build.postBuild = ValueOf(contents.metadata, L"post-build");
    return build;
}

SystemReading SystemReading::From(const PhoneReading& phone) {
    SystemReading r;
    r.serialno = phone.Property(L"ro.serialno");
    r.device = phone.Property(L"ro.product.device");
    r.imei = phone.Property(L"ril.IMEI");
    r.date = phone.Property(L"ro.build.date.utc");
    const std::wstring display = phone.Property(L"ro.build.display.id");
    r.name = display.empty() ? phone.Property(L"ro.build.id") : display;
    r.booted = Trimmed(phone.Property(L"sys.boot_completed")) == L"1";
    return r;
}

bool IsTheFlashedPhone(const SystemReading& before, const SystemReading& now) {
    return now.serialno == before.serialno && now.device == before.device &&
           (before.imei.empty() || now.imei == before.imei);
}

InstallLog ReadInstallLog(const std::wstring& lastInstall) {
    const std::vector<std::wstring> lines = Lines(lastInstall);
    const std::wstring result = lines.size() >= 2 ? Trimmed(lines[1]) : std::wstring();
    return result == L"1" ? InstallLog::Succeeded : result == L"0" ? InstallLog::Failed : InstallLog::None;
}

InstallVerdict DecideVerdict(const SystemReading& before, const ExpectedBuild& expected, InstallLog log,
                             const SystemReading& after, bool scriptLeft) {
    // A script still there once a system runs: the recovery never ran it.
    if (scriptLeft) return InstallVerdict::ScriptNotRun;
    const InstallVerdict byLog = log == InstallLog::Succeeded ? InstallVerdict::NewSystem
                                 : log == InstallLog::Failed  ? InstallVerdict::OldSystem
                                                              : InstallVerdict::SameBuild;
    // Without a date on the phone, only the recovery's word tells.
    if (after.date.empty()) return byLog;
    const std::wstring wanted = expected.Date();
    if (wanted.empty()) return after.date != before.date ? InstallVerdict::NewSystem : byLog;
    if (after.date == wanted && (before.date != wanted || log == InstallLog::Succeeded)) return InstallVerdict::NewSystem;
    if (after.date != wanted || log == InstallLog::Failed) return InstallVerdict::OldSystem;
    return InstallVerdict::SameBuild;  // the same build before and after, and no word of the install
}

std::wstring FormatInstallWait(unsigned long waitedMs) {
    return L"正在等待手机完成安装，请勿拔下USB线... 已等待 " + FormatDuration(waitedMs / 1000);
}

InstallLog CInstallFollower::LastInstall(const CStopToken& stop) {
    CAdbManager* adb = CAdbManager::GetInstance();
    const std::wstring text = adb->Shell(m_serial, std::wstring(L"cat ") + kLastInstall, stop);
    return adb->LastSucceeded() ? ReadInstallLog(text) : InstallLog::None;
}

bool CInstallFollower::ScriptLeft(const CStopToken& stop) {
    CAdbManager* adb = CAdbManager::GetInstance();
    for (ScriptKind kind : {ScriptKind::ExtendedCommand, ScriptKind::OpenRecoveryScript})
        if (!stop.Requested() && adb->RemoteFilePresence(m_serial, RecoveryScriptPath(kind)) == RemotePresence::Present)
            return true;
    return false;
}

void CInstallFollower::NoteBefore(const PhoneReading& before) {
    m_before = SystemReading::From(before);
    CAdbManager* adb = CAdbManager::GetInstance();
    const bool was = adb->RemoteFilePresence(m_serial, kLastInstall) == RemotePresence::Present;
    if (was) adb->Shell(m_serial, std::wstring(L"rm ") + kLastInstall);  // (the phones' rm knows no -f)
    MIRQ_LOG(kLogInfo, L"flash", std::wstring(was ? L"an earlier install's last_install removed"
                                                  : L"no last_install on the phone before the flash") +
                                     L" (the system runs " + m_before.name + L", ro.build.date.utc " + m_before.date + L")");
}

void CInstallFollower::LogRecoveryLog() {
    CAdbManager* adb = CAdbManager::GetInstance();
    const std::wstring log = adb->Shell(m_serial, std::wstring(L"cat ") + kLastLog);
    if (!adb->LastSucceeded() || log.empty()) return;
    const std::vector<std::wstring> lines = Lines(log);
    std::wstring tail;
    for (size_t i = lines.size() > kLoggedLines ? lines.size() - kLoggedLines : 0; i < lines.size(); ++i)
        tail += L"\n    " + Trimmed(lines[i]);
    MIRQ_LOG(kLogWarning, L"flash", std::wstring(L"the recovery's last log ends:") + tail);
}

// A change of how the phone is listed, once; the same again at most once a minute.
void CInstallFollower::LogListing(const std::wstring& state, unsigned long waitedMs) {
    if (state == m_listed && waitedMs - m_loggedAt < 60000) return;
    MIRQ_LOG(kLogInfo, L"flash", L"after " + FormatDuration(waitedMs / 1000) + L" the phone is " + state);
    m_listed = state;
    m_loggedAt = waitedMs;
}

InstallVerdict CInstallFollower::Follow(const ExpectedBuild& expected, IProgressListener* listener,
                                        const CStopToken& stop, PhoneReading& after) {
    CAdbManager* adb = CAdbManager::GetInstance();
    const DWORD started = GetTickCount();
    std::wstring state;  // as the phone was listed last ("": not listed)
    DWORD unauthorizedSince = 0;
    bool unauthorized = false;
    // It has only just left: the first look comes half a poll later.
    if (listener) listener->OnProgress(100, FormatInstallWait(0));
    if (WaitForSingleObject(stop.Event(), m_pollMs / 2) == WAIT_OBJECT_0) return InstallVerdict::Stopped;
    for (;;) {
        if (stop.Requested()) return InstallVerdict::Stopped;
        const unsigned long waited = GetTickCount() - started;
        if (listener) listener->OnProgress(100, FormatInstallWait(waited));
        state.clear();
        for (const CDeviceEntry& device : adb->ListDevices(stop))
            if (device.serial == m_serial.Text()) state = device.state;
        if (stop.Requested()) return InstallVerdict::Stopped;
        std::wstring listed = state.empty() ? L"not listed (away)" : L"listed " + state;
        if (state == L"device") {
            // A system that runs, of this very phone: a recovery may list itself
            // as a device, a system may not have finished starting, another
            // phone may share the serial.
            const PhoneReading reading = adb->ReadPhone(m_serial, stop);
            const SystemReading now = SystemReading::From(reading);
            if (reading.read && now.booted && IsTheFlashedPhone(m_before, now)) {
                LogListing(L"back, running its system", waited);
                const InstallLog log = LastInstall(stop);
                const bool scriptLeft = ScriptLeft(stop);
                if (scriptLeft && !RemoveRecoveryScripts(m_serial))
                    MIRQ_LOG(kLogWarning, L"flash", L"the recovery script left on the phone could not be removed");
                const InstallVerdict verdict = DecideVerdict(m_before, expected, log, now, scriptLeft);
                const wchar_t* const said = log == InstallLog::Succeeded ? L"1" : log == InstallLog::Failed ? L"0" : L"none";
                MIRQ_LOG(verdict == InstallVerdict::NewSystem ? kLogInfo : kLogWarning, L"flash",
                         L"the phone runs " + now.name + L" (ro.build.date.utc " + now.date + L"; before the flash " +
                             m_before.date + L"; the package's " + (expected.Date().empty() ? L"not named" : expected.Date()) +
                             L"; last_install " + said + (scriptLeft ? L"; the recovery script was still there" : L"") + L")");
                if (verdict != InstallVerdict::NewSystem) LogRecoveryLog();
                after = reading;
                return verdict;
            }
            listed = !reading.read ? L"listed device, not answering yet"
                     : !IsTheFlashedPhone(m_before, now) ? L"listed device, but another phone (" + now.device + L" " + now.serialno + L")"
                     : L"listed device, not booted yet";
        }
        LogListing(listed, waited);
        // Unauthorized for a moment is a key exchange or a locked screen: a verdict only once it lasts.
        if (state == L"unauthorized") {
            if (!unauthorized) unauthorizedSince = GetTickCount();
            unauthorized = true;
            if (GetTickCount() - unauthorizedSince >= kUnauthorizedMs) return InstallVerdict::Unauthorized;
        } else {
            unauthorized = false;
        }
        if (state == L"recovery" && LastInstall(stop) == InstallLog::Failed) {
            LogRecoveryLog();
            return InstallVerdict::InRecovery;
        }
        if (waited >= m_waitMs) break;
        const unsigned long pause = std::min<unsigned long>(m_pollMs, m_waitMs - waited);
        if (WaitForSingleObject(stop.Event(), pause) == WAIT_OBJECT_0) return InstallVerdict::Stopped;
    }
    if (state == L"recovery") {
        LogRecoveryLog();
        return InstallVerdict::InRecovery;
    }
    return state == L"unauthorized" ? InstallVerdict::Unauthorized : InstallVerdict::NotBack;
}

}  // namespace mirq
