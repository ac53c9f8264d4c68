// Device operations: each is one or two adb commands and a fixed test of the output.
#include <windows.h>

#include "adb/AdbConstants.h"
#include "adb/AdbManager.h"
#include "adb/AdbOutput.h"

namespace mirq {

bool CAdbManager::IsDeviceConnected() {
    return DevicesOutputHasDevice(RunAdbCommand(kVerbDevices, L""));
}

std::vector<CDeviceEntry> CAdbManager::ListDevices() { return ParseDevicesList(RunAdbCommand(kVerbDevices, L"")); }

bool CAdbManager::RestartServer() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    RunAdbCommand(kVerbKillServer, L"");  // the runner lets the server settle after each
    return StartServerOutputIsSuccess(RunAdbCommand(kVerbStartServer, L""));
}

bool CAdbManager::IsRooted() { return IdOutputIsRoot(RunAdbCommand(kVerbShell, kArgId)); }

std::wstring CAdbManager::GetProp(const std::wstring& key) { return RunAdbCommand(kVerbGetProp, key); }

std::wstring CAdbManager::GetBrand() { return GetProp(L"ro.product.brand"); }
std::wstring CAdbManager::GetModel() { return GetProp(L"ro.product.model"); }
std::wstring CAdbManager::GetDevice() { return GetProp(L"ro.product.device"); }
std::wstring CAdbManager::GetVersionRelease() { return GetProp(L"ro.build.version.release"); }
std::wstring CAdbManager::GetManufacturer() { return GetProp(L"ro.product.manufacturer"); }
std::wstring CAdbManager::GetBootloader() { return GetProp(L"ro.bootloader"); }
std::wstring CAdbManager::GetBasebandVersion() { return GetProp(L"ril.sw_ver"); }
std::wstring CAdbManager::GetBuildDescription() { return GetProp(L"ro.build.description"); }

std::wstring CAdbManager::GetImei() {
    std::wstring value = GetProp(L"ril.IMEI");
    if (value.empty()) value = GetProp(L"ril.barcode");
    if (value.empty()) value = GetProp(L"ro.serialno");
    return value;
}

std::wstring CAdbManager::Shell(const std::wstring& command) { return RunAdbCommand(kVerbShell, command); }

int CAdbManager::ShellStatus(const std::wstring& command) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(command + kEchoStatus);
    return m_lastRun == RunResult::Finished ? ShellExitStatus(output) : -1;
}

bool CAdbManager::RemoteFileExists(const std::wstring& devicePath) {
    return RemoteFilePresence(devicePath) == RemotePresence::Present;
}

RemotePresence CAdbManager::RemoteFilePresence(const std::wstring& devicePath) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(kArgLs + devicePath);
    return m_lastRun == RunResult::Finished ? LsPresence(output, devicePath) : RemotePresence::Unknown;
}

int CAdbManager::BatteryPercent() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(kArgBattery);
    return m_lastRun == RunResult::Finished ? BatteryPercentIn(output) : -1;
}

StorageReading CAdbManager::ReadStorage(const std::wstring& folder, const std::wstring& file) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(kArgDf + folder + L"; " + kArgLsLong + file);
    if (m_lastRun != RunResult::Finished) return {-1, -1};
    // "ls -l" of one file answers one line, the last.
    const size_t lastLine = output.find_last_of(L'\n');
    return {DfFreeBytes(output), LsLongSize(lastLine == std::wstring::npos ? output : output.substr(lastLine + 1))};
}

long long CAdbManager::RemoteFileSize(const std::wstring& devicePath) {
    return LsLongSize(Shell(kArgLsLong + devicePath));
}

bool CAdbManager::Push(const std::wstring& localPath, const std::wstring& devicePath, const CStopToken* stop,
                       const PushProgress& progress) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const long long size = RegularFileSize(localPath);
    const std::wstring exactPath = OemExactPath(localPath);
    if (size < 0 || exactPath.empty()) return false;
    WaitWatch watch;
    watch.stop = stop ? stop->Event() : nullptr;
    if (progress) {
        watch.tickMs = kPushPollMs;
        watch.onTick = [&] {
            // The one command that runs beside another: the phone sees its
            // file grow while the push's own client is busy. It leaves the
            // last command's record alone, and never decides the push's outcome.
            const long long onPhone = PushedSoFar(devicePath);
            if (onPhone >= 0) progress(onPhone < size ? onPhone : size, size);
        };
    }
    const std::wstring output =
        RunAdbCommand(kVerbPush, L"\"" + exactPath + L"\" " + devicePath, PushLimitMs(size), watch);
    if (m_lastRun == RunResult::Stopped) {
        // adbd drops a cut transfer by itself; a phone that answers is asked as well.
        Shell(L"rm " + devicePath);
        m_lastRun = RunResult::Stopped;
        return false;
    }
    if (m_lastRun != RunResult::Finished) return false;  // ended for running too long, or never ran
    if (!output.empty()) return PushOutputIsSuccess(output);
    // Empty is what a good push of an old client looks like, and also what an
    // unplugged phone gives: only the phone can tell them apart.
    return RemoteFileSize(devicePath) == size;
}

void CAdbManager::Reboot(const std::wstring& target) { RunAdbCommand(kVerbReboot, target); }

bool CAdbManager::WaitUntilGone() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const DWORD started = GetTickCount();
    for (;;) {
        const std::wstring state = RunAdbCommand(kVerbGetState, L"");
        // Clients print "unknown" (older) or an error (newer) once it is gone;
        // "more than one device" says nothing about this phone.
        if (m_lastRun == RunResult::Finished && state != kStateDevice &&
            ConnectionProblemIn(m_lastError) != ConnectionProblem::ManyDevices)
            return true;
        if (GetTickCount() - started >= m_leaveLimitMs) return false;
        Sleep(kLeavePollMs);
    }
}

}  // namespace mirq
