#pragma once
// After the reboot into recovery the flash is in the recovery's hands. The
// phone is followed by its serial until it runs a system again, and what it
// booted is read: only then is a flash known to have worked. Meanwhile only
// the device list is asked for, at most once a poll; nothing is sent to the
// phone until it is listed again.
#include <string>

#include "adb/AdbManager.h"
#include "adb/Serial.h"
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

// One reading of the phone, as far as the verdict needs it.
struct SystemReading {
    std::wstring serialno, device, imei;  // who it is (the IMEI empty where none was read)
    std::wstring date, name;              // ro.build.date.utc; ro.build.display.id, else ro.build.id
    bool booted = false;                  // sys.boot_completed is 1: a system runs, not a recovery
    static SystemReading From(const PhoneReading& phone);
};

// Whether a reading is of the phone that was flashed: cheap phones share
// placeholder serials, so the serial alone does not tell.
bool IsTheFlashedPhone(const SystemReading& before, const SystemReading& now);

// What the recovery wrote of this install (last_install: the package's path, then 1 or 0).
enum class InstallLog { None, Succeeded, Failed };
InstallLog ReadInstallLog(const std::wstring& lastInstall);

// What the phone did: booted the package's system, booted another (the old
// one), booted the same build as before with nothing to say whether it was
// installed, booted without the recovery having run the script, stayed in
// recovery, came back without USB debugging authorized, did not come back
// within the wait, or the wait was stopped.
enum class InstallVerdict { NewSystem, OldSystem, SameBuild, ScriptNotRun, InRecovery, Unauthorized, NotBack, Stopped };

// The verdict on a phone that runs a system again, from the reading before
// the flash, the package's build, this install's log, the reading now and
// whether a recovery script was still on the phone.
InstallVerdict DecideVerdict(const SystemReading& before, const ExpectedBuild& expected, InstallLog log,
                             const SystemReading& after, bool scriptLeft);

// The progress text while the phone installs: how long it has been waited for.
std::wstring FormatInstallWait(unsigned long waitedMs);

class CInstallFollower {
public:
    CInstallFollower(const CSerial& serial, unsigned long waitMs, unsigned long pollMs = 2000)
        : m_serial(serial), m_waitMs(waitMs), m_pollMs(pollMs) {}

    // Before the reboot: the phone as the flash found it, and the recovery's
    // last_install removed, so that any found later is this install's.
    void NoteBefore(const PhoneReading& before);
    // Follows the phone until a verdict. Where it runs a system again
    // (NewSystem, OldSystem, SameBuild, ScriptNotRun), `after` is its reading.
    InstallVerdict Follow(const ExpectedBuild& expected, IProgressListener* listener, const CStopToken& stop,
                          PhoneReading& after);

private:
    InstallLog LastInstall(const CStopToken& stop);
    bool ScriptLeft(const CStopToken& stop);
    void LogRecoveryLog();
    void LogListing(const std::wstring& state, unsigned long waitedMs);

    CSerial m_serial;
    unsigned long m_waitMs, m_pollMs;
    SystemReading m_before;
    std::wstring m_listed = L"?";  // the listing logged last
    unsigned long m_loggedAt = 0;
};

}  // namespace mirq
