// Worker tasks of the main dialog: starting one, what each does on its
// thread, and what the dialog does with its result.
#include <windows.h>

#include <memory>

#include "BuildConfig.h"
#include "adb/AdbManager.h"
#include "app/MainDlg.h"
#include "app/TaskStateTable.h"
#include "device/DeviceChecker.h"
#include "device/DeviceModel.h"
#include "download/ResourceDownloader.h"
#include "download/UrlQuery.h"
#include "flash/Flasher.h"
#include "flash/PackageCheck.h"
#include "log/logger.h"
#include "util/Utils.h"

namespace mirq {

namespace {

bool ModelIdentified() { return CDeviceModel::GetInstance()->GetModelId() >= 0; }

CTaskStateTable::TaskKey KeyOf(HANDLE thread) { return reinterpret_cast<CTaskStateTable::TaskKey>(thread); }

struct TaskMessage {
    const wchar_t* caption;
    const wchar_t* text;
};

const std::wstring kUnsupportedText = std::wstring(L"该型号手机暂不支持，具体信息请关注") + MIRQ_HOME_URL + L"MirqROM论坛！";
const wchar_t* const kToolsDownloadFailed = L"云端辅助工具下载失败，请保证网络连接良好后重新刷机！";
const wchar_t* const kReplugUsb = L"请重新插拔USB线，保证手机与PC的连接良好后重新刷机！";

// The box for a task's result code; null caption for codes that show nothing.
TaskMessage MessageFor(int code, int flashError) {
    switch (code) {
    case 1: return {L"错误", L"未找到Adb工具，请重新安装一键软件客户端以恢复文件！"};
    case 2: return {L"异常提示", L"未找到有效设备，请确认手机已连接到PC，且处于正常开机状态，并打开usb调试开关！"};
    case 4: return {L"不支持该设备", kUnsupportedText.c_str()};
    case 5: return {L"无法连接到服务器", L"连接下载服务器失败，请确认网络设置正常后再重新尝试！"};
    case 7: return {L"下载完成！", L"ROM路径已正确设置，请点击“刷机”按钮直接刷机！"};
    case 8: return {L"刷机完成！", L"请拔除usb线等候手机自动重启，重启过程中请勿操作手机！"};
    case 12: return {L"刷机失败", L"ROM包已损坏或不完整，请重新下载或选择其他ROM包！"};
    case kCheckManyDevices: return {L"异常提示", L"检测到多部手机或模拟器，请只连接一部需要刷机的手机！"};
    case kCheckOffline: return {L"异常提示", L"手机处于离线状态，请重新插拔USB线后点击“刷新设备信息”！"};
    case kCheckUnauthorized: return {L"异常提示", L"请在手机屏幕上允许USB调试，然后点击“刷新设备信息”！"};
    case kCheckOtherAdbServer:
        return {L"异常提示", L"其他程序（如手机助手类软件）正在使用adb服务，请关闭这些程序后点击“刷新设备信息”！"};
    case 10:
    case 11:
        if (flashError == 50 || flashError == 100) return {L"刷机失败", kToolsDownloadFailed};
        if ((flashError >= 51 && flashError <= 53) || (flashError >= 101 && flashError <= 103))
            return {L"刷机失败", kReplugUsb};
        return {nullptr, nullptr};
    default: return {nullptr, nullptr};
    }
}

// A listener of the task's progress window for one reporter, registered in
// the dialog's listener field while it exists.
class CTaskListener {
public:
    CTaskListener(CCommonProgressListener*& field, IProgressOwner* owner, int span)
        : m_field(field), m_listener(new CCommonProgressListener(owner, span)) {
        m_field = m_listener.get();
    }
    ~CTaskListener() { m_field = nullptr; }
    CCommonProgressListener* get() { return m_listener.get(); }

private:
    CCommonProgressListener*& m_field;
    std::unique_ptr<CCommonProgressListener> m_listener;
};

// A flash step that failed because of the connection says so, not "re-plug".
int FlashFailure(int code) {
    const int problem = ConnectionProblemCode();
    return problem != kCheckOk ? problem : code;
}

}  // namespace

void CMainDlg::StartTask(TaskKind kind, bool withProgress) {
    if (m_currentTask) return;  // one task at a time
    for (HWND control : {m_refreshButton, m_browseButton, m_downloadButton, m_flashButton, m_wipeOption, m_keepOption})
        EnableWindow(control, FALSE);
    if (withProgress) {
        static const wchar_t* const kCaptions[] = {L"获取设备信息", L"下载MirqROM", L"刷机"};
        m_taskProgressDlg.reset(new CProgressDlg(m_hWnd));
        m_taskProgressDlg->Create(m_hWnd);
        SetWindowTextW(m_taskProgressDlg->m_hWnd, kCaptions[static_cast<int>(kind)]);
        ShowWindow(m_taskProgressDlg->m_hWnd, SW_SHOW);
        m_taskProgressDlg->SetPos(0);
        m_progressDlg = m_taskProgressDlg.get();
    }
    static const wchar_t* const kKindNames[] = {L"device check", L"download", L"flash"};
    MIRQ_LOG(kLogInfo, L"task", std::wstring(kKindNames[static_cast<int>(kind)]) + L" started");
    m_taskKind = kind;
    m_taskInput.romPath = m_romPath;
    m_taskInput.keepData = SendMessageW(m_keepOption, BM_GETCHECK, 0, 0) == BST_CHECKED;
    ++m_activeWorkers;
    m_currentTask = CreateThread(nullptr, 4096, &CMainDlg::TaskThread, this, 0, nullptr);
    if (!m_currentTask) {
        --m_activeWorkers;
        PostMessageW(m_hWnd, WM_TASK_FINISHED, 9, 0);
        return;
    }
    CTaskStateTable::GetInstance()->StartTask(KeyOf(m_currentTask));
}

void CMainDlg::StartCleanUpTask() {
    // Kept so that the process can wait for it: ended with the process, the
    // clean-up would leave the adb server running and tools\adb.exe locked.
    m_cleanUpThread = CreateThread(nullptr, 4096, &CMainDlg::CleanUpThread, this, 0, nullptr);
    if (m_cleanUpThread) CTaskStateTable::GetInstance()->StartTask(KeyOf(m_cleanUpThread));
}

DWORD WINAPI CMainDlg::CleanUpThread(void* param) {
    if (!param) return 1;
    CAdbManager::GetInstance()->KillServerAndCleanUp();
    return 0;
}

DWORD WINAPI CMainDlg::TaskThread(void* param) {
    CMainDlg* self = static_cast<CMainDlg*>(param);
    if (!self) return 1;
    int code = 0;
    switch (self->m_taskKind) {
    case TaskKind::DeviceCheck:
        code = self->RunDeviceCheck(100);
        break;
    case TaskKind::Download:
        code = self->RunDownloadTask();
        if (code == 0) code = 7;
        break;
    case TaskKind::Flash:
        code = self->RunFlashTask();
        if (code == 0) code = 8;
        break;
    }
    // The root check that decides the flash button, done here so that no adb
    // command runs on the window's thread.
    if (!self->m_rootChecked) self->m_rooted = ModelIdentified() && CAdbManager::GetInstance()->IsRooted();
    self->m_rootChecked = false;
    HWND window = self->m_hWnd;
    --self->m_activeWorkers;
    SendMessageW(window, WM_TASK_FINISHED, code, 0);
    return 0;
}

int CMainDlg::RunDeviceCheck(int span) {
    CTaskListener listener(m_progressListener, this, span);
    CDeviceChecker* checker = CDeviceChecker::GetInstance();
    checker->SetListener(listener.get());
    int code = checker->Check();
    // A phone read before reports only 5 and 10; its slice still ends complete,
    // so the next reporter's slice starts where the plan puts it.
    if (code == 0 || code == 4) listener.get()->OnProgress(100, L"");
    if (code == 0) ShowDeviceInfo();
    else if (code == 1 || code == 2 || code == 4 || IsConnectionProblem(code)) ResetDeviceInfo();
    checker->ClearListener();
    return code;
}

int CMainDlg::RunDownloadTask() {
    const int id = CDeviceModel::GetInstance()->GetModelId();
    if (id < 0) return 4;
    const std::wstring romPath = m_taskInput.romPath;
    CResourceDownloader* downloader = CResourceDownloader::GetInstance();
    downloader->Configure(nullptr, nullptr, 0, id);
    const std::wstring imagePath = RecoveryImagePath(id);
    if (PathExists(imagePath)) DeleteFileW(imagePath.c_str());
    {
        CTaskListener listener(m_progressListener, this, 20);
        downloader->SetListener(listener.get());
        downloader->FetchRecovery(imagePath);
        downloader->ClearListener();
    }
    if (StopRequested()) {
        // Not left configured for this phone: the next download may be for another.
        downloader->Reset();
        return 9;
    }
    bool ok = false;
    {
        CTaskListener listener(m_progressListener, this, 80);
        downloader->SetListener(listener.get());
        ok = downloader->FetchRom(romPath);
        downloader->ClearListener();
    }
    downloader->Reset();
    if (StopRequested()) return 9;
    return ok ? 0 : 6;
}

int CMainDlg::RunFlashTask() {
    m_flashError = 0;
    const std::wstring romPath = m_taskInput.romPath;
    const int check = RunDeviceCheck(20);
    if (check == 1 || check == 2 || IsConnectionProblem(check)) return check;
    if (StopRequested()) return 9;
    const int id = CDeviceModel::GetInstance()->GetModelId();
    if (id < 0) return 4;  // no flasher serves an unidentified phone

    // Nothing on the phone changes before the package is known to be whole.
    {
        CTaskListener listener(m_progressListener, this, 0);
        listener.get()->OnProgress(0, L"正在校验ROM包...");
        const PackageCheck check = CheckRomPackage(romPath, [](uint64_t, uint64_t) { return !StopRequested(); });
        if (check == PackageCheck::Stopped || StopRequested()) return 9;
        if (check != PackageCheck::Ok) return 12;
    }
    // A script left by an earlier, unfinished attempt would wipe the phone
    // at its next boot into recovery, whatever happens now.
    if (!RemoveRecoveryScript()) {
        m_flashError = 51;
        return 11;
    }

    bool recoveryRan = false;
    if (std::unique_ptr<IRecoveryFlasher> flasher = CreateRecoveryFlasher(id, L"")) {
        CTaskListener listener(m_progressListener, this, 20);
        flasher->SetListener(listener.get());
        m_flashError = flasher->Flash();
        flasher->ClearListener();
        flasher.reset();
        Sleep(1000);
        recoveryRan = true;
    }
    if (StopRequested()) return 9;
    if (m_flashError != 0) return FlashFailure(10);

    std::unique_ptr<IKestrelbox> flasher = CreateKestrelbox(id, romPath);
    if (!flasher) return 4;
    {
        CTaskListener listener(m_progressListener, this, recoveryRan ? 60 : 80);
        flasher->SetListener(listener.get());
        m_flashError = flasher->Flash(m_taskInput.keepData);
        flasher->ClearListener();
    }
    if (StopRequested()) return 9;
    if (m_flashError != 0) return FlashFailure(11);
    return check;
}

LRESULT CMainDlg::OnTaskFinished(UINT, WPARAM wParam, LPARAM, BOOL&) {
    const int code = static_cast<int>(wParam);
    if (CProgressDlg* dlg = m_progressDlg) dlg->DestroyWindow();  // its WM_PROGRESS_CLOSED nulls the field
    m_progressDlg = nullptr;
    m_taskProgressDlg.reset();
    if (m_currentTask) {
        CTaskStateTable::GetInstance()->FinishTask(KeyOf(m_currentTask));
        CloseHandle(m_currentTask);
        m_currentTask = nullptr;
    }
    if (m_closing) {  // closed while the task ran: it has stopped, now the window goes
        KillTimer(m_hWnd, kCloseTimer);
        Close();
        return 0;
    }
    RestoreControls();
    const bool download = m_downloadAfterCheck && code == 0;
    m_downloadAfterCheck = false;
    if (download) {
        StartTask(TaskKind::Download, true);
        return 0;
    }
    ShowResult(code);
    return (code == 1 || code == 2 || code == 4 || code == 5) ? 1 : 0;
}

void CMainDlg::RestoreControls() {
    EnableWindow(m_refreshButton, TRUE);
    EnableWindow(m_browseButton, TRUE);
    EnableForIdentifiedPhone();
    EnableWindow(m_wipeOption, TRUE);
    EnableWindow(m_keepOption, TRUE);
}

void CMainDlg::ShowResult(int code) {
    TaskMessage message = MessageFor(code, m_flashError);
    MIRQ_LOG(kLogInfo, L"task", L"ended with code " + std::to_wstring(code) + L" (flash step " +
                                    std::to_wstring(m_flashError) + L")" +
                                    (message.caption ? L"; box " + std::wstring(message.caption) + L": " + message.text : L""));
    if (code == 10 || code == 11) m_flashError = 0;
    if (message.caption) MessageBoxW(m_hWnd, message.text, message.caption, MB_OK);
}

}  // namespace mirq
