#pragma once
// The worker tasks: a device check, a download, a flash. Each runs on a
// thread of its own against a host (the main dialog) that shows what the
// task finds; none of them touches a control.
#include <windows.h>

#include <memory>
#include <string>

#include "device/DeviceChecker.h"
#include "device/ModelCatalogue.h"
#include "progress/ProgressListener.h"
#include "util/StopToken.h"

namespace mirq {

// What a task ended with (WPARAM of WM_TASK_FINISHED). The device check's
// own results (kCheck...) pass through unchanged.
enum TaskResult {
    kTaskOk = kCheckOk,  // a device check that identified the phone
    kTaskNoAdb = kCheckNoAdb,
    kTaskNoDevice = kCheckNoDevice,
    kTaskUnsupported = kCheckUnsupported,
    kTaskNoServer = 5,
    kTaskDownloadFailed = 6,
    kTaskDownloaded = 7,
    kTaskFlashed = 8,
    kTaskStopped = kCheckStopped,
    kTaskRecoveryFlashFailed = 10,
    kTaskRomFlashFailed = 11,
    kTaskBadPackage = 12,
    // A flash that could not finish is not started (13..16 are the check's).
    kTaskNotARom = 17,
    kTaskWrongDevice = 18,
    kTaskLowBattery = 19,
    kTaskNoSpace = 20,
    kTaskNoFlashTool = 21,
    kTaskDownloadChecksumFailed = 22,
    kTaskUnwritablePath = 23,
    kTaskDownloadTargetInUse = 24,
    // Nothing was downloaded: the service's answer failed its security
    // checks, or the server's certificate was not trusted (25..27 are the check's).
    kTaskAnswerRefused = 28,
    kTaskInsecureConnection = 29,
    // The volume of a download's target has no room for it (the box names both figures).
    kTaskDiskFull = 30,
    // The package arrived but the recovery image did not.
    kTaskImageDownloadFailed = 31,
    // What the phone did once recovery had the package (kTaskFlashed: it runs
    // the package's system): booted its old system, stayed in recovery, came
    // back without USB debugging authorized, did not come back within the
    // wait, or the user stopped waiting.
    kTaskSystemNotUpdated = 32,
    kTaskStayedInRecovery = 33,
    kTaskBackUnauthorized = 34,
    kTaskNotBack = 35,
    kTaskWaitStopped = 36,
    kTaskSameBuild = 37,     // the same build before and after, and no word of the install
    kTaskScriptNotRun = 38,  // back in its system with the recovery script still there
};

// Sent by a task's thread to the host's window when the task has ended:
// WPARAM is its TaskResult, LPARAM whether adb has root on the identified phone.
const UINT WM_TASK_FINISHED = WM_USER + 121;

// What a task needs from the window, taken on the window's thread when it
// starts (the catalogue in use among it), and the stop request the window
// may make while it runs.
struct TaskInput {
    std::wstring romPath;
    bool keepData = false;
    CatalogueRef catalogue = BuiltInRows();
    std::shared_ptr<CStopToken> stop = std::make_shared<CStopToken>();
};

// What a task asks of the window that runs it (called on the task's thread).
class ITaskHost {
public:
    virtual void ShowDeviceInfo(bool rooted) = 0;  // the identified phone's record
    virtual void ResetDeviceInfo() = 0;            // nothing known of a phone
    // A listener for the next slice of the progress bar: a reporter's 0..100
    // fills span points from where the bar stands.
    virtual std::unique_ptr<IProgressListener> OpenProgress(int span) = 0;
    virtual void ReportFlashError(int flashStep) = 0;  // a FlashStepCode, for the result's box
    // The text of the result's box where it names what the task found.
    virtual void ReportMessageDetail(const std::wstring& text) = 0;
    // The catalogue in use now (a device check that found no known phone
    // waits a moment for the service's, then asks for it).
    virtual CatalogueRef LatestCatalogue() = 0;

protected:
    ~ITaskHost() = default;
};

// The task bodies, run on the task's thread; each returns its TaskResult.
// The device check gives the serial of the phone it identified, which every
// later command of the task names, and identifies it by the catalogue given
// (the built-in rows when none is); where that had no row for the phone and
// a newer one arrived meanwhile, by that one, which it then gives back.
int RunDeviceCheckTask(ITaskHost& host, const CStopToken& stop = CStopToken::Never(), int span = 100,
                       CSerial* serial = nullptr, CatalogueRef* catalogue = nullptr);
int RunDownloadTask(ITaskHost& host, const TaskInput& input);
int RunFlashTask(ITaskHost& host, const TaskInput& input);

// Thread routines, one per kind of task. The parameter is a TaskStart made
// with new; the routine deletes it, runs the body and sends WM_TASK_FINISHED.
struct TaskStart {
    ITaskHost* host;
    HWND window;  // receives WM_TASK_FINISHED
    TaskInput input;
};
DWORD WINAPI DeviceCheckThread(void* start);
DWORD WINAPI DownloadThread(void* start);
DWORD WINAPI FlashThread(void* start);
// Stops the adb server and sweeps the output files when the program ends.
// The parameter is a handle of the task's thread (or null), which it closes:
// the server goes only once that task has ended.
DWORD WINAPI CleanUpThread(void* taskThread);

// The box a result is shown in; a null caption for results that show nothing.
struct TaskMessage {
    const wchar_t* caption;
    std::wstring text;
};
// `detail` is the text a task reported for results whose box names what it found.
TaskMessage MessageFor(int result, int flashStep, const std::wstring& detail = L"");

}  // namespace mirq
