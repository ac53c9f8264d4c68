// A program whose last code runs after its statics are destroyed, where a
// worker still running at exit (a clean-up past its wait) finds itself: the
// logger, the base and data directories, the task table and the never-stop
// token must still answer there. Prints what it found; the test reads it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/TaskStateTable.h"
#include "log/logger.h"
#include "util/StopToken.h"
#include "util/Utils.h"

using namespace mirq;

namespace {

// Constructed before main, so destroyed after every static first used in main.
struct CLastUser {
    std::wstring base, data;
    ~CLastUser() {
        // What a destroyed static freed is soon another's: take it, so that reading it shows.
        std::vector<std::wstring> reuse;
        for (size_t n = 0; n < 4096; ++n) reuse.push_back(std::wstring(1 + n % 128, L'#'));
        const bool same = GetBaseDirectory() == base && GetDataDirectory() == data;
        CTaskStateTable::GetInstance()->StartTask(7);
        const bool table = CTaskStateTable::GetInstance()->GetState(7) != kTaskIdle;
        MIRQ_LOG(kLogSevere, L"exit", L"after the statics");
        const bool token = !CStopToken::Never().Requested();
        std::printf("%s\n", same && table && token ? "all answered" : "something was gone");
        std::fflush(stdout);
    }
} g_lastUser;

DWORD WINAPI KeepWorking(void*) {
    for (;;) {
        MIRQ_LOG(kLogInfo, L"worker", L"still here");
        Sleep(1);
        GetDataDirectory();
        CTaskStateTable::GetInstance()->GetCurrentState();
    }
}

}  // namespace

int main() {
    g_lastUser.base = GetBaseDirectory();
    g_lastUser.data = GetDataDirectory();
    InstallLogHandler(new CFileLogHandler(kLogInfo, 0, L"", 1 << 20, 1, 0));  // to the standard error
    CloseHandle(CreateThread(nullptr, 0, KeepWorking, nullptr, 0, nullptr));
    Sleep(50);
    return 0;
}
