// The logger against real files in the sandbox.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <ctime>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "log/logger.h"

using namespace mirq;
using namespace mirqtest;

namespace {

LogTime g_now;
LogTime FixedClock() { return g_now; }

// 2026-12-07 is the date of the pinned clock in local time.
int64_t LocalNoon() {
    struct tm t = {};
    t.tm_year = 126;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return _mktime64(&t);
}

class Logger : public ::testing::Test {
protected:
    void SetUp() override {
        g_now.seconds = LocalNoon();
        g_now.millis = 5;
        SetLogClock(&FixedClock);
        dir = GetSandbox().base + L"\\logs";
        CreateDirectoryW(dir.c_str(), nullptr);
        base = dir + L"\\mirq";
    }
    void TearDown() override { SetLogClock(nullptr); }
    std::string File(int index, const wchar_t* date = L"20261207") {
        return ReadBytes(base + L"_" + date + L"_" + std::to_wstring(index) + L".log");
    }

    std::wstring dir, base;
};

CLogRecord Info(const std::wstring& message, const wchar_t* source = L"C:\\src\\adb\\AdbManager.cpp") {
    return CLogRecord(kLogInfo, L"tag", message, source, 42);
}

}  // namespace

TEST(LogLevels, NineNames) {
    EXPECT_STREQ(kLogLevelNames[kLogAll], L"ALL");
    EXPECT_STREQ(kLogLevelNames[kLogWarning], L"WARNING");
    EXPECT_STREQ(kLogLevelNames[kLogOff], L"OFF");
}

TEST(LogRecords, AllAndOffAreEmpty) {
    CLogRecord all(kLogAll, L"t", L"m", L"p", 1);
    EXPECT_TRUE(all.m_message.empty());
    EXPECT_EQ(all.m_threadId, 0u);
    CLogRecord info(kLogInfo, L"t", L"m", L"p", 1);
    EXPECT_EQ(info.m_threadId, GetCurrentThreadId());
    EXPECT_EQ(info.m_processId, GetCurrentProcessId());
}

TEST_F(Logger, LineFormat) {
    CLogRecord r = Info(L"hello");
    std::wstring line = FormatLogLine(r);
    wchar_t expected[256];
    swprintf(expected, 256, L"[T07/12/2026 12:00:00.  5][PID:%5u][TID:%5u]       AdbManager.cpp (line:  42) -----> hello\n",
             (unsigned)GetCurrentProcessId(), (unsigned)GetCurrentThreadId());
    EXPECT_EQ(line, expected);
    CLogRecord slashes = Info(L"x", L"src/adb/AdbManager.cpp");
    EXPECT_NE(FormatLogLine(slashes).find(L"] src/adb/AdbManager.cpp (line:"), std::wstring::npos);
}

TEST_F(Logger, WritesOneLinePerRecordAndTheEndMarkerLast) {
    {
        CFileLogHandler handler(kLogInfo, 0, base, 1 << 20, 0, 0);
        CLogRecord a = Info(L"first"), b = Info(L"second");
        EXPECT_EQ(handler.Publish(a), 1);
        EXPECT_EQ(handler.Publish(b), 1);
        EXPECT_EQ(a.m_sequence, 0);
        EXPECT_EQ(b.m_sequence, 1);
        EXPECT_NE(File(0).find("-----> second\n"), std::string::npos);
    }
    std::string text = File(0);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4);  // the marker ends in two
    const std::string tail = "logger.cpp (line:  94) -----> ===========LOG MESSAGE END===========>>>>>\n\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST_F(Logger, DroppedRecordIsNotNumbered) {
    CFileLogHandler handler(kLogWarning, 10, base, 1 << 20, 0, 0);
    CLogRecord low = Info(L"dropped");
    CLogRecord high(kLogSevere, L"t", L"kept", L"f.cpp", 1);
    EXPECT_EQ(handler.Publish(low), 1);
    EXPECT_EQ(handler.Publish(high), 1);
    EXPECT_EQ(low.m_sequence, 0);
    EXPECT_EQ(high.m_sequence, 10);
    EXPECT_EQ(File(0).find("dropped"), std::string::npos);
}

TEST_F(Logger, OffWritesNothingNotEvenTheMarker) {
    {
        CFileLogHandler handler(kLogOff, 0, base, 1 << 20, 0, 0);
        CLogRecord r(kLogSevere, L"t", L"m", L"f", 1);
        EXPECT_EQ(handler.Publish(r), 1);
    }
    EXPECT_TRUE(ListDir(dir).empty());
}

TEST_F(Logger, FileAtTheSizeLimitRollsToTheNextIndex) {
    WriteBytes(base + L"_20261207_3.log", std::string(100, 'x'));
    CFileLogHandler handler(kLogInfo, 0, base, 100, 0, 3);
    CLogRecord r = Info(L"rolled");
    EXPECT_EQ(handler.Publish(r), 1);
    EXPECT_EQ(handler.FileIndex(), 4);
    EXPECT_EQ(File(3), std::string(100, 'x'));
    EXPECT_NE(File(4).find("rolled"), std::string::npos);
    // Below the limit the file is written even if the line takes it past.
    WriteBytes(base + L"_20261207_4.log", std::string(99, 'x'));
    CLogRecord again = Info(L"again");
    handler.Publish(again);
    EXPECT_EQ(handler.FileIndex(), 4);
}

TEST_F(Logger, NewDayKeepsTheIndex) {
    CFileLogHandler handler(kLogInfo, 0, base, 1 << 20, 0, 2);
    CLogRecord r = Info(L"today");
    handler.Publish(r);
    g_now.seconds += 24 * 3600;
    CLogRecord t = Info(L"tomorrow");
    handler.Publish(t);
    EXPECT_NE(File(2, L"20261208").find("tomorrow"), std::string::npos);
    EXPECT_EQ(File(2).find("tomorrow"), std::string::npos);
}

TEST_F(Logger, LongLineIsCutWithoutItsLineFeed) {
    CFileLogHandler handler(kLogInfo, 0, base, 1 << 20, 0, 0);
    CLogRecord r = Info(std::wstring(2000, L'y'));
    handler.Publish(r);
    std::string text = File(0);
    EXPECT_EQ(text.size(), 1022u);
    EXPECT_EQ(text.back(), 'y');
}

TEST_F(Logger, UnwritableDirectoryFailsAndKeepsTheIndex) {
    CFileLogHandler handler(kLogInfo, 0, dir + L"\\missing\\mirq", 1 << 20, 0, 5);
    CLogRecord r = Info(L"lost");
    EXPECT_EQ(handler.Publish(r), 0);
    EXPECT_EQ(handler.FileIndex(), 5);
}

TEST_F(Logger, ConsoleModeWritesToStandardErrorAndCreatesNoFile) {
    const std::wstring errPath = dir + L"\\stderr.txt";
    int saved = _dup(2);
    int fd = _wopen(errPath.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    ASSERT_GE(fd, 0);
    _dup2(fd, 2);
    {
        CFileLogHandler handler(kLogInfo, 0, base, 1 << 20, 1, 0);
        CLogRecord r = Info(L"to stderr");
        EXPECT_EQ(handler.Publish(r), 1);
    }
    _dup2(saved, 2);
    _close(fd);
    _close(saved);
    std::string text = ReadBytes(errPath);
    EXPECT_NE(text.find("-----> to stderr\n"), std::string::npos);
    EXPECT_NE(text.find("LOG MESSAGE END"), std::string::npos);
    EXPECT_EQ(ListDir(dir), std::vector<std::wstring>{L"stderr.txt"});
}

TEST_F(Logger, ConvenienceEntryNamesTheCaller) {
    EXPECT_EQ(MIRQ_LOG(kLogInfo, L"t", L"no handler"), 1);
    InstallLogHandler(new CFileLogHandler(kLogFinest, 0, base, 1 << 20, 0, 0));
    MIRQ_LOG(kLogInfo, L"t", L"from the test");
    InstallLogHandler(nullptr);
    std::string text = File(0);
    EXPECT_NE(text.find(" tests/unit/LoggerTest.cpp (line:"), std::string::npos);  // not the build machine's path
    EXPECT_NE(text.find("from the test"), std::string::npos);
}
