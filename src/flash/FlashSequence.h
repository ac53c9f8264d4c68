#pragma once
// The fixed four-step flashing sequence shared by every flasher: progress 20
// (with the status text), 50, 80, 90, 100; a stop check before each step;
// the first failing step ends the run with its code.
#include <functional>
#include <string>

#include "adb/Serial.h"
#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

struct FlashCodes {
    int failBase;  // code of step 1; steps 2..4 follow it
    int stopped;
};

typedef std::function<bool()> FlashStep;
typedef std::function<void(int, const std::wstring&)> FlashReport;

// Reports through a flasher's own ReportProgress.
template <class Flasher>
FlashReport ReporterOf(Flasher* flasher) {
    return [flasher](int percent, const std::wstring& text) { flasher->ReportProgress(percent, text); };
}

// A step that a requested stop cut short ends the run as stopped; one that
// failed by itself, with its own code, even with a stop pending.
int RunFlashSequence(const FlashStep (&steps)[4], const FlashReport& report, const FlashCodes& codes,
                     const CStopToken& stop);
// The push (step 2) moves the bar between these as the file grows on the phone.
constexpr int kPushFromPercent = 50;
constexpr int kPushToPercent = 80;
constexpr const wchar_t* kFlashingText = L"ROM刷机中...";

// Removes a file on the phone of the serial (a bounded number of tries);
// true once the phone has said it is not there.
bool RemoveRemoteFile(const CSerial& serial, const std::wstring& remotePath);

// Removes an older copy of a file on the phone (a bounded number of tries),
// makes the folder and pushes the local file, reporting its speed and its
// share of the bar while it runs; a stop ends the push at once. False when
// the old copy stays or the push fails or is stopped.
bool ReplaceRemoteFile(const CSerial& serial, const std::wstring& localPath, const std::wstring& folder,
                       const std::wstring& remotePath, const CStopToken& stop, const FlashReport& report);
constexpr int kRemoveAttempts = 3;

}  // namespace mirq
