#pragma once
// What must hold before a flash changes anything on the phone, so that a
// flash that starts can finish: an installable package meant for this phone,
// the tool that writes the recovery, a battery that lasts, room on the card.
#include <string>
#include <vector>

#include "adb/Serial.h"
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
// The phones' cards are FAT: no file there reaches 4 GiB.
constexpr long long kFatFileLimitBytes = 4LL << 30;

// The device names an updater script's asserts accept ('getprop("ro.product.device")
// == "NAME"', and the same of ro.build.product), distinct, in script order.
std::vector<std::wstring> AssertedDevices(const std::string& script);

// Checks in the order of the verdicts, asking the phone of the serial one
// command (the device names come from the device check's reading); a
// requested stop is seen before it. The recovery image (empty: no recovery
// is written) is already downloaded: its size counts. The earlier package and
// image on the card count as room: the flash takes them off first.
ReadinessReport CheckFlashReadiness(const CSerial& serial, const std::wstring& packagePath,
                                    const RomContents& package, const std::wstring& recoveryImagePath,
                                    const CStopToken& stop);
// Once the earlier copies are off the card: whether it holds the package and
// the image now (one "df"); an answer that cannot be read does not block.
ReadinessReport CheckRoomNow(const CSerial& serial, const std::wstring& packagePath,
                             const std::wstring& recoveryImagePath);

}  // namespace mirq
