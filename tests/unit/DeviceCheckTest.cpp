// Identification, and whole device checks through cmd.exe against the simulated phone.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "adb/AdbManager.h"
#include "adb/AdbPort.h"
#include "device/DeviceChecker.h"
#include "device/DeviceModel.h"
#include "device/UsbProbe.h"
#include "device/ModelCatalogue.h"

using namespace mirq;
using namespace mirqtest;

TEST(BuiltInRows, WholeBrandAndDeviceOfOneRowWithoutCaseOrSurroundingWhitespace) {
    const CModelRows& rows = *BuiltInRows();
    for (const auto& c : std::vector<std::tuple<const wchar_t*, const wchar_t*, int>>{
             {L"ZTE", L"Blade", 0}, {L" zte ", L"blade\r\n", 0}, {L"google", L"passion", 1}, {L"Android", L"passion", 1},
             {L"ANDROID", L"PASSION", 1}, {L"google", L"crespo", 2}, {L"Android", L"crespo", 2}, {L"htc_wwe", L"bravo", 3},
             {L"htc", L"bravo", -1}, {L"zte", L"crespo", -1}, {L"", L"", -1}, {L"google inc", L"crespo", -1},
             {L"google", L"crespo4g", -1}, {L"\u3000google", L"crespo", -1}, {L"samsung", L"GT-I9000", -1}}) {
        EXPECT_EQ(rows.Find(std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << std::get<0>(c) << L"/" << std::get<1>(c);
        EXPECT_EQ(FindModelId(L"Nexus S", std::get<0>(c), std::get<1>(c)), std::get<2>(c)) << std::get<0>(c);  // the model decides nothing
    }
    EXPECT_EQ(rows.Row(2).name, L"Google Nexus S");
}

namespace {

class DeviceCheck : public ::testing::Test {
protected:
    void SetUp() override {
        CDeviceModel::GetInstance()->Reset();
        checker = CDeviceChecker::GetInstance();
        checker->SetListener(&listener);
    }
    void TearDown() override { checker->ClearListener(); }

    int Run(const char* profile) {
        CSimPhone::Reset(profile);
        return checker->Check();
    }
    static std::vector<CRecordingListener::Report> FullReading() {
        return {{5, L"检查设备连接中..."}, {10, L"检查设备连接中..."}, {100, L"读取设备信息中..."}};
    }

    CDeviceChecker* checker = nullptr;
    CRecordingListener listener;
};

}  // namespace

TEST_F(DeviceCheck, EachSupportedModelIsReadAndIdentified) {
    const struct {
        const char* profile;
        int id;
        const wchar_t* serial;
    } cases[] = {{"blade", 0, L"864367010054321"},
                 {"nexus_one", 1, L"HT0A1P800426"},
                 {"nexus_s", 2, L"3233A90D1A2B00EC"},
                 {"htc_desire", 3, L"SH05XPL01234"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile);
        listener.reports.clear();
        EXPECT_EQ(Run(c.profile), kCheckOk);
        EXPECT_EQ(listener.reports, FullReading());
        CDeviceModel* record = CDeviceModel::GetInstance();
        EXPECT_EQ(record->GetModelId(), c.id);
        EXPECT_EQ(record->GetImei(), c.serial);
    }
    CDeviceModel* record = CDeviceModel::GetInstance();
    EXPECT_EQ(record->GetModel(), L"HTC Desire");
    EXPECT_EQ(record->GetVersionRelease(), L"2.2");
    EXPECT_EQ(record->GetManufacturer(), L"HTC");
    EXPECT_EQ(record->GetBootloader(), L"0.93.0001");
    EXPECT_EQ(record->GetBasebandVersion(), L"32.49.00.32U_5.11.05.27");
    EXPECT_EQ(record->GetBuildDescription(), L"2.29.405.5 CL293415 release-keys");
    // Nothing but the property keys is kept; the serial only under ril.IMEI.
    EXPECT_EQ(record->Values().size(), 9u);
    EXPECT_EQ(record->Values().count(L"ril.barcode"), 0u);
    // The device list and one line, for the phone listed, for every property
    // and the root state, split at a separator of the program's own.
    const std::vector<std::string> journal = CSimPhone::RawJournal();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(journal[0], "devices  ");
    EXPECT_EQ(journal[1].find("-s \"SH05XPL01234\" shell getprop; echo --mirq-"), 0u) << journal[1];
    EXPECT_EQ(journal[1].substr(journal[1].size() - 7), "--; id ");
    EXPECT_TRUE(record->IsRooted());
    EXPECT_EQ(record->GetBuildProduct(), L"");  // a property the phone does not have
}

TEST_F(DeviceCheck, SamePhoneTwiceKeepsItsRecord) {
    EXPECT_EQ(Run("nexus_s"), kCheckOk);
    auto values = CDeviceModel::GetInstance()->Values();
    CSimPhone::ClearJournal();
    CSimPhone::Prop("ro.product.model", "changed");
    listener.reports.clear();
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(listener.Percents(), (std::vector<int>{5, 10}));
    EXPECT_EQ(CSimPhone::Journal().size(), 2u);
    EXPECT_EQ(CDeviceModel::GetInstance()->Values(), values);
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), 2);
}

TEST_F(DeviceCheck, AnOfflinePhoneGetsOneServerRestart) {
    // An emulator beside it changes nothing: the phone is read after the restart.
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("device_state", "offline");
    CSimPhone::Set("offline_until_restart", "1");
    CSimPhone::Set("extra_device", "emulator-5554");
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(Matching(CSimPhone::Journal(), "kill-server").size(), 1u);
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), 2);
    CSimPhone::Set("extra_device", "");
    CSimPhone::Set("offline_until_restart", "0");
    // Not ready yet (as the current server lists it): waited on the same way,
    // nothing asked of the phone, the box for what it still is.
    const std::pair<const char*, int> states[] = {{"offline", kCheckOffline},
                                                  {"connecting", kCheckOffline},
                                                  {"no permissions (user in plugdev group)", kCheckOffline},
                                                  {"authorizing", kCheckUnauthorized}};
    for (const auto& state : states) {
        SCOPED_TRACE(state.first);
        CSimPhone::ClearJournal();
        CSimPhone::Set("device_state", state.first);
        EXPECT_EQ(checker->Check(), state.second);
        EXPECT_EQ(Matching(CSimPhone::Journal(), "kill-server").size(), 1u);
        EXPECT_TRUE(Matching(CSimPhone::Journal(), "shell").empty());
        EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), -1);  // nothing known of the phone any more
    }
}

TEST_F(DeviceCheck, SeveralDevicesAreSeenInTheListAlone) {
    // An emulator beside the phone is left aside; two phones, or two
    // emulators alone, are seen in the list and nothing is asked of either;
    // a phone that reaches adb as an emulator is checked. A serial no command
    // line can carry names no phone; one ending in two backslashes is itself.
    const struct {
        const char* phone;  // the phone's own serial ("": its usual one)
        const char* beside;
        int result;
    } rows[] = {{"", "emulator-5554", kCheckOk},          {"", "127.0.0.1:62001", kCheckOk},
                {"", "0123456789ABCDEF", kCheckManyDevices}, {"emulator-5554", "", kCheckOk},
                {"emulator-5554", "localhost:5557", kCheckManyDevices}, {"HW9A\"12", "", kCheckNoDevice},
                {"HW9A\x1b" "12", "", kCheckNoDevice}, {"HW9A 12\\\\", "", kCheckOk}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.phone) + " " + row.beside);
        CSimPhone::Reset("nexus_s");
        CSimPhone::Set("serial", row.phone);
        CSimPhone::Set("extra_device", row.beside);
        CDeviceModel::GetInstance()->Reset();
        CSerial serial = CSerial::OnlyDevice();
        EXPECT_EQ(checker->Check(CStopToken::Never(), &serial), row.result);
        const std::vector<std::string> journal = CSimPhone::Journal();
        if (row.result == kCheckManyDevices) { EXPECT_EQ(journal.size(), 1u); }  // "devices" alone
        if (row.result == kCheckOk) { EXPECT_EQ(serial.Text(), Utf8ToWide(*row.phone ? row.phone : "3233A90D1A2B00EC")); }
        if (row.result == kCheckNoDevice) {
            for (const std::string& line : CSimPhone::RawJournal()) EXPECT_EQ(line.find("-s "), std::string::npos) << line;
        }
    }
}

TEST_F(DeviceCheck, OnlyAnIdentifiedRecordOfTheSameDeviceIsKept) {
    // Another model behind the same placeholder serial is read in full.
    EXPECT_EQ(Run("nexus_s"), kCheckOk);
    CSimPhone::Reset("htc_desire");
    CSimPhone::Prop("ril.barcode", "");
    CSimPhone::Prop("ro.serialno", "3233A90D1A2B00EC");
    listener.reports.clear();
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(listener.reports, FullReading());
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), 3);
    // A reading that identified nothing (cut off half-way) is not trusted the next time.
    CDeviceModel::GetInstance()->SetBrand(L"");
    CDeviceModel::GetInstance()->Identify(*BuiltInRows());
    listener.reports.clear();
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(listener.reports, FullReading());
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), 3);
    // An answer whose separator never came (the cable pulled after the
    // properties) or whose client crashed is no reading at all: not an
    // unsupported phone, and nothing is known of it afterwards.
    for (const std::pair<const char*, const char*>& cut : {std::make_pair("shell_cut_after", "getprop"),
                                                         std::make_pair("crash_on", "shell getprop")}) {
        SCOPED_TRACE(cut.first);
        CSimPhone::Set(cut.first, cut.second);
        EXPECT_EQ(checker->Check(), kCheckReadFailed);
        EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), -1);
        CSimPhone::Set("shell_cut_after", "");
        CSimPhone::Set("connected", "1");
    }
}

TEST_F(DeviceCheck, PhoneWithoutAnySerialIsReadEveryTime) {
    CSimPhone::Reset("nexus_s");
    CSimPhone::Prop("ro.serialno", "");
    EXPECT_EQ(checker->Check(), kCheckOk);
    listener.reports.clear();
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(listener.reports, FullReading());
    EXPECT_EQ(CDeviceModel::GetInstance()->GetImei(), L"");
}

TEST_F(DeviceCheck, BarcodeIsStoredAsTheSerial) {
    CSimPhone::Reset("nexus_s");
    CSimPhone::Prop("ril.barcode", "R8XB1234567");
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(CDeviceModel::GetInstance()->GetImei(), L"R8XB1234567");
    EXPECT_EQ(CDeviceModel::GetInstance()->Values().count(L"ro.serialno"), 0u);
}

TEST_F(DeviceCheck, NoAdbRunsNothing) {
    CSimPhone::Reset("nexus_s");
    CSimPhone::Uninstall();
    EXPECT_EQ(checker->Check(), kCheckNoAdb);
    CSimPhone::Install();
    EXPECT_EQ(listener.Percents(), (std::vector<int>{5}));
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(DeviceCheck, NoPhoneRestartsTheServerOnce) {
    CSimPhone::Reset("nexus_s");
    CSimPhone::Set("connected", "0");
    EXPECT_EQ(checker->Check(), kCheckNoDevice);
    EXPECT_EQ(CSimPhone::Journal(),
              (std::vector<std::string>{"devices  ", "kill-server  ", "start-server ", "devices  "}));
    EXPECT_EQ(listener.Percents(), (std::vector<int>{5, 10}));
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), -1);
}

TEST_F(DeviceCheck, PhoneAppearingAfterTheRestartIsRead) {
    CSimPhone::Reset("htc_desire");
    CSimPhone::Set("connected", "0");
    CSimPhone::Set("appear_after_restart", "1");
    EXPECT_EQ(checker->Check(), kCheckOk);
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), 3);
}

TEST_F(DeviceCheck, UnsupportedPhoneKeepsItsRecord) {
    EXPECT_EQ(Run("unsupported"), kCheckUnsupported);
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModelId(), -1);
    EXPECT_EQ(CDeviceModel::GetInstance()->GetModel(), L"GT-I9000");
    EXPECT_EQ(checker->Check(), kCheckUnsupported);  // same phone again: same answer
}

TEST_F(DeviceCheck, StopBeforeTheCheckRunsNothing) {
    CSimPhone::Reset("nexus_s");
    CStopToken stop;
    stop.Request();
    EXPECT_EQ(checker->Check(stop), kCheckStopped);
    EXPECT_EQ(listener.Percents(), (std::vector<int>{5}));
    EXPECT_TRUE(CSimPhone::Journal().empty());
}

TEST_F(DeviceCheck, WithoutAListenerTheSameStepsRun) {
    checker->ClearListener();
    EXPECT_EQ(Run("blade"), kCheckOk);
    EXPECT_TRUE(listener.reports.empty());
    EXPECT_EQ(CSimPhone::Journal().size(), 2u);
}

TEST(AdbPort, AHolderThatTakesNoConnectionHoldsTheProbeUpNoLonger) {
    // A port of its own (nothing else runs on it): the probe's connect is bounded and sees the stop.
    const unsigned short port = static_cast<unsigned short>(20000 + GetCurrentProcessId() % 20000);
    CPortListener stalled(CPortListener::kAcceptsNothing, port);
    ASSERT_TRUE(stalled.Listening());
    DWORD start = GetTickCount();
    EXPECT_EQ(ProbeAdbPort(CStopToken::Never(), port).adbVersion, -1);
    EXPECT_LT(GetTickCount() - start, kPortProbeLimitMs + 2000);
    CStopToken stop;
    mirq::CThread stopper([&] {
        Sleep(300);
        stop.Request();
    });
    start = GetTickCount();
    ProbeAdbPort(stop, port);
    EXPECT_LT(GetTickCount() - start, 300u + 1000u);
    // A holder that answers a byte now and then: one deadline for the whole answer.
    const unsigned short dripPort = static_cast<unsigned short>(port + 1);
    CPortListener dripping(CPortListener::kDrips, dripPort);
    ASSERT_TRUE(dripping.Listening());
    start = GetTickCount();
    EXPECT_TRUE(ProbeAdbPort(CStopToken::Never(), dripPort).listening);
    EXPECT_LT(GetTickCount() - start, kPortProbeLimitMs + 1500);
    // Only a holder other than our own tools\adb.exe is another program (Wine names none).
    PortHolder holder;
    holder.path = GetAdbPath();
    EXPECT_TRUE(holder.Ours());
    holder.path = L"C:\\Program Files\\PhoneSuite\\adb.exe";
    EXPECT_FALSE(holder.Ours());
}

TEST(UsbProbe, WhatIsPluggedInSaysWhyNoPhoneAnswers) {
    const std::wstring adb = L"USB\\Class_ff&SubClass_42&Prot_01", fastboot = L"USB\\Class_ff&SubClass_42&Prot_03";
    auto device = [](const wchar_t* id, const std::wstring& compatible, const wchar_t* service, unsigned long flags,
                     unsigned long problem = 0) {
        return UsbDevice{std::wstring(id) + L"\\0123456789", {std::wstring(id) + L"&REV_0231"},
                         {compatible, L"USB\\Class_ff"}, service, flags, problem};
    };
    const UsbDevice hub = device(L"USB\\ROOT_HUB20", L"USB\\Class_09", L"usbhub", 0);
    const struct {
        const char* what;
        std::vector<UsbDevice> devices;
        UsbPhoneState state;
        const wchar_t* maker;
        const wchar_t* vidPid;
    } cases[] = {
        {"ADB interface, no driver", {hub, device(L"USB\\VID_18D1&PID_4E22&MI_01", adb, L"", 0x40)},
         UsbPhoneState::DriverMissing, L"Google", L"USB\\VID_18D1&PID_4E22"},
        {"failed install (code 28)", {device(L"USB\\VID_2717&PID_FF48", adb, L"WinUSB", 0, 28)},
         UsbPhoneState::DriverMissing, L"Xiaomi", L"USB\\VID_2717&PID_FF48"},
        {"install flagged failed", {device(L"USB\\VID_04E8&PID_6860", adb, L"WinUSB", 0x40)},
         UsbPhoneState::DriverMissing, L"Samsung", L"USB\\VID_04E8&PID_6860"},
        {"a driver that cannot start (code 10)", {device(L"USB\\VID_12D1&PID_1038", adb, L"WinUSB", 0, 10)},
         UsbPhoneState::DriverMissing, L"Huawei", L"USB\\VID_12D1&PID_1038"},
        {"unknown maker", {device(L"USB\\VID_1234&PID_0001", adb, L"", 0)}, UsbPhoneState::DriverMissing,
         L"未知厂商", L"USB\\VID_1234&PID_0001"},
        {"a maker's phone without its interface class", {device(L"USB\\VID_19D2&PID_1350", L"USB\\Class_08", L"", 0x40)},
         UsbPhoneState::DriverMissing, L"ZTE", L"USB\\VID_19D2&PID_1350"},
        {"fastboot", {device(L"USB\\VID_18D1&PID_4EE0", fastboot, L"WinUSB", 0)}, UsbPhoneState::Fastboot,
         L"Google", L"USB\\VID_18D1&PID_4EE0"},
        {"a driver present", {hub, device(L"USB\\VID_18D1&PID_4E22&MI_01", adb, L"WinUSB", 0)},
         UsbPhoneState::NoneSeen, L"", L""},
        {"an unrelated device", {device(L"USB\\VID_046D&PID_C52B", L"USB\\Class_03", L"", 0x40)},
         UsbPhoneState::NoneSeen, L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const UsbFinding finding = ClassifyUsbDevices(c.devices);
        EXPECT_EQ(finding.state, c.state);
        EXPECT_EQ(finding.maker, c.maker);
        EXPECT_EQ(finding.vidPid, c.vidPid);
    }
}

