#include "adb/AdbManager.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "adb/AdbConstants.h"

namespace mirq {
namespace {

const DWORD kSettleMs = 500;
const size_t kReadChunk = 512;

// Reads the output file as text (CR LF becomes LF, 0x1A ends the text).
std::string ReadOutputFile(const std::wstring& path) {
    std::string collected;
    FILE* file = _wfopen(path.c_str(), L"rt");
    if (!file) return collected;
    char chunk[kReadChunk];
    for (;;) {
        size_t got = fread(chunk, 1, sizeof(chunk), file);
        if (got > 0) collected.append(chunk, strnlen(chunk, got));
        if (got < sizeof(chunk)) {
            if (ferror(file)) collected.clear();
            break;
        }
    }
    fclose(file);
    return collected;
}

bool WriteTextFile(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wt");
    if (!file) return false;
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
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

std::wstring CAdbManager::RunAdbCommand(const std::wstring& verb, const std::wstring& args) {
    const bool startServer = verb == kVerbStartServer;
    const std::wstring scratch = ScratchDirectory();
    const std::wstring outputPath =
        scratch + L"~MQF_" + AnsiToWide(IntToString(static_cast<int>(GetTickCount()))) + L".tmp";
    const std::wstring line = BuildAdbCommandLine(GetAdbPath(), verb, args, outputPath);

    const std::wstring batchPath = scratch + L"tmp.bat";
    if (PathExists(batchPath)) DeleteFileW(batchPath.c_str());
    if (!WriteTextFile(batchPath, WideToOem(line))) return std::wstring();

    std::wstring text;
    RunResult run = RunAndWaitFor(batchPath, L"", m_waitLimitMs);
    if (run == RunResult::Finished) {
        Sleep(kSettleMs);
        if (!startServer) {
            text = AnsiToWide(ReadOutputFile(outputPath));
            DeleteFileW(outputPath.c_str());
        }
    } else if (!startServer) {
        // Not started, or ended for running too long: whatever it wrote is not trusted.
        DeleteFileW(outputPath.c_str());
    }
    DeleteFileW(batchPath.c_str());

    m_lastOutput = Trimmed(text);
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
    RunAdbCommand(kVerbKillServer, L"");
    Sleep(kSettleMs);

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
    RunAndWaitFor(batchPath, L"", m_waitLimitMs);
    DeleteFileW(batchPath.c_str());
}

}  // namespace mirq
