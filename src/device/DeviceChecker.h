#pragma once
// The device check before every download and flash: adb present, a phone
// connected, its properties read into the record and identified.
#include <string>

#include "adb/AdbManager.h"
#include "adb/Serial.h"
#include "device/ModelCatalogue.h"
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
    // Why no phone answers, as Windows tells it (17..24 are the tasks').
    kCheckDriverMissing = 25,
    kCheckFastboot = 26,
    kCheckPortTaken = 27,
};

// True for the results after which nothing is known of the phone.
inline bool IsConnectionProblem(int code) {
    return (code >= kCheckManyDevices && code <= kCheckOtherAdbServer) ||
           (code >= kCheckDriverMissing && code <= kCheckPortTaken);
}
// The result that names what went wrong with the connection during the last
// command (its client's error, or a server replaced again and again); kCheckOk
// when nothing did.
int ConnectionProblemCode();

class CDeviceChecker : public CProgressReporter {
public:
    static CDeviceChecker* GetInstance();

    // A requested stop is seen between the check's steps. With a phone
    // identified, `serial` is the one "devices" listed it with: every later
    // command for it names it. The phone is identified by `catalogue`.
    int Check(const CStopToken& stop, CSerial* serial, const CModelRows& catalogue);
    // The same by the built-in rows.
    int Check(const CStopToken& stop = CStopToken::Never(), CSerial* serial = nullptr) {
        return Check(stop, serial, *BuiltInRows());
    }

    // The reading the last check took of the phone (its properties as they were).
    const PhoneReading& LastReading() const { return m_lastReading; }
    // A reading taken elsewhere (the phone after a flash) made the record
    // whole anew, identified by the catalogue: the window shows what it runs now.
    void RecordAfresh(const PhoneReading& phone, const CModelRows& catalogue);

    virtual bool IsAdbReady();
    // kCheckOk with one phone ready (its serial set), else the result that says what is wrong.
    virtual int CheckConnection(CSerial& serial);
    // False when the phone's answer could not be read whole.
    virtual bool ReadDeviceInfo(const CSerial& serial, const CModelRows& catalogue);
    virtual void ReportProgress(int percent, const std::wstring& text);
    // The box text of the last check's result where it names what was found
    // (the phone maker, the program on the adb port); empty otherwise.
    const std::wstring& Detail() const { return m_detail; }

protected:
    CDeviceChecker() = default;

private:
    int Run(const CStopToken& stop, CSerial& serial, const CModelRows& catalogue);
    // Why no usable phone was found: another program on the adb port, a
    // phone without its driver or in fastboot mode; Windows is asked only then.
    int Explain(int connection, const CStopToken& stop);

    // The record from a reading: the same phone's kept where it already describes it.
    void TakeReading(const PhoneReading& phone, const CModelRows& catalogue);

    std::wstring m_detail;
    PhoneReading m_lastReading;
};

}  // namespace mirq
