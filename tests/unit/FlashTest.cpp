// Both flashers through cmd.exe against the simulated phone; the recovery
// image comes from a local copy or from the local service.
#include <windows.h>

#include <memory>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "device/DeviceChecker.h"
#include "device/DeviceModel.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "adb/AdbManager.h"
#include "flash/FlashReadiness.h"
#include "flash/FlashSequence.h"
#include "flash/Flasher.h"
#include "flash/PackageCheck.h"
#include "util/Raii.h"
#include "util/Thread.h"

using namespace mirq;
using namespace mirqtest;

namespace {

const std::vector<int> kFullRun = {20, 50, 80, 90, 100};

class RomFlash : public CServiceTest {
protected:
    void SetUp() override {
        CServiceTest::SetUp();
        CSimPhone::Reset("nexus_s");
        package = GetSandbox().base + L"\\我的 ROM 100%\\update.zip";
        CreateDirectoryW((GetSandbox().base + L"\\我的 ROM 100%").c_str(), nullptr);
        content = MakeContent(250000, 3);
        WriteBytes(package, content);
    }
    int Flash(bool keepData, const std::wstring& path) {
        std::unique_ptr<IKestrelbox> flasher(CreateKestrelbox(2, path));
        flasher->SetListener(&listener);
        int code = flasher->Flash(keepData, stop);
        flasher->ClearListener();
        return code;
    }

    std::wstring package;
    std::string content;
    CRecordingListener listener;
    CStopToken stop;
};

}  // namespace

TEST(Factories, ModelIdRanges) {
    for (int id : {-1, 12, 100}) EXPECT_EQ(CreateKestrelbox(id, L"x"), nullptr) << id;
    for (int id = 0; id <= 11; ++id) EXPECT_NE(CreateKestrelbox(id, L"x"), nullptr) << id;
    for (int id : {-1, 4, 11}) EXPECT_EQ(CreateRecoveryFlasher(id, L""), nullptr) << id;
    for (int id = 0; id <= 3; ++id) EXPECT_NE(CreateRecoveryFlasher(id, L""), nullptr) << id;
}

TEST(RecoveryScripts, ExactBytes) {
    EXPECT_EQ(strlen(kWipeScript), 131u);
    EXPECT_EQ(strlen(kUpgradeScript), 77u);
    EXPECT_EQ(std::string(kUpgradeScript),
              "ui_print(\"Welcome to use Mirq rom.\");\ninstall_zip(\"/sdcard/mirq/update.zip\");");
}

TEST_F(RomFlash, WipeFlashCopiesPackageAndScriptAndReboots) {
    CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", "package of an earlier run");
    EXPECT_EQ(Flash(false, package), 0);
    EXPECT_EQ(listener.Percents(), kFullRun);
    EXPECT_EQ(listener.reports[0].text, L"ROM刷机中...");
    EXPECT_EQ(listener.reports[1].text, L"");
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), content);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/cache/recovery/extendedcommand"), kWipeScript);
    EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
    EXPECT_EQ(CSimPhone::Journal(),
              (std::vector<std::string>{
                  "shell ls /sdcard/mirq/update.zip ", "shell rm /sdcard/mirq/update.zip ",
                  "shell ls /sdcard/mirq/update.zip ", "shell mkdir /sdcard/mirq ",
                  "push \"" + WideToUtf8(package) + "\" /sdcard/mirq/update.zip ",
                  "shell ls -l /sdcard/mirq/update.zip ",  // each push counts once the phone holds it
                  "push \"" + WideToUtf8(GetSandbox().temp) + "extendedcommand\" /cache/recovery/extendedcommand ",
                  "shell ls -l /cache/recovery/extendedcommand ", "shell cat /cache/recovery/extendedcommand ",
                  "reboot recovery ", "get-state  "}));  // the phone has left
    EXPECT_FALSE(FileExists(GetSandbox().temp + L"extendedcommand"));
}

TEST_F(RomFlash, KeepDataFlashWritesTheUpgradeScript) {
    CSimPhone::Set("push_style", "old");
    EXPECT_EQ(Flash(true, package), 0);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/cache/recovery/extendedcommand"), kUpgradeScript);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), content);
}

TEST_F(RomFlash, StopBeforeFlashRunsNothing) {
    stop.Request();
    EXPECT_EQ(Flash(false, package), 54);
    EXPECT_EQ(listener.Percents(), (std::vector<int>{20}));
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(RomFlash, MissingPackage) {
    EXPECT_EQ(Flash(false, GetSandbox().base + L"\\missing.zip"), 50);
    EXPECT_EQ(listener.Percents(), (std::vector<int>{20}));
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(RomFlash, OldPackageThatCannotBeRemovedEndsTheStep) {
    CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", "stuck");
    CSimPhone::Set("rm_fails", "1");
    EXPECT_EQ(Flash(false, package), 51);
    std::vector<std::string> journal = CSimPhone::Journal();
    EXPECT_EQ(Matching(journal, "shell rm ").size(), static_cast<size_t>(kRemoveAttempts));
    EXPECT_TRUE(Matching(journal, "push").empty());
    EXPECT_EQ(listener.Percents(), (std::vector<int>{20, 50}));
}

TEST_F(RomFlash, APushCountsOnlyWhenThePhoneHoldsTheFile) {
    // Refused or cut half-way (the current client announces a transfer with
    // its error), announced whole but half on the phone, or the script
    // arriving other than it was written.
    const struct {
        const char *key, *value;
        int code;
    } faults[] = {{"push_style", "fail", 51},
                  {"push_cut", "update.zip", 51},
                  {"push_partial", "1", 51},  // "1 file pushed" of half the package
                  {"push_garble", "extendedcommand", 52}};
    for (const auto& fault : faults) {
        SCOPED_TRACE(fault.key);
        CSimPhone::Reset("nexus_s");
        CSimPhone::Set(fault.key, fault.value);
        EXPECT_EQ(Flash(false, package), fault.code);
        EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
        EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    }
}

TEST_F(RomFlash, UnpluggedBeforeThePackagePushCopiesAndRebootsNothing) {
    CSimPhone::Set("unplug_on", "push");
    EXPECT_EQ(Flash(false, package), 51);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
    EXPECT_FALSE(Flash(false, GetSandbox().base) == 0);  // a folder is no package either
}

TEST_F(RomFlash, StopAfterTheScriptPushTakesTheScriptBack) {
    // A stop request arrives while the script is being copied: seen before the reboot.
    struct CStopAtReboot : CRecordingListener {
        CStopToken* stop = nullptr;
        void OnProgress(int percent, const std::wstring& text) override {
            if (percent == 90) stop->Request();
        }
    } stopper;
    stopper.stop = &stop;
    std::unique_ptr<IKestrelbox> flasher = CreateKestrelbox(2, package);
    flasher->SetListener(&stopper);
    EXPECT_EQ(flasher->Flash(false, stop), 54);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "reboot").empty());
    // A script an earlier attempt left behind is taken off too.
    CSimPhone::WritePhoneFile("/cache/recovery/extendedcommand", kWipeScript);
    EXPECT_TRUE(RemoveRecoveryScript(CSerial::OnlyDevice()));
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));
}

TEST_F(RomFlash, FailedScriptPushStillDeletesTheLocalScript) {
    // The package copies, then the phone's storage turns read-only.
    std::unique_ptr<IKestrelbox> flasher(CreateKestrelbox(2, package));
    EXPECT_TRUE(flasher->PushFile());
    CSimPhone::Set("push_style", "fail");
    EXPECT_FALSE(flasher->WriteRecoveryScript(false));
    EXPECT_FALSE(FileExists(GetSandbox().temp + L"extendedcommand"));
}

TEST_F(RomFlash, MissingTempFolderFailsTheScriptStep) {
    const std::wstring missing = GetSandbox().root + L"gone\\";
    SetEnvironmentVariableW(L"TMP", missing.c_str());
    SetEnvironmentVariableW(L"TEMP", missing.c_str());
    std::unique_ptr<IKestrelbox> flasher(CreateKestrelbox(2, package));
    CSimPhone::ClearJournal();
    EXPECT_FALSE(flasher->WriteRecoveryScript(true));
    EXPECT_TRUE(CSimPhone::Journal().empty());
    EXPECT_FALSE(FileExists(missing));
    EXPECT_EQ(Flash(true, package), 52);
    SetEnvironmentVariableW(L"TMP", GetSandbox().temp.c_str());
    SetEnvironmentVariableW(L"TEMP", GetSandbox().temp.c_str());
}

namespace {

class RecoveryFlash : public RomFlash {
protected:
    void SetUp() override {
        RomFlash::SetUp();
        WriteBytes(GetSandbox().base + L"\\tools\\flash_image", MakeContent(30000, 9));
        CDeviceModel::GetInstance()->Reset();
        ASSERT_EQ(CDeviceChecker::GetInstance()->Check(), 0);
        CSimPhone::ClearJournal();
    }
    int Flash(const std::wstring& path = L"") {
        std::unique_ptr<IRecoveryFlasher> flasher(CreateRecoveryFlasher(2, path));
        flasher->SetListener(&listener);
        int code = flasher->Flash(stop);
        flasher->ClearListener();
        finalPath = flasher->GetPath();
        return code;
    }
    // The model's image as the service signs it, downloaded with its answer
    // (a file placed in temp\ by hand is never flashed); the service's log
    // starts anew after it.
    std::string SignedImage() {
        ServiceControl("reset");
        EXPECT_TRUE(CDownloaderScope(2, BuiltInRows())->FetchRecovery(RecoveryImagePath(2)));
        ServiceControl("reset");
        return ReadBytes(RecoveryImagePath(2));
    }
    std::wstring finalPath;
};

}  // namespace

TEST_F(RecoveryFlash, FromALocalImage) {
    const std::string image = SignedImage();
    ServiceControl("set?query_status=500");  // verified before: flashed offline
    CSimPhone::Set("flash_image_verbose", "4000");  // its status comes after 4 KB of output
    EXPECT_EQ(Flash(), 0);
    EXPECT_EQ(finalPath, RecoveryImagePath(2));
    EXPECT_EQ(listener.Percents(), kFullRun);
    EXPECT_TRUE(CSimPhone::RecoveryPartition() == image);
    std::vector<std::string> journal = CSimPhone::Journal();
    EXPECT_EQ(LastLine(journal), "shell /data/mirq/flash_image recovery /sdcard/mirq/recovery.img; echo rc=$? ");
    EXPECT_EQ(Matching(journal, "shell chmod 755 /data/mirq/flash_image; echo rc=$? ").size(), 1u);
    EXPECT_EQ(ServiceControl("log"), "");  // nothing asked: checked against its kept answer
}

TEST_F(RecoveryFlash, APhoneWithTheShellProtocolIsUnderstood) {
    // Errors on standard error, LF line ends, the status passed on (Android 7 and later).
    CSimPhone::Set("shell_protocol", "v2");
    CSimPhone::Set("ls_style", "toybox");
    SignedImage();
    EXPECT_TRUE(RemoveRecoveryScript(CSerial::OnlyDevice()));
    EXPECT_EQ(Flash(), 0);
    EXPECT_EQ(RomFlash::Flash(false, package), 0);
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/cache/recovery/extendedcommand"), kWipeScript);
}

TEST_F(RecoveryFlash, FromTheServiceWhenNoLocalCopyExists) {
    CDeviceModel::GetInstance()->Reset();  // read again meanwhile: the flasher keeps the phone it was made for
    EXPECT_EQ(Flash(), 0);
    std::string served;
    ASSERT_TRUE(HttpGet(ServiceUrl(L"files/recovery/crespo.img"), served));
    EXPECT_EQ(ReadBytes(RecoveryImagePath(2)), served);
    EXPECT_EQ(CSimPhone::RecoveryPartition(), served);
    EXPECT_EQ(listener.Percents(), kFullRun);  // the download itself reports nothing
}

TEST_F(RecoveryFlash, NoImageAndTheDownloadFailing) {
    ServiceControl("set?file_status=500");
    EXPECT_EQ(Flash(), 100);
    EXPECT_EQ(listener.Percents(), (std::vector<int>{20}));
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(RecoveryFlash, MissingFlashToolLeavesTheImageOnThePhone) {
    DeleteFileW((GetSandbox().base + L"\\tools\\flash_image").c_str());
    const std::string image = SignedImage();
    EXPECT_EQ(Flash(), 102);
    EXPECT_TRUE(CSimPhone::ReadPhoneFile("/sdcard/mirq/recovery.img") == image);
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "shell mkdir /data").empty());
    bool written = true;
    CSimPhone::RecoveryPartition(&written);
    EXPECT_FALSE(written);
}

TEST_F(RecoveryFlash, FailedToolPushIsNotMadeExecutable) {
    WriteBytes(RecoveryImagePath(2), "image");
    std::unique_ptr<IRecoveryFlasher> flasher(CreateRecoveryFlasher(2, RecoveryImagePath(2)));
    CSimPhone::Set("push_style", "fail");
    EXPECT_FALSE(flasher->InstallFlashTool());
    EXPECT_TRUE(Matching(CSimPhone::Journal(), "shell chmod").empty());
}

TEST_F(RecoveryFlash, AToolThatCannotBeMadeExecutableIsNotRun) {
    SignedImage();
    // chmod refuses; or it says rc=0 and its client crashes (a negative status): not known to have worked.
    for (const std::pair<const char*, const char*>& fault : {std::make_pair("chmod_fails", "1"),
                                                           std::make_pair("crash_after_on", "shell chmod")}) {
        SCOPED_TRACE(fault.first);
        CSimPhone::Reset("nexus_s");
        CSimPhone::Set(fault.first, fault.second);
        EXPECT_EQ(Flash(), kRecoveryToolFailed);
        EXPECT_TRUE(Matching(CSimPhone::Journal(), "shell /data/mirq/flash_image").empty());
    }
}

TEST_F(RecoveryFlash, AFailedRecoveryWriteFailsTheLastStep) {
    SignedImage();
    CSimPhone::Set("flash_image_fails", "1");
    EXPECT_EQ(Flash(), 103);
    bool written = true;
    CSimPhone::RecoveryPartition(&written);
    EXPECT_FALSE(written);
}

TEST_F(RecoveryFlash, ImagesThatAreNoBootImageAreDeletedAndFail) {
    const std::wstring cached = RecoveryImagePath(2);
    // Files without the service's answer: not flashed, and nothing in their
    // place while the service fails (a well-formed image of another phone too).
    ServiceControl("set?file_status=500");
    for (const std::string& unsigned_ : {std::string("<html><body>404 Not Found</body></html>"),
                                         MakeRecoveryImage(40960, 2).substr(0, 30000), MakeRecoveryImage(40960, 2)}) {
        WriteBytes(cached, unsigned_);
        EXPECT_EQ(Flash(), 100);
        EXPECT_FALSE(FileExists(cached));
    }
    // An image whose kept record is not its own (other bytes of its size, or
    // the signed ones and more), or not for this phone.
    const std::string image = SignedImage();
    WriteBytes(cached, MakeRecoveryImage(static_cast<int>(image.size()), 2));
    ServiceControl("set?file_status=500");
    EXPECT_EQ(Flash(), 100);
    SignedImage();
    WriteBytes(cached, image + std::string(2048, '\0'));
    ServiceControl("set?file_status=500");
    EXPECT_EQ(Flash(), 100);
    EXPECT_FALSE(FileExists(cached));
    SignedImage();  // its own bytes, its record edited: no longer the root's
    std::string record = ReadBytes(KeptRecordPath(cached));
    record.replace(record.find("<version>1<"), 11, "<version>9<");
    WriteBytes(KeptRecordPath(cached), record);
    ServiceControl("set?file_status=500");
    EXPECT_EQ(Flash(), 100);
    EXPECT_FALSE(FileExists(cached));
    SignedImage();
    CDownloaderScope(1, BuiltInRows())->FetchRecovery(cached);  // another phone's image and answer
    ServiceControl("set?file_status=500");
    EXPECT_EQ(Flash(), 100);
    EXPECT_FALSE(FileExists(KeptRecordPath(cached)));
    ServiceControl("set?file_status=200&recovery_html=1");  // an error page served as the image
    EXPECT_EQ(Flash(), 100);
    EXPECT_FALSE(FileExists(cached));
    ServiceControl("set?recovery_html=0&md5=wrong");  // a good image, but not the announced one
    EXPECT_EQ(Flash(), 100);
    EXPECT_FALSE(FileExists(cached));
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(RecoveryFlash, UnidentifiedPhoneHasNoFlasher) {
    EXPECT_EQ(CreateRecoveryFlasher(-1, L""), nullptr);
}

TEST_F(RecoveryFlash, StopBeforeFlash) {
    stop.Request();
    EXPECT_EQ(Flash(), 104);
    EXPECT_EQ(listener.Percents(), (std::vector<int>{20}));
    // A stop during the image's download stops the flash; it did not fail.
    CStopToken during;
    ServiceControl("set?slow_ms=300");
    mirq::CThread stopper([&] {
        Sleep(600);
        during.Request();
    });
    std::unique_ptr<IRecoveryFlasher> flasher(CreateRecoveryFlasher(2, L""));
    EXPECT_EQ(flasher->Flash(during), kRecoveryFlashStopped);
    stopper.Join();
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST(UpdaterScript, AssertedDevicesInScriptOrder) {
    const std::string passion =  // as a signed ROM of that era carries it
        "assert(getprop(\"ro.product.device\") == \"passion\" || getprop(\"ro.build.product\") == \"passion\" || \n"
        "       getprop(\"ro.product.device\") == \"nexusone\" || getprop(\"ro.build.product\") == \"nexusone\");\n"
        "show_progress(0.500000, 0);\nformat(\"yaffs2\", \"MTD\", \"system\");\n";
    EXPECT_EQ(AssertedDevices(passion), (std::vector<std::wstring>{L"passion", L"nexusone"}));
    EXPECT_EQ(AssertedDevices("assert(getprop(\"ro.product.device\")==\"crespo\");"), std::vector<std::wstring>{L"crespo"});
    EXPECT_TRUE(AssertedDevices("ui_print(\"any phone\");\ngetprop(\"ro.product.device\") != \"blade\";").empty());
    // Either property alone guards; a comparison outside an assert does not.
    EXPECT_EQ(AssertedDevices("assert(getprop(\"ro.build.product\") == \"soju\");"), std::vector<std::wstring>{L"soju"});
    EXPECT_TRUE(AssertedDevices("ifelse(getprop(\"ro.product.device\") == \"blade\", ui_print(\"(blade)\"));\n"
                                "reassert(getprop(\"ro.product.device\") == \"bravo\");")
                    .empty());
    EXPECT_TRUE(AssertedDevices("").empty());
}

namespace {

// The checks before a flash against the simulated Nexus S ("crespo"), its record read.
class FlashStart : public ::testing::Test {
protected:
    void SetUp() override {
        CSimPhone::Reset("nexus_s");
        CDeviceModel::GetInstance()->Reset();
        ASSERT_EQ(CDeviceChecker::GetInstance()->Check(), 0);
    }
    // `givenPath`: the path the readiness is given, when not the checked file's.
    ReadinessReport Check(const std::string& zip, std::wstring givenPath = L"") {
        const std::wstring path = GetSandbox().base + L"\\rom.zip";
        WriteBytes(path, zip);
        RomContents contents;
        EXPECT_EQ(CheckRomPackage(path, nullptr, &contents), PackageCheck::Ok);
        return CheckFlashReadiness(CSerial::OnlyDevice(), givenPath.empty() ? path : givenPath, contents, image, CStopToken::Never());
    }
    Readiness Verdict() { return Check(package).verdict; }
    const std::string package = MakePackage(1000, 1);
    std::wstring image;  // the recovery image that goes to the card first; none by default
    const long long kMiB = 1 << 20;
};

}  // namespace

// (What is refused, with its box, is in the task's tests; here what passes.)
TEST_F(FlashStart, OlderInstallersAndTheBuildProductPass) {
    EXPECT_EQ(Check(MakeZip({{"META-INF/com/google/android/update-script", "copy_dir PACKAGE:system SYSTEM:"}}, false)).verdict,
              Readiness::Ready);
    CSimPhone::Prop("ro.build.product", "soju");
    ASSERT_EQ(CDeviceChecker::GetInstance()->Check(), 0);  // the phone's other name comes with its reading
    CSimPhone::ClearJournal();
    EXPECT_EQ(Check(MakePackage(1000, 1, "soju")).verdict, Readiness::Ready);
    EXPECT_EQ(CSimPhone::Journal().size(), 1u);  // the battery and the card, in one command
}

TEST_F(FlashStart, TheBatteryIsReadFromEitherSource) {
    CSimPhone::Set("battery_level", "15");
    CSimPhone::Set("battery_scale", "50");  // 30 %
    EXPECT_EQ(Verdict(), Readiness::Ready);
    CSimPhone::Set("battery_level", "none");  // no battery service: the capacity file
    CSimPhone::WritePhoneFile("/sys/class/power_supply/battery/capacity", "12\n");
    EXPECT_EQ(Verdict(), Readiness::LowBattery);
    DeleteFileW(CSimPhone::PhoneFile("/sys/class/power_supply/battery/capacity").c_str());
    EXPECT_EQ(Verdict(), Readiness::Ready);  // unknown does not block
}

TEST_F(FlashStart, TheCardMustHoldThePackage) {
    for (const char* style : {"toolbox2", "toolbox4", "toybox"}) {
        SCOPED_TRACE(style);
        CSimPhone::Set("df_style", style);
        CSimPhone::Set("sdcard_free", std::to_string(kMiB));
        const ReadinessReport full = Check(package);
        EXPECT_EQ(full.verdict, Readiness::NoSpace);
        EXPECT_EQ(full.neededBytes, static_cast<long long>(package.size()) + kMiB);
        EXPECT_GT(full.freeBytes, 0);
        EXPECT_LE(full.freeBytes, kMiB);
        // An earlier package is replaced: its room counts; an exact fit (in
        // toybox's 1K blocks, which tell the room to the byte) is room enough.
        CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip",
                                  std::string(std::string(style) == "toybox" ? package.size() : kMiB / 4, 'p'));
        EXPECT_EQ(Verdict(), Readiness::Ready);
        // The recovery image goes first and counts too, less an earlier one.
        image = RecoveryImagePath(2);
        WriteBytes(image, std::string(kMiB / 2, 'r'));
        WriteBytes(FlashToolPath(), "tool");
        EXPECT_EQ(Verdict(), Readiness::NoSpace);
        CSimPhone::WritePhoneFile("/sdcard/mirq/recovery.img", std::string(kMiB / 2, 'o'));
        EXPECT_EQ(Verdict(), Readiness::Ready);
        image.clear();
        DeleteFileW(CSimPhone::PhoneFile("/sdcard/mirq/update.zip").c_str());
        DeleteFileW(CSimPhone::PhoneFile("/sdcard/mirq/recovery.img").c_str());
    }
    // A package of 4 GiB or more fits no FAT card, whatever room it shows.
    const std::wstring big = GetSandbox().base + L"\\big.zip";
    {
        CWinHandle file(CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = 1LL << 32;
        ASSERT_TRUE(SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file.get()));
    }
    CSimPhone::Set("sdcard_free", std::to_string(7LL << 30));  // room enough otherwise
    EXPECT_EQ(Check(package, big).verdict, Readiness::NoSpace);
    DeleteFileW(big.c_str());
    CSimPhone::Set("sdcard_free", "0");
    CSimPhone::Set("mute_on", "shell dumpsys");  // no answer does not block
    EXPECT_EQ(Verdict(), Readiness::Ready);
}

TEST_F(FlashStart, APathAdbCannotBeGivenIsRefusedBeforeAnyCommand) {
    // Hangul is outside the code page, and a file gone since its check has no short name either.
    CSimPhone::ClearJournal();
    EXPECT_EQ(Check(package, GetSandbox().base + L"\\한국어.zip").verdict, Readiness::UnwritablePath);
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(RomFlash, TheRebootCountsOnlyWhenThePhoneLeaves) {
    CSimPhone::Set("unplug_on", "reboot");  // the client says "no devices" on its error stream
    EXPECT_EQ(Flash(false, package), kRomRebootFailed);
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("reboot_ignored", "1");
    CAdbManager::GetInstance()->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs, 1500);
    EXPECT_EQ(Flash(false, package), kRomRebootFailed);
    CAdbManager::GetInstance()->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs);
    EXPECT_GE(Matching(CSimPhone::Journal(), "get-state").size(), 2u);
    EXPECT_FALSE(CSimPhone::PhoneFileExists("/cache/recovery/extendedcommand"));  // the phone still answers
    // Back in recovery before the first look: it has left the system.
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("reboot_gone_ms", "0");
    EXPECT_EQ(Flash(false, package), kFlashOk);
    // A client that crashes says nothing of the phone: no evidence that it left.
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("reboot_ignored", "1");
    CSimPhone::Set("crash_on", "get-state");
    CAdbManager::GetInstance()->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs, 1500);
    EXPECT_EQ(Flash(false, package), kRomRebootFailed);
    CAdbManager::GetInstance()->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs);
}

TEST_F(RomFlash, ARemovalCountsOnlyWhenThePhoneSaysSo) {
    CSimPhone::Set("mute_on", "shell ls /cache");
    EXPECT_FALSE(RemoveRecoveryScript(CSerial::OnlyDevice()));  // nothing is there, but no answer says so
    CSimPhone::Set("mute_on", "");
    EXPECT_TRUE(RemoveRecoveryScript(CSerial::OnlyDevice()));
    // So too for what a stopped push left: removed until the phone says it is gone.
    CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", "half");
    CSimPhone::Set("mute_on", "shell ls /sdcard");
    EXPECT_FALSE(CAdbManager::GetInstance()->RemoveUntilGone(CSerial::OnlyDevice(), L"/sdcard/mirq/update.zip", 1000));
}
