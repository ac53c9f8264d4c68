#pragma once
// A small leveled logger: records are built by callers and written by a
// handler as one line each, to daily, size-rolled files or to stderr. The
// program installs no handler, so it writes no log unless one is installed.
#include <cstdint>
#include <string>

namespace mirq {

enum LogLevel {
    kLogAll = 0,
    kLogFinest = 1,
    kLogFiner = 2,
    kLogFine = 3,
    kLogConfig = 4,
    kLogInfo = 5,
    kLogWarning = 6,
    kLogSevere = 7,
    kLogOff = 8,
};
extern const wchar_t kLogLevelNames[9][8];

struct LogTime {
    int64_t seconds = 0;      // since 1970-01-01 UTC
    uint16_t millis = 0;
};
// The clock of records and file names; replaceable so tests can pin it.
typedef LogTime (*LogClock)();
LogTime SystemLogClock();
void SetLogClock(LogClock clock);
LogTime ReadLogClock();

class CLogRecord {
public:
    CLogRecord(int level, std::wstring tag, std::wstring message, std::wstring sourcePath, int sourceLine);

    int m_level;
    std::wstring m_tag;
    std::wstring m_message;
    LogTime m_time;
    int m_sequence = 0;
    std::wstring m_sourcePath;
    int m_sourceLine;
    uint32_t m_threadId = 0;
    uint32_t m_processId = 0;
};

class CLogHandler {
public:
    // 1 when written or dropped by the threshold, 0 when it could not be written.
    virtual int Publish(CLogRecord& record) = 0;

protected:
    ~CLogHandler() = default;
};

class CFileLogHandler final : public CLogHandler {
public:
    CFileLogHandler(int threshold, int firstSequence, std::wstring baseName, uint32_t sizeLimit,
                    int toConsole, int fileIndex);
    ~CFileLogHandler();  // writes the end marker
    CFileLogHandler(const CFileLogHandler&) = delete;
    CFileLogHandler& operator=(const CFileLogHandler&) = delete;

    int Publish(CLogRecord& record) override;
    int FileIndex() const { return m_fileIndex; }
    std::wstring FileName(const LogTime& now) const;

private:
    int m_threshold;
    int m_counter;
    std::wstring m_baseName;
    uint32_t m_sizeLimit;
    int m_toConsole;
    int m_fileIndex;
};

// The line a record is written as (before the 1022-character cut).
std::wstring FormatLogLine(const CLogRecord& record);

// The process-wide handler slot; its handler is destroyed at process exit.
void InstallLogHandler(CFileLogHandler* handler);
CFileLogHandler* GetLogHandler();
int LogMessage(int level, const std::wstring& tag, const std::wstring& message, const wchar_t* sourcePath,
               int sourceLine);

#define MIRQ_WIDEN2(x) L##x
#define MIRQ_WIDEN(x) MIRQ_WIDEN2(x)
#define MIRQ_LOG(level, tag, message) ::mirq::LogMessage((level), (tag), (message), MIRQ_WIDEN(__FILE__), __LINE__)

}  // namespace mirq
