// The command runner through real cmd.exe and the simulated phone.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // a process's parent named at its creation (Vista on)
#include <windows.h>
#include <tlhelp32.h>

#include "util/Thread.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "adb/AdbManager.h"
#include "log/logger.h"

using namespace mirq;
using namespace mirqtest;

namespace {

std::vector<std::wstring> TempFiles() { return ListDir(GetSandbox().temp); }

class AdbRunner : public ::testing::Test {
protected:
    void SetUp() override {
        CSimPhone::Reset("nexus_s");
        adb = CAdbManager::GetInstance();
        adb->Reset();
    }
    CAdbManager* adb = nullptr;
};

}  // namespace

TEST(AdbCommandLine, EmptyArgumentsLeaveTwoSpacesBeforeTheRedirection) {
    EXPECT_EQ(BuildAdbCommandLine(L"C:\\b\\tools\\adb.exe", L"devices", L"", L"C:\\t\\~MQF_5.tmp", CSerial::OnlyDevice()),
              L"\"C:\\b\\tools\\adb.exe\" devices  > \"C:\\t\\~MQF_5.tmp\"");
}

TEST(AdbCommandLine, StartServerHasNoRedirectionAndATrailingSpace) {
    EXPECT_EQ(BuildAdbCommandLine(L"C:\\adb.exe", L"start-server", L"", L"C:\\t\\~MQF_5.tmp", CSerial::OnlyDevice()),
              L"\"C:\\adb.exe\" start-server ");
}

TEST(AdbCommandLine, PercentSignsAreDoubledForTheBatchFile) {
    EXPECT_EQ(BuildAdbCommandLine(L"C:\\100%\\adb.exe", L"push", L"\"C:\\roms\\100%\\u.zip\" /sdcard/x",
                                  L"C:\\t\\o.tmp", CSerial::OnlyDevice()),
              L"\"C:\\100%%\\adb.exe\" push \"C:\\roms\\100%%\\u.zip\" /sdcard/x > \"C:\\t\\o.tmp\"");
    // The phone's serial comes first, quoted: what a phone calls itself stays one word of adb's.
    EXPECT_EQ(BuildAdbCommandLine(L"C:\\adb.exe", L"shell", L"id", L"C:\\t\\o.tmp", CSerial(L"emu&50%")),
              L"\"C:\\adb.exe\" -s \"emu&50%%\" shell id > \"C:\\t\\o.tmp\"");
    EXPECT_EQ(BuildAdbCommandLine(L"C:\\adb.exe", L"shell", L"id", L"C:\\t\\o.tmp", CSerial(L"HW9A 1\\2\\")),
              L"\"C:\\adb.exe\" -s \"HW9A 1\\2\\\\\" shell id > \"C:\\t\\o.tmp\"");  // the last backslash doubled
    EXPECT_FALSE(IsUsableSerial(L"a\"b"));
    EXPECT_FALSE(IsUsableSerial(L"\xD55C\xAE00"));  // Hangul, outside the Chinese code pages
    EXPECT_FALSE(IsUsableSerial(L""));
    EXPECT_TRUE(IsUsableSerial(L"192.168.1.5:5555"));
}

TEST_F(AdbRunner, DevicesRunsThroughCmdAndLeavesNothingBehind) {
    std::wstring out = adb->RunAdbCommand(L"devices", L"");
    EXPECT_EQ(out, L"List of devices attached\n3233A90D1A2B00EC\tdevice");
    EXPECT_EQ(adb->LastOutput(), out);
    EXPECT_TRUE(TempFiles().empty());
    std::vector<std::string> journal = CSimPhone::Journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], "devices  ");  // verb, space, empty arguments, space before ">"
}

TEST_F(AdbRunner, BlankLinesAroundAValueAreTrimmed) {
    CSimPhone::WritePhoneFile("/sdcard/value.txt", "\r\n\r\n  Nexus S  \r\n\r\n");
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"cat /sdcard/value.txt"), L"Nexus S");
    CSimPhone::WritePhoneFile("/sdcard/blank.txt", "\r\n\r\n \t\r\n");
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"cat /sdcard/blank.txt"), L"");
}

TEST_F(AdbRunner, OutputWrittenInPiecesIsReadWhole) {
    CSimPhone::Set("pieces", "1");
    EXPECT_EQ(adb->RunAdbCommand(L"shell getprop", L"ro.build.description"),
              L"soju-user 2.3.4 GRJ22 121341 release-keys");
}

TEST_F(AdbRunner, LongOutputIsReadWhole) {
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); i += 100) big[i] = 'A' + (i / 100) % 26;
    CSimPhone::WritePhoneFile("/sdcard/big.txt", big);
    EXPECT_EQ(WideToUtf8(adb->RunAdbCommand(L"shell", L"cat /sdcard/big.txt")), big);
}

TEST_F(AdbRunner, ChineseAndPercentInArgumentsReachAdbUnchanged) {
    CSimPhone::WritePhoneFile("/sdcard/100%.txt", "ok");
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"ls /sdcard/100%.txt"), L"/sdcard/100%.txt");
    adb->RunAdbCommand(L"shell", L"ls \"/sdcard/刷机 %TEMP% 100%.txt\"");
    // The space before the redirection reaches adb as part of its command line.
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "shell ls \"/sdcard/刷机 %TEMP% 100%.txt\" ");
}

TEST_F(AdbRunner, StartServerReadsNothing) {
    CSimPhone::Set("server", "0");
    CSimPhone::Set("daemon_msgs", "old");  // banner on stdout, still not read
    adb->RunAdbCommand(L"devices", L"");
    CSimPhone::Set("server", "0");
    EXPECT_EQ(adb->RunAdbCommand(L"start-server", L""), L"");
    EXPECT_EQ(CSimPhone::StateValue("server"), "1");
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "start-server ");
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(AdbRunner, StaleBatchFileIsReplaced) {
    WriteBytes(GetSandbox().temp + L"tmp.bat", "echo stale> stale.txt");
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"id"), L"uid=0(root) gid=0(root)");
    EXPECT_FALSE(FileExists(GetSandbox().base + L"\\stale.txt"));
    EXPECT_TRUE(TempFiles().empty());
}

TEST_F(AdbRunner, UncreatableBatchFileKeepsTheLastOutput) {
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"id"), L"uid=0(root) gid=0(root)");
    // A folder named tmp.bat cannot be deleted as a file nor opened for writing.
    ASSERT_TRUE(CreateDirectoryW((GetSandbox().temp + L"tmp.bat").c_str(), nullptr));
    EXPECT_EQ(adb->RunAdbCommand(L"devices", L""), L"");
    EXPECT_EQ(adb->LastOutput(), L"uid=0(root) gid=0(root)");
    EXPECT_EQ(CSimPhone::Journal().size(), 1u);
    RemoveDirectoryW((GetSandbox().temp + L"tmp.bat").c_str());
}

TEST_F(AdbRunner, MissingTempDirectoryFallsBackToTheBaseDirectory) {
    const std::wstring missing = GetSandbox().root + L"gone\\";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    SetEnvironmentVariableW(L"TEMP", missing.c_str());
    EXPECT_EQ(ScratchDirectory(), GetSandbox().base + L"\\");
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"id"), L"uid=0(root) gid=0(root)");
    std::vector<std::wstring> left = ListDir(GetSandbox().base);
    EXPECT_EQ(left, std::vector<std::wstring>{L"tools"});
    SetEnvironmentVariableW(L"TMP", GetSandbox().temp.c_str());
    SetEnvironmentVariableW(L"TEMP", GetSandbox().temp.c_str());
}

TEST_F(AdbRunner, MissingAdbGivesAnEmptyOutput) {
    CSimPhone::Uninstall();
    EXPECT_EQ(adb->RunAdbCommand(L"devices", L""), L"");
    EXPECT_TRUE(TempFiles().empty());
    CSimPhone::Install();
}

TEST_F(AdbRunner, HungCommandIsEndedAfterTheLimit) {
    CSimPhone::Set("hang", "devices");
    adb->SetWaitLimits(3000, kPushBaseLimitMs);
    DWORD start = GetTickCount();
    EXPECT_EQ(adb->RunAdbCommand(L"devices", L""), L"");
    DWORD took = GetTickCount() - start;
    adb->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs);
    EXPECT_EQ(adb->LastRunResult(), RunResult::TimedOut);
    EXPECT_LT(took, 15000u);
    EXPECT_TRUE(TempFiles().empty());
    // The adb process was ended too: the next command runs normally.
    CSimPhone::Set("hang", "");
    EXPECT_EQ(adb->RunAdbCommand(L"shell", L"id"), L"uid=0(root) gid=0(root)");
    EXPECT_EQ(adb->LastRunResult(), RunResult::Finished);
}

TEST_F(AdbRunner, WhatAHungCommandPrintedIsNotTrustedAndItsEndIsAWarning) {
    const std::wstring logBase = GetSandbox().base + L"\\warnings";
    InstallLogHandler(new CFileLogHandler(kLogWarning, 0, logBase, 1 << 20, 0, 0));
    CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", "old");
    CSimPhone::Set("hang_after_output", "shell ls");  // it answers, then never ends
    adb->SetWaitLimits(2000, kPushBaseLimitMs);
    EXPECT_FALSE(adb->RemoteFileExists(CSerial::OnlyDevice(), L"/sdcard/mirq/update.zip"));
    EXPECT_EQ(adb->LastRunResult(), RunResult::TimedOut);
    adb->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs);
    const std::wstring logFile = GetLogHandler()->FileName(ReadLogClock());
    InstallLogHandler(nullptr);  // written and closed
    EXPECT_NE(ReadBytes(logFile).find("adb shell ls /sdcard/mirq/update.zip: ended after its limit"), std::string::npos);
}

TEST_F(AdbRunner, AStopEndsAWaitingCommandAtOnce) {
    CSimPhone::Set("hang", "shell");
    CStopToken stop;
    mirq::CThread stopper([&] {
        Sleep(500);
        stop.Request();
    });
    WaitWatch watch;
    watch.stop = stop.Event();
    const DWORD start = GetTickCount();
    adb->RunAdbCommand(L"shell", L"ls /sdcard", 60000, watch, CSerial::OnlyDevice());
    stopper.Join();
    EXPECT_EQ(adb->LastRunResult(), RunResult::Stopped);
    EXPECT_LT(GetTickCount() - start, 2500u);
}

namespace {

DWORD WINAPI EndAtOnce(void*) { return 0; }

// A thread that starts and ends: it takes the next free id and gives it back.
DWORD CycleId() {
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, EndAtOnce, nullptr, 0, &id);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return id;
}

// A suspended process whose recorded parent has died, staged so that the next
// process started gets the dead parent's id. Wine gives process and thread ids
// from one table, reusing the oldest freed id first, so while threads start and
// end one at a time the free ids go round in a steady order: once the id just
// before the dead parent's has come round, the parent's id is next.
class COrphan {
public:
    ~COrphan() {
        if (m_child.hProcess) TerminateProcess(m_child.hProcess, 0);
        CloseHandle(m_child.hProcess);
        CloseHandle(m_child.hThread);
    }
    bool Stage() {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION parent = {};
        if (!CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED | DETACHED_PROCESS, nullptr,
                            nullptr, &startup, &parent))
            return false;
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<char> list(size);
        STARTUPINFOEXW extended = {};
        extended.StartupInfo.cb = sizeof(extended);
        extended.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
        InitializeProcThreadAttributeList(extended.lpAttributeList, 1, 0, &size);
        UpdateProcThreadAttribute(extended.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent.hProcess,
                                  sizeof(HANDLE), nullptr, nullptr);
        const BOOL made = CreateProcessW(self, nullptr, nullptr, nullptr, FALSE,
                                         CREATE_SUSPENDED | DETACHED_PROCESS | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                         nullptr, &extended.StartupInfo, &m_child);
        DeleteProcThreadAttributeList(extended.lpAttributeList);
        TerminateProcess(parent.hProcess, 0);
        WaitForSingleObject(parent.hProcess, INFINITE);
        CloseHandle(parent.hThread);
        CloseHandle(parent.hProcess);
        m_deadParent = parent.dwProcessId;
        if (!made) return false;
        // The id is free once no process answers to it.
        for (int i = 0; i < 1000; ++i, Sleep(10)) {
            HANDLE gone = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, m_deadParent);
            if (!gone) break;
            CloseHandle(gone);
        }
        DWORD before = 0, id = 0;
        for (int i = 0; i < 20000 && id != m_deadParent; ++i) before = id, id = CycleId();
        if (id != m_deadParent) return false;
        for (int i = 0; i < 20000; ++i)
            if (CycleId() == before) return true;
        return false;
    }
    DWORD DeadParent() const { return m_deadParent; }
    bool ChildAlive() const { return WaitForSingleObject(m_child.hProcess, 0) == WAIT_TIMEOUT; }

private:
    PROCESS_INFORMATION m_child = {};
    DWORD m_deadParent = 0;
};

bool IsRunningCmd(DWORD pid) { return _wcsicmp(ProcessImageName(pid).c_str(), L"cmd.exe") == 0; }

}  // namespace

// Windows keeps a dead parent's id in its children and reuses ids: a command
// that took such an id and timed out must not end the dead parent's children.
TEST_F(AdbRunner, ATimedOutCommandEndsOnlyWhatItStarted) {
    CSimPhone::Set("hang", "devices");
    for (bool jobs : {true, false}) {  // without a job: only what was created after the command started
        SCOPED_TRACE(jobs ? "in a job" : "without a job");
        UseJobObjects(jobs);
        bool staged = false;
        for (int attempt = 0; attempt < 5 && !staged; ++attempt) {
            COrphan orphan;  // another program starting processes may take the id first: try again
            if (!orphan.Stage()) continue;
            WaitWatch watch;
            watch.tickMs = 100;
            watch.onTick = [&] { staged = staged || IsRunningCmd(orphan.DeadParent()); };
            adb->RunAdbCommand(L"devices", L"", 1500, watch, CSerial::OnlyDevice());
            EXPECT_EQ(adb->LastRunResult(), RunResult::TimedOut);
            EXPECT_TRUE(orphan.ChildAlive());
        }
        EXPECT_TRUE(staged) << "no command took the dead parent's id";
    }
    UseJobObjects(true);
}

TEST(CleanUpScript, NamesBothDirectoriesQuoted) {
    EXPECT_EQ(BuildCleanUpScript(L"C:\\Program Files\\Mirq", true, L"C:\\t 100%\\", true),
              L"del \"C:\\Program Files\\Mirq\\~MQF_*.tmp\"\ndel \"C:\\t 100%%\\~MQF_*.tmp\"\n");
    EXPECT_EQ(BuildCleanUpScript(L"C:\\b", true, L"C:\\t\\", false), L"del \"C:\\b\\~MQF_*.tmp\"\n");
}

TEST_F(AdbRunner, KillServerAndCleanUpSweepsLeftoverOutputFiles) {
    const Sandbox& box = GetSandbox();
    for (const std::wstring& dir : {box.base + L"\\", box.temp}) {
        WriteBytes(dir + L"~MQF_123.tmp", "left");
        WriteBytes(dir + L"~MQF_-77.tmp", "left");
        WriteBytes(dir + L"keep.tmp", "keep");
    }
    adb->KillServerAndCleanUp();
    EXPECT_EQ(CSimPhone::StateValue("server"), "0");
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "kill-server  ");
    EXPECT_EQ(ListDir(box.temp), std::vector<std::wstring>{L"keep.tmp"});
    std::vector<std::wstring> base = ListDir(box.base);
    EXPECT_EQ(base.size(), 2u);  // tools and keep.tmp
    EXPECT_TRUE(FileExists(box.base + L"\\keep.tmp"));
}

TEST_F(AdbRunner, CleanUpWithoutTempDirectoryRunsNoScript) {
    const Sandbox& box = GetSandbox();
    WriteBytes(box.base + L"\\~MQF_9.tmp", "left");
    const std::wstring missing = box.root + L"gone\\";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    SetEnvironmentVariableW(L"TEMP", missing.c_str());
    adb->KillServerAndCleanUp();
    SetEnvironmentVariableW(L"TMP", box.temp.c_str());
    SetEnvironmentVariableW(L"TEMP", box.temp.c_str());
    EXPECT_TRUE(FileExists(box.base + L"\\~MQF_9.tmp"));
    EXPECT_EQ(CSimPhone::StateValue("server"), "0");
}
