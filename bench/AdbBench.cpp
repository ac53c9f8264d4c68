// The adb runner against a direct CreateProcess of the same adb, and the cost
// of whole device checks against the floor the design sets.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "BenchSupport.h"
#include "TestSupport.h"
#include "adb/AdbManager.h"
#include "device/DeviceChecker.h"
#include "device/DeviceModel.h"

using namespace mirq;
using namespace mirqtest;
using namespace mirqbench;


namespace {
double g_directMs = 0;

double DirectMedian() {
    if (g_directMs == 0) {
        auto run = [] { RunAdbDirect(CSimPhone::AdbPath(), L"devices"); };
        TimeRuns(5, run);  // warm: the first starts of a program under Wine are slower
        auto t = TimeRuns(21, run);
        g_directMs = Median(t);
    }
    return g_directMs;
}
}  // namespace

TEST(Bench, RunnerAgainstDirectProcess) {
    CSimPhone::Reset("nexus_s");
    CAdbManager* adb = CAdbManager::GetInstance();
    for (int i = 0; i < 3; ++i) adb->RunAdbCommand(L"devices", L"");  // warm
    double direct = DirectMedian();
    double runner = Median(TimeRuns(21, [&] { adb->RunAdbCommand(L"devices", L""); }));
    double ratio = (runner - 500.0) / direct;
    printf("BENCH adb runner: RunAdbCommand median %.1f ms, direct CreateProcess median %.1f ms, "
           "(runner - 500) / direct = %.2f (target <= 2.0) %s\n",
           runner, direct, ratio, ratio <= 2.0 ? "MET" : "MISSED");
}

TEST(Bench, DeviceCheckAgainstItsFloor) {
    CSimPhone::Reset("nexus_s");
    CDeviceChecker* checker = CDeviceChecker::GetInstance();
    double direct = DirectMedian();
    for (int repeat = 0; repeat < 2; ++repeat) {
        if (repeat == 0) CDeviceModel::GetInstance()->Reset();
        CSimPhone::ClearJournal();
        double start = NowMs();
        EXPECT_EQ(checker->Check(), 0);
        double took = NowMs() - start;
        size_t commands = CSimPhone::Journal().size();
        double floor = commands * (500.0 + direct);
        printf("BENCH device check (%s): %.0f ms for %u adb commands, floor %.0f ms, %.1f%% over (target <= 10%%) %s\n",
               repeat ? "same phone again" : "new phone", took, static_cast<unsigned>(commands), floor,
               (took / floor - 1) * 100, took <= floor * 1.1 ? "MET" : "MISSED");
    }
}

// Where the runner's time goes: the shell start and cmd.exe, apart from adb itself.
TEST(Bench, RunnerCostParts) {
    const std::wstring bat = GetSandbox().temp + L"probe.bat";
    WriteBytes(bat, "exit");
    auto shell = [&] {
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
        info.lpFile = bat.c_str();
        info.lpParameters = L"";
        info.nShow = SW_HIDE;
        ShellExecuteExW(&info);
        WaitForSingleObject(info.hProcess, INFINITE);
        CloseHandle(info.hProcess);
    };
    auto create = [&] {
        std::wstring cmd = L"cmd.exe /c \"" + bat + L"\"";
        STARTUPINFOW si = {sizeof(si)};
        PROCESS_INFORMATION pi = {};
        CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    };
    shell(); create();
    printf("BENCH runner parts: shell-execute empty batch %.1f ms; CreateProcess cmd /c empty batch %.1f ms; direct adb %.1f ms\n",
           Median(TimeRuns(10, shell)), Median(TimeRuns(10, create)),
           Median(TimeRuns(10, [] { RunAdbDirect(CSimPhone::AdbPath(), L"devices"); })));
}
