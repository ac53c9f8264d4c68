#pragma once
// The device check before every download and flash: adb present, a phone
// connected, its properties read into the record and identified.
#include <string>

#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

enum DeviceCheckResult {
    kCheckOk = 0,
    kCheckNoAdb = 1,
    kCheckNoDevice = 2,
    kCheckReadFailed = 3,
    kCheckUnsupported = 4,
    kCheckStopped = 9,
    // The connection is not one phone ready for adb.
    kCheckManyDevices = 13,
    kCheckOffline = 14,
    kCheckUnauthorized = 15,
    kCheckOtherAdbServer = 16,
};

// True for the results after which nothing is known of the phone.
inline bool IsConnectionProblem(int code) { return code >= kCheckManyDevices && code <= kCheckOtherAdbServer; }
// The result that names what went wrong with the connection during the last
// command (its client's error, or a server replaced again and again); kCheckOk
// when nothing did.
int ConnectionProblemCode();

class CDeviceChecker : public CProgressReporter {
public:
    static CDeviceChecker* GetInstance();

    // A requested stop is seen between the check's steps.
    int Check(const CStopToken& stop = CStopToken::Never());

    virtual bool IsAdbReady();
    // kCheckOk with one phone ready, else the result that says what is wrong.
    virtual int CheckConnection();
    virtual bool ReadDeviceInfo();
    virtual void ReportProgress(int percent, const std::wstring& text);

protected:
    CDeviceChecker() = default;

private:
    int Run(const CStopToken& stop);
};

}  // namespace mirq
