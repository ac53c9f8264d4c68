// The tasks' orchestration with a fake host, the simulated phone and the
// local service: results, boxes, the progress plan, what reaches the phone.
#include <windows.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include "FakeHost.h"
#include "TestSupport.h"
#include "adb/AdbManager.h"
#include "app/Tasks.h"
#include "device/ModelCatalogue.h"
#include "device/DeviceModel.h"
#include "download/CatalogueService.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "flash/Flasher.h"
#include "flash/InstallFollower.h"
#include "log/logger.h"
#include "util/Raii.h"
#include "util/Thread.h"

using namespace mirq;
using namespace mirqtest;

namespace {

const wchar_t* const kReplug = L"请重新插拔USB线，保证手机与PC的连接良好后重新刷机！";

class Tasks : public CServiceTest {
protected:
    void SetUp() override {
        CServiceTest::SetUp();
        WriteBytes(GetSandbox().base + L"\\tools\\flash_image", MakeContent(30000, 9));
        input.romPath = GetSandbox().base + L"\\update.zip";
        WriteBytes(input.romPath, MakePackage(1000, 1));
    }
    int Flash(const char* profile) {
        CSimPhone::Reset(profile);
        return RunFlashTask(host, input);
    }
    CFakeHost host;
    TaskInput input;
};

}  // namespace

TEST_F(Tasks, FlashInBothModes) {
    // A flash differs by model only in its image and its package's device;
    // the other models' are the downloads' and the flows'.
    const struct {
        const char* profile;
        const wchar_t* device;
        bool keepData;
        std::function<void()> meanwhile;
    } phones[] = {
        // A card that an earlier, larger package fills: 100 KB free beside
        // it, less than the image needs; the earlier copies go first.
        {"blade", L"blade", false,
         [] {
             CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", std::string(9 << 20, 'o'));
             CSimPhone::Set("sdcard_size", std::to_string((9 << 20) + 100 * 1024));
         }},
        // An emulator starts as the package is copied: every command names
        // the phone, whose serial holds a blank and ends in a backslash.
        {"htc_desire", L"bravo", true, [] {
             CSimPhone::Set("second_device_on", "push");
             CSimPhone::Set("serial", "HW9A 12\\");
         }}};
    for (const auto& phone : phones) {
        SCOPED_TRACE(phone.profile);
        const std::string package = MakePackage(400000, 11, WideToUtf8(phone.device));
        WriteBytes(input.romPath, package);
        input.keepData = phone.keepData;
        CSimPhone::Reset(phone.profile);
        phone.meanwhile();
        EXPECT_EQ(RunFlashTask(host, input), kTaskFlashed);
        EXPECT_EQ(host.flashStep, kFlashOk);
        EXPECT_TRUE(CSimPhone::RecoveryPartition() == Served(std::wstring(L"files/recovery/") + phone.device + L".img"));
        EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), package);
        EXPECT_EQ(CSimPhone::RecoveryRan("extendedcommand"), phone.keepData ? kUpgradeScript : kWipeScript);
        EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
        const std::vector<std::string> journal = CSimPhone::Journal();
        auto at = [&](const std::string& part) {
            return std::find_if(journal.begin(), journal.end(),
                                [&](const std::string& line) { return line.find(part) != std::string::npos; }) -
                   journal.begin();
        };
        // The phone's state is read before the first change (the stale script's removal).
        EXPECT_LT(at("dumpsys battery"), at("shell ls /cache/recovery/extendedcommand"));
        EXPECT_LT(at("df /sdcard"), at("shell ls /cache/recovery/extendedcommand"));
        EXPECT_LT(at("flash_image recovery"), at("\" /sdcard/mirq/update.zip"));
        EXPECT_LT(at("\" /sdcard/mirq/update.zip"), at("reboot recovery"));
        EXPECT_LT(at("reboot recovery"), static_cast<long>(journal.size()));
        const std::vector<std::string> raw = CSimPhone::RawJournal();
        const std::string named = "-s \"" + std::string(phone.profile[0] == 'b' ? "SIM0001" : "HW9A 12\\\\") + "\" ";
        for (const std::string& line : raw)  // all but the device lists
            if (line != "devices  ") { EXPECT_EQ(line.find(named), 0u) << line; }
    }
}

TEST_F(Tasks, TheBarOfAFlashFollowsThePlan) {
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    EXPECT_EQ(host.shown, std::vector<std::string>{"rooted"});
    host.bar.clear();
    EXPECT_EQ(RunFlashTask(host, input), kTaskFlashed);
    // Check 0..20 (a phone read before reports 5 and 10, then its slice is
    // completed), the package check's and the phone check's texts, recovery
    // 20..40, package 40..100.
    // Then the bar stays full while the phone installs.
    std::vector<int> bar = host.bar;
    while (bar.size() > 1 && bar.back() == 100 && bar[bar.size() - 2] == 100) bar.pop_back();
    EXPECT_EQ(bar, (std::vector<int>{1, 2, 20, 20, 20, 24, 30, 36, 38, 40, 52, 70, 88, 94, 100}));
}

TEST_F(Tasks, FailedFlashesSayWhy) {
    // No recovery image anywhere: a well-formed one of another phone in
    // temp\ without the service's answer is not used, nor kept.
    WriteBytes(RecoveryImagePath(2), Served(L"files/recovery/passion.img"));
    ServiceControl("set?file_status=500");
    EXPECT_EQ(Flash("nexus_s"), kTaskRecoveryFlashFailed);
    EXPECT_EQ(host.flashStep, kRecoveryImageFailed);
    EXPECT_EQ(host.Box(kTaskRecoveryFlashFailed), L"刷机失败: 云端辅助工具下载失败，请保证网络连接良好后重新刷机！");
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "push").empty());
    EXPECT_FALSE(FileExists(RecoveryImagePath(2)));
    ServiceControl("reset");

    WriteBytes(RecoveryImagePath(2), Served(L"files/recovery/passion.img"));
    CSimPhone::Reset("nexus_s");
    CSimPhone::WritePhoneFile("/cache/recovery/openrecoveryscript", "wipe data\n");  // another recovery's, left over
    CSimPhone::Set("push_fail_path", "update.zip");
    EXPECT_EQ(RunFlashTask(host, input), kTaskRomFlashFailed);
    EXPECT_EQ(host.flashStep, kRomPushFailed);
    EXPECT_EQ(host.Box(kTaskRomFlashFailed), std::wstring(L"刷机失败: ") + kReplug);
    EXPECT_TRUE(CSimPhone::RecoveryPartition() == Served(L"files/recovery/crespo.img"));  // the signed one
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/openrecoveryscript"));

    CSimPhone::Reset("nexus_s");
    CSimPhone::WritePhoneFile("/cache/recovery/extendedcommand", "format(\"/data\");");  // an earlier attempt's
    CSimPhone::Set("unplug_on", "shell ls /sdcard/mirq/update.zip");
    EXPECT_EQ(RunFlashTask(host, input), kTaskRomFlashFailed);
    EXPECT_EQ(host.Box(kTaskRomFlashFailed), std::wstring(L"刷机失败: ") + kReplug);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
}

TEST_F(Tasks, AConnectionProblemDuringAFlashNamesItself) {
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("offline_on", "push");  // the phone drops off as the image is copied
    EXPECT_EQ(RunFlashTask(host, input), kCheckOffline);
    EXPECT_EQ(host.Box(kCheckOffline), L"异常提示: 手机处于离线状态，请重新插拔USB线后点击“刷新设备信息”！");
}

TEST_F(Tasks, ADamagedPackageOrNoPhoneChangesNothingOnThePhone) {
    WriteBytes(input.romPath, "<html><body>502 Bad Gateway</body></html>");
    EXPECT_EQ(Flash("nexus_s"), kTaskBadPackage);
    EXPECT_EQ(host.Box(kTaskBadPackage), L"刷机失败: ROM包已损坏或不完整，请重新下载或选择其他ROM包！");
    EXPECT_EQ(Flash("unsupported"), kTaskUnsupported);
    EXPECT_EQ(host.Box(kTaskUnsupported), L"不支持该设备: 该型号手机暂不支持，具体信息请关注http://127.0.0.1:8080/MirqROM论坛！");
    CSimPhone::Set("connected", "0");
    EXPECT_EQ(RunFlashTask(host, input), kTaskNoDevice);
    EXPECT_EQ(host.shown, (std::vector<std::string>{"rooted", "unknown", "unknown"}));
    for (const char* change : {"push", "reboot", "shell rm", "shell mkdir"})
        EXPECT_TRUE(Matching(CSimPhone::Journal(), change).empty()) << change;
}

TEST_F(Tasks, AFlashThatCannotFinishDoesNotStart) {
    const std::wstring tool = GetSandbox().base + L"\\tools\\flash_image";
    const struct {
        const char* name;
        std::function<void()> arrange;
        int result;
        const wchar_t* box;
    } cases[] = {
        {"photos", [&] { WriteBytes(input.romPath, MakeZip({{"DCIM/100ANDRO/DSC_0001.JPG", MakeContent(9000, 3)}})); },
         kTaskNotARom, L"刷机失败: 所选文件不是可刷入的ROM包，请重新选择ROM包！"},
        {"another phone's ROM", [&] { WriteBytes(input.romPath, MakePackage(1000, 1, "passion")); }, kTaskWrongDevice,
         L"刷机失败: 该ROM包适用于passion，与当前手机（crespo）不符，请选择本机型号的ROM包！"},
        {"flat battery", [] { CSimPhone::Set("battery_level", "15"); }, kTaskLowBattery,
         L"异常提示: 手机电量过低（15%），请充电至50%以上后再刷机！"},
        {"full card", [] { CSimPhone::Set("sdcard_free", "1048576"); }, kTaskNoSpace,
         L"异常提示: 手机存储卡空间不足（需要2 MB，可用1 MB），请清理存储卡后重新刷机！"},  // the image, as downloaded, counts
        {"no flash_image", [&] { DeleteFileW(tool.c_str()); }, kTaskNoFlashTool,
         L"错误: 未找到flash_image工具，请重新安装一键软件客户端以恢复文件！"},
        // A row whose script this program cannot write: no package flasher, so no recovery written either.
        {"no package flasher",
         [&] {
             Catalogue odd = BuiltInCatalogue();
             odd.models[2].script = static_cast<ScriptKind>(7);
             input.catalogue = CModelRows::Make(odd);
         },
         kTaskUnsupported, L"不支持该设备: 该型号手机暂不支持，具体信息请关注http://127.0.0.1:8080/MirqROM论坛！"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        input.catalogue = BuiltInRows();
        CSimPhone::Reset("nexus_s");
        CSimPhone::WritePhoneFile("/cache/recovery/extendedcommand", "format(\"/data\");");  // an earlier attempt's
        WriteBytes(tool, MakeContent(30000, 9));
        WriteBytes(input.romPath, MakePackage(1000, 1));
        c.arrange();
        host.detail.clear();
        EXPECT_EQ(RunFlashTask(host, input), c.result);
        EXPECT_EQ(host.Box(c.result), c.box);
        for (const char* change : {"push", "reboot", "shell rm", "shell mkdir"})
            EXPECT_TRUE(Matching(CSimPhone::Journal(), change).empty()) << change;
    }
    // The earlier copies go, but the card gives back less than they held
    // (a file another app keeps open): stopped before anything is pushed.
    input.catalogue = BuiltInRows();
    CSimPhone::Reset("nexus_s");
    CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", std::string(4 << 20, 'o'));
    CSimPhone::Set("sdcard_size", std::to_string((4 << 20) + 600 * 1024));
    CSimPhone::Set("sdcard_held_on_rm", "1");
    EXPECT_EQ(RunFlashTask(host, input), kTaskNoSpace);
    EXPECT_EQ(host.Box(kTaskNoSpace), L"异常提示: 手机存储卡空间不足（需要2 MB，可用0 MB），请清理存储卡后重新刷机！");
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "push").empty());
}

TEST_F(Tasks, APathOutsideTheCodePageReachesAdbByItsShortName) {
    CSimPhone::Reset("nexus_s");
    input.romPath = GetSandbox().base + L"\\한국어 롬.zip";  // Hangul: not in code page 936
    const std::string package = MakePackage(2000, 3);
    WriteBytes(input.romPath, package);
    EXPECT_EQ(RunFlashTask(host, input), kTaskFlashed);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), package);
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "push").size() >= 3u);
    for (const std::string& push : Matching(CSimPhone::Journal(), "push")) EXPECT_EQ(push.find('?'), std::string::npos);
    if (GetACP() == CP_UTF8) { EXPECT_EQ(OemExactPath(input.romPath), input.romPath); }  // written as it is
    // Where no short name stands in, the readiness refuses the path (see the flash tests) with this box.
    EXPECT_EQ(host.Box(kTaskUnwritablePath), L"异常提示: ROM包路径中含有无法识别的字符，请将ROM包移到只含中英文字符的路径后重试！");
}

TEST_F(Tasks, AFailureOfItsOwnIsToldWithAStopPending) {
    // The stop comes while flash_image writes, and flash_image fails: the
    // half-written recovery partition is told, not hidden as a stop.
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("flash_image_fails", "1");
    CSimPhone::Set("flash_image_ms", "1500");
    CThread stopper([&] {
        for (int i = 0; i < 1200 && Matching(CSimPhone::Journal(), "shell /data/mirq/flash_image").empty(); ++i)
            Sleep(50);
        input.stop->Request();
    });
    EXPECT_EQ(RunFlashTask(host, input), kTaskRecoveryFlashFailed);
    EXPECT_EQ(host.Box(kTaskRecoveryFlashFailed), std::wstring(L"刷机失败: ") + kReplug);
}

// The verdict on a phone that runs a system again; the first row that fits decides.
TEST(InstallVerdict, FromTheReadingsThePackageAndTheRecoverysWord) {
    const auto phone = [](const wchar_t* date) {
        SystemReading r;
        r.serialno = L"3233A90D1A2B00EC";
        r.device = L"crespo";
        r.date = date;
        r.booted = true;
        return r;
    };
    ExpectedBuild prop, ota, none;
    prop.dateUtc = L"200";
    ota.postTimestamp = L"200";  // OTA metadata only
    using V = InstallVerdict;
    const InstallLog kNone = InstallLog::None, kOk = InstallLog::Succeeded, kFail = InstallLog::Failed;
    const struct {
        const wchar_t *before, *after;
        const ExpectedBuild& expected;
        InstallLog log;
        bool scriptLeft;
        V verdict;
    } rows[] = {
        {L"100", L"200", prop, kOk, true, V::ScriptNotRun},  // whatever the rest says
        {L"100", L"200", prop, kNone, false, V::NewSystem},
        {L"100", L"200", ota, kNone, false, V::NewSystem},
        {L"100", L"150", ota, kOk, false, V::OldSystem},  // another date than before, not the package's
        {L"100", L"100", prop, kNone, false, V::OldSystem},
        {L"100", L"200", prop, kFail, false, V::NewSystem},  // the package's system runs, a first attempt failed
        {L"200", L"200", prop, kOk, false, V::NewSystem},   // the same build again
        {L"200", L"200", prop, kFail, false, V::OldSystem},
        {L"200", L"200", prop, kNone, false, V::SameBuild},
        {L"100", L"150", none, kNone, false, V::NewSystem},  // a package that names no build
        {L"100", L"100", none, kNone, false, V::SameBuild},
        {L"100", L"100", none, kFail, false, V::OldSystem},
        {L"100", L"100", none, kOk, false, V::NewSystem},
        {L"", L"", prop, kNone, false, V::SameBuild},  // a phone without a date: the recovery's word alone
        {L"", L"", prop, kFail, false, V::OldSystem},
        {L"", L"", prop, kOk, false, V::NewSystem},
    };
    for (const auto& row : rows)
        EXPECT_EQ(DecideVerdict(phone(row.before), row.expected, row.log, phone(row.after), row.scriptLeft), row.verdict)
            << WideToUtf8(row.before) << " " << WideToUtf8(row.after) << " " << static_cast<int>(row.log);
    // last_install: the second line tells, however many follow; another phone shares the serial only.
    EXPECT_EQ(ReadInstallLog(L"/sdcard/mirq/update.zip\r\n0\r\nextra\n"), InstallLog::Failed);
    EXPECT_EQ(ReadInstallLog(L"/sdcard/mirq/update.zip\n1\n"), InstallLog::Succeeded);
    EXPECT_EQ(ReadInstallLog(L"cat: /cache/recovery/last_install: No such file or directory"), InstallLog::None);
    SystemReading other = phone(L"100");
    other.device = L"passion";
    EXPECT_FALSE(IsTheFlashedPhone(phone(L"100"), other));
    EXPECT_TRUE(IsTheFlashedPhone(phone(L"100"), phone(L"200")));
    SystemReading withImei = phone(L"100"), otherImei = phone(L"200");
    withImei.imei = L"864367010054321";
    otherImei.imei = L"864367010054999";
    EXPECT_FALSE(IsTheFlashedPhone(withImei, otherImei));
    otherImei.imei = withImei.imei;
    EXPECT_TRUE(IsTheFlashedPhone(withImei, otherImei));
    EXPECT_EQ(FormatInstallWait(65000), L"正在等待手机完成安装，请勿拔下USB线... 已等待 1分05秒");
}

namespace {

// One flash a row: the recovery's switches (key=value&...; "stop": the user
// stops waiting), the package, the result and its box, the phone's build
// date before ("": the profile's). The session log of them is handed back.
struct VerdictRow {
    const char* install;
    std::string package;
    int result;
    const wchar_t* box;
    const char* before = "";
};

std::string FlashEachRow(CFakeHost& host, TaskInput& input, const std::vector<VerdictRow>& rows, bool first) {
    // The simulated recovery installs the package as a recovery does; the
    // flash follows the phone by its serial (an emulator that starts
    // meanwhile changes nothing) and says what it booted. The tests' build
    // waits 4 s for it. (A catalogue where the Nexus S keeps its recovery:
    // no image is written, the rows go quicker.)
    ServiceControl("set?catalogue_keep=crespo");
    CResourceDownloader* downloader = CResourceDownloader::GetInstance();
    EXPECT_TRUE(FetchCatalogue(downloader->ServiceUrl(), downloader->ServiceKey(), 0, host, CStopToken::Never()));
    input.catalogue = host.LatestCatalogue();
    const std::wstring logBase = GetSandbox().base + L"\\flash";
    InstallLogHandler(new CFileLogHandler(kLogInfo, 0, logBase, 1 << 20, 0, 0));
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.install) + " " + row.before);
        CSimPhone::Reset("nexus_s");
        const std::string switches = std::string(row.install) == "stop" ? "" : row.install;
        for (size_t at = 0; at < switches.size();) {
            const size_t end = std::min(switches.find('&', at), switches.size()), eq = switches.find('=', at);
            CSimPhone::Set(switches.substr(at, eq - at).c_str(), switches.substr(eq + 1, end - eq - 1));
            at = end + 1;
        }
        if (*row.before) CSimPhone::Prop("ro.build.date.utc", row.before);
        if (&row == &rows.front() && first) {  // listed in recovery a while first, with an earlier attempt's word of a failure there
            CSimPhone::Set("recovery_ms", "1500");
            CSimPhone::WritePhoneFile("/cache/recovery/last_install", "/sdcard/mirq/update.zip\n0\n");
        }
        CSimPhone::Set("second_device_on", "devices");
        WriteBytes(input.romPath, row.package);
        host.shown.clear();
        host.texts.clear();
        input.stop = std::make_shared<CStopToken>();
        host.onReport = [&](int, int) {
            if (std::string(row.install) == "stop" && !host.texts.empty() && host.texts.back().find(L"正在等待手机完成安装") == 0)
                input.stop->Request();
        };
        const int result = RunFlashTask(host, input);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(host.Box(result), row.box);
        EXPECT_TRUE(std::any_of(host.texts.begin(), host.texts.end(), [](const std::wstring& text) {
            return text.find(L"正在等待手机完成安装，请勿拔下USB线... 已等待 ") == 0;
        }));
        // The phone as it was read last: anew where it came back running a system.
        const bool runs = result == kTaskFlashed || result == kTaskSystemNotUpdated || result == kTaskSameBuild || result == kTaskScriptNotRun;
        EXPECT_EQ(host.shown.size(), runs ? 2u : 1u);
        // Once it runs a system, no script of either kind is left to wipe it at the next boot into recovery.
        if (runs) {
            for (const char* script : {"/cache/recovery/extendedcommand", "/cache/recovery/openrecoveryscript"})
                EXPECT_FALSE(CSimPhone::PhoneFileExists(script)) << script;
        }
        if (&row == &rows.front() && first) { EXPECT_GE(Matching(CSimPhone::Journal(), "shell cat /cache/recovery/last_install").size(), 2u); }
        std::vector<std::string> journal = CSimPhone::Journal();
        const auto reboot = std::find(journal.begin(), journal.end(), "reboot recovery ");
        if (reboot == journal.end()) {
            ADD_FAILURE() << "no reboot";
            continue;
        }
        if (std::string(row.install) == "install=gone") {
            // Away: only the list (and the recovery's word while it was there), a few times in the 4 s, not more.
            std::vector<std::string> after(std::find(reboot, journal.end(), "devices  "), journal.end());
            const size_t lists = Matching(after, "devices").size();
            EXPECT_EQ(lists + Matching(after, "shell cat /cache/recovery/last_install").size(), after.size())
                << ::testing::PrintToString(after);
            EXPECT_LE(lists, 8u);
        }
    }
    InstallLogHandler(nullptr);
    std::string log;
    for (const std::wstring& name : ListDir(GetSandbox().base))
        if (name.compare(0, 5, L"flash") == 0) log += ReadBytes(GetSandbox().base + L"\\" + name);
    return log;
}

const wchar_t* const kNotUpdated =
    L"刷机失败: 手机已重新启动，但系统没有更新：Recovery未能安装ROM包。请查看手机屏幕上的提示后重新刷机！";

}  // namespace

TEST_F(Tasks, AFlashEndsWithWhatThePhoneBooted) {
    // A package that names no build: only an installer and its script.
    const std::string builtPackage = MakePackage(1000, 1),
                      namelessPackage = MakeZip({{"META-INF/com/google/android/update-binary", MakeContent(4000, 2)},
                                                 {kUpdaterScriptName, "assert(getprop(\"ro.product.device\") == \"crespo\");\n"}});
    FlashEachRow(host, input, {
        {"", builtPackage, kTaskFlashed, L"刷机完成！: 刷机成功，手机已启动新系统：MirqROM 1"},
        // A recovery that lists itself as a device, answering its own build: not yet a verdict.
        {"recovery_as_device=1&recovery_ms=1500", builtPackage, kTaskFlashed, L"刷机完成！: 刷机成功，手机已启动新系统：MirqROM 1"},
        // A package that names no build: a system of another date than before is the new one; the same, not.
        {"", namelessPackage, kTaskFlashed, L"刷机完成！: 刷机成功，手机已启动新系统：FACTORY"},
        {"install=noscript", namelessPackage, kTaskScriptNotRun,
         L"刷机失败: 手机已重新启动，但Recovery没有运行刷机命令，ROM包没有安装。请重新刷机！"},
    }, true);
}

// The other half of the rows, side by side with the first.
TEST_F(Tasks, AFailedOrRepeatedInstallIsToldByTheRecoverysWord) {
    const std::string builtPackage = MakePackage(1000, 1);
    const std::string log = FlashEachRow(host, input, {
        {"install=fails", builtPackage, kTaskSystemNotUpdated, kNotUpdated},
        // The same build again (a repair): the recovery's word decides.
        {"install=fails", builtPackage, kTaskSystemNotUpdated, kNotUpdated, "1400000001"},
        {"", builtPackage, kTaskFlashed, L"刷机完成！: 刷机成功，手机已启动新系统：MirqROM 1", "1400000001"},
        {"last_install=none", builtPackage, kTaskSameBuild,
         L"刷机提示: 手机已启动，系统与ROM包的版本相同（MirqROM 1），无法确认这次安装是否成功。请查看手机屏幕上的提示。", "1400000001"},
    }, false);
    // The recovery's own words of a failure, in the session log: its last lines, not its first.
    EXPECT_NE(log.find("E:Error in /sdcard/mirq/update.zip"), std::string::npos);
    EXPECT_EQ(log.find("Starting recovery"), std::string::npos);
    EXPECT_NE(log.find("the phone runs MirqROM 1 (ro.build.date.utc 1400000001"), std::string::npos);
}

TEST_F(Tasks, AFlashWhosePhoneRunsNoSystemSaysWhereItIs) {
    const std::string builtPackage = MakePackage(1000, 1);
    FlashEachRow(host, input, {
        {"install=stays", builtPackage, kTaskStayedInRecovery,
         L"刷机失败: 手机停留在Recovery中，ROM包没有安装成功。请查看手机屏幕上的提示后重新刷机！"},
        // Still in recovery when the wait ends, with no word of the install.
        {"install=stays&last_install=none", builtPackage, kTaskStayedInRecovery,
         L"刷机失败: 手机停留在Recovery中，ROM包没有安装成功。请查看手机屏幕上的提示后重新刷机！"},
        // Unauthorized for a moment (a key to accept on the phone) is no verdict; for the whole wait it is.
        {"unauthorized_ms=1500", builtPackage, kTaskFlashed, L"刷机完成！: 刷机成功，手机已启动新系统：MirqROM 1"},
        {"install=unauthorized", builtPackage, kTaskBackUnauthorized,
         L"刷机提示: 手机已重新启动，但没有得到USB调试授权，无法确认新系统的版本。请在手机屏幕上查看系统版本。"},
        {"install=gone", builtPackage, kTaskNotBack,
         L"刷机提示: ROM包已交给Recovery安装，但手机在1分钟内没有重新连接电脑（清除数据后手机的USB调试会关闭）。请查看手机屏幕，确认新系统已经启动。"},
        {"stop", builtPackage, kTaskWaitStopped,
         L"刷机提示: 已停止等待：ROM包已交给Recovery安装，请查看手机屏幕，确认新系统已经启动。"},
    }, false);
}

DWORD WINAPI SlowTaskThread(void*) {
    Sleep(1000);  // still between two commands when the window goes
    CAdbManager::GetInstance()->Reboot(CSerial::OnlyDevice(), L"recovery");
    return 0;
}

TEST_F(Tasks, ASlowPushShowsItsProgressAndAStopEndsItAtOnce) {
    CSimPhone::Reset("nexus_s");
    WriteBytes(input.romPath, MakePackage(400000, 5));
    CSimPhone::Set("push_rate_path", "update.zip");
    CSimPhone::Set("push_rate", "20000");  // about 20 s, until the rest is let through
    // The package's slice is 40..100, its push the part from 70 to 88: once
    // three positions of it were shown, the rest of the push arrives at once.
    std::vector<int> inPush;
    host.onReport = [&](int, int) {
        const int position = host.bar.empty() ? 0 : host.bar.back();
        if (position > 70 && position < 88 && (inPush.empty() || position > inPush.back())) inPush.push_back(position);
        if (inPush.size() == 3) CSimPhone::ReleasePush();
    };
    EXPECT_EQ(RunFlashTask(host, input), kTaskFlashed);
    host.onReport = nullptr;
    EXPECT_GE(inPush.size(), 3u);
    EXPECT_TRUE(std::is_sorted(host.bar.begin(), host.bar.end()));
    EXPECT_TRUE(std::any_of(host.texts.begin(), host.texts.end(), [](const std::wstring& text) {
        return text.find(L"ROM包传输中... ") == 0 && text.find(L"B/s，剩余约 ") != std::wstring::npos;
    }));
    const std::vector<std::string> raw = CSimPhone::RawJournal();
    for (const std::string& line : raw)  // the polls too
        if (line != "devices  ") { EXPECT_EQ(line.find("-s \"3233A90D1A2B00EC\" "), 0u) << line; }

    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("push_rate_path", "update.zip");
    CSimPhone::Set("push_rate", "20000");  // about 20 s
    CSimPhone::Set("push_linger_ms", "1000");  // the server goes on sending after its client is ended
    DWORD stoppedAt = 0;
    host.onReport = [&](int span, int percent) {
        if (span == 60 && percent > 50 && !stoppedAt) {  // the first poll, about 1 s in
            stoppedAt = GetTickCount();
            input.stop->Request();
        }
    };
    EXPECT_EQ(RunFlashTask(host, input), kTaskStopped);
    EXPECT_LT(GetTickCount() - stoppedAt, 4000u);
    // Gone for good: asked after the task, the phone has nothing more arriving.
    EXPECT_EQ(CAdbManager::GetInstance()->RemoteFilePresence(CSerial::OnlyDevice(), L"/sdcard/mirq/update.zip"), RemotePresence::Absent);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
}

TEST(CleanUp, TheServerStopsOnlyOnceTheTaskHasEnded) {
    CSimPhone::Reset("nexus_s");
    CWinHandle task(CreateThread(nullptr, 0, SlowTaskThread, nullptr, 0, nullptr));
    HANDLE waited = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), task.get(), GetCurrentProcess(), &waited, SYNCHRONIZE, FALSE, 0));
    CWinHandle cleanUp(CreateThread(nullptr, 0, CleanUpThread, waited, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(cleanUp.get(), 30000), WAIT_OBJECT_0);
    const std::vector<std::string> journal = CSimPhone::Journal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], "reboot recovery ");
    EXPECT_EQ(journal[1], "kill-server  ");
}

TEST_F(Tasks, EachPhoneOfTheCatalogueFlashesByItsOwnRow) {
    CSimPhone::Reset("oneplus_one");
    EXPECT_EQ(RunDeviceCheckTask(host), kTaskUnsupported);  // the built-in rows do not know it
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);  // a built-in phone, read before the catalogue came
    // The service's catalogue: nine phones of its own after the first four
    // (ids 4 to 12), the Nexus S turned into a phone that keeps its recovery
    // and reads openrecoveryscript, and the OnePlus One. Images are refused:
    // no phone that keeps its recovery asks for one.
    ServiceControl("set?catalogue_extra=9&catalogue_keep=crespo");
    CResourceDownloader* downloader = CResourceDownloader::GetInstance();
    ASSERT_TRUE(FetchCatalogue(downloader->ServiceUrl(), downloader->ServiceKey(), 0, host, CStopToken::Never()));
    input.catalogue = host.LatestCatalogue();
    ServiceControl("reset");
    ServiceControl("set?query_fails_for=2");
    const char* const kOpenWipe = "wipe data\nwipe cache\ninstall /sdcard/mirq/update.zip\n";
    const struct {
        const char* profile;
        const char* device;
        bool keepData;
        const char* script;  // openrecoveryscript's text; null: the image is written and extendedcommand read
    } phones[] = {{"nexus_s", "crespo", false, kOpenWipe},
                  {"oneplus_one", "bacon", false, kOpenWipe},
                  {"oneplus_one", "bacon", true, "install /sdcard/mirq/update.zip\n"},
                  {"nexus_s", "mirqtest9", false, nullptr}};
    for (const auto& phone : phones) {
        SCOPED_TRACE(std::string(phone.device) + (phone.keepData ? " keeping data" : ""));
        CSimPhone::Reset(phone.profile);
        CSimPhone::WritePhoneFile("/cache/recovery/extendedcommand", "format(\"/data\");");  // an earlier tool's
        if (!phone.script) {  // the ninth phone of the catalogue's own
            ServiceControl("reset");
            CSimPhone::Prop("ro.product.brand", "mirqtest");
            CSimPhone::Prop("ro.product.device", phone.device);
        }
        WriteBytes(input.romPath, MakePackage(3000, 2, phone.device));
        input.keepData = phone.keepData;
        EXPECT_EQ(RunFlashTask(host, input), kTaskFlashed);
        if (!phone.script) { EXPECT_GE(CDeviceModel::GetInstance()->GetModelId(), 12); }
        EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), ReadBytes(input.romPath));
        EXPECT_EQ(CSimPhone::RecoveryRan("openrecoveryscript"), phone.script ? phone.script : "");
        EXPECT_EQ(CSimPhone::RecoveryRan("extendedcommand"), phone.script ? "" : kWipeScript);
        EXPECT_EQ(CSimPhone::PhoneFileExists("/sdcard/mirq/recovery.img"), !phone.script);
        EXPECT_EQ(Matching(CSimPhone::Journal(), "shell /data/mirq/flash_image").empty(), phone.script != nullptr);
        if (phone.script)
            EXPECT_EQ(ServiceControl("log").find("<flashtype>2</flashtype>"), std::string::npos);
        else
            EXPECT_TRUE(CSimPhone::RecoveryPartition() == Served(L"files/recovery/mirqtest9.img"));
        EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
    }
    // Its download asks for the package alone, as the phone's device.
    CSimPhone::Reset("oneplus_one");
    ASSERT_EQ(RunDeviceCheckTask(host, CStopToken::Never(), 100, nullptr, &input.catalogue), kTaskOk);
    EXPECT_EQ(input.catalogue->Row(CDeviceModel::GetInstance()->GetModelId()).name, L"OnePlus One");
    ServiceControl("reset");
    ServiceControl("set?query_fails_for=2");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    EXPECT_NE(ServiceControl("log").find("<phonemode>OnePlus One</phonemode><flashtype>1</flashtype>"), std::string::npos);
    EXPECT_EQ(ServiceControl("log").find("<flashtype>2</flashtype>"), std::string::npos);
    EXPECT_TRUE(ReadBytes(input.romPath) == Served(L"files/rom/bacon.zip"));
}

TEST_F(Tasks, DownloadBringsTheImageAndThePackageAndAFailureKeepsTheEarlierFile) {
    EXPECT_EQ(RunDownloadTask(host, input), kTaskUnsupported);  // no phone identified yet
    EXPECT_EQ(ServiceControl("log"), "");
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    input.romPath = GetSandbox().base + L"\\下载 100%.zip";
    host.bar.clear();  // a new progress window
    // Through the proxy of Internet Options: the home page, the query and both files.
    std::unique_ptr<CSystemProxy> proxy(new CSystemProxy(ServiceProxy()));
    EXPECT_TRUE(CheckServiceConnection(ServiceUrl(L"")));
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    const std::string carried = ServiceControl("log") + "\n", service = WideToUtf8(ServiceUrl(L""));
    for (const std::string& what : {"GET " + service + "\n", "POST " + service + "ota/ota/geturl.action",
                                   "GET " + service + "files/recovery/crespo.img", "GET " + service + "files/rom/crespo.zip"})
        EXPECT_NE(carried.find("proxy " + what), std::string::npos) << what << "\n" << carried;
    EXPECT_EQ(ReadBytes(input.romPath), Served(L"files/rom/crespo.zip"));
    EXPECT_EQ(ReadBytes(RecoveryImagePath(2)), Served(L"files/recovery/crespo.img"));
    EXPECT_TRUE(std::is_sorted(host.bar.begin(), host.bar.end()));
    ASSERT_FALSE(host.bar.empty());
    EXPECT_EQ(host.bar.back(), 100);

    // The earlier image goes before the new one is asked for, even when that
    // fails; a proxy that refuses the connection fails like any other way.
    WriteBytes(input.romPath, "the user's earlier package");
    proxy->Set(L"127.0.0.1:1");
    EXPECT_FALSE(CheckServiceConnection(ServiceUrl(L"")));
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadFailed);
    EXPECT_EQ(ReadBytes(input.romPath), "the user's earlier package");
    EXPECT_FALSE(FileExists(input.romPath + L".part"));
    proxy.reset();
    ServiceControl("set?file_status=500");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadFailed);
    EXPECT_EQ(host.Box(kTaskDownloadFailed), L"下载失败: ROM下载失败，请确认网络连接良好后重新下载！");
    EXPECT_EQ(ReadBytes(input.romPath), "the user's earlier package");
    EXPECT_FALSE(FileExists(RecoveryImagePath(2)));
    ServiceControl("set?file_status=200&md5=wrong");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadChecksumFailed);
    EXPECT_EQ(host.Box(kTaskDownloadChecksumFailed), L"下载失败: ROM包校验失败，请重新下载！");
    EXPECT_EQ(ReadBytes(input.romPath), "the user's earlier package");
    // A refused answer says why; an ended certificate or record, that the PC's date may be the cause.
    for (const auto& refused : std::vector<std::pair<std::string, std::wstring>>{
             {"cert=ended", L"服务器的证书已于2020-01-01到期，或者电脑的日期不正确（电脑的日期是" + TodayUtc() +
                                L"）。没有下载任何文件，请确认电脑的日期正确后重试！"},
             {"record_until=ended", L"服务器给出的发布记录已于2020-01-01到期，或者电脑的日期不正确（电脑的日期是" + TodayUtc() +
                                        L"）。没有下载任何文件，请确认电脑的日期正确后重试！"},
             {"place=outside", L"服务器的回答未通过安全验证（下载地址不在发布记录中），没有下载任何文件，请稍后重试！"},
             {"record=online", L"服务器的回答未通过安全验证（ROM包的发布记录不是发布密钥签名的），没有下载任何文件，请稍后重试！"}}) {
        ServiceControl("reset");
        ServiceControl("set?" + refused.first);
        EXPECT_EQ(RunDownloadTask(host, input), kTaskAnswerRefused);
        EXPECT_EQ(host.Box(kTaskAnswerRefused), L"下载失败: " + refused.second);
        EXPECT_EQ(ServiceControl("log").find("GET /files"), std::string::npos);
    }
    ServiceControl("reset");
    // The verdict is the package's own: the image's wrong checksum does not outlive its fetch.
    ServiceControl("set?query_fails_for=1");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadFailed);
    // The package arrived, the image did not: said so.
    ServiceControl("reset");
    ServiceControl("set?query_fails_for=2");
    EXPECT_EQ(RunDownloadTask(host, input), kTaskImageDownloadFailed);
    EXPECT_EQ(host.Box(kTaskImageDownloadFailed), L"下载失败: ROM包已下载，但Recovery镜像下载失败，请确认网络连接良好后重新下载！");

    // A whole, verified package whose file is open in another program stays
    // for the next download, which takes it without fetching it again: held
    // by its SHA-256 when the server gives no validator.
    ServiceControl("reset");
    ServiceControl("set?no_validator=1");
    CWinHandle held(CreateFileW(input.romPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloadTargetInUse);
    EXPECT_EQ(host.Box(kTaskDownloadTargetInUse),
              L"下载失败: ROM包已下载，但所选文件正被其他程序使用，请关闭该程序后重新下载！");
    held.Reset();
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    const std::string log = ServiceControl("log");  // one fetch of the package
    EXPECT_NE(log.find("200 /files/rom/"), std::string::npos);
    EXPECT_EQ(log.find("200 /files/rom/"), log.rfind("200 /files/rom/")) << log;
    EXPECT_EQ(ReadBytes(input.romPath), Served(L"files/rom/crespo.zip"));

    // Closing the main window keeps what arrived for the next download; a cancel does not.
    ServiceControl("set?no_validator=0&slow_ms=200&rom_size=600000");
    for (bool forExit : {true, false}) {
        input.stop = std::make_shared<CStopToken>();
        host.onReport = [&](int span, int percent) {
            if (span == 80 && percent > 10 && percent < 100) forExit ? input.stop->RequestForExit() : input.stop->Request();
        };
        EXPECT_EQ(RunDownloadTask(host, input), kTaskStopped);
        EXPECT_EQ(FileExists(input.romPath + L".part"), forExit) << forExit;
    }
}

TEST_F(Tasks, DownloadsOnTaskThreadsEndNoProgram) {
    // The window's own thread routines, started as it starts them: a device
    // check now and then, else the image's and the package's downloads, a
    // third of them cut off half-way (the part kept, and resumed by the next).
    // The old fault (a thread record of the C++ library's threads handed out
    // twice) needed only threads started after others had ended; each round
    // starts and ends six (the task, the body's reader, the writer and its
    // two checksums, twice), so 24 rounds reuse records hundreds of times.
    CSimPhone::Reset("nexus_s");
    for (int i = 0; i < 24; ++i) {
        ServiceControl(i % 3 == 1 ? "set?short=1&rom_size=20000" : "set?short=0&rom_size=20000");
        const bool check = i % 6 == 0;
        CWinHandle thread(StartThread(check ? DeviceCheckThread : DownloadThread, new TaskStart{&host, nullptr, input}));
        ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0) << i;
        if (!check) { EXPECT_EQ(FileExists(input.romPath + L".part"), i % 3 == 1) << i; }
    }
}

TEST_F(Tasks, AStopInTheImageLeavesNothingConfiguredForTheNextPhone) {
    CSimPhone::Reset("nexus_s");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    host.onReport = [&](int span, int) {
        if (span == 20) input.stop->Request();
    };
    EXPECT_EQ(RunDownloadTask(host, input), kTaskStopped);
    host.onReport = nullptr;
    input.stop = std::make_shared<CStopToken>();
    CSimPhone::Reset("nexus_one");
    ASSERT_EQ(RunDeviceCheckTask(host), kTaskOk);
    EXPECT_EQ(RunDownloadTask(host, input), kTaskDownloaded);
    EXPECT_EQ(ReadBytes(input.romPath), Served(L"files/rom/passion.zip"));
    EXPECT_EQ(ReadBytes(RecoveryImagePath(1)), Served(L"files/recovery/passion.img"));
}

TEST(TaskMessages, StepsChooseTheFlashFailureText) {
    EXPECT_EQ(MessageFor(kTaskNoServer, kFlashOk).text, std::wstring(L"连接下载服务器失败，请确认网络设置正常后再重新尝试！"));
    EXPECT_EQ(MessageFor(kTaskRomFlashFailed, kRomPrepareFailed).text, MessageFor(kTaskRecoveryFlashFailed, kRecoveryImageFailed).text);
    for (int step : {kRomScriptFailed, kRecoveryPushFailed, kRecoveryWriteFailed})
        EXPECT_EQ(MessageFor(kTaskRomFlashFailed, step).text, std::wstring(kReplug)) << step;
    EXPECT_EQ(MessageFor(kTaskRomFlashFailed, kRomRebootFailed).text, L"手机未能重启进入Recovery，请重新插拔USB线后重新刷机！");
    for (int step : {kRomFlashStopped, kRecoveryFlashStopped, kFlashOk})
        EXPECT_EQ(MessageFor(kTaskRomFlashFailed, step).caption, nullptr) << step;
    for (int result : {int(kTaskOk), int(kTaskStopped)}) EXPECT_EQ(MessageFor(result, kFlashOk).caption, nullptr) << result;
    EXPECT_EQ(MessageFor(kCheckReadFailed, kFlashOk).text, std::wstring(kReplug));  // a reading cut short
}
