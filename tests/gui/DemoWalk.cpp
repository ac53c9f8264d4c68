// The main job in the real window, end to end: the program built with the key
// that mirq-service made (MIRQ_TEST_PROGRAM) on the simulated phone, against
// mirq-service serving a release published with it (scripts/with-mirq-service.sh):
// device check, download, flash. `make demo` walks it with a screenshot of
// each stage saved into the folder named by MIRQ_DEMO_DIR, then shows the
// main window at 144 DPI; `make test` goes round the first walk.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiDriver.h"
#include "res/resource.h"

using namespace mirqtest;

namespace {

// With a box: the main window and the box over it, once the box's text is painted.
void Shot(const CUiDriver& ui, const wchar_t* name, HWND box = nullptr) {
    wchar_t dir[MAX_PATH] = {};
    if (!GetEnvironmentVariableW(L"MIRQ_DEMO_DIR", dir, MAX_PATH)) return;
    const std::wstring path = std::wstring(dir) + L"\\" + name + L".bmp";
    EXPECT_TRUE(box ? ui.SaveScreenshotWithBox(path, box) : ui.SaveScreenshot(path)) << WideToUtf8(name);
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
    EXPECT_EQ(ui.Text(ui.Main(), IDC_MODEL_LABEL), L"Google Nexus S");  // the catalogue's name
    Shot(ui, L"1-device-check");
    Say("phone identified: Google Nexus S");

    const std::wstring package = GetSandbox().base + L"\\MirqROM.zip";
    ui.Click(IDC_DOWNLOAD);
    ASSERT_TRUE(ui.FillFileDialog(L"保存ROM文件到", package));
    HWND progress = ui.WaitWindow(L"下载MirqROM");
    ASSERT_NE(progress, nullptr);
    // Into the package, unless it came faster than a look.
    CUiDriver::WaitUntil([&] { return !IsWindow(progress) || ui.ProgressPos(progress) >= 30; }, 60000);
    if (IsWindow(progress)) Shot(ui, L"2-downloading");
    HWND box = ui.WaitWindow(L"下载完成！", 120000);
    ASSERT_NE(box, nullptr);
    Shot(ui, L"3-downloaded", box);
    ui.AnswerBox(L"下载完成！");
    Say("ROM package and recovery image downloaded");

    ui.Click(IDC_FLASH);
    progress = ui.WaitWindow(L"刷机");
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(ui.WaitProgressAtLeast(progress, 50));  // into the package step
    Shot(ui, L"4-flashing");
    box = ui.WaitWindow(L"刷机完成！", 180000);
    ASSERT_NE(box, nullptr);
    Shot(ui, L"5-flashed", box);
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！"), L"刷机成功，手机已启动新系统：MirqROM 1.0 crespo");  // the published build
    EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
    EXPECT_TRUE(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip") == ReadBytes(package));
    EXPECT_TRUE(CSimPhone::RecoveryPartition() == ReadBytes(GetSandbox().base + L"\\temp\\recovery_crespo.img"));
    // Both answers, the catalogue too, verified with the key the program was built with.
    std::string log;
    for (const std::wstring& name : ListDir(GetSandbox().base + L"\\log")) log += ReadBytes(GetSandbox().base + L"\\log\\" + name);
    EXPECT_NE(log.find("the answer for flash type 1: signature verified"), std::string::npos) << log;
    EXPECT_NE(log.find("the answer for flash type 2: signature verified"), std::string::npos);
    for (const char* place : {"GET http://127.0.0.1:8090/files/", "GET http://127.0.0.1:8091/files/"}) {  // the package from both
        long long most = 0;
        for (size_t at = log.find(place); at != std::string::npos; at = log.find(place, at + 1))
            if (log.compare(log.find(": ", at) - 4, 4, ".zip") == 0) most = std::max(most, atoll(log.c_str() + log.find(": ", at) + 2));
        EXPECT_GT(most, 0) << place;
    }
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
    Shot(ui, L"6-main-window-144dpi");
    Say("the main window at 144 DPI (150 %)");
    PostMessageW(ui.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(ui.WaitExit(15000), 2u);
}
