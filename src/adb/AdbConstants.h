#pragma once
// Verbs, arguments and output markers of the adb client, defined once.
namespace mirq {

constexpr const wchar_t* kVerbStartServer = L"start-server";
constexpr const wchar_t* kVerbKillServer = L"kill-server";
constexpr const wchar_t* kVerbDevices = L"devices";
constexpr const wchar_t* kVerbShell = L"shell";
constexpr const wchar_t* kVerbPush = L"push";
constexpr const wchar_t* kVerbReboot = L"reboot";
constexpr const wchar_t* kVerbGetState = L"get-state";
constexpr const wchar_t* kArgId = L"id";
// What the device check reads of a phone, in one command: every property,
// a separator line of the program's own, then whether adb has root.
constexpr const wchar_t* kArgGetProp = L"getprop";
constexpr const wchar_t* kArgLs = L"ls ";
constexpr const wchar_t* kArgLsLong = L"ls -l ";
// One command for both: the capacity file answers where the battery service does not.
constexpr const wchar_t* kArgBattery = L"dumpsys battery; cat /sys/class/power_supply/battery/capacity";
constexpr const wchar_t* kArgDf = L"df ";
constexpr const wchar_t* kStateDevice = L"device";

constexpr const wchar_t* kDevicesBanner = L"List of devices attached";
// The phones' adb shell passes no exit status back: it is echoed after the command.
constexpr const wchar_t* kEchoStatus = L"; echo rc=$?";
constexpr const wchar_t* kShellStatusMarker = L"rc=";
constexpr const wchar_t* kRootId = L"uid=0(root) gid=0(root)";
constexpr const wchar_t* kDaemonStarted = L"* daemon started successfully *";

}  // namespace mirq
