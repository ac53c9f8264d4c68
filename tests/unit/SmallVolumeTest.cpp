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
    CFakeHost host;
    TaskInput input;
    input.romPath = std::wstring(volume) + L"\\update.zip";
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    ServiceControl("reset");
    ServiceControl("set?rom_size=1500000");
    // Signed, the size is known: nothing asked for. Unverified, the write that fills the volume ends it.
    for (bool verified : {true, false}) {
        UseLocalService(verified);
        EXPECT_EQ(RunDownloadTask(host, input), kTaskDiskFull);
        const std::wstring box = host.Box(kTaskDiskFull);
        EXPECT_EQ(box.substr(0, 22), L"下载失败: 磁盘空间不足（需要2 MB，可用") << verified;
        EXPECT_EQ(box.substr(box.size() - 16), L" MB），请清理磁盘后重新下载！");
        EXPECT_EQ(ServiceControl("log").find("GET /files/rom") != std::string::npos, !verified);
        EXPECT_FALSE(FileExists(input.romPath) || FileExists(input.romPath + L".part") || FileExists(input.romPath + L".part.info"));
    }
}
