#include "flash/InstallFollower.h"

#include <windows.h>

#include <algorithm>

#include "adb/AdbManager.h"
#include "adb/AdbOutput.h"
#include "device/DeviceChecker.h"
#include "device/DeviceModel.h"
#include "flash/PackageCheck.h"
#include "log/logger.h"
#include "progress/TransferStatus.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const wchar_t* const kLastInstall = L"/cache/recovery/last_install";
const wchar_t* const kLastLog = L"/cache/recovery/last_log";
const size_t kLoggedLines = 20;

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

std::wstring FormatInstallWait(unsigned long waitedMs) {
    return L"正在等待手机完成安装，请勿拔下USB线... 已等待 " + FormatDuration(waitedMs / 1000);
}

std::wstring CInstallFollower::LastInstall() { return CAdbManager::GetInstance()->Shell(m_serial, std::wstring(L"cat ") + kLastInstall); }

void CInstallFollower::NoteBefore(const std::wstring& dateUtc) {
    m_dateBefore = dateUtc;
    m_lastInstallBefore = LastInstall();
}

// Android's recovery writes last_install when an install ends: the package's
// path, then 1 or 0. A new one that says 0 is this install's failure.
bool CInstallFollower::RecoveryReportsFailure() {
    const std::wstring now = LastInstall();
    const std::vector<std::wstring> lines = Lines(now);
    return now != m_lastInstallBefore && lines.size() >= 2 && Trimmed(lines[1]) == L"0";
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

InstallVerdict CInstallFollower::Follow(const ExpectedBuild& expected, const CModelRows& catalogue,
                                        IProgressListener* listener, const CStopToken& stop) {
    CAdbManager* adb = CAdbManager::GetInstance();
    const DWORD started = GetTickCount();
    std::wstring state;  // as the phone was listed last ("": not listed)
    // It has only just left: the first look comes half a poll later.
    if (listener) listener->OnProgress(100, FormatInstallWait(0));
    if (WaitForSingleObject(stop.Event(), m_pollMs / 2) == WAIT_OBJECT_0) return InstallVerdict::Stopped;
    for (;;) {
        if (stop.Requested()) return InstallVerdict::Stopped;
        const unsigned long waited = GetTickCount() - started;
        if (listener) listener->OnProgress(100, FormatInstallWait(waited));
        state.clear();
        for (const CDeviceEntry& device : adb->ListDevices())
            if (device.serial == m_serial.Text()) state = device.state;
        if (state == L"device") {
            CDeviceModel* record = CDeviceModel::GetInstance();
            // Read when it answers whole (a system still starting may not yet).
            if (CDeviceChecker::GetInstance()->ReadPhoneAgain(m_serial, catalogue)) {
                const std::wstring date = record->GetBuildDate(), wanted = expected.Date();
                const bool updated = wanted.empty() ? date != m_dateBefore : date == wanted;
                MIRQ_LOG(updated ? kLogInfo : kLogWarning, L"flash",
                         L"the phone runs " + record->GetBuildName() + L" (ro.build.date.utc " + date + L"; the package's " +
                             (wanted.empty() ? L"is not named, before the flash " + m_dateBefore : wanted) + L")");
                if (!updated) LogRecoveryLog();
                return updated ? InstallVerdict::NewSystem : InstallVerdict::OldSystem;
            }
        }
        if (state == L"unauthorized") return InstallVerdict::Unauthorized;
        if (state == L"recovery" && RecoveryReportsFailure()) {
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
    return InstallVerdict::NotBack;
}

}  // namespace mirq
