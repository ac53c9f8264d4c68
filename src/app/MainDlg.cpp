#include "app/MainDlg.h"

#include <commdlg.h>
#include <dbt.h>

#include "app/AboutDlg.h"
#include "app/TaskStateTable.h"
#include "device/DeviceModel.h"
#include "device/ModelCatalogue.h"
#include "download/UrlQuery.h"
#include "flash/Flasher.h"
#include "log/logger.h"
#include "util/Thread.h"
#include "util/Utils.h"

namespace mirq {

namespace {

// Closed during a task: how long the window waits for the task to stop.
const UINT kCloseLimitMs = 30000;
const wchar_t* const kStoppingText = L"正在停止...";
const wchar_t* const kUnknownDevice = L"未知设备";
const wchar_t* const kUnknownInfo = L"设备信息：未知";
const wchar_t* const kTipsCaption = L"刷机提示";
const wchar_t* const kTipsText =
    L"1. 请确保电脑上安装有手机的驱动程序；\n2. 请确保在手机上打开USB调试功能；\n3. 请确保手机电量在50%以上；\n"
    L"4. 如使用非MirqROM包刷机，请保证其有效；\n5. 刷机有风险，因刷机造成的任何问题，Mirq项目组不承担任何责任。";
const wchar_t* const kCheckCaption = L"获取设备信息";
const wchar_t* const kDownloadCaption = L"下载MirqROM";
const wchar_t* const kFlashCaption = L"刷机";
const int kModelFontTenthPoints = 225;

// As long as a download may wait for its connection.
const DWORD kServiceCheckLimitMs = 30000;

int ModelId() { return CDeviceModel::GetInstance()->GetModelId(); }

// The service check's answer, shared with its thread (which may outlive the wait).
struct CServiceCheck {
    std::atomic<bool> done{false};
    std::atomic<bool> reachable{false};
};

DWORD WINAPI ServiceCheckThread(void* param) {
    std::unique_ptr<std::shared_ptr<CServiceCheck>> check(static_cast<std::shared_ptr<CServiceCheck>*>(param));
    (*check)->reachable = CheckServiceConnection();
    (*check)->done = true;
    return 0;
}
std::wstring OrUnknown(const std::wstring& value) { return value.empty() ? L"未知" : value; }
CTaskStateTable::TaskKey KeyOf(const CWinHandle& thread) {
    return reinterpret_cast<CTaskStateTable::TaskKey>(thread.get());
}

}  // namespace


LRESULT CMainDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    CenterWindow(nullptr);  // no parent nor owner: the work area
    HINSTANCE inst = g_module.GetResourceInstance();
    HICON big = static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(IDI_MIRQ), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    HICON small = static_cast<HICON>(LoadImageW(inst, MAKEINTRESOURCEW(IDI_MIRQ), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_DEFAULTCOLOR));
    SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));

    if (CMessageLoop* loop = g_module.GetMessageLoop()) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }

    m_modelLabel = GetDlgItem(IDC_MODEL_LABEL);
    m_infoText = GetDlgItem(IDC_DEVICE_INFO);
    m_rootWarning = GetDlgItem(IDC_ROOT_WARNING);
    m_pathEdit = GetDlgItem(IDC_ROM_PATH);
    m_flashButton = GetDlgItem(IDC_FLASH);
    m_refreshButton = GetDlgItem(IDC_REFRESH);
    m_downloadButton = GetDlgItem(IDC_DOWNLOAD);
    m_browseButton = GetDlgItem(IDC_BROWSE);
    m_wipeOption = GetDlgItem(IDC_WIPE_DATA);
    m_keepOption = GetDlgItem(IDC_KEEP_DATA);

    const std::wstring base = GetBaseDirectory();
    m_romPath = base.empty() ? L"c:\\update.zip" : base + L"\\update.zip";
    SetWindowTextW(m_pathEdit, m_romPath.c_str());

    EnableWindow(m_flashButton, FALSE);
    SendMessageW(m_wipeOption, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(m_keepOption, BM_SETCHECK, BST_UNCHECKED, 0);

    ShowWindow(m_rootWarning, SW_HIDE);
    RestoreControls();

    // In points, so that it grows with the system's DPI as the dialog does:
    // 22.5 pt is the 30-pixel cell the label was drawn for at 96 DPI.
    HDC screen = GetDC(m_hWnd);
    const int cellHeight = MulDiv(kModelFontTenthPoints, GetDeviceCaps(screen, LOGPIXELSY), 720);
    ReleaseDC(m_hWnd, screen);
    m_modelFont.Reset(CreateFontW(cellHeight, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, nullptr));
    SendMessageW(m_modelLabel, WM_SETFONT, reinterpret_cast<WPARAM>(m_modelFont.get()), TRUE);
    SetWindowTextW(m_modelLabel, kUnknownDevice);

    SetTimer(m_hWnd, kTipsTimer, 500, nullptr);
    // The service's catalogue of models, on a thread of its own: the window never waits for it.
    m_window = m_hWnd;
    StartCatalogueFetch(*this, m_catalogues.Current()->Version());
    return TRUE;
}

void CMainDlg::OnCatalogueArrived(const Catalogue& catalogue) {
    m_catalogues.Use(catalogue);
    if (HWND window = m_window) PostMessageW(window, WM_CATALOGUE_CHANGED, 0, 0);
}

// A catalogue whose last day has passed identifies nothing: the window says
// so (and the log, once), and the built-in rows serve.
void CMainDlg::ShowCatalogueState() {
    const std::wstring ended = m_catalogues.Ended();
    const std::wstring text = ended.empty() ? L"" : L"机型列表已于" + ended + L"过期，现使用内置机型。请确认电脑的日期正确，并连接网络后重新启动本软件。";
    if (text == m_catalogueState) return;
    m_catalogueState = text;
    SetWindowTextW(GetDlgItem(IDC_CATALOGUE_STATE), text.c_str());
    if (!ended.empty())
        MIRQ_LOG(kLogWarning, L"catalogue", L"the catalogue in use ended on " + ended + L" (the PC's date is " + TodayUtc() +
                                                L"): out of date, the built-in rows serve");
}

// A catalogue that arrived: the phone read last is identified again by it,
// no command sent. A phone it lists is shown, one whose row it changed takes
// the new row, one it withdrew is no longer supported. One that arrives
// while a task runs waits for the task's end (the next task takes it anyway).
LRESULT CMainDlg::OnCatalogueChanged(UINT, WPARAM, LPARAM, BOOL&) {
    ShowCatalogueState();
    m_catalogueChangedMeanwhile = static_cast<bool>(m_currentTask);
    CDeviceModel* record = CDeviceModel::GetInstance();
    if (m_currentTask || record->GetDevice().empty()) return 0;
    const int before = record->GetModelId();
    const int id = record->Identify(*m_catalogues.Current());
    if (id == before) return 0;
    MIRQ_LOG(kLogInfo, L"catalogue", id < 0 ? L"the phone read last is not in the new catalogue"
                                            : L"the phone read last is identified by the new catalogue");
    BOOL handled = TRUE;
    if (id < 0) {
        OnResetDeviceInfo(WM_RESET_DEVICE_INFO, 0, 0, handled);
        EnableWindow(m_downloadButton, FALSE);
        return 0;
    }
    m_rooted = record->IsRooted();
    OnShowDeviceInfo(WM_SHOW_DEVICE_INFO, m_rooted, 0, handled);
    EnableForIdentifiedPhone();
    return 0;
}

LRESULT CMainDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    m_window = nullptr;
    // Kept so that the process can wait for it: ended with the process, the
    // clean-up would leave the adb server running and tools\adb.exe locked.
    // It is no task of the table: a task still running keeps its stop request,
    // and the clean-up waits for it to end.
    HANDLE task = nullptr;
    if (m_currentTask)
        DuplicateHandle(GetCurrentProcess(), m_currentTask.get(), GetCurrentProcess(), &task, SYNCHRONIZE, FALSE, 0);
    m_cleanUpThread.Reset(StartThread(CleanUpThread, task));
    if (!m_cleanUpThread && task) CloseHandle(task);
    if (CMessageLoop* loop = g_module.GetMessageLoop()) {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    return 0;
}

LRESULT CMainDlg::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL&) {
    if (wParam == kCloseTimer) {  // the task did not stop in time: close all the same
        KillTimer(m_hWnd, kCloseTimer);
        Close();
        return 0;
    }
    KillTimer(m_hWnd, kTipsTimer);
    // Device changes while the tips are open are left to the check that follows them.
    m_tipsOpen = true;
    MessageBoxW(m_hWnd, kTipsText, kTipsCaption, MB_OK);
    m_tipsOpen = false;
    StartTask(DeviceCheckThread, kCheckCaption);
    return 0;
}

LRESULT CMainDlg::OnDeviceChange(UINT, WPARAM wParam, LPARAM, BOOL&) {
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return 0;
    // With a file dialog open the check waits: the command the user is about
    // to confirm would otherwise find a task running and vanish.
    if (m_fileDialogOpen) m_deviceChangedMeanwhile = true;
    else if (!m_currentTask && !m_tipsOpen && !m_closing) StartTask(DeviceCheckThread, nullptr);
    return 0;
}

LRESULT CMainDlg::OnProgressSetPos(UINT, WPARAM wParam, LPARAM, BOOL&) {
    if (CProgressDlg* dlg = m_progressDlg) dlg->SetPos(static_cast<int>(wParam));
    return 0;
}

LRESULT CMainDlg::OnProgressSetText(UINT, WPARAM, LPARAM lParam, BOOL&) {
    if (CProgressDlg* dlg = m_progressDlg) dlg->SetText(*reinterpret_cast<const std::wstring*>(lParam));
    return 0;
}

LRESULT CMainDlg::OnProgressClosed(UINT, WPARAM, LPARAM, BOOL&) {
    if (m_currentTask) {
        CTaskStateTable::GetInstance()->RequestStop(KeyOf(m_currentTask));
        m_progressDlg = nullptr;
    }
    return 0;
}

LRESULT CMainDlg::OnCtlColorStatic(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
    HDC dc = reinterpret_cast<HDC>(wParam);
    if (reinterpret_cast<HWND>(lParam) == m_rootWarning) {
        SetTextColor(dc, RGB(255, 0, 0));
        return reinterpret_cast<LRESULT>(GetCurrentObject(dc, OBJ_BRUSH));
    }
    return 0;
}

LRESULT CMainDlg::OnCancel(WORD, WORD, HWND, BOOL&) {
    if (!m_currentTask) {
        Close();
        return 0;
    }
    // Ending the process mid-task could leave a phone with a recovery script
    // and no reboot: the task is asked to stop, and the window closes once it
    // has (or after a bound).
    if (!m_closing) {
        m_closing = true;
        CTaskStateTable::GetInstance()->RequestStop(KeyOf(m_currentTask), true);
        if (CProgressDlg* dlg = m_progressDlg) dlg->SetText(kStoppingText);
        SetTimer(m_hWnd, kCloseTimer, kCloseLimitMs, nullptr);
    }
    return 0;
}

void CMainDlg::Close() {
    DestroyWindow();
    PostQuitMessage(IDCANCEL);
}

void CMainDlg::WaitForCleanUp(unsigned long limitMs) {
    // A flash may be between its script and its reboot: the process never ends there.
    if (m_currentTask) WaitForSingleObject(m_currentTask.get(), INFINITE);
    if (m_cleanUpThread) WaitForSingleObject(m_cleanUpThread.get(), limitMs);
    m_cleanUpThread.Reset();
}

bool CMainDlg::HasActiveWorkers() const {
    // The catalogue fetch too: it tells this window what it brought.
    return (m_currentTask && WaitForSingleObject(m_currentTask.get(), 0) == WAIT_TIMEOUT) || CatalogueFetchRunning();
}

// The path as typed: trimmed, and without the quotes Explorer's "copy as path" adds.
void CMainDlg::ReadRomPathBox() {
    const int length = GetWindowTextLengthW(m_pathEdit);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(GetWindowTextW(m_pathEdit, &text[0], length + 1));
    text = Trimmed(text);
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') text = Trimmed(text.substr(1, text.size() - 2));
    m_romPath = text;
}

LRESULT CMainDlg::OnFlash(WORD, WORD, HWND, BOOL&) {
    ReadRomPathBox();
    if (IsRegularFile(m_romPath)) {  // a folder is no package
        StartTask(FlashThread, kFlashCaption);
        return 0;
    }
    std::wstring text = L"未找到指定文件" + m_romPath + L"，请重新设置！";
    MessageBoxW(m_hWnd, text.c_str(), L"异常提示", MB_OK);
    return 1;
}

LRESULT CMainDlg::OnRefresh(WORD, WORD, HWND, BOOL&) {
    StartTask(DeviceCheckThread, kCheckCaption);
    return 0;
}

LRESULT CMainDlg::OnBrowse(WORD, WORD, HWND, BOOL&) {
    ChooseRomPath(true);
    return 0;
}

// The check can take long on a slow network: it runs on a thread of its own,
// within a limit, while the window keeps answering (its commands disabled).
bool CMainDlg::ServiceReachable() {
    auto check = std::make_shared<CServiceCheck>();
    auto* shared = new std::shared_ptr<CServiceCheck>(check);
    CWinHandle thread(StartThread(ServiceCheckThread, shared));
    if (!thread) {
        delete shared;
        return CheckServiceConnection();
    }
    DisableCommands();
    const DWORD start = GetTickCount();
    HANDLE waited = thread.get();
    for (DWORD elapsed = 0; !check->done && elapsed < kServiceCheckLimitMs; elapsed = GetTickCount() - start) {
        if (MsgWaitForMultipleObjects(1, &waited, FALSE, kServiceCheckLimitMs - elapsed, QS_ALLINPUT) != WAIT_OBJECT_0 + 1)
            continue;
        CMessageLoop* loop = g_module.GetMessageLoop();
        if (loop && !loop->DispatchPending()) return false;
    }
    if (::IsWindow(m_hWnd) && !m_currentTask) RestoreControls();
    return check->done && check->reachable;
}

LRESULT CMainDlg::OnDownload(WORD, WORD, HWND, BOOL&) {
    if (!ServiceReachable()) {
        if (!::IsWindow(m_hWnd)) return 0;
        ShowBox(MessageFor(kTaskNoServer, kFlashOk));
        return 0;
    }
    ReadRomPathBox();
    if (ChooseRomPath(false)) StartTask(DownloadThread, kDownloadCaption);
    return 0;
}

LRESULT CMainDlg::OnAbout(WORD, WORD, HWND, BOOL&) {
    CAboutDlg about;
    about.DoModal(GetActiveWindow());
    return 0;
}

LRESULT CMainDlg::OnWipeData(WORD, WORD, HWND, BOOL&) {
    SendMessageW(m_wipeOption, BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(m_keepOption, BM_SETCHECK, BST_UNCHECKED, 0);
    return 0;
}

LRESULT CMainDlg::OnKeepData(WORD, WORD, HWND, BOOL&) {
    SendMessageW(m_wipeOption, BM_SETCHECK, BST_UNCHECKED, 0);
    SendMessageW(m_keepOption, BM_SETCHECK, BST_CHECKED, 0);
    return 0;
}

bool CMainDlg::ChooseRomPath(bool open) {
    size_t slash = m_romPath.find_last_of(L'\\');
    std::wstring folder = slash == std::wstring::npos ? m_romPath : m_romPath.substr(0, slash);
    wchar_t file[260] = {};
    wcsncpy(file, open ? L"*.zip" : L"update.zip", 259);
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = GetActiveWindow();
    ofn.lpstrFilter = open ? L"*.zip\0*.zip\0" : L"*.*\0*.*\0";
    ofn.lpstrFile = file;
    ofn.nMaxFile = 260;
    ofn.lpstrInitialDir = folder.c_str();
    ofn.lpstrTitle = open ? L"设置刷机ROM" : L"保存ROM文件到";
    ofn.lpstrDefExt = L"zip";
    ofn.Flags = OFN_EXPLORER | OFN_ENABLESIZING | OFN_OVERWRITEPROMPT;
    m_fileDialogOpen = true;
    m_deviceChangedMeanwhile = false;
    BOOL chosen = open ? GetOpenFileNameW(&ofn) : GetSaveFileNameW(&ofn);
    m_fileDialogOpen = false;
    if (chosen) {
        m_romPath = file;
        SetWindowTextW(m_pathEdit, m_romPath.c_str());
    }
    if (m_deviceChangedMeanwhile) {
        // The phone changed while the dialog was open: the check runs first,
        // and a confirmed download follows it when the phone is identified.
        m_deviceChangedMeanwhile = false;
        m_downloadAfterCheck = chosen && !open;
        StartTask(DeviceCheckThread, m_downloadAfterCheck ? kCheckCaption : nullptr);
        return false;
    }
    return chosen != FALSE;
}

void CMainDlg::EnableForIdentifiedPhone() {
    if (ModelId() < 0) return;
    EnableWindow(m_downloadButton, TRUE);
    EnableWindow(m_flashButton, m_rooted);  // checked anew by the worker at each task's end
}

void CMainDlg::ShowDeviceInfo(bool rooted) { SendMessageW(m_hWnd, WM_SHOW_DEVICE_INFO, rooted, 0); }
void CMainDlg::ResetDeviceInfo() { SendMessageW(m_hWnd, WM_RESET_DEVICE_INFO, 0, 0); }
void CMainDlg::ReportFlashError(int flashStep) { SendMessageW(m_hWnd, WM_FLASH_ERROR, flashStep, 0); }
void CMainDlg::ReportMessageDetail(const std::wstring& text) {
    SendMessageW(m_hWnd, WM_MESSAGE_DETAIL, 0, reinterpret_cast<LPARAM>(&text));
}

std::unique_ptr<IProgressListener> CMainDlg::OpenProgress(int span) {
    return std::unique_ptr<IProgressListener>(new CCommonProgressListener(this, span));
}

LRESULT CMainDlg::OnShowDeviceInfo(UINT, WPARAM wParam, LPARAM, BOOL&) {
    const int id = ModelId();
    if (id < 0) return 0;
    SetWindowTextW(m_modelLabel, m_catalogues.Current()->Row(id).name.c_str());
    CDeviceModel* record = CDeviceModel::GetInstance();
    const bool rooted = wParam != 0;
    std::wstring info = L"Android版本：" + OrUnknown(record->GetVersionRelease()) + L"\n设备型号：" +
                        OrUnknown(record->GetModel()) + L"\nIMEI/SN：" + OrUnknown(record->GetImei()) + L"\n厂商：" +
                        OrUnknown(record->GetManufacturer()) + L"\nBootloader：" +
                        OrUnknown(record->GetBootloader()) + L"\nRadio版本：" +
                        OrUnknown(record->GetBasebandVersion()) + L"\n内部版本：" +
                        OrUnknown(record->GetBuildDescription()) + L"\n拥有root权限：" + (rooted ? L"是" : L"否");
    SetWindowTextW(m_infoText, info.c_str());
    ShowWindow(m_rootWarning, rooted ? SW_HIDE : SW_SHOW);
    return 0;
}

LRESULT CMainDlg::OnResetDeviceInfo(UINT, WPARAM, LPARAM, BOOL&) {
    SetWindowTextW(m_modelLabel, kUnknownDevice);
    SetWindowTextW(m_infoText, kUnknownInfo);
    EnableWindow(m_flashButton, FALSE);
    ShowWindow(m_rootWarning, SW_HIDE);
    return 0;
}

void CMainDlg::StartTask(LPTHREAD_START_ROUTINE routine, const wchar_t* caption) {
    if (m_currentTask) return;  // one task at a time
    DisableCommands();
    if (caption) {
        m_taskProgressDlg.reset(new CProgressDlg(m_hWnd));
        m_taskProgressDlg->Create(m_hWnd);
        SetWindowTextW(m_taskProgressDlg->m_hWnd, caption);
        ShowWindow(m_taskProgressDlg->m_hWnd, SW_SHOW);
        m_taskProgressDlg->SetPos(0);
        m_progressDlg = m_taskProgressDlg.get();
    }
    m_messageDetail.clear();
    TaskInput input;
    input.romPath = m_romPath;
    input.keepData = SendMessageW(m_keepOption, BM_GETCHECK, 0, 0) == BST_CHECKED;
    ShowCatalogueState();  // it may have ended since it arrived
    input.catalogue = m_catalogues.Current();
    TaskStart* start = new TaskStart{this, m_hWnd, input};
    // Suspended until the table knows it: its key is the thread's handle, and
    // the task takes its stop token from the table.
    m_currentTask.Reset(StartThread(routine, start, CREATE_SUSPENDED));
    if (!m_currentTask) {
        delete start;
        PostMessageW(m_hWnd, WM_TASK_FINISHED, kTaskStopped, m_rooted);
        return;
    }
    CTaskStateTable* table = CTaskStateTable::GetInstance();
    table->StartTask(KeyOf(m_currentTask));
    start->input.stop = table->StopToken(KeyOf(m_currentTask));
    ResumeThread(m_currentTask.get());
}

LRESULT CMainDlg::OnTaskFinished(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
    const int result = static_cast<int>(wParam);
    m_rooted = lParam != 0;
    if (CProgressDlg* dlg = m_progressDlg) dlg->DestroyWindow();  // its WM_PROGRESS_CLOSED nulls the field
    m_progressDlg = nullptr;
    m_taskProgressDlg.reset();
    if (m_currentTask) {
        CTaskStateTable::GetInstance()->FinishTask(KeyOf(m_currentTask));
        m_currentTask.Reset();
    }
    if (m_closing) {  // closed while the task ran: it has stopped, now the window goes
        KillTimer(m_hWnd, kCloseTimer);
        Close();
        return 0;
    }
    RestoreControls();
    if (m_catalogueChangedMeanwhile) PostMessageW(m_hWnd, WM_CATALOGUE_CHANGED, 0, 0);
    const bool download = m_downloadAfterCheck && result == kTaskOk;
    m_downloadAfterCheck = false;
    if (download) {
        StartTask(DownloadThread, kDownloadCaption);
        return 0;
    }
    ShowResult(result);
    return (result == kTaskNoAdb || result == kTaskNoDevice || result == kTaskUnsupported || result == kTaskNoServer)
               ? 1
               : 0;
}

void CMainDlg::DisableCommands() {
    for (HWND control : {m_refreshButton, m_browseButton, m_downloadButton, m_flashButton, m_wipeOption, m_keepOption})
        EnableWindow(control, FALSE);
}

void CMainDlg::RestoreControls() {
    EnableWindow(m_refreshButton, TRUE);
    EnableWindow(m_browseButton, TRUE);
    EnableForIdentifiedPhone();
    EnableWindow(m_wipeOption, TRUE);
    EnableWindow(m_keepOption, TRUE);
}

void CMainDlg::ShowResult(int result) {
    const TaskMessage message = MessageFor(result, m_flashError, m_messageDetail);
    MIRQ_LOG(kLogInfo, L"task", L"ended with code " + std::to_wstring(result) + L" (flash step " +
                                    std::to_wstring(m_flashError) + L")" +
                                    (message.caption ? L"; box " + std::wstring(message.caption) + L": " + message.text : L""));
    if (result == kTaskRecoveryFlashFailed || result == kTaskRomFlashFailed) m_flashError = kFlashOk;
    ShowBox(message);
}

void CMainDlg::ShowBox(const TaskMessage& message) {
    if (message.caption) MessageBoxW(m_hWnd, message.text.c_str(), message.caption, MB_OK);
}

}  // namespace mirq
