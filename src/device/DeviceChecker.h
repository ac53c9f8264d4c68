#pragma once
// The device check before every download and flash: adb present, a phone
// connected, its properties read into the record and identified.
#include <string>

#include "progress/ProgressListener.h"

namespace mirq {

enum DeviceCheckResult {
    kCheckOk = 0,
    kCheckNoAdb = 1,
    kCheckNoDevice = 2,
    kCheckReadFailed = 3,
    kCheckUnsupported = 4,
    kCheckStopped = 9,
};

class CDeviceChecker : public CProgressReporter {
public:
    static CDeviceChecker* GetInstance();

    int Check();

    virtual bool IsAdbReady();
    virtual bool CheckConnection();
    virtual bool ReadDeviceInfo();
    virtual void ReportProgress(int percent, const std::wstring& text);

protected:
    CDeviceChecker() = default;
};

}  // namespace mirq
