#include "adb/AdbManager.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "adb/AdbConstants.h"
#include "adb/AdbOutput.h"
#include "log/logger.h"
#include "util/Raii.h"

namespace mirq {
namespace {

const size_t kReadChunk = 512;

// Reads the output file as text (CR LF becomes LF, 0x1A ends the text).
std::string ReadOutputFile(const std::wstring& path) {
    std::string collected;
    CStdFile file(_wfopen(path.c_str(), L"rt"));
    if (!file) return collected;
    char chunk[kReadChunk];
    for (;;) {
        size_t got = fread(chunk, 1, sizeof(chunk), file.get());
        if (got > 0) collected.append(chunk, strnlen(chunk, got));
        if (got < sizeof(chunk)) {
            if (ferror(file.get())) collected.clear();
            break;
        }
    }
    return collected;
}

// Deletes a file the command's processes wrote. Their handles can close a
// moment after the process has ended, and until then the file stays listed.
void DeleteReleasedFile(const std::wstring& path) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        DeleteFileW(path.c_str());
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
        Sleep(10);
    }
}

bool WriteTextFile(const std::wstring& path, const std::string& bytes) {
    CStdFile file(_wfopen(path.c_str(), L"wt"));
    if (!file) return false;
    fwrite(bytes.data(), 1, bytes.size(), file.get());
    return true;
}

}  // namespace

CAdbManager* CAdbManager::GetInstance() {
    // Created once, thread-safely; never deleted, so a clean-up thread that is
    // still running while the process ends never sees a destroyed instance.
    static CAdbManager* instance = [] {
        CAdbManager* created = new CAdbManager();
        created->Reset();
        return created;
    }();
    return instance;
}

void CAdbManager::Reset() { m_lastOutput.clear(); }

std::wstring EscapeForBatch(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        out += c;
        if (c == L'%') out += L'%';
    }
    return out;
}

std::wstring ErrorPathFor(const std::wstring& outputPath) {
    return outputPath.substr(0, outputPath.size() - 4) + L"e.tmp";  // still swept as ~MQF_*.tmp
}

bool IsUsableSerial(const std::wstring& serial) {
    if (serial.empty() || !IsOemExact(serial)) return false;
    for (wchar_t c : serial)
        if (c == L'"' || c < 0x20) return false;
    return true;
}

std::wstring QuotedSerial(const std::wstring& serial) {
    // Backslashes before the closing quote would escape it for the client's
    // command-line parser: doubled, they stand for themselves.
    const size_t trailing = serial.size() - (serial.find_last_not_of(L'\\') + 1);
    return L"\"" + serial + std::wstring(trailing, L'\\') + L"\"";
}

std::wstring BuildAdbCommandLine(const std::wstring& adbPath, const std::wstring& verb, const std::wstring& args,
                                 const std::wstring& outputPath, const CSerial& serial) {
    std::wstring line = L"\"" + adbPath + L"\" " + (serial.NamesAPhone() ? L"-s " + QuotedSerial(serial.Text()) + L" " : L"") + verb + L" " + args;
    if (verb != kVerbStartServer) line += L" > \"" + outputPath + L"\"";
    return EscapeForBatch(line);
}

std::wstring ScratchDirectory() {
    std::wstring temp = GetTempDirectory();
    if (PathExists(temp)) return temp;
    return GetBaseDirectory() + L"\\";
}

void CAdbManager::SetWaitLimits(unsigned long commandMs, unsigned long pushBaseMs, unsigned long leaveMs) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    m_commandLimitMs = commandMs;
    m_pushBaseLimitMs = pushBaseMs;
    m_leaveLimitMs = leaveMs;
}

unsigned long CAdbManager::PushLimitMs(long long bytes) const {
    const long long mib = bytes > 0 ? (bytes + (1 << 20) - 1) >> 20 : 0;
    const long long limit = m_pushBaseLimitMs + mib * kPushMsPerMiB;
    return limit > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<unsigned long>(limit);
}

std::wstring CAdbManager::RunAdbCommand(const std::wstring& verb, const std::wstring& args) {
    return RunAdbCommand(verb, args, m_commandLimitMs, WaitWatch(), CSerial::OnlyDevice());
}

namespace {

struct CommandRun {
    RunResult run;
    std::wstring output, errors;  // as written, restart announcements included
    bool batchWritten;
    long status;  // adb's exit code; -1 unless it finished
};

// The batch ends with adb's own exit code, whatever cmd.exe would make of it.
// %ERRORLEVEL% is the last program's code only while no variable of that
// name is set: one in the user's environment would stand in for it.
const char kForgetErrorLevelVariable[] = "@set ERRORLEVEL=\n";
const char kExitWithStatus[] = "\n@exit /b %ERRORLEVEL%\n";  // written in text mode: CR LF

// One adb command through its own batch file and output files; touches no
// record of the manager, so that the push's size poll can run beside the push.
CommandRun RunCommand(const std::wstring& verb, const std::wstring& args, unsigned long limitMs,
                      const WaitWatch& watch, const wchar_t* batchName, const CSerial& serial) {
    static std::atomic<unsigned> s_serial{0};
    const bool startServer = verb == kVerbStartServer;
    const std::wstring scratch = ScratchDirectory();
    const std::wstring outputPath = scratch + L"~MQF_" + std::to_wstring(GetTickCount()) + L"_" +
                                    std::to_wstring(++s_serial) + L".tmp";
    const std::wstring line = BuildAdbCommandLine(GetAdbPath(), verb, args, outputPath, serial);

    const std::wstring batchPath = scratch + batchName;
    if (PathExists(batchPath)) DeleteFileW(batchPath.c_str());
    if (!WriteTextFile(batchPath, kForgetErrorLevelVariable + WideToOem(line) + kExitWithStatus))
        return {RunResult::NotStarted, L"", L"", false, -1};

    CommandRun result{RunResult::NotStarted, L"", L"", true, -1};
    const std::wstring errorPath = ErrorPathFor(outputPath);
    // The client's own errors go to a file of their own through an inherited
    // handle, so that the batch line (and what adb receives) stays as it is.
    unsigned long status = 0;
    result.run = RunBatchAndWait(batchPath, limitMs, startServer ? L"" : errorPath, watch, &status);
    if (result.run == RunResult::Finished) {
        result.status = static_cast<long>(status);
        // The output file is complete once the process has ended; only the
        // server needs time to settle after it was stopped or started.
        if (startServer || verb == kVerbKillServer) Sleep(kServerSettleMs);
        if (!startServer) {
            // Whole: a status echoed after a talkative tool comes last.
            result.output = DecodeAnsi(ReadOutputFile(outputPath));
            result.errors = DecodeAnsi(ReadOutputFile(errorPath));
        }
    }
    // Not started, stopped, or ended for running too long: whatever it wrote is not trusted.
    if (!startServer) {
        DeleteReleasedFile(outputPath);
        DeleteReleasedFile(errorPath);
    }
    DeleteFileW(batchPath.c_str());
    return result;
}

}  // namespace

long long CAdbManager::PushedSoFar(const CSerial& serial, const std::wstring& devicePath, void* stop) const {
    WaitWatch watch;
    watch.stop = stop;  // a stop ends the poll as at once as the push
    const CommandRun poll = RunCommand(kVerbShell, kArgLsLong + devicePath, kPushPollLimitMs, watch, L"poll.bat", serial);
    return poll.run == RunResult::Finished ? LsLongSize(Trimmed(poll.output)) : -1;
}

std::wstring CAdbManager::RunAdbCommand(const std::wstring& verb, const std::wstring& args, unsigned long limitMs,
                                        const WaitWatch& watch, const CSerial& serial) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const bool serverVerb = verb == kVerbStartServer || verb == kVerbKillServer;
    const DWORD started = GetTickCount();
    CommandRun command = RunCommand(verb, args, limitMs, watch, L"tmp.bat", serial);
    m_lastRun = command.run;
    if (!command.batchWritten) return std::wstring();  // nothing ran: the last command's record stays
    m_lastStatus = command.status;
    // Another program's adb server being replaced announces itself on either
    // stream; those lines are never a command's output.
    const bool restarted = StripServerRestartLines(command.output) | StripServerRestartLines(command.errors);
    m_serverReplacedInARow = restarted && !serverVerb ? m_serverReplacedInARow + 1 : 0;
    m_lastError = Trimmed(command.errors);
    m_lastOutput = Trimmed(command.output);
    static const wchar_t* const kRunNames[] = {L"not started", L"finished", L"ended after its limit", L"stopped"};
    MIRQ_LOG(m_lastRun == RunResult::Finished ? kLogInfo : kLogWarning, L"adb",
             L"adb " + (serial.NamesAPhone() ? L"-s " + serial.Text() + L" " : L"") + verb + L" " + args + L": " +
                 kRunNames[static_cast<int>(m_lastRun)] + L" in " + std::to_wstring(GetTickCount() - started) + L" ms" +
                 (m_lastStatus != 0 && m_lastRun == RunResult::Finished ? L", status " + std::to_wstring(m_lastStatus) : L"") +
                 (m_lastError.empty() ? L"" : L"; error: " + m_lastError.substr(0, m_lastError.find(L'\n'))));
    return m_lastOutput;
}

std::wstring BuildCleanUpScript(const std::wstring& baseDir, bool baseExists,
                                const std::wstring& tempDir, bool tempExists) {
    // Quoted, so a base directory such as "C:\Program Files\Mirq" names one path.
    std::wstring script;
    if (baseExists) script += L"del \"" + baseDir + L"\\~MQF_*.tmp\"\n";
    if (tempExists) script += L"del \"" + tempDir + L"~MQF_*.tmp\"\n";
    return EscapeForBatch(script);
}

void CAdbManager::KillServerAndCleanUp() {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    RunAdbCommand(kVerbKillServer, L"");

    const std::wstring base = GetBaseDirectory();
    const std::wstring temp = GetTempDirectory();
    const bool baseExists = PathExists(base);
    const bool tempExists = PathExists(temp);
    if (!baseExists && !tempExists) return;

    // Always in the temporary directory: when that is missing the script is
    // not written and nothing runs.
    const std::wstring batchPath = temp + L"tmp.bat";
    if (PathExists(batchPath)) DeleteFileW(batchPath.c_str());
    WriteTextFile(batchPath, WideToOem(BuildCleanUpScript(base, baseExists, temp, tempExists)));
    RunBatchAndWait(batchPath, m_commandLimitMs);
    DeleteFileW(batchPath.c_str());
}

}  // namespace mirq
