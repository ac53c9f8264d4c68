// A download onto a volume of 1 MiB. Run only through
// scripts/with-small-volume.sh, which makes the volume (MIRQ_SMALL_VOLUME).
#include <windows.h>

#include <gtest/gtest.h>

#include "FakeHost.h"
#include "TestSupport.h"
#include "app/Tasks.h"

using namespace mirq;
using namespace mirqtest;

TEST(SmallVolume, NothingIsAskedForThatCannotFitAndAFullVolumeIsSaidPlainly) {
    wchar_t volume[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"MIRQ_SMALL_VOLUME", volume, MAX_PATH), 0u);
    ServiceControl("reset");
    CFakeHost host;
    TaskInput input;
    input.romPath = std::wstring(volume) + L"\\update.zip";
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    ServiceControl("set?rom_size=1500000");
    // The signed size is known: nothing asked for, nothing left.
    const std::wstring prefix = L"下载失败: 磁盘空间不足（需要2 MB，可用", suffix = L" MB），请清理磁盘后重新下载！";
    for (bool verified : {true, false}) {
        SCOPED_TRACE(verified);
        UseLocalService(verified);
        EXPECT_EQ(RunDownloadTask(host, input), kTaskDiskFull);
        const std::wstring box = host.Box(kTaskDiskFull);
        EXPECT_EQ(box.compare(0, prefix.size(), prefix), 0) << WideToUtf8(box);
        EXPECT_EQ(box.compare(box.size() - suffix.size(), suffix.size(), suffix), 0) << WideToUtf8(box);
        // Unverified, the size comes with the file: the write that fills the volume ends it.
        EXPECT_EQ(ServiceControl("log").find("GET /files/rom") != std::string::npos, !verified);
        EXPECT_FALSE(FileExists(input.romPath) || FileExists(input.romPath + L".part") ||
                     FileExists(input.romPath + L".part.info"));
    }
}
