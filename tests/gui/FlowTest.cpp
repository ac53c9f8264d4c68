// The whole job in the real window: what needs the window itself (file
// dialogs, boxes, progress windows closed or the program closed mid-task,
// the typed path, the session log). What the tasks do is tested with a fake
// host in TaskTest.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiDriver.h"
#include "res/resource.h"

using namespace mirqtest;

namespace {

const wchar_t* const kFlashDone = L"刷机成功，手机已启动新系统：MirqROM 7";  // the package MakePackage(..., 7) installs
const wchar_t* const kReplug = L"请重新插拔USB线，保证手机与PC的连接良好后重新刷机！";

// adb.exe processes started from this test's sandbox (other tests may run their own).
int AdbProcessesOfThisSandbox() {
    // Vista's call, looked up: the build targets an older Windows.
    typedef BOOL(WINAPI * ImageName)(HANDLE, DWORD, wchar_t*, DWORD*);
    const ImageName QueryFullProcessImageNameW =
        reinterpret_cast<ImageName>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW"));
    int count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = Process32FirstW(snapshot, &entry); ok; ok = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, L"adb.exe") != 0) continue;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        wchar_t path[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        if (process && QueryFullProcessImageNameW(process, 0, path, &size) &&
            _wcsnicmp(path, GetSandbox().base.c_str(), GetSandbox().base.size()) == 0)
            ++count;
        if (process) CloseHandle(process);
    }
    CloseHandle(snapshot);
    return count;
}

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
    // Runs a task to its end, noting each position of the bar read while its window shows.
    std::vector<int> Watch(const std::wstring& caption) {
        std::vector<int> positions;
        HWND progress = ui.WaitWindow(caption, 15000);
        EXPECT_NE(progress, nullptr);
        EXPECT_TRUE(CUiDriver::WaitUntil(
            [&] {
                const int pos = ui.ProgressPos(progress);
                // A window hidden after the read may have answered from its destruction.
                if (!IsWindow(progress) || !IsWindowVisible(progress)) return true;
                if (positions.empty() || positions.back() != pos) positions.push_back(pos);
                return false;
            },
            180000));
        return positions;
    }
    void ExpectNoBoxFor(DWORD ms) {
        EXPECT_TRUE(ui.NoBoxFor({L"下载完成！", L"刷机完成！", L"刷机失败", L"异常提示", L"不支持该设备"}, ms));
    }
    void WriteRom(size_t size = 1000) { WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(size, 1)); }
    CUiDriver ui;
};

}  // namespace

TEST_F(Flow, APhoneOfTheServicesCatalogueIsKnownFromTheFirstCheck) {
    // The catalogue is fetched at launch; the service is slow with it, and
    // the first check waits for it rather than call the phone unsupported.
    ServiceControl("set?catalogue_delay_ms=4000");
    Start("oneplus_one");
    EXPECT_EQ(ui.Text(ui.Main(), IDC_MODEL_LABEL), L"OnePlus One");
    EXPECT_TRUE(ui.Enabled(IDC_FLASH));
    ExpectNoBoxFor(300);
}

TEST_F(Flow, AnEndedCatalogueIdentifiesNothingAndTheWindowSaysSo) {
    ServiceControl("set?catalogue_until=ended");
    Start("oneplus_one");
    EXPECT_NE(ui.AnswerBox(L"不支持该设备"), L"");  // the built-in rows serve
    EXPECT_EQ(ui.Text(ui.Main(), IDC_CATALOGUE_STATE),
              L"机型列表已于2020-01-01过期，现使用内置机型。请确认电脑的日期正确，并连接网络后重新启动本软件。");
}

TEST_F(Flow, ACatalogueLaterThanTheFirstCheckIdentifiesThePhoneShownWithoutACommand) {
    ServiceControl("set?catalogue_delay_ms=7000");
    Start("oneplus_one");
    EXPECT_NE(ui.AnswerBox(L"不支持该设备"), L"");  // the first check waited its 5 s in vain
    const size_t commands = CSimPhone::Journal().size();
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return ui.Text(ui.Main(), IDC_MODEL_LABEL) == L"OnePlus One"; }, 15000));
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return ui.Enabled(IDC_FLASH); }, 5000));
    EXPECT_EQ(CSimPhone::Journal().size(), commands);
    // The next task flashes by that catalogue: the phone is no longer refused as unsupported.
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(3000, 7, "bacon"));
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！", 120000), kFlashDone);
}

TEST_F(Flow, ACatalogueThatArrivesDuringATaskIsTakenWhenTheTaskEnds) {
    // The Nexus S is known built in; the service's catalogue, late, withdraws it (its first two rows only).
    ServiceControl("set?catalogue_delay_ms=8000&catalogue_rows=2");
    Start("nexus_s");
    ASSERT_EQ(ui.Text(ui.Main(), IDC_MODEL_LABEL), L"Google Nexus S");
    CSimPhone::Set("slow_verb", "shell");
    CSimPhone::Set("slow_ms", "4000");
    const DWORD started = GetTickCount();
    ASSERT_TRUE(ui.RunTask(IDC_REFRESH, L"获取设备信息", 60000));
    ASSERT_GT(GetTickCount() - started, 3000u);  // the catalogue came while it ran
    EXPECT_TRUE(CUiDriver::WaitUntil(
        [&] { return !ui.Enabled(IDC_FLASH) && ui.Text(ui.Main(), IDC_MODEL_LABEL) != L"Google Nexus S"; }, 10000));
}

TEST_F(Flow, DownloadBringsTheImageAndThePackage) {
    Start("nexus_s");
    const std::wstring target = GetSandbox().base + L"\\下载 100%\\mirq.zip";
    CreateDirectoryW((GetSandbox().base + L"\\下载 100%").c_str(), nullptr);
    WriteBytes(target, "the user's earlier package");  // replaced once the user agrees
    ServiceControl("set?slow_ms=30&rom_size=3000000");
    ui.Click(IDC_DOWNLOAD);
    std::wstring name, filter;
    ASSERT_TRUE(ui.ReadFileDialog(L"保存ROM文件到", &name, &filter));
    EXPECT_EQ(name, L"update.zip");
    EXPECT_EQ(filter, L"*.*");
    ASSERT_TRUE(ui.FillFileDialog(L"保存ROM文件到", target));
    ASSERT_TRUE(ui.ConfirmOverwrite(L"保存ROM文件到"));
    std::vector<int> bar = Watch(L"下载MirqROM");
    EXPECT_EQ(ui.AnswerBox(L"下载完成！", 20000), L"ROM路径已正确设置，请点击“刷机”按钮直接刷机！");
    ASSERT_FALSE(bar.empty());
    EXPECT_TRUE(std::is_sorted(bar.begin(), bar.end()));
    EXPECT_LE(bar.front(), 10);
    EXPECT_GE(bar.back(), 28);  // the package's part was seen
    EXPECT_EQ(ReadBytes(target), Served(L"files/rom/crespo.zip"));
    EXPECT_EQ(ReadBytes(GetSandbox().base + L"\\temp\\recovery_crespo.img"), Served(L"files/recovery/crespo.img"));
    EXPECT_EQ(ui.Text(ui.Main(), IDC_ROM_PATH), target);
}

TEST_F(Flow, DownloadWithTheServiceDownStartsNothing) {
    Start("nexus_s");
    std::string ignored;
    ServiceControl("down?ms=3000");
    ASSERT_TRUE(CUiDriver::WaitUntil([&] { return !HttpGet(ServiceUrl(L""), ignored); }, 3000));
    ui.Click(IDC_DOWNLOAD);
    EXPECT_EQ(ui.AnswerBox(L"无法连接到服务器"), L"连接下载服务器失败，请确认网络设置正常后再重新尝试！");
    EXPECT_EQ(ui.FindWindowNow(L"保存ROM文件到"), nullptr);
    EXPECT_EQ(ui.FindWindowNow(L"下载MirqROM"), nullptr);
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return HttpGet(ServiceUrl(L""), ignored); }, 15000));
}

TEST_F(Flow, TheWindowAnswersWhileTheServiceCheckWaits) {
    Start("nexus_s");
    ServiceControl("stall?ms=4000");  // connections get no answer for a while
    ui.Click(IDC_DOWNLOAD);
    EXPECT_TRUE(CUiDriver::WaitUntil([&] { return !ui.Enabled(IDC_REFRESH); }, 3000));  // commands off meanwhile
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(ui.Main(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer), 0);
    // Once the service answers, the download goes on to its save dialog.
    HWND save = ui.WaitWindow(L"保存ROM文件到", 30000);
    ASSERT_NE(save, nullptr);
    PostMessageW(save, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(ui.WaitControlsBack(10000));
}

TEST_F(Flow, ClosingTheProgressWindowStopsASlowDownload) {
    Start("nexus_s");
    const std::wstring target = GetSandbox().base + L"\\slow.zip";
    ServiceControl("set?slow_ms=250&rom_size=20000000");
    ui.Click(IDC_DOWNLOAD);
    ASSERT_TRUE(ui.FillFileDialog(L"保存ROM文件到", target));
    HWND progress = ui.WaitWindow(L"下载MirqROM", 10000);
    ASSERT_NE(progress, nullptr);
    ASSERT_TRUE(ui.WaitProgressAtLeast(progress, 25, 30000));  // in the package
    PostMessageW(progress, WM_CLOSE, 0, 0);
    EXPECT_TRUE(ui.WaitControlsBack(5000));
    ExpectNoBoxFor(800);
    EXPECT_FALSE(FileExists(target));
    EXPECT_FALSE(FileExists(target + L".part"));
}

TEST_F(Flow, AFlashSaysDoneAndTheSessionLogHoldsItsCommands) {
    Start("nexus_s");
    const std::string package = MakePackage(3000, 7);
    WriteBytes(GetSandbox().base + L"\\update.zip", package);
    ui.Click(IDC_KEEP_DATA);
    ASSERT_TRUE(CUiDriver::WaitUntil([&] { return ui.Checked(IDC_KEEP_DATA); }, 5000));
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！", 120000), kFlashDone);
    EXPECT_EQ(ui.Text(ui.Main(), IDC_DEVICE_INFO).find(L"Android版本：4.4.7\n"), 0u);  // what it runs now
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), package);
    EXPECT_EQ(CSimPhone::RecoveryRan("extendedcommand").find("format("), std::string::npos);
    EXPECT_NE(CSimPhone::RecoveryRan("extendedcommand").find("install_zip("), std::string::npos);
    EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
    std::wstring log;
    for (const std::wstring& name : ListDir(GetSandbox().base + L"\\log")) {
        const std::string bytes = ReadBytes(GetSandbox().base + L"\\log\\" + name);
        const int n = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        std::wstring text(n, L'\0');
        MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
        log += text;
    }
    for (const wchar_t* expected : {L"Mirq一键刷机助手 v0.9.", L"adb devices", L"adb -s 3233A90D1A2B00EC push", L"flash_image recovery",
                                    L"finished in", L"GET http://127.0.0.1:8080/files/recovery/crespo.img: status 200",
                                    L"flash started", L"ended with code 8", L"刷机完成！"})
        EXPECT_NE(log.find(expected), std::wstring::npos) << WideToUtf8(expected);
}

// What the phone did after the recovery had the package, told in the window
// (every verdict's box is the tasks' table's): where it runs a system again,
// the window shows that system; where it does not, what it showed before.
TEST_F(Flow, EachVerdictOfTheFlashIsToldInTheWindow) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(3000, 7));
    const struct {
        const char* key;
        const char* value;
        const char* before;  // the phone's build date before ("": the profile's)
        const wchar_t* caption;
        const wchar_t* text;
        const wchar_t* android;  // the Android version shown after
    } rows[] = {
        {"install", "fails", "", L"刷机失败",
         L"手机已重新启动，但系统没有更新：Recovery未能安装ROM包。请查看手机屏幕上的提示后重新刷机！", L"2.3.4"},
        {"last_install", "none", "1400000007", L"刷机提示",
         L"手机已启动，系统与ROM包的版本相同（MirqROM 7），无法确认这次安装是否成功。请查看手机屏幕上的提示。", L"4.4.7"},
        {"install", "stays", "", L"刷机失败", L"手机停留在Recovery中，ROM包没有安装成功。请查看手机屏幕上的提示后重新刷机！", nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.value);
        CSimPhone::Reset("nexus_s");
        CSimPhone::Set(row.key, row.value);
        if (*row.before) CSimPhone::Prop("ro.build.date.utc", row.before);
        ui.Click(IDC_FLASH);
        EXPECT_EQ(ui.AnswerBox(row.caption, 120000), row.text);
        if (row.android) {
            EXPECT_EQ(ui.Text(ui.Main(), IDC_DEVICE_INFO).find(std::wstring(L"Android版本：") + row.android), 0u);
        }
        ASSERT_TRUE(CUiDriver::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(ui.Main(), IDC_FLASH)) != FALSE; }, 30000));
    }
}

TEST_F(Flow, AFlashForAnotherPhoneSaysWhichAndChangesNothing) {
    Start("nexus_s");
    WriteBytes(GetSandbox().base + L"\\update.zip", MakePackage(3000, 7, "bravo"));
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机失败", 120000), L"该ROM包适用于bravo，与当前手机（crespo）不符，请选择本机型号的ROM包！");
    for (const char* change : {"push", "reboot", "shell rm"})
        EXPECT_TRUE(Matching(CSimPhone::Journal(), change).empty()) << change;
}

TEST_F(Flow, AFailedFlashStepShowsItsBox) {
    Start("nexus_s");
    WriteRom();
    CSimPhone::Set("push_fail_path", "update.zip");
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机失败", 120000), kReplug);
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
}

TEST_F(Flow, ClosingDuringAFlashStopsItFirstAndLeavesNoScript) {
    Start("nexus_s");
    WriteRom();
    CSimPhone::Set("slow_verb", "push");
    CSimPhone::Set("slow_ms", "1500");
    ui.Click(IDC_FLASH);
    HWND progress = ui.WaitWindow(L"刷机", 10000);
    ASSERT_NE(progress, nullptr);
    // Closed while the script is being copied.
    ASSERT_TRUE(CUiDriver::WaitUntil([] { return Matching(CSimPhone::Journal(), "push").size() >= 4; }, 60000));
    PostMessageW(ui.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(ui.WaitText(progress, IDC_PROGRESS_TEXT, L"正在停止...", 5000));
    EXPECT_EQ(ui.WaitExit(30000), 2u);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "kill-server  ");
}

TEST_F(Flow, TheTypedPathIsThePackageFlashed) {
    Start("nexus_s");
    WriteRom();  // the path shown at start
    const std::wstring typed = GetSandbox().base + L"\\手输 100%.zip";
    const std::string package = MakePackage(3000, 7);
    WriteBytes(typed, package);
    const std::wstring asPasted = L"  \"" + typed + L"\" ";  // as Explorer's "copy as path" gives it
    SendMessageW(GetDlgItem(ui.Main(), IDC_ROM_PATH), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(asPasted.c_str()));
    ui.Click(IDC_FLASH);
    EXPECT_EQ(ui.AnswerBox(L"刷机完成！", 120000), kFlashDone);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), package);
}

TEST_F(Flow, ASlowPushShowsItsSpeedAndClosingTheWindowStopsItAtOnce) {
    Start("nexus_s");
    WriteRom(3000000);
    CSimPhone::Set("push_rate_path", "update.zip");
    CSimPhone::Set("push_rate", "100000");  // about 30 s
    ui.Click(IDC_FLASH);
    HWND progress = ui.WaitWindow(L"刷机", 10000);
    ASSERT_NE(progress, nullptr);
    // The package's push moves the bar from 70 to 88.
    std::vector<int> positions;
    ASSERT_TRUE(CUiDriver::WaitUntil(
        [&] {
            const int pos = ui.ProgressPos(progress);
            if (pos > 70 && pos < 88 && (positions.empty() || pos > positions.back())) positions.push_back(pos);
            return positions.size() >= 3;
        },
        60000));
    const std::wstring text = ui.Text(progress, IDC_PROGRESS_TEXT);
    EXPECT_EQ(text.find(L"ROM包传输中... "), 0u) << WideToUtf8(text);
    EXPECT_NE(text.find(L"B/s，剩余约 "), std::wstring::npos) << WideToUtf8(text);

    EXPECT_GE(AdbProcessesOfThisSandbox(), 1);  // the push's client
    const DWORD closedAt = GetTickCount();
    PostMessageW(progress, WM_CLOSE, 0, 0);
    EXPECT_TRUE(ui.WaitControlsBack(10000));
    EXPECT_LT(GetTickCount() - closedAt, 2000u);
    ExpectNoBoxFor(500);
    EXPECT_EQ(AdbProcessesOfThisSandbox(), 0);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/sdcard/mirq/update.zip"));
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
}
