#include "util/Utils.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "util/Raii.h"

namespace mirq {
namespace {

std::atomic<bool> g_useJobs{true};

const size_t kMaxAnsiBytes = 1021;
const size_t kMaxOemChars = 1022;

// Never destroyed: a thread still running while the process ends may ask for it.
struct CBaseDirectory {
    std::mutex lock;
    std::wstring path;
};
CBaseDirectory& BaseDirectory() {
    static CBaseDirectory* const base = new CBaseDirectory();
    return *base;
}

bool CreatedBefore(DWORD pid, const FILETIME& time) {
    CWinHandle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    FILETIME created, unused;
    if (!process || !GetProcessTimes(process.get(), &created, &unused, &unused, &unused)) return true;
    return CompareFileTime(&created, &time) < 0;
}

}  // namespace

std::wstring ProcessImageName(unsigned long pid) {
    CWinHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = snap && Process32FirstW(snap.get(), &entry); ok; ok = Process32NextW(snap.get(), &entry))
        if (entry.th32ProcessID == pid) return entry.szExeFile;
    return std::wstring();
}

std::wstring ProcessImagePath(unsigned long pid) {
    typedef BOOL(WINAPI * QueryPath)(HANDLE, DWORD, LPWSTR, PDWORD);
    static const QueryPath query = reinterpret_cast<QueryPath>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW"));
    const DWORD kQueryLimitedInformation = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION, Vista and later
    CWinHandle process(query ? OpenProcess(kQueryLimitedInformation, FALSE, pid) : nullptr);
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    return process && query(process.get(), 0, path, &size) ? std::wstring(path, size) : std::wstring();
}

void TerminateProcessTree(unsigned long pid, const FILETIME& notBefore) {
    std::vector<DWORD> children;
    CWinHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (snap) {
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL ok = Process32FirstW(snap.get(), &entry); ok; ok = Process32NextW(snap.get(), &entry)) {
            if (entry.th32ParentProcessID == pid && entry.th32ProcessID != pid &&
                !CreatedBefore(entry.th32ProcessID, notBefore))
                children.push_back(entry.th32ProcessID);
        }
    }
    for (DWORD child : children) TerminateProcessTree(child, notBefore);
    CWinHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (process) TerminateProcess(process.get(), 1);
}

std::wstring AnsiToWide(const std::string& bytes) {
    return DecodeAnsi(bytes.size() >= kMaxAnsiBytes + 1 ? bytes.substr(0, kMaxAnsiBytes) : bytes);
}

std::wstring DecodeAnsi(const std::string& bytes) {
    const std::string used = bytes.c_str();  // up to the first zero byte
    int needed = MultiByteToWideChar(CP_ACP, 0, used.c_str(), -1, nullptr, 0);
    if (needed <= 0) return std::wstring();
    std::vector<wchar_t> buf(needed);
    MultiByteToWideChar(CP_ACP, 0, used.c_str(), -1, buf.data(), needed);
    return std::wstring(buf.data());
}

std::string WideToOem(const std::wstring& text) {
    std::wstring used = text.size() >= kMaxOemChars + 1 ? text.substr(0, kMaxOemChars) : text;
    used = used.c_str();  // up to the first zero character
    int needed = WideCharToMultiByte(CP_OEMCP, 0, used.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::vector<char> buf(needed);
    WideCharToMultiByte(CP_OEMCP, 0, used.c_str(), -1, buf.data(), needed, nullptr, nullptr);
    return std::string(buf.data());
}

namespace {

// Whether text comes back unchanged from the code page: no character
// replaced or given a look-alike. Plain arguments that every code page
// takes, UTF-8 included (which refuses the best-fit and used-default ones).
bool SurvivesCodePage(UINT codePage, const std::wstring& text) {
    const int bytes = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    std::string narrow(bytes, '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), -1, &narrow[0], bytes, nullptr, nullptr);
    const int chars = MultiByteToWideChar(codePage, 0, narrow.c_str(), -1, nullptr, 0);
    if (chars <= 0) return false;
    std::wstring back(chars, L'\0');
    MultiByteToWideChar(codePage, 0, narrow.c_str(), -1, &back[0], chars);
    return std::wstring(back.c_str()) == text;
}

// The batch line is read in the OEM code page; adb takes its arguments in the ANSI one.
}  // namespace

bool IsOemExact(const std::wstring& text) { return SurvivesCodePage(CP_OEMCP, text) && SurvivesCodePage(CP_ACP, text); }

std::wstring OemExactPath(const std::wstring& path) {
    if (IsOemExact(path)) return path;
    // Characters outside the code page (Hangul on a Chinese system) would
    // reach adb as '?' or a look-alike; the short name is plain ASCII.
    const DWORD needed = GetShortPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return std::wstring();
    std::wstring shortPath(needed, L'\0');
    shortPath.resize(GetShortPathNameW(path.c_str(), &shortPath[0], needed));
    return !shortPath.empty() && IsOemExact(shortPath) ? shortPath : std::wstring();
}

std::string IntToString(int value) { return std::to_string(value); }

std::wstring Utf8ToWide(const std::string& bytes) {
    if (bytes.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    return text;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr, nullptr);
    return bytes;
}

bool GetCurrentDir(std::wstring& out) {
    wchar_t buf[512] = {};
    if (GetCurrentDirectoryW(512, buf) == 0) {
        out.clear();
        return false;
    }
    out = buf;
    return true;
}

std::wstring GetBaseDirectory() {
    CBaseDirectory& base = BaseDirectory();
    std::lock_guard<std::mutex> lock(base.lock);
    if (base.path.empty()) GetCurrentDir(base.path);
    return base.path;
}

namespace {

// Whether a file can be made in the folder (made and gone again at once).
bool CanWriteIn(const std::wstring& folder) {
    const std::wstring probe = folder + L"\\~MQW_" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    CWinHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return static_cast<bool>(file);
}

std::wstring ChooseDataDirectory() {
    const std::wstring base = GetBaseDirectory();
    if (!base.empty() && CanWriteIn(base)) return base;
    wchar_t local[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, local))) return base;
    const std::wstring folder = std::wstring(local) + L"\\Mirq";
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

}  // namespace

std::wstring GetDataDirectory() {
    // Decided once; never destroyed, so a thread still running at exit can use it.
    static const std::wstring* const folder = new std::wstring(ChooseDataDirectory());
    return *folder;
}

std::wstring GetTempDirectory() {
    wchar_t buf[512] = {};
    if (GetTempPathW(512, buf) == 0) return std::wstring();
    return buf;
}

bool PathExists(const std::wstring& path) {
    return !path.empty() && PathFileExistsW(path.c_str());
}

bool IsRegularFile(const std::wstring& path) {
    if (path.empty()) return false;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

long long RegularFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string ReadBinaryFile(const std::wstring& path, size_t limit) {
    CStdFile file(_wfopen(path.c_str(), L"rb"));
    std::string bytes;
    if (!file) return bytes;
    bytes.resize(limit);
    bytes.resize(fread(&bytes[0], 1, limit, file.get()));
    return bytes;
}

bool WriteBinaryFile(const std::wstring& path, const std::string& bytes) {
    CStdFile file(_wfopen(path.c_str(), L"wb"));
    return file && fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size() && file.Close() == 0;
}

namespace {

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
}

}  // namespace

long long FreeBytesBeside(const std::wstring& path) {
    ULARGE_INTEGER free;
    return GetDiskFreeSpaceExW(FolderOf(path).c_str(), &free, nullptr, nullptr) ? static_cast<long long>(free.QuadPart) : -1;
}

std::wstring VolumeOf(const std::wstring& path) {
    wchar_t root[MAX_PATH] = {};
    return GetVolumePathNameW(FolderOf(path).c_str(), root, MAX_PATH) ? std::wstring(root) : FolderOf(path);
}

bool ReplaceFileWith(const std::wstring& path, const std::string& bytes, unsigned long* error) {
    const std::wstring temp = path + L".new";
    CWinHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    // Flushed before the rename: else a power cut can leave the new name over bytes never written.
    bool ok = file && WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && FlushFileBuffers(file.get());
    DWORD failure = ok ? 0 : GetLastError();
    file.Reset();
    if (ok && !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        failure = GetLastError();
    }
    if (ok) return true;
    if (error) *error = failure;
    DeleteFileW(temp.c_str());
    return false;
}

std::wstring GetAdbPath() {
    std::wstring base = GetBaseDirectory();
    if (base.empty()) return std::wstring();
    std::wstring path = base + L"\\tools\\adb.exe";
    return PathExists(path) ? path : std::wstring();
}

bool IsAdbPresent() { return !GetAdbPath().empty(); }

void UseJobObjects(bool use) { g_useJobs = use; }

namespace {

// Ends a started process and what it started: the whole job when it has one
// (exactly its processes), else the processes below it that were created
// after it (a recorded parent id may be a dead process's, reused).
void EndTree(const CWinHandle& process, HANDLE job) {
    if (job) {
        TerminateJobObject(job, 1);
    } else {
        FILETIME created, unused;
        GetProcessTimes(process.get(), &created, &unused, &unused, &unused);
        TerminateProcessTree(GetProcessId(process.get()), created);
    }
    WaitForSingleObject(process.get(), 5000);
}

// Waits for a started process; past the limit, or on the watched stop, it and
// everything it started are ended.
RunResult WaitOrEnd(const CWinHandle& process, unsigned long limitMs, const WaitWatch& watch = WaitWatch(),
                    HANDLE job = nullptr) {
    const HANDLE handles[2] = {process.get(), watch.stop};
    const DWORD count = watch.stop ? 2 : 1;
    const DWORD started = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - started;
        if (elapsed >= limitMs) break;
        DWORD slice = limitMs - elapsed;
        if (watch.onTick && watch.tickMs < slice) slice = watch.tickMs;
        const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, slice);
        if (woke == WAIT_OBJECT_0) return RunResult::Finished;
        if (woke == WAIT_OBJECT_0 + 1) {
            EndTree(process, job);
            return RunResult::Stopped;
        }
        if (woke != WAIT_TIMEOUT) break;
        if (watch.onTick && slice == watch.tickMs) watch.onTick();
    }
    EndTree(process, job);
    return RunResult::TimedOut;
}

}  // namespace

RunResult RunBatchAndWait(const std::wstring& batchPath, unsigned long limitMs, const std::wstring& errorPath,
                          const WaitWatch& watch, unsigned long* exitCode) {
    wchar_t system[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return RunResult::NotStarted;
    const std::wstring cmd = std::wstring(system) + L"\\cmd.exe";
    // The outer quotes are cmd's own /c quoting; the inner ones keep a path
    // with spaces whole. /d: no AutoRun command of the user's runs first.
    std::wstring line = L"\"" + cmd + L"\" /d /c \"\"" + batchPath + L"\"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    CWinHandle errors;  // closed once the child is started: it holds its own copy
    if (!errorPath.empty()) {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        // Shared for deletion too: an adb server started by the command may
        // inherit the handle and outlive it.
        errors.Reset(CreateFileW(errorPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (errors) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;  // as a hidden program has: the batch redirects what it needs
        startup.hStdOutput = nullptr;
        startup.hStdError = errors.get();
    }
    PROCESS_INFORMATION info = {};
    const BOOL started = CreateProcessW(cmd.c_str(), &line[0], nullptr, nullptr, errors ? TRUE : FALSE,
                                        CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, &info);
    errors.Reset();
    if (!started) return RunResult::NotStarted;
    const CWinHandle process(info.hProcess), thread(info.hThread);
    // Everything the command starts lives in a job of its own, so that ending
    // it ends exactly those processes. (Nothing is ended when the job closes:
    // an adb server the command started goes on serving.)
    CWinHandle job(g_useJobs ? CreateJobObjectW(nullptr, nullptr) : nullptr);
    if (job && !AssignProcessToJobObject(job.get(), process.get())) job.Reset();
    ResumeThread(thread.get());
    const RunResult result = WaitOrEnd(process, limitMs, watch, job.get());
    DWORD code = 0;
    if (exitCode && result == RunResult::Finished && GetExitCodeProcess(process.get(), &code)) *exitCode = code;
    return result;
}

RunResult RunAndWaitFor(const std::wstring& file, const std::wstring& params, unsigned long limitMs) {
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    // No error box from the shell: a hidden worker must fail quietly, not wait for a click.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = file.c_str();
    info.lpParameters = params.c_str();
    info.nShow = SW_HIDE;
    if (!ShellExecuteExW(&info)) return RunResult::NotStarted;
    if (!info.hProcess) return RunResult::Finished;
    return WaitOrEnd(CWinHandle(info.hProcess), limitMs);
}

bool RunAndWait(const std::wstring& file, const std::wstring& params) {
    return RunAndWaitFor(file, params, kRunWaitLimitMs) != RunResult::NotStarted;
}

std::wstring TodayUtc() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    wchar_t text[16];
    swprintf(text, 16, L"%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

}  // namespace mirq
