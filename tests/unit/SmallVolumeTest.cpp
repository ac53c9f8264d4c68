// A download onto a volume of 1 MiB. Run only through
// scripts/with-small-volume.sh, which makes the volume (MIRQ_SMALL_VOLUME).
#include <windows.h>

#include <gtest/gtest.h>

#include "FakeHost.h"
#include "TestSupport.h"
#include "app/Tasks.h"
#include "util/Thread.h"

using namespace mirq;
using namespace mirqtest;

TEST(SmallVolume, NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly) {
    wchar_t volume[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"MIRQ_SMALL_VOLUME", volume, MAX_PATH), 0u);
    CFakeHost host;
    TaskInput input;
    input.romPath = std::wstring(volume) + L"\\update.zip";
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    // A part of an earlier release (another address) takes room the new one
    // needs: removed first. A download that broke off resumes where the
    // volume has room for the rest only.
    ServiceControl("reset");
    ServiceControl("set?rom_size=700000");
    WriteBytes(input.romPath + L".part", std::string(600000, 'o'));
    WriteBytes(input.romPath + L".part.info", "http://127.0.0.1:1/files/rom/crespo-1.0.zip\n\"old\"\n600000\n");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    EXPECT_FALSE(FileExists(input.romPath + L".part"));
    DeleteFileW(input.romPath.c_str());
    ServiceControl("set?rom_size=900000&cut_after=500000");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadFailed);
    ServiceControl("set?cut_after=");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    EXPECT_NE(ServiceControl("log").find("range asked"), std::string::npos);
    DeleteFileW(input.romPath.c_str());
    ServiceControl("reset");
    ServiceControl("set?rom_size=1500000");
    // Signed, the size is known: nothing asked for. Unverified, the write that
    // fills the volume ends it. The box names the volume, with what is free
    // once the part is gone.
    for (bool verified : {true, false}) {
        UseLocalService(verified);
        EXPECT_EQ(RunDownloadTask(host, input), kTaskDiskFull);
        EXPECT_EQ(host.Box(kTaskDiskFull),
                  L"下载失败: 磁盘" + std::wstring(volume) + L"\\空间不足（需要2 MB，可用1 MB），请清理磁盘后重新下载！")
            << verified;
        EXPECT_EQ(ServiceControl("log").find("GET /files/rom") != std::string::npos, !verified);
        EXPECT_FALSE(FileExists(input.romPath) || FileExists(input.romPath + L".part") || FileExists(input.romPath + L".part.info"));
    }
    // Resumed, unverified, until the volume is full: the part goes, so the box asks for the whole file.
    ServiceControl("set?cut_after=500000");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadFailed);
    EXPECT_TRUE(FileExists(input.romPath + L".part"));
    ServiceControl("reset");
    ServiceControl("set?rom_size=1500000");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDiskFull);
    EXPECT_NE(ServiceControl("log").find("range asked"), std::string::npos);
    EXPECT_EQ(host.Box(kTaskDiskFull),
              L"下载失败: 磁盘" + std::wstring(volume) + L"\\空间不足（需要2 MB，可用1 MB），请清理磁盘后重新下载！");
    // In pieces: the room is counted before the first GET too; a volume that fills meanwhile ends it as full, nothing left.
    UseLocalService();
    ServiceControl("reset");
    ServiceControl("set?rom_size=1500000&piece_size=65536");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDiskFull);
    EXPECT_EQ(ServiceControl("log").find("GET /files/rom"), std::string::npos);
    ServiceControl("set?rom_size=900000&slow_ms=1000");  // a piece a second on each connection after the first
    const std::wstring filler = std::wstring(volume) + L"\\filler";
    mirq::CThread filling([&] {
        for (int i = 0; i < 3000 && !FileExists(input.romPath + L".part.pieces"); ++i) Sleep(10);
        WriteBytes(filler, std::string(1 << 20, 0));  // as much as the volume still holds
    });
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDiskFull);
    filling.Join();
    EXPECT_FALSE(FileExists(input.romPath + L".part") || FileExists(input.romPath + L".part.pieces"));
    DeleteFileW(filler.c_str());
}
