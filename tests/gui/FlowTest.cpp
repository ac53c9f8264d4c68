// The whole job in the real window: download and flash with the simulated
// phone and the local service.
#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiDriver.h"
#include "res/resource.h"

using namespace mirqtest;

namespace {

const wchar_t* const kFlashDone = L"请拔除usb线等候手机自动重启，重启过程中请勿操作手机！";
const wchar_t* const kReplug = L"请重新插拔USB线，保证手机与PC的连接良好后重新刷机！";

class Flow : public CServiceTest {
protected:
    void SetUp() override {
        CServiceTest::SetUp();
        WriteBytes(GetSandbox().base + L"\\tools\\flash_image", MakeContent(30000, 9));
    }
    void Start(const char* profile) {
        CSimPhone::Reset(profile);
        ASSERT_TRUE(ui.Launch());
        ASSERT_TRUE(ui.PassStartup());
    }
    static std::string Served(const std::wstring& path) {
        std::string body;
        EXPECT_TRUE(HttpGet(ServiceUrl(path), body));
        return body;
    }
    // Runs a task to its end, reading the bar every 20 ms.
    std::vector<int> Watch(const std::wstring& caption, DWORD limitMs = 180000) {
        std::vector<int> positions;
        HWND progress = ui.WaitWindow(caption, 15000);
        EXPECT_NE(progress, nullptr);
        DWORD start = GetTickCount();
        while (progress && IsWindow(progress) && IsWindowVisible(progress) && GetTickCount() - start < limitMs) {
            int pos = ui.ProgressPos(progress);
            // A window hidden after the read may have answered from its destruction.
            if (IsWindowVisible(progress) && (positions.empty() || positions.back() != pos)) positions.push_back(pos);
            Sleep(20);
        }
        return positions;
    }
    void WaitControlsBack() {
        DWORD start = GetTickCount();
        while (!ui.Enabled(IDC_KEEP_DATA) && GetTickCount() - start < 15000) Sleep(50);
        EXPECT_TRUE(ui.Enabled(IDC_REFRESH));
        EXPECT_TRUE(ui.Enabled(IDC_KEEP_DATA));
    }
    void ExpectNoBox() {
        Sleep(800);
        for (const wchar_t* c : {L"下载完成！", L"刷机完成！", L"刷机失败", L"异常提示", L"不支持该设备"})
            EXPECT_EQ(ui.FindWindowNow(c), nullptr) << WideToUtf8(c);
    }
    bool Download(const std::wstring& target) {
        ui.Click(IDC_DOWNLOAD);
        return ui.FillFileDialog(L"保存ROM文件到", target);
    }
    CUiDriver ui;
};

bool IsSorted(const std::vector<int>& v) { return std::is_sorted(v.begin(), v.end()); }

}  // namespace

TEST_F(Flow, DownloadBringsTheImageAndThePackage) {
    Start("nexus_s");
    const std::wstring target = GetSandbox().base + L"\\下载 100%\\mirq.zip";
    CreateDirectoryW((GetSandbox().base + L"\\下载 100%").c_str(), nullptr);
    ServiceControl("set?slow_ms=30&rom_size=3000000");
    ASSERT_TRUE(Download(target));
    std::vector<int> bar = Watch(L"下载MirqROM");
    EXPECT_EQ(ui.AnswerBox(L"下载完成！", 20000), L"ROM路径已正确设置，请点击“刷机”按钮直接刷机！");
    EXPECT_TRUE(IsSorted(bar));
    EXPECT_LE(bar.front(), 10);
    // The image fills 0..20 (too briefly to be read); the package shows 28 once its address is known,
    // then throttled reports; its 100 comes as the window is destroyed.
    EXPECT_GE(bar.back(), 28);
    EXPECT_LE(bar.back(), 100);
    EXPECT_EQ(ReadBytes(target), Served(L"files/rom/crespo.zip"));
    EXPECT_EQ(ReadBytes(GetSandbox().base + L"\\temp\\recovery_crespo.img"), Served(L"files/recovery/crespo.img"));
    EXPECT_EQ(ui.Text(ui.Main(), IDC_ROM_PATH), target);
    std::string log = ServiceControl("log");
    EXPECT_LT(log.find("<flashtype>2</flashtype>"), log.find("<flashtype>1</flashtype>"));
}

TEST_F(Flow, DownloadWithTheServiceDownStartsNothing) {
    Start("nexus_s");
    ServiceControl("down?ms=6000");
    Sleep(300);
    ui.Click(IDC_DOWNLOAD);
    EXPECT_EQ(ui.AnswerBox(L"无法连接到服务器"), L"连接下载服务器失败，请确认网络设置正常后再重新尝试！");
    EXPECT_EQ(ui.FindWindowNow(L"保存ROM文件到"), nullptr);
    EXPECT_EQ(ui.FindWindowNow(L"下载MirqROM"), nullptr);
    Sleep(6000);
}

TEST_F(Flow, DownloadWithoutAnIdentifiedPhone) {
    Start("unsupported");
    ui.AnswerBox(L"不支持该设备", 30000);
    ASSERT_TRUE(Download(GetSandbox().base + L"\\x.zip"));
    EXPECT_EQ(ui.AnswerBox(L"不支持该设备", 30000),
              L"该型号手机暂不支持，具体信息请关注http://127.0.0.1:8080/MirqROM论坛！");
    EXPECT_FALSE(FileExists(GetSandbox().base + L"\\x.zip"));
}

TEST_F(Flow, FailedPackageDownloadKeepsTheEarlierFile) {
    Start("nexus_s");
    const std::wstring target = GetSandbox().base + L"\\old.zip";
    WriteBytes(target, "the user's earlier package");
    ServiceControl("set?short=1&slow_ms=250");  // slow enough to see the window
    ASSERT_TRUE(Download(target));
    ASSERT_TRUE(ui.ConfirmOverwrite(L"保存ROM文件到"));
    Watch(L"下载MirqROM");
    WaitControlsBack();
    ExpectNoBox();
    EXPECT_EQ(ReadBytes(target), "the user's earlier package");
    EXPECT_TRUE(FileExists(target + L".part"));  // what arrived waits for the next attempt
}

TEST_F(Flow, ClosingTheProgressWindowStopsASlowDownload) {
    Start("nexus_s");
    const std::wstring target = GetSandbox().base + L"\\slow.zip";
    ServiceControl("set?slow_ms=250&rom_size=20000000");
    ASSERT_TRUE(Download(target));
    HWND progress = ui.WaitWindow(L"下载MirqROM", 10000);
    ASSERT_NE(progress, nullptr);
    DWORD start = GetTickCount();
    while (ui.ProgressPos(progress) < 25 && GetTickCount() - start < 30000) Sleep(50);  // in the package
    PostMessageW(progress, WM_CLOSE, 0, 0);
    DWORD closed = GetTickCount();
    WaitControlsBack();
    EXPECT_LT(GetTickCount() - closed, 5000u);
    ExpectNoBox();
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(target + L".part"));
}

TEST_F(Flow, FlashEachModelInBothModes) {
    const struct {
        const char* profile;
        const wchar_t* device;
        bool keepData;
    } phones[] = {{"blade", L"blade", false},
                  {"nexus_one", L"passion", true},
                  {"nexus_s", L"crespo", false},
                  {"htc_desire", L"bravo", true}};
    const std::string package = MakePackage(400000, 11);
    const std::wstring romPath = GetSandbox().base + L"\\update.zip";
    WriteBytes(romPath, package);
    for (const auto& phone : phones) {
        SCOPED_TRACE(phone.profile);
        CUiDriver app;
        CSimPhone::Reset(phone.profile);
        ASSERT_TRUE(app.Launch());
        ASSERT_TRUE(app.PassStartup());
        if (phone.keepData) app.Click(IDC_KEEP_DATA);
        Sleep(300);
        app.Click(IDC_FLASH);
        EXPECT_EQ(app.AnswerBox(L"刷机完成！", 180000), kFlashDone);
        EXPECT_EQ(CSimPhone::RecoveryPartition(), Served(std::wstring(L"files/recovery/") + phone.device + L".img"));
        EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), package);
        std::string script = CSimPhone::ReadPhoneFile("/cache/recovery/extendedcommand");
        EXPECT_EQ(script.size(), phone.keepData ? 77u : 131u);
        EXPECT_EQ(script.find("format(") != std::string::npos, !phone.keepData);
        EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
        std::vector<std::string> journal = CSimPhone::Journal();
        auto at = [&](const std::string& prefix) {
            for (size_t i = 0; i < journal.size(); ++i)
                if (journal[i].find(prefix) != std::string::npos) return i;
            return journal.size();
        };
        EXPECT_LT(at("flash_image recovery"), at("/sdcard/mirq/update.zip "));
        EXPECT_LT(at("/sdcard/mirq/update.zip "), at("reboot recovery"));
        EXPECT_LT(at("reboot recovery"), journal.size());
    }
}

TEST_F(Flow, TheSessionLogHoldsTheCommandsAndTheResult) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(1000, 1));
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！", 120000), kFlashDone);
    std::wstring log;
    for (const std::wstring& name : ListDir(GetSandbox().base + L"\\log")) {
        const std::string bytes = ReadBytes(GetSandbox().base + L"\\log\\" + name);
        const int n = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        std::wstring text(n, L'\0');
        MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
        log += text;
    }
    for (const wchar_t* expected : {L"v0.9 started", L"adb devices", L"adb push", L"flash_image recovery",
                                    L"finished in", L"GET http://127.0.0.1:8080/files/recovery/crespo.img: status 200",
                                    L"flash started", L"ended with code 8", L"刷机完成！"})
        EXPECT_NE(log.find(expected), std::wstring::npos) << WideToUtf8(expected);
}

TEST_F(Flow, ProgressBarAcrossAWholeFlash) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(100000, 2));
    ui.Click(IDC_FLASH);
    std::vector<int> bar = Watch(L"刷机");
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！", 20000), kFlashDone);
    EXPECT_TRUE(IsSorted(bar));
    // Check 0..20 (the phone was read at start-up: 5 and 10, then its slice is
    // completed), recovery 20..40, package 40..100. Positions that stand only
    // between two reports with no adb command between them (24, 52, 100) are
    // too brief to be read from outside.
    for (int expected : {20, 30, 36, 38, 40, 70, 88, 94})
        EXPECT_NE(std::find(bar.begin(), bar.end(), expected), bar.end()) << expected;
    EXPECT_LE(bar.front(), 2);
    EXPECT_LE(bar.back(), 100);
}

TEST_F(Flow, FailingRecoveryStep) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(1000, 1));
    ServiceControl("set?file_status=500");  // no image anywhere
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机失败", 120000), L"云端辅助工具下载失败，请保证网络连接良好后重新刷机！");
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "push").empty());
}

TEST_F(Flow, FailingPackagePush) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(1000, 1));
    CSimPhone::Set("push_fail_path", "update.zip");
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机失败", 120000), kReplug);
    EXPECT_FALSE(CSimPhone::RecoveryPartition().empty());  // the recovery step had run
}

TEST_F(Flow, UnpluggedBeforeThePackageNeverSaysDoneAndLeavesNoScript) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(1000, 1));
    CSimPhone::WritePhoneFile("/cache/recovery/extendedcommand", "format(\"/data\");");  // an earlier attempt's
    CSimPhone::Set("unplug_on", "shell ls /sdcard/mirq/update.zip");
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机失败", 120000), kReplug);
    EXPECT_EQ(ui.FindWindowNow(L"刷机完成！"), nullptr);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
}

TEST_F(Flow, ClosingDuringAFlashStopsItFirstAndLeavesNoScript) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(1000, 1));
    CSimPhone::Set("slow_verb", "push");
    CSimPhone::Set("slow_ms", "1500");
    ui.Click(IDC_FLASH);
    HWND progress = ui.WaitWindow(L"刷机", 10000);
    ASSERT_NE(progress, nullptr);
    DWORD start = GetTickCount();  // closed while the script is being copied
    while (Matching(CSimPhone::Journal(), "push").size() < 4 && GetTickCount() - start < 60000) Sleep(20);
    PostMessageW(ui.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    start = GetTickCount();
    while (ui.Text(progress, IDC_PROGRESS_TEXT) != L"正在停止..." && GetTickCount() - start < 5000) Sleep(20);
    EXPECT_EQ(ui.Text(progress, IDC_PROGRESS_TEXT), L"正在停止...");
    EXPECT_EQ(ui.WaitExit(30000), 2u);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
    EXPECT_EQ(CSimPhone::Journal().back(), "kill-server  ");
}

TEST_F(Flow, TheTypedPathIsThePackageFlashed) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(1000, 1));  // the path shown at start
    const std::wstring typed = GetSandbox().base + L"\\手输 100%.zip";
    const std::string package = MakePackage(3000, 7);
    WriteBytes(typed, package);
    const std::wstring asPasted = L"  \"" + typed + L"\" ";  // as Explorer's "copy as path" gives it
    SendMessageW(GetDlgItem(ui.Main(), IDC_ROM_PATH), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(asPasted.c_str()));
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！", 120000), kFlashDone);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), package);
}

TEST_F(Flow, DamagedPackageChangesNothingOnThePhone) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", "<html><body>502 Bad Gateway</body></html>");
    CSimPhone::ClearJournal();
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机失败", 120000), L"ROM包已损坏或不完整，请重新下载或选择其他ROM包！");
    for (const char* change : {"push", "reboot", "shell rm", "shell mkdir"})
        EXPECT_TRUE(Matching(CSimPhone::Journal(), change).empty()) << change;
}

TEST_F(Flow, FlashWithNoPhoneOrAnUnsupportedPhone) {
    Start("unsupported");
    ui.AnswerBox(L"不支持该设备", 30000);
    WriteBytes(GetSandbox().base + L"\\update.zip", "zip");
    ui.Click(IDC_FLASH);  // not enabled for this phone; the command itself still checks
    PostMessageW(ui.Main(), WM_COMMAND, MAKEWPARAM(IDC_FLASH, BN_CLICKED), 0);
    EXPECT_EQ(ui.AnswerBox(L"不支持该设备", 60000),
              L"该型号手机暂不支持，具体信息请关注http://127.0.0.1:8080/MirqROM论坛！");
    CSimPhone::Set("connected", "0");
    PostMessageW(ui.Main(), WM_COMMAND, MAKEWPARAM(IDC_FLASH, BN_CLICKED), 0);
    EXPECT_EQ(ui.AnswerBox(L"异常提示", 60000),
              L"未找到有效设备，请确认手机已连接到PC，且处于正常开机状态，并打开usb调试开关！");
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "push").empty());
}

TEST_F(Flow, ClosingTheProgressWindowDuringThePackageStep) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(100000, 4));
    CSimPhone::Set("slow_verb", "reboot");
    CSimPhone::Set("slow_ms", "1500");
    ui.Click(IDC_FLASH);
    HWND progress = ui.WaitWindow(L"刷机", 10000);
    ASSERT_NE(progress, nullptr);
    DWORD start = GetTickCount();
    while (ui.ProgressPos(progress) < 41 && GetTickCount() - start < 120000) Sleep(20);
    PostMessageW(progress, WM_CLOSE, 0, 0);
    WaitControlsBack();
    ExpectNoBox();
}
