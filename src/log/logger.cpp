#include "log/logger.h"

#include <mutex>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "util/Utils.h"

namespace mirq {

const wchar_t kLogLevelNames[9][8] = {L"ALL", L"FINEST", L"FINER", L"FINE", L"CONFIG",
                                      L"INFO", L"WARNING", L"SEVERE", L"OFF"};

namespace {

LogClock g_clock = &SystemLogClock;

bool IsMessageLevel(int level) { return level >= kLogFinest && level <= kLogSevere; }

std::string FormatLocal(int64_t seconds, const char* pattern) {
    __time64_t t = seconds;
    struct tm local = {};
    if (_localtime64_s(&local, &t) != 0) return std::string();
    char buf[128] = {};
    strftime(buf, sizeof(buf), pattern, &local);
    return buf;
}

std::wstring FileNamePart(const std::wstring& path) {
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

LogTime SystemLogClock() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const uint64_t kEpochDiff = 116444736000000000ULL;  // 1601 -> 1970 in 100 ns
    uint64_t ms = (ticks - kEpochDiff) / 10000;
    LogTime t;
    t.seconds = static_cast<int64_t>(ms / 1000);
    t.millis = static_cast<uint16_t>(ms % 1000);
    return t;
}

void SetLogClock(LogClock clock) { g_clock = clock ? clock : &SystemLogClock; }
LogTime ReadLogClock() { return g_clock(); }

CLogRecord::CLogRecord(int level, std::wstring tag, std::wstring message, std::wstring sourcePath, int sourceLine)
    : m_level(level), m_sourceLine(0) {
    if (!IsMessageLevel(level)) return;  // ALL and OFF make an empty record
    m_tag = std::move(tag);
    m_message = std::move(message);
    m_sourcePath = std::move(sourcePath);
    m_sourceLine = sourceLine;
    m_time = ReadLogClock();
    m_threadId = GetCurrentThreadId();
    m_processId = GetCurrentProcessId();
}

std::wstring FormatLogLine(const CLogRecord& r) {
    std::wstring when = AnsiToWide(FormatLocal(r.m_time.seconds, "%d/%m/%Y %H:%M:%S."));
    std::wstring source = FileNamePart(r.m_sourcePath);
    static const wchar_t kLinePattern[] = L"[T%ls%3d][PID:%5d][TID:%5d] %20ls (line:%4d) -----> %ls\n";
    int needed = _scwprintf(kLinePattern, when.c_str(), r.m_time.millis, r.m_processId, r.m_threadId, source.c_str(),
                            r.m_sourceLine, r.m_message.c_str());
    std::vector<wchar_t> buf(needed + 1);
    _snwprintf(buf.data(), buf.size(), kLinePattern, when.c_str(), r.m_time.millis, r.m_processId, r.m_threadId,
               source.c_str(), r.m_sourceLine, r.m_message.c_str());
    return std::wstring(buf.data(), needed);
}

CFileLogHandler::CFileLogHandler(int threshold, int firstSequence, std::wstring baseName, uint32_t sizeLimit,
                                 int toConsole, int fileIndex)
    : m_threshold(threshold),
      m_counter(firstSequence),
      m_baseName(std::move(baseName)),
      m_sizeLimit(sizeLimit ? sizeLimit : 1),
      m_toConsole(toConsole),
      m_fileIndex(fileIndex) {}

CFileLogHandler::~CFileLogHandler() {
    CLogRecord marker(m_threshold, L"LOG MESSAGE END", L"===========LOG MESSAGE END===========>>>>>\n",
                      L"src\\log\\logger.cpp", 94);
    Publish(marker);
}

std::wstring CFileLogHandler::FileName(const LogTime& now) const {
    std::wstring date = AnsiToWide(FormatLocal(now.seconds, "%Y%m%d"));
    return m_baseName + L"_" + date + L"_" + std::to_wstring(m_fileIndex) + L".log";
}

int CFileLogHandler::Publish(CLogRecord& record) {
    if (m_threshold == kLogOff || record.m_level < m_threshold || !IsMessageLevel(record.m_level)) return 1;
    record.m_sequence = m_counter++;

    int fd = 2;
    if (!m_toConsole) {
        for (;;) {
            std::wstring name = FileName(ReadLogClock());
            fd = _wsopen(name.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _SH_DENYNO,
                         _S_IREAD | _S_IWRITE);
            if (fd < 0) return 0;
            long size = _filelength(fd);
            if (size < 0) {
                _close(fd);
                return 0;
            }
            if (static_cast<uint32_t>(size) < m_sizeLimit) break;
            _close(fd);
            ++m_fileIndex;
        }
    }
    std::string bytes = WideToOem(FormatLogLine(record));
    int written = _write(fd, bytes.data(), static_cast<unsigned>(bytes.size()));
    if (fd != 2) _close(fd);
    return written == static_cast<int>(bytes.size()) ? 1 : 0;
}

namespace {

// The handler and its lock are never destroyed: a thread still running while
// the process ends (a clean-up past its wait) may log until the very end.
struct CHandlerSlot {
    std::mutex lock;  // workers, the clean-up and the window all write: one record at a time
    CFileLogHandler* handler = nullptr;
};
CHandlerSlot& Slot() {
    static CHandlerSlot* const slot = new CHandlerSlot();
    return *slot;
}

// At exit the handler writes its end marker and goes; later records are dropped.
struct CHandlerEnd {
    ~CHandlerEnd() { InstallLogHandler(nullptr); }
};
CHandlerEnd g_end;

}  // namespace

void InstallLogHandler(CFileLogHandler* handler) {
    CHandlerSlot& slot = Slot();
    std::lock_guard<std::mutex> hold(slot.lock);
    delete slot.handler;
    slot.handler = handler;
}

CFileLogHandler* GetLogHandler() {
    CHandlerSlot& slot = Slot();
    std::lock_guard<std::mutex> hold(slot.lock);
    return slot.handler;
}

int LogMessage(int level, const std::wstring& tag, const std::wstring& message, const wchar_t* sourcePath,
               int sourceLine) {
    CHandlerSlot& slot = Slot();
    std::lock_guard<std::mutex> hold(slot.lock);
    if (!slot.handler) return 1;
    CLogRecord record(level, tag, message, sourcePath, sourceLine);
    return slot.handler->Publish(record);
}

}  // namespace mirq
