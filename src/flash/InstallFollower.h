#pragma once
// After the reboot into recovery the flash is in the recovery's hands. The
// phone is followed by its serial until it runs a system again, and what it
// booted is read: only then is a flash known to have worked. Meanwhile only
// the device list is asked for, at most once a poll; nothing is sent to the
// phone until it is listed again.
#include <string>

#include "adb/Serial.h"
#include "device/ModelCatalogue.h"
#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

struct RomContents;

// The system a package installs, as it says: system/build.prop's
// ro.build.date.utc and ro.build.display.id, the OTA metadata's
// post-timestamp and post-build. Empty where it says nothing.
struct ExpectedBuild {
    std::wstring dateUtc, displayId, postTimestamp, postBuild;
    // The date the new system carries: build.prop's, else the metadata's.
    std::wstring Date() const { return dateUtc.empty() ? postTimestamp : dateUtc; }
};
ExpectedBuild ReadExpectedBuild(const RomContents& contents);

// What the phone did: booted the package's system (or, where the package
// names none, another than before), booted the old one, stayed in recovery,
// came back without USB debugging authorized, did not come back within the
// wait, or the wait was stopped.
enum class InstallVerdict { NewSystem, OldSystem, InRecovery, Unauthorized, NotBack, Stopped };

// The progress text while the phone installs: how long it has been waited for.
std::wstring FormatInstallWait(unsigned long waitedMs);

class CInstallFollower {
public:
    CInstallFollower(const CSerial& serial, unsigned long waitMs, unsigned long pollMs = 2000)
        : m_serial(serial), m_waitMs(waitMs), m_pollMs(pollMs) {}

    // Before the reboot: the date of the system the phone runs, and what its
    // recovery last wrote of an install (an older run's: not this one's verdict).
    void NoteBefore(const std::wstring& dateUtc);
    // Follows the phone until a verdict; with NewSystem or OldSystem the
    // phone was read again (the record describes it as it runs now).
    InstallVerdict Follow(const ExpectedBuild& expected, const CModelRows& catalogue, IProgressListener* listener,
                          const CStopToken& stop);

private:
    std::wstring LastInstall();
    bool RecoveryReportsFailure();
    void LogRecoveryLog();

    CSerial m_serial;
    unsigned long m_waitMs, m_pollMs;
    std::wstring m_dateBefore, m_lastInstallBefore;
};

}  // namespace mirq
