#pragma once
// What must hold before a flash changes anything on the phone, so that a
// flash that starts can finish: an installable package meant for this phone,
// the tool that writes the recovery, a battery that lasts, room on the card.
#include <string>
#include <vector>

#include "flash/PackageCheck.h"
#include "util/StopToken.h"

namespace mirq {

enum class Readiness { Ready, UnwritablePath, NotARom, NoFlashTool, WrongDevice, LowBattery, NoSpace, Stopped };

// The verdict and what the box for it names.
struct ReadinessReport {
    Readiness verdict = Readiness::Ready;
    std::vector<std::wstring> packageDevices;  // the phones the package asserts
    std::wstring phoneDevice;                  // this phone's ro.product.device
    int batteryPercent = -1;                   // -1: the phone did not tell
    long long neededBytes = 0;
    long long freeBytes = -1;  // -1: the phone's answer could not be read
};
constexpr int kMinBatteryPercent = 30;
// Room kept beside the package on the card.
constexpr long long kSpaceMarginBytes = 1 << 20;
// The room counted for a recovery image not downloaded yet: the recovery
// partitions of the supported phones hold no more.
constexpr long long kRecoveryAllowanceBytes = 16 << 20;
// The phones' cards are FAT: no file there reaches 4 GiB.
constexpr long long kFatFileLimitBytes = 4LL << 30;

// The device names an updater script's asserts accept ('getprop("ro.product.device")
// == "NAME"', and the same of ro.build.product), distinct, in script order.
std::vector<std::wstring> AssertedDevices(const std::string& script);

// Checks in the order of the verdicts, asking the phone one command (the
// device names come from the device check's reading); a requested stop is
// seen before it. The recovery image (empty: no recovery is written) goes to
// the card before the package.
ReadinessReport CheckFlashReadiness(const std::wstring& packagePath, const RomContents& package,
                                    const std::wstring& recoveryImagePath, const CStopToken& stop);

}  // namespace mirq
