// The demo's walk through the main job on the simulated phone and the local
// service: device check, download, flash, with a screenshot of each stage
// saved into the folder named by MIRQ_DEMO_DIR; then the main window at 144 DPI.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiDriver.h"
#include "res/resource.h"

using namespace mirqtest;

namespace {

std::wstring Shot(const wchar_t* name) {
    wchar_t dir[MAX_PATH] = {};
    GetEnvironmentVariableW(L"MIRQ_DEMO_DIR", dir, MAX_PATH);
    return std::wstring(dir) + L"\\" + name + L".bmp";
}

void Say(const char* what) {
    printf("demo: %s\n", what);
    fflush(stdout);
}

}  // namespace

TEST(Demo, WalkTheMainJob) {
    WriteBytes(GetSandbox().base + L"\\tools\\flash_image", MakeContent(30000, 9));
    CSimPhone::Reset("nexus_s");
    CUiDriver ui;
    ASSERT_TRUE(ui.Launch());
    Say("program started; closing the start-up tips");
    ASSERT_TRUE(ui.PassStartup());
    ASSERT_TRUE(ui.WaitControlsBack());
    ui.SaveScreenshot(Shot(L"1-device-check"));
    Say("phone identified: Google Nexus S");

    // A package large and slow enough to watch it arrive.
    ServiceControl("set?rom_size=12000000&slow_ms=40");
    const std::wstring package = GetSandbox().base + L"\\MirqROM.zip";
    ui.Click(IDC_DOWNLOAD);
    ASSERT_TRUE(ui.FillFileDialog(L"保存ROM文件到", package));
    HWND progress = ui.WaitWindow(L"下载MirqROM");
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(ui.WaitProgressAtLeast(progress, 30));  // into the package
    ui.SaveScreenshot(Shot(L"2-downloading"));
    ASSERT_NE(ui.WaitWindow(L"下载完成！", 120000), nullptr);
    ui.SaveScreenshot(Shot(L"3-downloaded"));
    ui.AnswerBox(L"下载完成！");
    Say("ROM package and recovery image downloaded");

    ui.Click(IDC_FLASH);
    progress = ui.WaitWindow(L"刷机");
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(ui.WaitProgressAtLeast(progress, 50));  // into the package step
    ui.SaveScreenshot(Shot(L"4-flashing"));
    ASSERT_NE(ui.WaitWindow(L"刷机完成！", 180000), nullptr);
    ui.SaveScreenshot(Shot(L"5-flashed"));
    ui.AnswerBox(L"刷机完成！");
    EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), ReadBytes(package));
    Say("flashed: the phone rebooted into recovery with the package and the script");
    PostMessageW(ui.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(ui.WaitExit(15000), 2u);
}

TEST(Demo, TheMainWindowAt144Dpi) {
    CSimPhone::Reset("nexus_s");
    CSystemDpi large(144);
    CUiDriver ui;
    ASSERT_TRUE(ui.Launch());
    ASSERT_TRUE(ui.PassStartup());
    ui.SaveScreenshot(Shot(L"6-main-window-144dpi"));
    Say("the main window at 144 DPI (150 %)");
    PostMessageW(ui.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(ui.WaitExit(15000), 2u);
}
