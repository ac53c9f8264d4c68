// Device operations: readings of captured client output, and whole operations
// through cmd.exe against the simulated phone.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "adb/AdbManager.h"
#include "adb/AdbOutput.h"
#include "adb/AdbPort.h"

using namespace mirq;
using namespace mirqtest;

// Standard output of real adb clients, trimmed as the runner returns it.
namespace fixtures {
const wchar_t* kDevicesNone = L"List of devices attached";
const wchar_t* kDevicesOne = L"List of devices attached\n3233A90D1A2B00EC\tdevice";
const wchar_t* kDevicesOldDaemon =  // before 2017 the daemon banner went to stdout
    L"* daemon not running. starting it now on port 5037 *\n* daemon started successfully *\n"
    L"List of devices attached";
const wchar_t* kPushOld = L"";  // before late 2015 the summary went to stderr
const wchar_t* kPushMid = L"2114 KB/s (2985472 bytes in 1.379s)";
const wchar_t* kPush2016 = L"C:\\roms\\update.zip: 1 file pushed. 4.2 MB/s (146012637 bytes in 33.081s)";
const wchar_t* kPushCurrent =
    L"C:\\roms\\update.zip: 1 file pushed, 0 skipped. 35.6 MB/s (146012637 bytes in 3.914s)";
const wchar_t* kPushCurrentSmall = L"extendedcommand: 1 file pushed, 0 skipped. 0.1 MB/s (131 bytes in 0.001s)";
const wchar_t* kPushCurrentNoTime = L"extendedcommand: 1 file pushed, 0 skipped.";
const wchar_t* kPushGb = L"big.img: 1 file pushed, 0 skipped. 1.1 GB/s (4294967296 bytes in 3.720s)";
const wchar_t* kPushFailed =
    L"adb: error: failed to copy 'C:\\roms\\update.zip' to '/sdcard/mirq/update.zip': remote No space left on device";
const wchar_t* kPushNoDevice = L"error: device not found";
}  // namespace fixtures

TEST(AdbOutputReading, DevicesList) {
    EXPECT_FALSE(DevicesOutputHasDevice(fixtures::kDevicesNone));
    EXPECT_TRUE(DevicesOutputHasDevice(fixtures::kDevicesOne));
    EXPECT_FALSE(DevicesOutputHasDevice(L""));
    EXPECT_FALSE(DevicesOutputHasDevice(fixtures::kDevicesOldDaemon));
    // Any longer text that does not end with the banner counts as a device line.
    EXPECT_TRUE(DevicesOutputHasDevice(L"adb server version (41) doesn't match this client (39); killing..."));
    EXPECT_FALSE(DevicesOutputHasDevice(L"List of devices"));
}

TEST(AdbOutputReading, RootIsTheExactIdLine) {
    EXPECT_TRUE(IdOutputIsRoot(L"uid=0(root) gid=0(root)"));
    EXPECT_FALSE(IdOutputIsRoot(L"uid=0(root) gid=0(root) groups=1003(graphics),1004(input)"));
    EXPECT_FALSE(IdOutputIsRoot(L"uid=2000(shell) gid=2000(shell) groups=1003(graphics)"));
    EXPECT_FALSE(IdOutputIsRoot(L""));
}

TEST(AdbOutputReading, LsMustEchoThePathExactly) {
    EXPECT_TRUE(LsOutputEchoes(L"/sdcard/mirq/update.zip", L"/sdcard/mirq/update.zip"));
    EXPECT_FALSE(LsOutputEchoes(L"/sdcard/mirq/update.zip: No such file or directory", L"/sdcard/mirq/update.zip"));
    EXPECT_FALSE(LsOutputEchoes(L"/SDCARD/mirq/update.zip", L"/sdcard/mirq/update.zip"));
}

TEST(AdbOutputReading, OnlyAPushsFailureIsReadFromTheClientsWords) {
    for (const wchar_t* fine : {fixtures::kPushOld, fixtures::kPushMid, fixtures::kPush2016, fixtures::kPushCurrent,
                                fixtures::kPushCurrentSmall, fixtures::kPushCurrentNoTime, fixtures::kPushGb,
                                L"u.zip: 10 files pushed, 0 skipped."})
        EXPECT_FALSE(PushOutputReportsFailure(fine)) << fine;
    // Current client 1.0.41 (stdout, status 1): refused, the phone gone half-way, no phone.
    for (const wchar_t* failed :
         {fixtures::kPushFailed, fixtures::kPushNoDevice,
          L"adb: error: failed to copy 'C:\\roms\\update.zip' to '/sdcard/mirq/update.zip': remote No space left on "
          L"device\nC:\\roms\\update.zip: 0 files pushed, 0 skipped. 17.9 MB/s (1504732 bytes in 0.080s)",
          L"adb: error: failed to copy 'C:\\roms\\update.zip' to '/sdcard/mirq/update.zip': couldn't read from "
          L"device\nC:\\roms\\update.zip: 0 files pushed, 0 skipped. 17.9 MB/s (1504732 bytes in 0.010s)",
          L"adb: error: failed to get feature set: no devices/emulators found",
          L"failed to copy 'u.zip' to '/sdcard/u.zip': Read-only file system", L"0 files pushed, 0 skipped."})
        EXPECT_TRUE(PushOutputReportsFailure(failed)) << failed;
}

namespace {

class AdbDevice : public ::testing::Test {
protected:
    void SetUp() override {
        CSimPhone::Reset("nexus_s");
        adb = CAdbManager::GetInstance();
    }
    CAdbManager* adb = nullptr;
};

}  // namespace

TEST_F(AdbDevice, IsDeviceConnectedFollowsThePhone) {
    EXPECT_TRUE(adb->IsDeviceConnected());
    CSimPhone::Set("connected", "0");
    EXPECT_FALSE(adb->IsDeviceConnected());
    CSimPhone::Uninstall();
    EXPECT_FALSE(adb->IsDeviceConnected());
    CSimPhone::Install();
}

TEST_F(AdbDevice, IsDeviceConnectedWithTheServerStarting) {
    CSimPhone::Set("server", "0");  // current clients print the banner on stderr
    EXPECT_TRUE(adb->IsDeviceConnected());
    CSimPhone::Set("server", "0");
    CSimPhone::Set("connected", "0");
    CSimPhone::Set("daemon_msgs", "old");
    EXPECT_FALSE(adb->IsDeviceConnected());
}

TEST_F(AdbDevice, RestartServerKillsWaitsAndStarts) {
    DWORD start = GetTickCount();
    EXPECT_TRUE(adb->RestartServer());
    EXPECT_GE(GetTickCount() - start, 2 * kServerSettleMs);  // the server settles after each
    EXPECT_EQ(CSimPhone::Journal(), (std::vector<std::string>{"kill-server  ", "start-server "}));
    EXPECT_EQ(CSimPhone::StateValue("server"), "1");
    CSimPhone::Uninstall();  // nothing starts at all: still true
    EXPECT_TRUE(adb->RestartServer());
    CSimPhone::Install();
}

TEST_F(AdbDevice, RootCheck) {
    EXPECT_TRUE(adb->IsRooted(CSerial::OnlyDevice()));
    CSimPhone::Set("rooted", "groups");
    EXPECT_FALSE(adb->IsRooted(CSerial::OnlyDevice()));
    CSimPhone::Set("rooted", "0");
    EXPECT_FALSE(adb->IsRooted(CSerial::OnlyDevice()));
    CSimPhone::Set("connected", "0");
    EXPECT_FALSE(adb->IsRooted(CSerial::OnlyDevice()));
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "shell id ");
    EXPECT_EQ(adb->LastError(), L"error: no devices/emulators found");  // the client's own error, kept apart
    EXPECT_EQ(adb->LastExitStatus(), 1);  // through the batch file
    // ... whatever a variable of that name in the environment says.
    SetEnvironmentVariableW(L"ERRORLEVEL", L"0");
    EXPECT_FALSE(adb->IsRooted(CSerial::OnlyDevice()));
    EXPECT_EQ(adb->LastExitStatus(), 1);
    SetEnvironmentVariableW(L"ERRORLEVEL", nullptr);
    adb->ListDevices();
    EXPECT_EQ(adb->LastExitStatus(), 0);
    EXPECT_TRUE(adb->LastSucceeded());
    // A client that crashed failed, though its status is negative as a number.
    CSimPhone::Set("crash_on", "devices");
    adb->ListDevices();
    EXPECT_EQ(adb->LastExitStatus(), static_cast<long>(0xC0000005));
    EXPECT_FALSE(adb->LastSucceeded());
}

TEST_F(AdbDevice, RemoteFileExistsOnlyOnAnExactEcho) {
    EXPECT_FALSE(adb->RemoteFileExists(CSerial::OnlyDevice(), L"/sdcard/mirq/update.zip"));
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "shell ls /sdcard/mirq/update.zip ");
    CSimPhone::WritePhoneFile("/sdcard/mirq/update.zip", "zip");
    EXPECT_TRUE(adb->RemoteFileExists(CSerial::OnlyDevice(), L"/sdcard/mirq/update.zip"));
    EXPECT_EQ(adb->Shell(CSerial::OnlyDevice(), L"mkdir /sdcard/mirq"), L"mkdir failed for /sdcard/mirq, File exists");
}

TEST_F(AdbDevice, PushCopiesBytesInEveryClientStyle) {
    const std::wstring local = GetSandbox().base + L"\\刷机 100% 包.zip";
    const std::string content = MakeContent(70000, 7);
    WriteBytes(local, content);
    for (const char* style : {"old", "mid", "v2016", "current", "notime"}) {
        SCOPED_TRACE(style);
        CSimPhone::Set("push_style", style);
        DeleteFileW(CSimPhone::PhoneFile("/sdcard/mirq/update.zip").c_str());
        EXPECT_TRUE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/mirq/update.zip"));
        EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/mirq/update.zip"), content);
    }
    EXPECT_EQ(Matching(CSimPhone::Journal(), "push").back(), "push \"" + WideToUtf8(local) + "\" /sdcard/mirq/update.zip ");
}

TEST_F(AdbDevice, PushFailsWithoutWordsOnStandardOutput) {
    const std::wstring local = GetSandbox().base + L"\\u.zip";
    WriteBytes(local, MakeContent(5000, 1));
    EXPECT_FALSE(adb->Push(CSerial::OnlyDevice(), GetSandbox().base + L"\\missing.zip", L"/sdcard/x.zip"));
    EXPECT_FALSE(adb->Push(CSerial::OnlyDevice(), GetSandbox().base, L"/sdcard/x.zip"));  // a folder
    for (const char* style : {"old", "current"}) {
        SCOPED_TRACE(style);
        CSimPhone::Set("push_style", style);
        CSimPhone::Set("connected", "0");  // unplugged: the error goes to stderr
        EXPECT_FALSE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/x.zip"));
        CSimPhone::Set("connected", "1");
    }
    // An old client's silent push is confirmed by the phone's listing, in both layouts.
    CSimPhone::Set("push_style", "old");
    for (const char* layout : {"toolbox", "toybox", "busybox"}) {
        CSimPhone::Set("ls_style", layout);
        EXPECT_TRUE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/x.zip")) << layout;
        EXPECT_EQ(LastLine(CSimPhone::Journal()), "shell ls -l /sdcard/x.zip ");
    }
    // ... and a silent copy cut short is none: only half of it is on the phone.
    CSimPhone::Set("push_partial", "1");
    EXPECT_FALSE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/x.zip"));
    EXPECT_EQ(CSimPhone::ReadPhoneFile("/sdcard/x.zip").size(), 2500u);
    CSimPhone::Set("push_partial", "0");
    CSimPhone::Set("hang", "push");
    adb->SetWaitLimits(kCommandLimitMs, 2000);
    DWORD start = GetTickCount();
    EXPECT_FALSE(adb->Push(CSerial::OnlyDevice(), local, L"/sdcard/y.zip"));
    EXPECT_LT(GetTickCount() - start, 15000u);
    adb->SetWaitLimits(kCommandLimitMs, kPushBaseLimitMs);
    EXPECT_EQ(adb->PushLimitMs(200ll << 20), kPushBaseLimitMs + 200 * kPushMsPerMiB);
}

TEST(AdbOutputReading, PropertyListsOfToolboxAndToybox) {
    // As toolbox (Android 2.x, the classic client: CR CR LF) and toybox (LF) list them, with awkward values.
    const std::wstring toolbox =
        L"[dalvik.vm.heapsize]: [32m]\r\n[gsm.version.ril-impl]: [Samsung RIL(IPC) v2.0]\r\n"
        L"[ro.build.description]: [soju-user 2.3.4 GRJ22 121341 release-keys]\r\n[ro.empty]: []\r\n"
        L"[ro.odd]: [a]: [b] [c]]\r\n[ro.lines]: [first\r\nsecond]\r\n[ro.product.device]: [crespo]";
    // Values that look like a property of their own, or like a separator, on a line of theirs.
    const std::wstring toybox =
        L"[init.svc.adbd]: [running]\n[ro.product.device]: [  bravo ]\n[ro.lines]: [first\nsecond]\n[ro.empty]: []\n"
        L"[ro.notes]: [a\n[ro.product.model]: [x\n---\nb]\n[ro.product.model]: [HTC Desire]";
    const auto tb = ParsePropertyList(toolbox);
    EXPECT_EQ(tb.at(L"gsm.version.ril-impl"), L"Samsung RIL(IPC) v2.0");
    EXPECT_EQ(tb.at(L"ro.build.description"), L"soju-user 2.3.4 GRJ22 121341 release-keys");
    EXPECT_EQ(tb.at(L"ro.empty"), L"");
    EXPECT_EQ(tb.at(L"ro.odd"), L"a]: [b] [c]");
    EXPECT_EQ(tb.at(L"ro.lines"), L"first\r\nsecond");  // as "getprop ro.lines" reads it
    EXPECT_EQ(tb.at(L"ro.product.device"), L"crespo");
    EXPECT_EQ(tb.size(), 7u);
    const auto ty = ParsePropertyList(toybox);
    EXPECT_EQ(ty.at(L"ro.product.device"), L"bravo");  // trimmed, as a getprop alone
    EXPECT_EQ(ty.at(L"ro.lines"), L"first\nsecond");
    EXPECT_EQ(ty.at(L"ro.empty"), L"");
    EXPECT_EQ(ty.at(L"ro.notes"), L"a\n[ro.product.model]: [x\n---\nb");
    EXPECT_EQ(ty.at(L"ro.product.model"), L"HTC Desire");
    EXPECT_EQ(ParsePropertyList(L"[ro.a]: [1]\n[ro.cut]: [never clo"), (std::map<std::wstring, std::wstring>{{L"ro.a", L"1"}}));
    const std::vector<std::wstring> parts = SplitAtSeparator(toybox + L"\n--mirq-7--\nuid=0(root) gid=0(root)", L"--mirq-7--");
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(ParsePropertyList(parts[0]), ty);
    EXPECT_EQ(Trimmed(parts[1]), L"uid=0(root) gid=0(root)");
}

TEST(AdbOutputReading, AnAdbServersVersion) {
    EXPECT_EQ(ParseAdbVersionAnswer("OKAY00040029"), 41);  // 1.0.41
    EXPECT_EQ(ParseAdbVersionAnswer("OKAY0004001f"), 31);
    for (const char* other : {"", "OKAY", "FAIL0004002900", "HTTP/1.1 400 Bad Request\r\n", "OKAY0004zz29", "OKAY000400"})
        EXPECT_EQ(ParseAdbVersionAnswer(other), -1) << other;
}

TEST(AdbOutputReading, DeviceListAndConnectionErrors) {
    typedef std::vector<CDeviceEntry> List;
    EXPECT_EQ(ParseDevicesList(fixtures::kDevicesNone), List());
    EXPECT_EQ(ParseDevicesList(fixtures::kDevicesOldDaemon), List());
    EXPECT_EQ(ParseDevicesList(L"* daemon not running; starting now at tcp:5037\r\n* daemon started successfully\r\n"
                               L"List of devices attached\r\n3233A90D1A2B00EC\tdevice\r\nemulator-5554\toffline\r\n"
                               L"HT0A1P800426\tunauthorized\r\n0123456789ABCDEF\trecovery\r\n\r\n"),
              (List{{L"3233A90D1A2B00EC", L"device"}, {L"emulator-5554", L"offline"},
                    {L"HT0A1P800426", L"unauthorized"}, {L"0123456789ABCDEF", L"recovery"}}));
    EXPECT_EQ(ParseDevicesList(L"List of devices attached\nHW9A 123\tdevice\nABC\\\tdevice\n"),
              (List{{L"HW9A 123", L"device"}, {L"ABC\\", L"device"}}));  // serials as cheap phones give them
    EXPECT_EQ(ParseDevicesList(L"error: protocol fault"), List());

    std::wstring text = L"adb server is out of date.  killing...\n* daemon started successfully *\nNexus S";
    EXPECT_TRUE(StripServerRestartLines(text));
    EXPECT_EQ(Trimmed(text), L"Nexus S");
    text = L"adb server version (40) doesn't match this client (41); killing...\n* daemon started successfully\n";
    EXPECT_TRUE(StripServerRestartLines(text));
    EXPECT_EQ(Trimmed(text), L"");
    text = L"* daemon not running. starting it now on port 5037 *\n* daemon started successfully *\nNexus S";
    EXPECT_FALSE(StripServerRestartLines(text));  // our own start: stripped, but no replacement
    EXPECT_EQ(Trimmed(text), L"Nexus S");

    EXPECT_EQ(ConnectionProblemIn(L"error: more than one device and emulator"), ConnectionProblem::ManyDevices);
    EXPECT_EQ(ConnectionProblemIn(L"error: device offline"), ConnectionProblem::Offline);
    EXPECT_EQ(ConnectionProblemIn(L"error: device unauthorized.\nThis adb server's $ADB_VENDOR_KEYS is not set"),
              ConnectionProblem::Unauthorized);
    EXPECT_EQ(ConnectionProblemIn(L"error: no devices/emulators found"), ConnectionProblem::None);
}

TEST(AdbOutputReading, LsLongSizeAndEchoedStatus) {
    EXPECT_EQ(LsLongSize(L"-rw-rw-r-- system   sdcard_rw  1048576 2011-12-07 10:00 update.zip"), 1048576);
    EXPECT_EQ(LsLongSize(L"-rw-rw---- 1 root sdcard_rw 1048576 2011-12-07 10:00 /sdcard/update.zip"), 1048576);
    EXPECT_EQ(LsLongSize(L"-rw-rw---- 1 root sdcard_rw 0 2011-12-07 10:00 /sdcard/e\r"), 0);
    // Busybox's: a link count, and the date as "Dec  7 10:00" (this year) or "Dec  7  2011".
    EXPECT_EQ(LsLongSize(L"-rw-rw-r--    1 system   sdcard_r    800000 Dec  7 10:00 update.zip"), 800000);
    EXPECT_EQ(LsLongSize(L"-rw-r--r--    1 root     root          1234 Dec  7  2011 recovery.img\r"), 1234);
    EXPECT_EQ(LsLongSize(L"-rw-rw-r--    1 system   sdcard_r    800000 Dec 17 10:00 update.zip"), 800000);
    EXPECT_EQ(LsLongSize(L"-rw-rw-r--    1 system   sdcard_r    800000 Dex  7 10:00 update.zip"), -1);
    // Among the lines of several: by the name toolbox and busybox print, or the path toybox prints.
    const std::wstring listing = L"-rw-rw---- 1 root sdcard_rw 1048576 2011-12-07 10:00 /sdcard/mirq/update.zip\n"
                                 L"-rw-r--r--    1 root     root          1234 Dec  7  2011 recovery.img";
    EXPECT_EQ(LsLongSizeOf(listing, L"/sdcard/mirq/update.zip"), 1048576);
    EXPECT_EQ(LsLongSizeOf(listing, L"/sdcard/mirq/recovery.img"), 1234);
    EXPECT_EQ(LsLongSizeOf(listing, L"/sdcard/mirq/date.zip"), -1);
    EXPECT_EQ(LsLongSize(L"/sdcard/update.zip: No such file or directory"), -1);
    EXPECT_EQ(LsLongSize(L"drwxrwxr-x system sdcard_rw 2011-12-07 10:00 mirq"), -1);
    // Folders and links are no file to measure, though toybox prints them a size.
    EXPECT_EQ(LsLongSize(L"drwxrwx--x 3 root sdcard_rw 4096 2011-12-07 10:00 /sdcard/mirq"), -1);
    EXPECT_EQ(LsLongSize(L"lrwxrwxrwx 1 root root 21 2011-12-07 10:00 /sdcard -> /storage/self/primary"), -1);
    EXPECT_EQ(LsLongSize(L""), -1);
    EXPECT_EQ(ShellExitStatus(L"rc=0"), 0);
    EXPECT_EQ(ShellExitStatus(L"Bad mode\nrc=10"), 10);
    EXPECT_EQ(ShellExitStatus(L"error: device not found"), -1);
    EXPECT_EQ(ShellExitStatus(L""), -1);
}

TEST(AdbOutputReading, BatteryAndFreeSpaceAsEachShellPrintsThem) {
    const std::wstring dumpsys =  // Android 2.3, CR CR LF already read as text
        L"Current Battery Service state:\r\n  AC powered: false\r\n  USB powered: true\r\n  status: 2\r\n"
        L"  health: 2\r\n  present: true\r\n  level: 85\r\n  scale: 100\r\n  voltage:4100\r\n"
        L"  temperature: 290\r\n  technology: Li-ion\r\n85";
    EXPECT_EQ(BatteryPercentIn(dumpsys), 85);
    EXPECT_EQ(BatteryPercentIn(L"  level: 15\n  scale: 50"), 30);
    EXPECT_EQ(BatteryPercentIn(L"Can't find service: battery\n12"), 12);  // the capacity file
    EXPECT_EQ(BatteryPercentIn(L"Can't find service: battery\n/sys/class/power_supply/battery/capacity: No such file or directory"), -1);
    EXPECT_EQ(BatteryPercentIn(L"  level: 150\n  scale: 100"), -1);
    EXPECT_EQ(BatteryPercentIn(L""), -1);

    const long long kMiB = 1 << 20;
    EXPECT_EQ(DfFreeBytes(L"/sdcard: 7929M total, 1234M used, 6695M available (block size 32768)"), 6695 * kMiB);
    EXPECT_EQ(DfFreeBytes(L"/sdcard:    1G total,  512M used, 1024K available (block size 4096)"), kMiB);
    // Android 4 rounds to tenths: "11.3G" is at least 11.25 GiB.
    EXPECT_EQ(DfFreeBytes(L"Filesystem             Size   Used   Free   Blksize\n"
                          L"/mnt/sdcard             13.2G   1.9G  11.3G   4096"), 1125 * (1LL << 30) / 100);
    EXPECT_EQ(DfFreeBytes(L"Filesystem     1K-blocks    Used Available Use% Mounted on\n"
                          L"/dev/fuse       11585536 2018304   9567232  18% /storage/emulated"), 9567232LL * 1024);
    EXPECT_EQ(DfFreeBytes(L"Filesystem           1K-blocks      Used Available Use% Mounted on\n"
                          L"/dev/block/vold/179:1\n                       7902208   1263616   6638592  16% /mnt/sdcard"),
              6638592LL * 1024);  // a long name on a line of its own
    EXPECT_EQ(DfFreeBytes(L"/sdcard: No such file or directory"), -1);
    EXPECT_EQ(DfFreeBytes(L"Filesystem Size Used Free Blksize\n/mnt/sdcard 1.2G 0.1G lots 4096"), -1);
    EXPECT_EQ(DfFreeBytes(L""), -1);

    EXPECT_EQ(LsPresence(L"/cache/recovery/extendedcommand", L"/cache/recovery/extendedcommand"), RemotePresence::Present);
    EXPECT_EQ(LsPresence(L"/cache/recovery/extendedcommand: No such file or directory", L"/cache/recovery/extendedcommand"),
              RemotePresence::Absent);
    EXPECT_EQ(LsPresence(L"", L"/cache/recovery/extendedcommand"), RemotePresence::Unknown);
}

TEST_F(AdbDevice, RebootPassesItsTarget) {
    adb->Reboot(CSerial::OnlyDevice(), L"recovery");
    EXPECT_EQ(LastLine(CSimPhone::Journal()), "reboot recovery ");
    EXPECT_EQ(CSimPhone::StateValue("rebooted"), "recovery");
}
