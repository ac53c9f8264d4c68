// The real program in a real window under Wine, driven from this process,
// with the simulated phone in its tools folder.
#include <windows.h>
#include <dbt.h>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiDriver.h"
#include "res/resource.h"

using namespace mirqtest;

namespace {

const wchar_t* const kMain = L"Mirq一键刷机助手";
const wchar_t* const kCheckCaption = L"获取设备信息";
const wchar_t* const kNoDeviceText =
    L"未找到有效设备，请确认手机已连接到PC，且处于正常开机状态，并打开usb调试开关！";

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override { CSimPhone::Reset("nexus_s"); }
    void Start() {
        ASSERT_TRUE(ui.Launch());
        ASSERT_TRUE(ui.PassStartup());
    }
    void ExpectControlsBack() {
        EXPECT_TRUE(ui.Enabled(IDC_REFRESH));
        EXPECT_TRUE(ui.Enabled(IDC_BROWSE));
        EXPECT_TRUE(ui.Enabled(IDC_WIPE_DATA));
        EXPECT_TRUE(ui.Enabled(IDC_KEEP_DATA));
    }
    void ExpectUnknownDisplay() {
        EXPECT_EQ(ui.Text(ui.Main(), IDC_MODEL_LABEL), L"未知设备");
        EXPECT_EQ(ui.Text(ui.Main(), IDC_DEVICE_INFO), L"设备信息：未知");
        EXPECT_FALSE(ui.Enabled(IDC_FLASH));
        EXPECT_FALSE(ui.Visible(IDC_ROOT_WARNING));
    }
    void ExpectNoBoxFor(DWORD ms) { EXPECT_TRUE(ui.NoBoxFor({L"异常提示", L"错误", L"不支持该设备", L"刷机失败"}, ms)); }
    CUiDriver ui;
};

}  // namespace

TEST_F(MainWindow, StartupTipsThenASuccessfulCheckFillsTheDisplay) {
    ASSERT_TRUE(ui.Launch());
    EXPECT_EQ(ui.Text(ui.Main()), kMain);
    EXPECT_FALSE(ui.Enabled(IDC_FLASH));
    EXPECT_TRUE(ui.Checked(IDC_WIPE_DATA));
    EXPECT_FALSE(ui.Checked(IDC_KEEP_DATA));
    EXPECT_EQ(ui.Text(ui.Main(), IDC_ROM_PATH), GetSandbox().base + L"\\update.zip");
    EXPECT_EQ(ui.Text(ui.Main(), IDC_MODEL_LABEL), L"未知设备");

    HWND tips = ui.WaitWindow(L"刷机提示", 5000);
    ASSERT_NE(tips, nullptr);
    EXPECT_TRUE(CUiDriver::StaysTrue([] { return CSimPhone::Journal().empty(); }, 1000))
        << "no check before the tips are closed";
    std::wstring text = ui.AnswerBox(L"刷机提示");
    EXPECT_EQ(text,
              L"1. 请确保电脑上安装有手机的驱动程序；\n2. 请确保在手机上打开USB调试功能；\n3. 请确保手机电量在50%以上；\n"
              L"4. 如使用非MirqROM包刷机，请保证其有效；\n5. 刷机有风险，因刷机造成的任何问题，Mirq项目组不承担任何责任。");
    HWND progress = ui.WaitWindow(kCheckCaption, 10000);
    ASSERT_NE(progress, nullptr);
    bool sawDialogCaption = false;
    ASSERT_TRUE(CUiDriver::WaitUntil([&] {
        sawDialogCaption |= ui.FindWindowNow(L"Dialog") != nullptr;
        return !IsWindow(progress) || !IsWindowVisible(progress);
    }));
    EXPECT_FALSE(sawDialogCaption);
    // Success shows no box, and the tips come once.
    EXPECT_TRUE(ui.NoBoxFor({L"异常提示", L"刷机提示"}, 500));

    EXPECT_EQ(ui.Text(ui.Main(), IDC_MODEL_LABEL), L"Google Nexus S");
    EXPECT_EQ(ui.Text(ui.Main(), IDC_DEVICE_INFO),
              L"Android版本：2.3.4\n设备型号：Nexus S\nIMEI/SN：3233A90D1A2B00EC\n厂商：samsung\n"
              L"Bootloader：I9020XXJK1\nRadio版本：I9020XXKD1\n内部版本：soju-user 2.3.4 GRJ22 121341 release-keys\n"
              L"拥有root权限：是");
    EXPECT_FALSE(ui.Visible(IDC_ROOT_WARNING));
    EXPECT_TRUE(ui.Enabled(IDC_FLASH));
    EXPECT_TRUE(ui.Enabled(IDC_DOWNLOAD));
    ExpectControlsBack();
    CreateDirectoryW((GetSandbox().binDir + L"..\\artifacts").c_str(), nullptr);
    EXPECT_TRUE(ui.SaveScreenshot(GetSandbox().binDir + L"..\\artifacts\\main_window.bmp"));
}

TEST_F(MainWindow, UnrootedPhoneShowsTheWarningAndNoFlash) {
    CSimPhone::Reset("unrooted");
    CSimPhone::Prop("ril.sw_ver", "");
    Start();
    std::wstring info = ui.Text(ui.Main(), IDC_DEVICE_INFO);
    EXPECT_NE(info.find(L"\nRadio版本：未知\n"), std::wstring::npos);
    const std::wstring rootLine = L"\n拥有root权限：否";
    EXPECT_EQ(info.substr(info.size() - rootLine.size()), rootLine);
    EXPECT_TRUE(ui.Visible(IDC_ROOT_WARNING));
    EXPECT_EQ(ui.Text(ui.Main(), IDC_ROOT_WARNING),
              L"设备root权限未破解，无法刷机，请访问http://127.0.0.1:8080/MirqROM论坛获取相关信息。");
    EXPECT_GT(ui.RedPixels(IDC_ROOT_WARNING), 20) << "the warning is drawn in red";
    EXPECT_FALSE(ui.Enabled(IDC_FLASH));
    EXPECT_TRUE(ui.Enabled(IDC_DOWNLOAD));
}

TEST_F(MainWindow, RefreshWithNoPhone) {
    CSimPhone::Set("connected", "0");
    ASSERT_TRUE(ui.Launch());
    ASSERT_FALSE(ui.AnswerBox(L"刷机提示").empty());
    EXPECT_NE(ui.WaitWindow(kCheckCaption, 10000), nullptr);
    EXPECT_EQ(ui.AnswerBox(L"异常提示", 60000), kNoDeviceText);
    EXPECT_EQ(ui.FindWindowNow(kCheckCaption), nullptr);
    ExpectUnknownDisplay();
    ExpectControlsBack();
}

TEST_F(MainWindow, MissingAdbAndUnsupportedPhoneBoxes) {
    CSimPhone::Reset("unsupported");
    ASSERT_TRUE(ui.Launch());
    ASSERT_FALSE(ui.AnswerBox(L"刷机提示").empty());
    EXPECT_EQ(ui.AnswerBox(L"不支持该设备", 60000),
              L"该型号手机暂不支持，具体信息请关注http://127.0.0.1:8080/MirqROM论坛！");
    ExpectUnknownDisplay();

    CSimPhone::Uninstall();
    ui.Click(IDC_REFRESH);
    EXPECT_EQ(ui.AnswerBox(L"错误", 30000), L"未找到Adb工具，请重新安装一键软件客户端以恢复文件！");
    CSimPhone::Install();
    ExpectControlsBack();
}

TEST_F(MainWindow, ConnectionProblemsSayWhatToDo) {
    // What Windows shows beside the phone: a USB device planted in the
    // registry, a listener on the adb port (Wine names no owner of a port).
    typedef std::function<std::shared_ptr<void>()> Beside;
    const Beside nothing = [] { return nullptr; };
    const std::wstring adbClass = L"USB\\Class_ff&SubClass_42&Prot_01";
    const struct {
        const char* key;
        const char* value;
        const wchar_t* text;
        Beside beside;
    } cases[] = {
        {"extra_device", "0123456789ABCDEF", L"检测到多部手机或模拟器，请只连接一部需要刷机的手机！", nothing},
        {"device_state", "offline", L"手机处于离线状态，请重新插拔USB线后点击“刷新设备信息”！", nothing},
        {"device_state", "unauthorized", L"请在手机屏幕上允许USB调试，然后点击“刷新设备信息”！", nothing},
        {"server_replaced", "1", L"其他程序（如手机助手类软件）正在使用adb服务，请关闭这些程序后点击“刷新设备信息”！",
         nothing},
        {"connected", "0",
         L"检测到手机（Google，USB\\VID_18D1&PID_4E22）已连接，但电脑上没有安装它的驱动程序，请安装手机驱动后重新插拔USB线！",
         [&] { return std::make_shared<CPlantedUsbDevice>(L"VID_18D1&PID_4E22", adbClass, L"", 0x40); }},
        {"connected", "0", L"手机处于Fastboot模式，请长按电源键重启手机进入系统后重试！",
         [] {
             return std::make_shared<CPlantedUsbDevice>(L"VID_18D1&PID_4EE0", L"USB\\Class_ff&SubClass_42&Prot_03",
                                                        L"WinUSB", 0);
         }},
        {"server_replaced", "1", L"其他程序的adb服务（版本1.0.32）正在使用端口5037，请关闭该程序后点击“刷新设备信息”！",
         [] { return std::make_shared<CPortListener>(32); }},
        {"server_fails", "1", L"端口5037被其他程序占用，请关闭该程序后点击“刷新设备信息”！",
         [] { return std::make_shared<CPortListener>(-1); }},
    };
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        CSimPhone::Reset("nexus_s");
        // Identified again first, so the reset below is seen. The click is
        // posted and the check may come and go between two looks: it has
        // ended once its reading is in the journal and its window is gone.
        ui.Click(IDC_REFRESH);
        ASSERT_TRUE(CUiDriver::WaitUntil(
            [&] {
                return !Matching(CSimPhone::Journal(), "shell getprop").empty() && !ui.FindWindowNow(kCheckCaption) &&
                       ui.Enabled(IDC_FLASH);
            },
            30000));
        CSimPhone::Set(c.key, c.value);
        const std::shared_ptr<void> beside = c.beside();
        ui.Click(IDC_REFRESH);
        EXPECT_EQ(ui.AnswerBox(L"异常提示", 30000), c.text);
        ExpectUnknownDisplay();
        EXPECT_FALSE(ui.Enabled(IDC_DOWNLOAD));
        for (const char* change : {"push", "reboot", "shell rm"})
            EXPECT_TRUE(Matching(CSimPhone::Journal(), change).empty()) << change;
    }
}

TEST_F(MainWindow, DeviceChangeChecksWithoutAProgressWindow) {
    Start();
    CSimPhone::ClearJournal();
    CSimPhone::Set("connected", "0");
    ui.DeviceChange(DBT_DEVICEREMOVECOMPLETE);
    bool sawProgress = false;
    EXPECT_TRUE(CUiDriver::WaitUntil([&] {
        sawProgress |= ui.FindWindowNow(kCheckCaption) != nullptr;
        return ui.FindWindowNow(L"异常提示") != nullptr;
    }));
    EXPECT_FALSE(sawProgress);
    EXPECT_EQ(ui.AnswerBox(L"异常提示"), kNoDeviceText);
    ExpectUnknownDisplay();
    // Other device-change kinds start nothing.
    CSimPhone::ClearJournal();
    ui.DeviceChange(DBT_DEVNODES_CHANGED);
    EXPECT_TRUE(CUiDriver::StaysTrue([] { return CSimPhone::Journal().empty(); }, 1500));
}

TEST_F(MainWindow, DeviceChangeDuringATaskIsIgnored) {
    Start();
    CSimPhone::Set("slow_verb", "devices");
    CSimPhone::Set("slow_ms", "1500");
    CSimPhone::ClearJournal();
    ui.Click(IDC_REFRESH);
    HWND progress = ui.WaitWindow(kCheckCaption, 10000);
    ASSERT_NE(progress, nullptr);
    ui.DeviceChange(DBT_DEVICEARRIVAL);
    ASSERT_TRUE(ui.WaitGone(progress));
    EXPECT_TRUE(CUiDriver::StaysTrue([] { return Matching(CSimPhone::Journal(), "devices").size() == 1; }, 2500));
}

TEST_F(MainWindow, ClosingTheProgressWindowDuringTheConnectionCheck) {
    Start();
    const std::wstring before = ui.Text(ui.Main(), IDC_DEVICE_INFO);
    CSimPhone::Reset("htc_desire");  // another phone: a finished check would change the display
    CSimPhone::Set("slow_verb", "devices");
    CSimPhone::Set("slow_ms", "2000");
    ui.Click(IDC_REFRESH);
    HWND progress = ui.WaitWindow(kCheckCaption, 10000);
    ASSERT_NE(progress, nullptr);
    // Closed while "devices" runs on the phone.
    ASSERT_TRUE(CUiDriver::WaitUntil([] { return !Matching(CSimPhone::Journal(), "devices").empty(); }));
    PostMessageW(progress, WM_CLOSE, 0, 0);
    ASSERT_TRUE(ui.WaitGone(progress, 5000));
    ASSERT_TRUE(ui.WaitControlsBack());
    ExpectControlsBack();
    ExpectNoBoxFor(1000);
    EXPECT_EQ(ui.Text(ui.Main(), IDC_DEVICE_INFO), before);
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "shell getprop").empty());
}


TEST_F(MainWindow, ExitCodeTwoByCloseBoxEscAndAltF4AndTheCleanUpRuns) {
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        CUiDriver app;
        ASSERT_TRUE(app.Launch());
        ASSERT_FALSE(app.AnswerBox(L"刷机提示").empty());
        HWND progress = app.WaitWindow(kCheckCaption, 10000);
        if (progress) app.WaitGone(progress);
        if (way == 0) PostMessageW(app.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
        if (way == 1) app.PostKey(VK_ESCAPE, false, GetDlgItem(app.Main(), IDC_REFRESH));
        if (way == 2) app.PostKey(VK_F4, true, GetDlgItem(app.Main(), IDC_REFRESH));
        EXPECT_EQ(app.WaitExit(15000), 2u);
        // The process waited for its clean-up: server stopped, no output or batch file left.
        EXPECT_EQ(LastLine(CSimPhone::Journal()), "kill-server  ");
        EXPECT_EQ(CSimPhone::StateValue("server"), "0");
        for (const std::wstring& name : ListDir(GetSandbox().temp))
            EXPECT_TRUE(name.compare(0, 5, L"~MQF_") != 0 && name != L"tmp.bat") << WideToUtf8(name);
    }
}

TEST_F(MainWindow, ASecondCopyBringsTheFirstToTheFrontAndEnds) {
    Start();
    const size_t commands = CSimPhone::Journal().size();
    ShowWindow(ui.Main(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(ui.Main()));
    EXPECT_EQ(RunProcess(GetSandbox().base + L"\\MirqFlasher.exe", L"", 20000), 0);
    EXPECT_FALSE(IsIconic(ui.Main()));
    EXPECT_EQ(GetForegroundWindow(), ui.Main());
    EXPECT_EQ(CSimPhone::Journal().size(), commands);  // the second copy touched no adb
    EXPECT_EQ(ui.WaitExit(0), static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(MainWindow, KeyboardTabEnterAndRadioButtons) {
    Start();
    SetForegroundWindow(ui.Main());
    SendMessageW(ui.Main(), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(ui.Main(), IDC_ROM_PATH)), TRUE);
    ASSERT_TRUE(CUiDriver::WaitUntil([&] { return ui.Focused() == GetDlgItem(ui.Main(), IDC_ROM_PATH); }));
    ui.PostKey(VK_RETURN);  // no default button, IDOK not handled
    EXPECT_TRUE(CUiDriver::StaysTrue(
        [&] { return ui.WaitExit(0) == STILL_ACTIVE && !ui.FindWindowNow(L"刷机"); }, 500));
    ui.PostKey(VK_TAB);  // the dialog's filter turns Tab into a focus move
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return ui.Focused() == GetDlgItem(ui.Main(), IDC_BROWSE); }, 5000));

    ui.Click(IDC_KEEP_DATA);
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return ui.Checked(IDC_KEEP_DATA); }, 5000));
    EXPECT_FALSE(ui.Checked(IDC_WIPE_DATA));
    ui.Click(IDC_WIPE_DATA);
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return ui.Checked(IDC_WIPE_DATA); }, 5000));
    EXPECT_FALSE(ui.Checked(IDC_KEEP_DATA));
}

TEST_F(MainWindow, DeviceChangeWhileTheTipsAreOpenStartsNoSecondCheck) {
    ASSERT_TRUE(ui.Launch());
    HWND tips = ui.WaitWindow(L"刷机提示", 5000);
    ASSERT_NE(tips, nullptr);
    ui.DeviceChange(DBT_DEVICEARRIVAL);
    EXPECT_TRUE(CUiDriver::StaysTrue([] { return CSimPhone::Journal().empty(); }, 1500));
    ui.AnswerBox(L"刷机提示");
    HWND progress = ui.WaitWindow(kCheckCaption, 10000);
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(ui.WaitGone(progress));
    EXPECT_TRUE(CUiDriver::StaysTrue([] { return Matching(CSimPhone::Journal(), "devices").size() == 1; }, 1500));
}

// What the idle window does with its commands, on one start of the program:
// a task's end with a code it does not know, the flash command without a
// package, the browse dialog, the about box.
TEST_F(MainWindow, AnIdleWindowsCommandsOnOneStart) {
    Start();
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(ui.Main(), WM_USER + 121, 42, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    ExpectNoBoxFor(800);
    ExpectControlsBack();
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"异常提示"), L"未找到指定文件" + GetSandbox().base + L"\\update.zip，请重新设置！");
    EXPECT_EQ(ui.FindWindowNow(L"刷机"), nullptr);
    // A folder of that name is no package either.
    CreateDirectoryW((GetSandbox().base + L"\\update.zip").c_str(), nullptr);
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"异常提示"), L"未找到指定文件" + GetSandbox().base + L"\\update.zip，请重新设置！");
    EXPECT_EQ(ui.FindWindowNow(L"刷机"), nullptr);
    const std::wstring chosen = GetSandbox().base + L"\\我的 ROM 100%.zip";
    WriteBytes(chosen, "zip");
    ui.Click(IDC_BROWSE);
    ASSERT_TRUE(ui.FillFileDialog(L"设置刷机ROM", chosen));
    EXPECT_TRUE(ui.WaitText(ui.Main(), IDC_ROM_PATH, chosen)) << WideToUtf8(ui.Text(ui.Main(), IDC_ROM_PATH));
    ui.Click(IDC_ABOUT);
    HWND about = ui.WaitWindow(L"关于软件");
    ASSERT_NE(about, nullptr);
    const std::wstring text = ui.Text(about, -1);
    EXPECT_EQ(text.substr(0, 17), L"Mirq一键刷机助手 v0.9\n\n");
    EXPECT_GT(text.size(), 17u);  // the credit line
    PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(ui.WaitGone(about, 5000));
}
