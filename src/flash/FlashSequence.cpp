#include "flash/FlashSequence.h"

#include <windows.h>

#include "adb/AdbManager.h"
#include "flash/Flasher.h"
#include "progress/TransferStatus.h"

namespace mirq {

namespace {

// The bar through the push's part of the plan, in proportion to the bytes on
// the phone, with the speed and the time left.
class CPushReport {
public:
    explicit CPushReport(const FlashReport& report) : m_report(report) { m_speed.Add(GetTickCount(), 0); }
    void operator()(long long onPhone, long long total) {
        m_speed.Add(GetTickCount(), static_cast<unsigned long long>(onPhone));
        const double rate = m_speed.BytesPerSecond();
        const double left = rate > 0 ? (total - onPhone) / rate : -1;
        const long long span = kPushToPercent - kPushFromPercent;
        m_report(static_cast<int>(kPushFromPercent + (total > 0 ? span * onPhone / total : 0)),
                 FormatTransferStatus(L"ROM包传输中...", rate, left));
        m_reported = true;
    }
    bool Reported() const { return m_reported; }

private:
    const FlashReport& m_report;
    CSpeedMeter m_speed;
    bool m_reported = false;
};

// A step's own failure (a refused push, flash_image failing) wins over a
// stop asked for meanwhile: only a command the stop ended counts as stopped.
// The first step only reads or downloads, and a stop ends its download.
bool StepWasStopped(int step, const CStopToken& stop) {
    if (!stop.Requested()) return false;
    return step == 0 || CAdbManager::GetInstance()->LastRunResult() == RunResult::Stopped;
}

}  // namespace

int RunFlashSequence(const FlashStep (&steps)[4], const FlashReport& report, const FlashCodes& codes,
                     const CStopToken& stop) {
    static const int kPercentBefore[4] = {20, kPushFromPercent, kPushToPercent, 90};
    for (int i = 0; i < 4; ++i) {
        report(kPercentBefore[i], i == 0 ? kFlashingText : L"");
        if (stop.Requested()) return codes.stopped;
        if (!steps[i]()) return StepWasStopped(i, stop) ? codes.stopped : codes.failBase + i;
    }
    report(100, L"");
    return kFlashOk;
}

bool RemoveRemoteFile(const CSerial& serial, const std::wstring& remotePath) {
    CAdbManager* adb = CAdbManager::GetInstance();
    RemotePresence presence = adb->RemoteFilePresence(serial, remotePath);
    for (int attempt = 0; presence == RemotePresence::Present && attempt < kRemoveAttempts; ++attempt) {
        adb->Shell(serial, L"rm " + remotePath);
        presence = adb->RemoteFilePresence(serial, remotePath);
    }
    // Only the phone's own "No such file" says it is gone; no answer says nothing.
    return presence == RemotePresence::Absent;
}

bool ReplaceRemoteFile(const CSerial& serial, const std::wstring& localPath, const std::wstring& folder,
                       const std::wstring& remotePath, const CStopToken& stop, const FlashReport& report) {
    if (!RemoveRemoteFile(serial, remotePath)) return false;
    CAdbManager* adb = CAdbManager::GetInstance();
    adb->Shell(serial, L"mkdir " + folder);
    CPushReport pushReport(report);
    const bool pushed = adb->Push(serial, localPath, remotePath, &stop, std::ref(pushReport));
    // The speed has had its time; the rest of the flash shows its own text.
    if (pushReport.Reported()) report(kPushToPercent, kFlashingText);
    return pushed;
}

}  // namespace mirq
