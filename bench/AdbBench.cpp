// The adb runner against a direct CreateProcess of the same adb, and the cost
// of whole device checks against the floor the design sets.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "BenchSupport.h"
#include "TestSupport.h"
#include "adb/AdbManager.h"
#include "device/DeviceChecker.h"
#include "device/DeviceModel.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "flash/Flasher.h"
#include "flash/FlashSequence.h"
#include "flash/FlashReadiness.h"
#include "flash/PackageCheck.h"

using namespace mirq;
using namespace mirqtest;
using namespace mirqbench;


namespace {

double g_directMs = 0, g_floorMs = 0;

double DirectMedian() {
    if (g_directMs == 0) {
        auto run = [] { RunAdbDirect(CSimPhone::AdbPath(), L"devices"); };
        TimeRuns(5, run);  // warm: the first starts of a program under Wine are slower
        g_directMs = Median(TimeRuns(21, run));
    }
    return g_directMs;
}

// The floor of the design: cmd.exe started directly on a one-line batch file
// that runs the same adb command with its output redirected to a file.
double FloorMedian() {
    if (g_floorMs == 0) {
        const std::wstring bat = GetSandbox().temp + L"floor.bat";
        const std::wstring out = GetSandbox().temp + L"floor.out";
        // In the OEM code page, as cmd.exe reads batch files (the sandbox path is Chinese).
        WriteBytes(bat, WideToOem(EscapeForBatch(L"\"" + CSimPhone::AdbPath() + L"\" devices  > \"" + out + L"\"")));
        auto run = [&] {
            std::wstring cmd = L"cmd.exe /c \"\"" + bat + L"\"\"";
            STARTUPINFOW si = {};
            si.cb = sizeof(si);
            PROCESS_INFORMATION pi = {};
            CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
            WaitForSingleObject(pi.hProcess, INFINITE);
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        };
        TimeRuns(4, run);
        run();
        if (ReadBytes(out).find("List of devices attached") == std::string::npos) printf("BENCH floor batch did not run adb\n");
        g_floorMs = Median(TimeRuns(21, [&] {
            run();
            DeleteFileW(out.c_str());
        }));
        DeleteFileW(bat.c_str());
    }
    return g_floorMs;
}

const char* Verdict(bool met) { return met ? "MET" : "MISSED"; }

}  // namespace

TEST(Bench, RunnerAgainstItsFloor) {
    CSimPhone::Reset("nexus_s");
    CAdbManager* adb = CAdbManager::GetInstance();
    for (int i = 0; i < 3; ++i) adb->RunAdbCommand(L"devices", L"");  // warm
    const double floor = FloorMedian(), direct = DirectMedian();
    const double runner = Median(TimeRuns(21, [&] { adb->RunAdbCommand(L"devices", L""); }));
    printf("BENCH adb runner: RunAdbCommand median %.1f ms; floor (cmd /c one-line batch) %.1f ms; direct adb %.1f ms; "
           "runner / floor = %.2f (target <= 1.5) %s; runner / direct = %.2f\n",
           runner, floor, direct, runner / floor, Verdict(runner <= 1.5 * floor), runner / direct);
}

TEST(Bench, DeviceCheckAgainstItsFloor) {
    CSimPhone::Reset("nexus_s");
    CDeviceChecker* checker = CDeviceChecker::GetInstance();
    const double floor = FloorMedian();
    // The median of five checks each: one slow start of a program under Wine
    // decides a single check of a few commands.
    for (int repeat = 0; repeat < 2; ++repeat) {
        size_t commands = 0;
        std::vector<double> times;
        for (int run = 0; run < 5; ++run) {
            if (repeat == 0) CDeviceModel::GetInstance()->Reset();  // else the phone is known from the last
            CSimPhone::ClearJournal();
            const double start = NowMs();
            EXPECT_EQ(checker->Check(), 0);
            times.push_back(NowMs() - start);
            commands = CSimPhone::Journal().size();
        }
        // The device list and one line of every property and the root state
        // (a new phone: at most three commands; the same phone again: two).
        const double took = Median(times);
        const double budget = 3 * floor;
        const size_t mostCommands = repeat ? 2 : 3;
        printf("BENCH device check (%s): median %.0f ms for %u adb commands (%.2f floors); target <= %u commands and "
               "<= 3 floors = %.0f ms %s\n",
               repeat ? "same phone again" : "new phone", took, static_cast<unsigned>(commands), took / floor,
               static_cast<unsigned>(mostCommands), budget, Verdict(took <= budget && commands <= mostCommands));
    }
}

// The flashers' own cost: a phone read, the package verification, the checks
// that the flash can finish, the recovery step and the package step (its
// reboot confirmed) with small files, so that the transfers take next to nothing.
TEST(Bench, FlashOverheadAgainstItsFloor) {
    CSimPhone::Reset("nexus_s");
    WriteBytes(GetSandbox().base + L"\\tools\\flash_image", MakeContent(30000, 9));
    // The image as the service signs it (one placed by hand is never flashed), fetched before the clock starts.
    ASSERT_TRUE(CDownloaderScope(2, BuiltInRows())->FetchRecovery(RecoveryImagePath(2)));
    const std::wstring package = GetSandbox().base + L"\\update.zip";
    WriteBytes(package, MakePackage(20000, 4));
    const double floor = FloorMedian();
    CDeviceModel::GetInstance()->Reset();
    CSimPhone::ClearJournal();
    const double start = NowMs();
    EXPECT_EQ(CDeviceChecker::GetInstance()->Check(), 0);
    RomContents contents;
    EXPECT_EQ(CheckRomPackage(package, nullptr, &contents), PackageCheck::Ok);
    const double checksStart = NowMs();
    const size_t commandsBefore = CSimPhone::Journal().size();
    EXPECT_EQ(CheckFlashReadiness(CSerial::OnlyDevice(), package, contents, RecoveryImagePath(2), CStopToken::Never()).verdict,
              Readiness::Ready);
    const double checks = NowMs() - checksStart;
    const size_t checkCommands = CSimPhone::Journal().size() - commandsBefore;
    EXPECT_TRUE(RemoveRecoveryScript(CSerial::OnlyDevice()));
    EXPECT_EQ(CreateRecoveryFlasher(2, L"")->Flash(), 0);
    EXPECT_EQ(CreateKestrelbox(2, package)->Flash(false), 0);
    const double took = NowMs() - start;
    const size_t commands = CSimPhone::Journal().size();
    const double budget = 1.5 * commands * floor;
    printf("BENCH whole flash overhead: %.0f ms for %u adb commands; target <= 1.5 x %u floors = %.0f ms %s\n", took,
           static_cast<unsigned>(commands), static_cast<unsigned>(commands), budget, Verdict(took <= budget));
    printf("BENCH checks before a flash: %.0f ms for %u adb commands\n", checks, static_cast<unsigned>(checkCommands));
}

// What measuring the file on the phone about once a second costs a push:
// the same slow push (the phone takes 1 MB/s) with and without the poll.
TEST(Bench, PushProgressPolling) {
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("push_rate", "1048576");
    const std::wstring local = GetSandbox().base + L"\\push.bin";
    WriteBytes(local, MakeContent(5 << 20, 6));
    CAdbManager* adb = CAdbManager::GetInstance();
    double plain = 1e9, polled = 1e9;
    int polls = 0;
    for (int repeat = 0; repeat < 2; ++repeat) {
        double start = NowMs();
        EXPECT_TRUE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/push.bin"));
        plain = std::min(plain, NowMs() - start);
        polls = 0;
        start = NowMs();
        EXPECT_TRUE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/push.bin", nullptr, [&](long long, long long) { ++polls; }));
        polled = std::min(polled, NowMs() - start);
    }
    printf("BENCH push of 5 MiB at 1 MiB/s: %.0f ms plain, %.0f ms with %d size polls (%+.1f %%)\n", plain, polled,
           polls, (polled - plain) * 100.0 / plain);
}

namespace {

void Put(FILE* f, unsigned long value, int bytes) {
    for (int i = 0; i < bytes; ++i) fputc(static_cast<int>((value >> (8 * i)) & 0xFF), f);
}

// A one-entry stored zip of `size` bytes, written piece by piece: too large
// to be built in a 32-bit program's memory.
void WriteLargeStoredZip(const std::wstring& path, size_t size) {
    FILE* f = _wfopen(path.c_str(), L"wb");
    const std::string piece = MakeContent(1 << 20, 5);
    unsigned long crc = crc32(0, Z_NULL, 0);
    for (size_t done = 0; done < size; done += piece.size())
        crc = crc32(crc, reinterpret_cast<const Bytef*>(piece.data()), static_cast<uInt>(piece.size()));
    const std::string name = "system/payload.bin";
    auto fields = [&] {
        Put(f, 20, 2), Put(f, 0, 2), Put(f, 0, 2), Put(f, 0, 2), Put(f, 0x21, 2);
        Put(f, crc, 4), Put(f, static_cast<unsigned long>(size), 4), Put(f, static_cast<unsigned long>(size), 4);
        Put(f, static_cast<unsigned long>(name.size()), 2);
    };
    Put(f, 0x04034b50, 4), fields(), Put(f, 0, 2), fputs(name.c_str(), f);
    for (size_t done = 0; done < size; done += piece.size()) fwrite(piece.data(), 1, piece.size(), f);
    const unsigned long centralAt = static_cast<unsigned long>(ftell(f));
    Put(f, 0x02014b50, 4), Put(f, 20, 2), fields();
    Put(f, 0, 2), Put(f, 0, 2), Put(f, 0, 2), Put(f, 0, 2), Put(f, 0, 4), Put(f, 0, 4), fputs(name.c_str(), f);
    const unsigned long centralSize = static_cast<unsigned long>(ftell(f)) - centralAt;
    Put(f, 0x06054b50, 4), Put(f, 0, 2), Put(f, 0, 2), Put(f, 1, 2), Put(f, 1, 2);
    Put(f, centralSize, 4), Put(f, centralAt, 4), Put(f, 0, 2);
    fclose(f);
}

}  // namespace

TEST(Bench, PackageVerification) {
    const std::wstring path = GetSandbox().base + L"\\big.zip";
    for (bool deflate : {false, true}) {
        if (deflate) {  // compressible, as system images are
            std::string payload = MakeContent(64u << 20, 5);
            for (size_t i = 0; i < payload.size(); i += 4) payload[i] = payload[i + 1] = 0;
            WriteBytes(path, MakeZip({{"system/payload.bin", payload}}, true));
        } else {
            WriteLargeStoredZip(path, 200u << 20);
        }
        WIN32_FILE_ATTRIBUTE_DATA data;
        GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
        const double mib = data.nFileSizeLow / 1048576.0;
        CheckRomPackage(path, nullptr);  // warm the file cache
        const double start = NowMs();
        EXPECT_EQ(CheckRomPackage(path, nullptr), PackageCheck::Ok);
        const double took = NowMs() - start;
        printf("BENCH package verification (%s, %s): %.0f MiB in %.2f s (%.0f MiB/s)\n",
               deflate ? "deflated" : "stored", deflate ? "64 MiB inflated" : "200 MiB", mib, took / 1000,
               mib / (took / 1000));
    }
    DeleteFileW(path.c_str());
}
