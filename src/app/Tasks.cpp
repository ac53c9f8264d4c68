// The worker tasks' bodies and thread routines, and the box for each result.
#include "app/Tasks.h"

#include "BuildConfig.h"
#include "adb/AdbManager.h"
#include "app/TaskStateTable.h"
#include "device/DeviceModel.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "flash/Flasher.h"
#include "flash/PackageCheck.h"
#include "log/logger.h"
#include "util/Utils.h"

namespace mirq {

namespace {

int IdentifiedModel() { return CDeviceModel::GetInstance()->GetModelId(); }

// A flash step that failed because of the connection says so, not "re-plug".
int FlashFailure(int result) {
    const int problem = ConnectionProblemCode();
    return problem != kCheckOk ? problem : result;
}

// Passes a task's calls on to its host, noting the root state the display
// was given, so that the end of the task need not ask the phone again.
class CRootNotingHost : public ITaskHost {
public:
    explicit CRootNotingHost(ITaskHost& host) : m_host(host) {}
    void ShowDeviceInfo(bool rooted) override {
        m_rootKnown = true;
        m_rooted = rooted;
        m_host.ShowDeviceInfo(rooted);
    }
    void ResetDeviceInfo() override { m_host.ResetDeviceInfo(); }
    std::unique_ptr<IProgressListener> OpenProgress(int span) override { return m_host.OpenProgress(span); }
    void ReportFlashError(int flashStep) override { m_host.ReportFlashError(flashStep); }

    // Whether adb has root on the identified phone (which decides the flash button).
    bool Rooted() {
        if (!m_rootKnown) m_rooted = IdentifiedModel() >= 0 && CAdbManager::GetInstance()->IsRooted();
        return m_rooted;
    }

private:
    ITaskHost& m_host;
    bool m_rootKnown = false;
    bool m_rooted = false;
};

typedef int (*TaskBody)(ITaskHost& host, const TaskInput& input);

DWORD RunTaskThread(void* param, TaskBody body, const wchar_t* name) {
    std::unique_ptr<TaskStart> start(static_cast<TaskStart*>(param));
    if (!start || !start->host) return 1;
    MIRQ_LOG(kLogInfo, L"task", std::wstring(name) + L" started");
    CRootNotingHost host(*start->host);
    const int result = body(host, start->input);
    // The root check runs here, on the worker: no adb command on the window's thread.
    const bool rooted = host.Rooted();
    SendMessageW(start->window, WM_TASK_FINISHED, result, rooted);
    return 0;
}

int DeviceCheckBody(ITaskHost& host, const TaskInput&) { return RunDeviceCheckTask(host); }

const std::wstring kUnsupportedText = std::wstring(L"该型号手机暂不支持，具体信息请关注") + MIRQ_HOME_URL + L"MirqROM论坛！";
const wchar_t* const kToolsDownloadFailed = L"云端辅助工具下载失败，请保证网络连接良好后重新刷机！";
const wchar_t* const kReplugUsb = L"请重新插拔USB线，保证手机与PC的连接良好后重新刷机！";

bool IsFailedStep(int flashStep, FlashStepCode first, FlashStepCode last) {
    return flashStep >= first && flashStep <= last;
}

}  // namespace

int RunDeviceCheckTask(ITaskHost& host, int span) {
    CDeviceChecker* checker = CDeviceChecker::GetInstance();
    CAttachedListener listener(host.OpenProgress(span), checker);
    const int result = checker->Check();
    // A phone read before reports only 5 and 10; its slice still ends complete,
    // so the next reporter's slice starts where the plan puts it.
    if (result == kCheckOk || result == kCheckUnsupported) listener.get()->OnProgress(100, L"");
    // kCheckOk means an identified phone.
    if (result == kCheckOk) host.ShowDeviceInfo(CAdbManager::GetInstance()->IsRooted());
    else if (result == kCheckNoAdb || result == kCheckNoDevice || result == kCheckUnsupported ||
             IsConnectionProblem(result))
        host.ResetDeviceInfo();
    return result;
}

int RunDownloadTask(ITaskHost& host, const TaskInput& input) {
    const int id = IdentifiedModel();
    if (id < 0) return kTaskUnsupported;
    CDownloaderScope downloader(id);
    // The earlier image goes first: a failed download must not leave it to be flashed.
    const std::wstring imagePath = RecoveryImagePath(id);
    if (PathExists(imagePath)) DeleteFileW(imagePath.c_str());
    {
        CAttachedListener listener(host.OpenProgress(20), downloader.get());
        downloader->FetchRecovery(imagePath);
    }
    if (StopRequested()) return kTaskStopped;
    CAttachedListener listener(host.OpenProgress(80), downloader.get());
    const bool ok = downloader->FetchRom(input.romPath);
    if (StopRequested()) return kTaskStopped;
    return ok ? kTaskDownloaded : kTaskDownloadFailed;
}

int RunFlashTask(ITaskHost& host, const TaskInput& input) {
    host.ReportFlashError(kFlashOk);
    const int check = RunDeviceCheckTask(host, 20);
    if (check == kCheckNoAdb || check == kCheckNoDevice || IsConnectionProblem(check)) return check;
    if (StopRequested()) return kTaskStopped;
    const int id = IdentifiedModel();
    if (id < 0) return kTaskUnsupported;  // no flasher serves an unidentified phone

    // Nothing on the phone changes before the package is known to be whole.
    {
        std::unique_ptr<IProgressListener> listener = host.OpenProgress(0);
        listener->OnProgress(0, L"正在校验ROM包...");
        const PackageCheck package =
            CheckRomPackage(input.romPath, [](uint64_t, uint64_t) { return !StopRequested(); });
        if (package == PackageCheck::Stopped || StopRequested()) return kTaskStopped;
        if (package != PackageCheck::Ok) return kTaskBadPackage;
    }
    // A script left by an earlier, unfinished attempt would wipe the phone
    // at its next boot into recovery, whatever happens now.
    if (!RemoveRecoveryScript()) {
        host.ReportFlashError(kRomPushFailed);
        return kTaskRomFlashFailed;
    }

    bool recoveryRan = false;
    int step = kFlashOk;
    if (std::unique_ptr<IRecoveryFlasher> flasher = CreateRecoveryFlasher(id, L"")) {
        CAttachedListener listener(host.OpenProgress(20), flasher.get());
        step = flasher->Flash();
        host.ReportFlashError(step);
        // The flasher goes first, then a pause for the phone, then the listener.
        listener.Detach();
        flasher.reset();
        Sleep(1000);
        recoveryRan = true;
    }
    if (StopRequested()) return kTaskStopped;
    if (step != kFlashOk) return FlashFailure(kTaskRecoveryFlashFailed);

    std::unique_ptr<IKestrelbox> flasher = CreateKestrelbox(id, input.romPath);
    if (!flasher) return kTaskUnsupported;
    {
        CAttachedListener listener(host.OpenProgress(recoveryRan ? 60 : 80), flasher.get());
        step = flasher->Flash(input.keepData);
        host.ReportFlashError(step);
    }
    if (StopRequested()) return kTaskStopped;
    if (step != kFlashOk) return FlashFailure(kTaskRomFlashFailed);
    return kTaskFlashed;
}

DWORD WINAPI DeviceCheckThread(void* start) { return RunTaskThread(start, DeviceCheckBody, L"device check"); }
DWORD WINAPI DownloadThread(void* start) { return RunTaskThread(start, RunDownloadTask, L"download"); }
DWORD WINAPI FlashThread(void* start) { return RunTaskThread(start, RunFlashTask, L"flash"); }

DWORD WINAPI CleanUpThread(void*) {
    CAdbManager::GetInstance()->KillServerAndCleanUp();
    return 0;
}

TaskMessage MessageFor(int result, int flashStep) {
    switch (result) {
    case kTaskNoAdb: return {L"错误", L"未找到Adb工具，请重新安装一键软件客户端以恢复文件！"};
    case kTaskNoDevice:
        return {L"异常提示", L"未找到有效设备，请确认手机已连接到PC，且处于正常开机状态，并打开usb调试开关！"};
    case kTaskUnsupported: return {L"不支持该设备", kUnsupportedText.c_str()};
    case kTaskNoServer: return {L"无法连接到服务器", L"连接下载服务器失败，请确认网络设置正常后再重新尝试！"};
    case kTaskDownloaded: return {L"下载完成！", L"ROM路径已正确设置，请点击“刷机”按钮直接刷机！"};
    case kTaskFlashed: return {L"刷机完成！", L"请拔除usb线等候手机自动重启，重启过程中请勿操作手机！"};
    case kTaskBadPackage: return {L"刷机失败", L"ROM包已损坏或不完整，请重新下载或选择其他ROM包！"};
    case kCheckManyDevices: return {L"异常提示", L"检测到多部手机或模拟器，请只连接一部需要刷机的手机！"};
    case kCheckOffline: return {L"异常提示", L"手机处于离线状态，请重新插拔USB线后点击“刷新设备信息”！"};
    case kCheckUnauthorized: return {L"异常提示", L"请在手机屏幕上允许USB调试，然后点击“刷新设备信息”！"};
    case kCheckOtherAdbServer:
        return {L"异常提示", L"其他程序（如手机助手类软件）正在使用adb服务，请关闭这些程序后点击“刷新设备信息”！"};
    case kTaskRecoveryFlashFailed:
    case kTaskRomFlashFailed:
        if (flashStep == kRomPrepareFailed || flashStep == kRecoveryImageFailed)
            return {L"刷机失败", kToolsDownloadFailed};
        if (IsFailedStep(flashStep, kRomPushFailed, kRomRebootFailed) ||
            IsFailedStep(flashStep, kRecoveryPushFailed, kRecoveryWriteFailed))
            return {L"刷机失败", kReplugUsb};
        return {nullptr, nullptr};
    default: return {nullptr, nullptr};
    }
}

}  // namespace mirq
