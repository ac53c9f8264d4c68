// Device operations: each is one or two adb commands for one phone, named by
// its serial, and a fixed test of the output.
#include <windows.h>

#include <algorithm>

#include "adb/AdbConstants.h"
#include "adb/AdbManager.h"
#include "adb/AdbOutput.h"
#include "log/logger.h"

namespace mirq {

bool CAdbManager::IsDeviceConnected() {
    return DevicesOutputHasDevice(RunAdbCommand(kVerbDevices, L""));
}

std::vector<CDeviceEntry> CAdbManager::ListDevices() { return ParseDevicesList(RunAdbCommand(kVerbDevices, L"")); }

namespace {

WaitWatch Watching(const CStopToken& stop) {
    WaitWatch watch;
    watch.stop = stop.Event();
    return watch;
}

}  // namespace

std::vector<CDeviceEntry> CAdbManager::ListDevices(const CStopToken& stop) {
    return ParseDevicesList(RunAdbCommand(kVerbDevices, L"", m_commandLimitMs, Watching(stop), CSerial::OnlyDevice()));
}

std::wstring CAdbManager::Shell(const CSerial& serial, const std::wstring& command, const CStopToken& stop) {
    return RunAdbCommand(kVerbShell, command, m_commandLimitMs, Watching(stop), serial);
}

bool CAdbManager::RestartServer() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    RunAdbCommand(kVerbKillServer, L"");  // the runner lets the server settle after each
    return StartServerOutputIsSuccess(RunAdbCommand(kVerbStartServer, L""));
}

bool CAdbManager::IsRooted(const CSerial& serial) { return IdOutputIsRoot(Shell(serial, kArgId)); }

namespace {

// A line no property and no output of id can hold: the reading's separator,
// new for every reading.
std::wstring UniqueSeparator() {
    static unsigned s_counter = 0;
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return L"--mirq-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(now.QuadPart) + L"-" +
           std::to_wstring(++s_counter) + L"--";
}

}  // namespace

PhoneReading CAdbManager::ReadPhone(const CSerial& serial) { return ReadPhone(serial, CStopToken::Never()); }

PhoneReading CAdbManager::ReadPhone(const CSerial& serial, const CStopToken& stop) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring separator = UniqueSeparator();
    const std::wstring output = Shell(serial, std::wstring(kArgGetProp) + L"; echo " + separator + L"; " + kArgId, stop);
    PhoneReading reading;
    // A client that failed, or an answer whose separator never came (the
    // phone went between the two commands), reads nothing.
    if (!LastSucceeded()) return reading;
    const std::vector<std::wstring> parts = SplitAtSeparator(output, separator);
    if (parts.size() != 2) return reading;
    reading.read = true;
    reading.properties = ParsePropertyList(parts[0]);
    reading.rooted = IdOutputIsRoot(Trimmed(parts[1]));
    return reading;
}

std::wstring CAdbManager::Shell(const CSerial& serial, const std::wstring& command) {
    return RunAdbCommand(kVerbShell, command, m_commandLimitMs, WaitWatch(), serial);
}

int CAdbManager::ShellStatus(const CSerial& serial, const std::wstring& command) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(serial, command + kEchoStatus);
    // With the shell protocol the status also comes through the client.
    return m_lastRun == RunResult::Finished ? (m_lastStatus == 0 ? ShellExitStatus(output) : -1) : -1;
}

bool CAdbManager::RemoteFileExists(const CSerial& serial, const std::wstring& devicePath) {
    return RemoteFilePresence(serial, devicePath) == RemotePresence::Present;
}

RemotePresence CAdbManager::RemoteFilePresence(const CSerial& serial, const std::wstring& devicePath) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    Shell(serial, kArgLs + devicePath);
    // The echoed path comes on standard output; "No such file" on either stream.
    return m_lastRun == RunResult::Finished ? LsPresence(m_lastOutput.empty() ? m_lastError : m_lastOutput, devicePath)
                                            : RemotePresence::Unknown;
}

PowerAndStorage CAdbManager::ReadPowerAndStorage(const CSerial& serial, const std::wstring& folder,
                                                 const std::vector<std::wstring>& files) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring separator = UniqueSeparator();
    std::wstring command = std::wstring(kArgBattery) + L"; echo " + separator + L"; " + kArgDf + folder;
    for (const std::wstring& file : files) command += std::wstring(L"; ") + kArgLsLong + file;
    const std::wstring output = Shell(serial, command);
    PowerAndStorage reading{-1, {-1, std::vector<long long>(files.size(), -1)}};
    const std::vector<std::wstring> parts = SplitAtSeparator(output, separator);
    if (m_lastRun != RunResult::Finished || parts.size() != 2) return reading;
    // Errors of either part (a phone with the shell protocol) come on standard error.
    reading.batteryPercent = BatteryPercentIn(parts[0] + ErrorLines());
    reading.storage.freeBytes = DfFreeBytes(parts[1] + ErrorLines());
    for (size_t i = 0; i < files.size(); ++i) reading.storage.fileBytes[i] = LsLongSizeOf(parts[1], files[i]);
    return reading;
}

long long CAdbManager::ReadFreeSpace(const CSerial& serial, const std::wstring& folder) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(serial, kArgDf + folder);
    return m_lastRun == RunResult::Finished ? DfFreeBytes(output + ErrorLines()) : -1;
}

long long CAdbManager::RemoteFileSize(const CSerial& serial, const std::wstring& devicePath) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring output = Shell(serial, kArgLsLong + devicePath);
    return m_lastRun == RunResult::Finished ? LsLongSize(output) : -1;
}

bool CAdbManager::Push(const CSerial& serial, const std::wstring& localPath, const std::wstring& devicePath,
                       const CStopToken* stop, const PushProgress& progress) {
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
            const long long onPhone = PushedSoFar(serial, devicePath, watch.stop);
            if (onPhone >= 0) progress(onPhone < size ? onPhone : size, size);
        };
    }
    const std::wstring output =
        RunAdbCommand(kVerbPush, L"\"" + exactPath + L"\" " + devicePath, PushLimitMs(size), watch, serial);
    if (m_lastRun == RunResult::Stopped) {
        // The server goes on sending what it already holds after its client
        // has ended, so one removal can come before the last bytes.
        if (!RemoveUntilGone(serial, devicePath, m_leaveLimitMs))
            MIRQ_LOG(kLogWarning, L"adb", L"the stopped push's " + devicePath + L" could not be confirmed gone");
        m_lastRun = RunResult::Stopped;
        return false;
    }
    if (m_lastRun != RunResult::Finished) return false;  // ended for running too long, or never ran
    if (m_lastStatus != 0 || PushOutputReportsFailure(output) || PushOutputReportsFailure(m_lastError)) return false;
    // Only the phone can tell a whole copy: a client may say nothing at all
    // (the old ones), or announce a transfer the phone refused.
    const long long onPhone = RemoteFileSize(serial, devicePath);
    if (onPhone != size)
        MIRQ_LOG(kLogWarning, L"adb", devicePath + L" holds " + (onPhone < 0 ? std::wstring(L"an unknown number of") : std::to_wstring(onPhone)) +
                                          L" bytes after its push of " + std::to_wstring(size));
    return onPhone == size;
}

bool CAdbManager::RemoteFileHolds(const CSerial& serial, const std::wstring& devicePath, const std::string& bytes) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const std::wstring text = Shell(serial, L"cat " + devicePath);
    if (!LastSucceeded()) return false;
    auto withoutCr = [](std::wstring lines) {
        lines.erase(std::remove(lines.begin(), lines.end(), L'\r'), lines.end());
        return lines;
    };
    return withoutCr(text) == Trimmed(withoutCr(DecodeAnsi(bytes)));
}

bool CAdbManager::RemoveUntilGone(const CSerial& serial, const std::wstring& devicePath, unsigned long limitMs) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const DWORD started = GetTickCount();
    for (;;) {
        Shell(serial, L"rm " + devicePath);
        if (RemoteFilePresence(serial, devicePath) == RemotePresence::Absent) return true;
        if (GetTickCount() - started >= limitMs) return false;
        Sleep(kLeavePollMs);
    }
}

void CAdbManager::Reboot(const CSerial& serial, const std::wstring& target) {
    RunAdbCommand(kVerbReboot, target, m_commandLimitMs, WaitWatch(), serial);
}

bool CAdbManager::WaitUntilGone(const CSerial& serial) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const DWORD started = GetTickCount();
    for (;;) {
        const std::wstring state = RunAdbCommand(kVerbGetState, L"", m_commandLimitMs, WaitWatch(), serial);
        if (m_lastRun == RunResult::Finished && PhoneHasLeft(state, m_lastError)) return true;
        if (GetTickCount() - started >= m_leaveLimitMs) return false;
        Sleep(kLeavePollMs);
    }
}

}  // namespace mirq
