#include "adb/AdbManager.h"

#include <windows.h>

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

std::wstring BuildAdbCommandLine(const std::wstring& adbPath, const std::wstring& verb,
                                 const std::wstring& args, const std::wstring& outputPath) {
    std::wstring line = L"\"" + adbPath + L"\" " + verb + L" " + args;
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
    return RunAdbCommand(verb, args, m_commandLimitMs);
}

std::wstring CAdbManager::RunAdbCommand(const std::wstring& verb, const std::wstring& args, unsigned long limitMs) {
    std::lock_guard<std::recursive_mutex> hold(m_lock);
    const bool startServer = verb == kVerbStartServer;
    const bool serverVerb = startServer || verb == kVerbKillServer;
    const std::wstring scratch = ScratchDirectory();
    const std::wstring outputPath =
        scratch + L"~MQF_" + AnsiToWide(IntToString(static_cast<int>(GetTickCount()))) + L".tmp";
    const std::wstring line = BuildAdbCommandLine(GetAdbPath(), verb, args, outputPath);

    const std::wstring batchPath = scratch + L"tmp.bat";
    if (PathExists(batchPath)) DeleteFileW(batchPath.c_str());
    if (!WriteTextFile(batchPath, WideToOem(line))) {
        m_lastRun = RunResult::NotStarted;
        return std::wstring();
    }

    std::wstring text, errors;
    const std::wstring errorPath = ErrorPathFor(outputPath);
    const DWORD started = GetTickCount();
    // The client's own errors go to a file of their own through an inherited
    // handle, so that the batch line (and what adb receives) stays as it is.
    m_lastRun = RunBatchAndWait(batchPath, limitMs, startServer ? L"" : errorPath);
    if (m_lastRun == RunResult::Finished) {
        // The output file is complete once the process has ended; only the
        // server needs time to settle after it was stopped or started.
        if (serverVerb) Sleep(kServerSettleMs);
        if (!startServer) {
            // Whole: a status echoed after a talkative tool comes last.
            text = DecodeAnsi(ReadOutputFile(outputPath));
            errors = DecodeAnsi(ReadOutputFile(errorPath));
        }
    }
    // Not started, or ended for running too long: whatever it wrote is not trusted.
    if (!startServer) {
        DeleteReleasedFile(outputPath);
        DeleteReleasedFile(errorPath);
    }
    DeleteFileW(batchPath.c_str());

    // Another program's adb server being replaced announces itself on either
    // stream; those lines are never a command's output.
    const bool restarted = StripServerRestartLines(text) | StripServerRestartLines(errors);
    m_serverReplacedInARow = restarted && !serverVerb ? m_serverReplacedInARow + 1 : 0;
    m_lastError = Trimmed(errors);
    m_lastOutput = Trimmed(text);
    static const wchar_t* const kRunNames[] = {L"not started", L"finished", L"ended after its limit"};
    MIRQ_LOG(m_lastRun == RunResult::Finished ? kLogInfo : kLogWarning, L"adb",
             L"adb " + verb + L" " + args + L": " + kRunNames[static_cast<int>(m_lastRun)] + L" in " +
                 std::to_wstring(GetTickCount() - started) + L" ms" +
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
