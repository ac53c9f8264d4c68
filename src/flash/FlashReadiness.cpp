#include "flash/FlashReadiness.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "adb/AdbManager.h"
#include "device/DeviceModel.h"
#include "flash/Flasher.h"
#include "log/logger.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const char* const kAssertedProperties[] = {"getprop(\"ro.product.device\")", "getprop(\"ro.build.product\")"};

size_t SkipBlanks(const std::string& text, size_t at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    return at;
}

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

namespace {

// The end of the assert( whose body starts at `at`: its closing parenthesis,
// strings passed over; npos when it never closes.
size_t AssertEnd(const std::string& script, size_t at) {
    int depth = 1;
    for (bool quoted = false; at < script.size(); ++at) {
        const char c = script[at];
        if (quoted) {
            if (c == '\\') ++at;
            else if (c == '"') quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            return at;
        }
    }
    return std::string::npos;
}

// The names compared with either property in one assert's body.
void NamesIn(const std::string& script, size_t at, size_t bodyEnd, std::vector<std::wstring>& names) {
    for (;;) {
        size_t found = std::string::npos, length = 0;
        for (const char* property : kAssertedProperties) {
            const size_t here = script.find(property, at);
            if (here < found) found = here, length = strlen(property);
        }
        if (found == std::string::npos || found >= bodyEnd) break;
        at = SkipBlanks(script, found + length);
        if (script.compare(at, 2, "==") != 0) continue;
        at = SkipBlanks(script, at + 2);
        if (at >= script.size() || script[at] != '"') continue;
        const size_t end = script.find_first_of("\"\n", at + 1);
        if (end == std::string::npos || script[end] != '"') continue;
        const std::wstring name = Utf8ToWide(script.substr(at + 1, end - at - 1));
        if (!name.empty() && !Contains(names, name)) names.push_back(name);
        at = end + 1;
    }
}

}  // namespace

std::vector<std::wstring> AssertedDevices(const std::string& script) {
    // Only an assert guards the device: a comparison elsewhere (an ifelse
    // choosing what to install) says nothing of which phones may take it.
    std::vector<std::wstring> names;
    const std::string kAssert = "assert(";
    for (size_t at = script.find(kAssert); at != std::string::npos; at = script.find(kAssert, at)) {
        const bool word = at == 0 || !(std::isalnum(static_cast<unsigned char>(script[at - 1])) || script[at - 1] == '_');
        at += kAssert.size();
        if (!word) continue;
        const size_t end = AssertEnd(script, at);
        NamesIn(script, at, end == std::string::npos ? script.size() : end, names);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return names;
}

namespace {

// What goes to the card: the package, the image and the margin kept beside them.
long long IncomingBytes(const std::wstring& packagePath, const std::wstring& recoveryImagePath) {
    const long long imageBytes = recoveryImagePath.empty() ? 0 : RegularFileSize(recoveryImagePath);
    return RegularFileSize(packagePath) + (imageBytes > 0 ? imageBytes : 0) + kSpaceMarginBytes;
}

}  // namespace

ReadinessReport CheckFlashReadiness(const CSerial& serial, const std::wstring& packagePath,
                                    const RomContents& package, const std::wstring& recoveryImagePath,
                                    const CStopToken& stop) {
    const bool needsFlashTool = !recoveryImagePath.empty();
    ReadinessReport report;
    auto verdict = [&report](Readiness verdict) {
        report.verdict = verdict;
        return report;
    };
    // A path adb would be given mangled (no short name to stand in for it).
    if (OemExactPath(packagePath).empty()) return verdict(Readiness::UnwritablePath);
    // Without an installer the recovery formats the phone and then fails.
    if (!package.hasInstaller) return verdict(Readiness::NotARom);
    if (needsFlashTool && !IsRegularFile(FlashToolPath())) return verdict(Readiness::NoFlashTool);

    CAdbManager* adb = CAdbManager::GetInstance();
    report.packageDevices = AssertedDevices(package.updaterScript);
    if (!report.packageDevices.empty()) {
        report.phoneDevice = CDeviceModel::GetInstance()->GetDevice();
        if (!Contains(report.packageDevices, report.phoneDevice)) {
            // The phone's other name, read by the device check just before.
            if (!Contains(report.packageDevices, CDeviceModel::GetInstance()->GetBuildProduct()))
                return verdict(Readiness::WrongDevice);
        }
    }

    if (stop.Requested()) return verdict(Readiness::Stopped);
    // Everything that goes to the card, in place of earlier copies whose room
    // counts as free: the flash takes them off before it pushes anything.
    const std::vector<std::wstring> onCard = {kPhonePackage, kPhoneRecoveryImage};
    const long long packageBytes = RegularFileSize(packagePath);
    // The battery and the card in one command.
    const PowerAndStorage phone = adb->ReadPowerAndStorage(serial, kPhoneCard, onCard);
    report.batteryPercent = phone.batteryPercent;
    if (report.batteryPercent < 0) MIRQ_LOG(kLogWarning, L"flash", L"the battery level could not be read; flashing all the same");
    else if (report.batteryPercent < kMinBatteryPercent) return verdict(Readiness::LowBattery);
    const StorageReading& storage = phone.storage;
    report.neededBytes = IncomingBytes(packagePath, recoveryImagePath);
    for (long long earlier : storage.fileBytes) report.neededBytes -= std::max(0LL, earlier);
    report.freeBytes = storage.freeBytes;
    if (packageBytes >= kFatFileLimitBytes) {
        MIRQ_LOG(kLogWarning, L"flash", L"the package is 4 GiB or more: no FAT card can hold it");
        return verdict(Readiness::NoSpace);
    }
    if (report.freeBytes < 0) MIRQ_LOG(kLogWarning, L"flash", L"the free space on the card could not be read; flashing all the same");
    else if (report.freeBytes < report.neededBytes) return verdict(Readiness::NoSpace);
    return report;
}

ReadinessReport CheckRoomNow(const CSerial& serial, const std::wstring& packagePath,
                             const std::wstring& recoveryImagePath) {
    ReadinessReport report;
    report.neededBytes = IncomingBytes(packagePath, recoveryImagePath);
    report.freeBytes = CAdbManager::GetInstance()->ReadFreeSpace(serial, kPhoneCard);
    if (report.freeBytes >= 0 && report.freeBytes < report.neededBytes) report.verdict = Readiness::NoSpace;
    return report;
}

}  // namespace mirq
