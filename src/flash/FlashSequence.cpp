#include "flash/FlashSequence.h"

#include "adb/AdbManager.h"
#include "app/TaskStateTable.h"
#include "flash/Flasher.h"

namespace mirq {

int RunFlashSequence(const FlashStep (&steps)[4], const FlashReport& report, const FlashCodes& codes) {
    static const int kPercentBefore[4] = {20, 50, 80, 90};
    for (int i = 0; i < 4; ++i) {
        report(kPercentBefore[i], i == 0 ? L"ROM刷机中..." : L"");
        if (StopRequested()) return codes.stopped;
        if (!steps[i]()) return codes.failBase + i;
    }
    report(100, L"");
    return kFlashOk;
}

bool RemoveRemoteFile(const std::wstring& remotePath) {
    CAdbManager* adb = CAdbManager::GetInstance();
    RemotePresence presence = adb->RemoteFilePresence(remotePath);
    for (int attempt = 0; presence == RemotePresence::Present && attempt < kRemoveAttempts; ++attempt) {
        adb->Shell(L"rm " + remotePath);
        presence = adb->RemoteFilePresence(remotePath);
    }
    // Only the phone's own "No such file" says it is gone; no answer says nothing.
    return presence == RemotePresence::Absent;
}

bool ReplaceRemoteFile(const std::wstring& localPath, const std::wstring& folder, const std::wstring& remotePath) {
    if (!RemoveRemoteFile(remotePath)) return false;
    CAdbManager* adb = CAdbManager::GetInstance();
    adb->Shell(L"mkdir " + folder);
    return adb->Push(localPath, remotePath);
}

}  // namespace mirq
