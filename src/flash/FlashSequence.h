#pragma once
// The fixed four-step flashing sequence shared by every flasher: progress 20
// (with the status text), 50, 80, 90, 100; a stop check before each step;
// the first failing step ends the run with its code.
#include <functional>
#include <string>

#include "progress/ProgressListener.h"

namespace mirq {

struct FlashCodes {
    int failBase;  // code of step 1; steps 2..4 follow it
    int stopped;
};

typedef std::function<bool()> FlashStep;
typedef std::function<void(int, const std::wstring&)> FlashReport;

int RunFlashSequence(const FlashStep (&steps)[4], const FlashReport& report, const FlashCodes& codes);

// Removes a file on the phone (a bounded number of tries); true once the
// phone has said it is not there.
bool RemoveRemoteFile(const std::wstring& remotePath);

// Removes an older copy of a file on the phone (a bounded number of tries),
// makes the folder and pushes the local file. False when the old copy stays
// or the push fails.
bool ReplaceRemoteFile(const std::wstring& localPath, const std::wstring& folder, const std::wstring& remotePath);
constexpr int kRemoveAttempts = 3;

}  // namespace mirq
