#include "app/MainDlg.h"

#include <commdlg.h>
#include <dbt.h>

#include "BuildConfig.h"
#include "adb/AdbManager.h"
#include "app/TaskStateTable.h"
#include "device/DeviceModel.h"
#include "device/ModelTable.h"
#include "download/UrlQuery.h"
#include "util/Utils.h"

namespace mirq {

namespace {

const UINT_PTR kTipsTimer = 1;
// Closed during a task: how long the window waits for the task to stop.
const UINT kCloseLimitMs = 30000;
const wchar_t* const kStoppingText = L"正在停止...";
const wchar_t* const kUnknownDevice = L"未知设备";
const wchar_t* const kUnknownInfo = L"设备信息：未知";
const wchar_t* const kTipsCaption = L"刷机提示";
const wchar_t* const kTipsText =
    L"1. 请确保电脑上安装有手机的驱动程序；\n2. 请确保在手机上打开USB调试功能；\n3. 请确保手机电量在50%以上；\n"
    L"4. 如使用非MirqROM包刷机，请保证其有效；\n5. 刷机有风险，因刷机造成的任何问题，Mirq项目组不承担任何责任。";
const wchar_t* const kNoServerCaption = L"无法连接到服务器";
const wchar_t* const kNoServerText = L"连接下载服务器失败，请确认网络设置正常后再重新尝试！";

bool IsRooted() { return CAdbManager::GetInstance()->IsRooted(); }
int ModelId() { return CDeviceModel::GetInstance()->GetModelId(); }
std::wstring OrUnknown(const std::wstring& value) { return value.empty() ? L"未知" : value; }

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

    m_progressDlg = nullptr;
    m_progressListener = nullptr;
    m_currentTask = nullptr;
    m_flashError = 0;

    ShowWindow(m_rootWarning, SW_HIDE);
    EnableWindow(m_refreshButton, TRUE);
    EnableWindow(m_browseButton, TRUE);
    EnableForIdentifiedPhone();
    EnableWindow(m_wipeOption, TRUE);
    EnableWindow(m_keepOption, TRUE);

    m_modelFont.Reset(CreateFontW(30, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, VARIABLE_PITCH | FF_SWISS, nullptr));
    SendMessageW(m_modelLabel, WM_SETFONT, reinterpret_cast<WPARAM>(m_modelFont.get()), TRUE);
    SetWindowTextW(m_modelLabel, kUnknownDevice);

    SetTimer(m_hWnd, kTipsTimer, 500, nullptr);
    return TRUE;
}

LRESULT CMainDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    StartCleanUpTask();
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
    StartTask(TaskKind::DeviceCheck, true);
    return 0;
}

LRESULT CMainDlg::OnDeviceChange(UINT, WPARAM wParam, LPARAM, BOOL&) {
    if (wParam != DBT_DEVICEARRIVAL && wParam != DBT_DEVICEREMOVECOMPLETE) return 0;
    // With a file dialog open the check waits: the command the user is about
    // to confirm would otherwise find a task running and vanish.
    if (m_fileDialogOpen) m_deviceChangedMeanwhile = true;
    else if (!m_currentTask && !m_tipsOpen && !m_closing) StartTask(TaskKind::DeviceCheck, false);
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
        CTaskStateTable::GetInstance()->RequestStop(reinterpret_cast<CTaskStateTable::TaskKey>(m_currentTask));
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
        CTaskStateTable::GetInstance()->RequestStop(reinterpret_cast<CTaskStateTable::TaskKey>(m_currentTask));
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
    if (!m_cleanUpThread) return;
    WaitForSingleObject(m_cleanUpThread, limitMs);
    CloseHandle(m_cleanUpThread);
    m_cleanUpThread = nullptr;
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
        StartTask(TaskKind::Flash, true);
        return 0;
    }
    std::wstring text = L"未找到指定文件" + m_romPath + L"，请重新设置！";
    MessageBoxW(m_hWnd, text.c_str(), L"异常提示", MB_OK);
    return 1;
}

LRESULT CMainDlg::OnRefresh(WORD, WORD, HWND, BOOL&) {
    StartTask(TaskKind::DeviceCheck, true);
    return 0;
}

LRESULT CMainDlg::OnBrowse(WORD, WORD, HWND, BOOL&) {
    ChooseRomPath(true);
    return 0;
}

LRESULT CMainDlg::OnDownload(WORD, WORD, HWND, BOOL&) {
    if (!CheckServiceConnection()) {
        MessageBoxW(m_hWnd, kNoServerText, kNoServerCaption, MB_OK);
        return 0;
    }
    ReadRomPathBox();
    if (ChooseRomPath(false)) StartTask(TaskKind::Download, true);
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
        StartTask(TaskKind::DeviceCheck, m_downloadAfterCheck);
        return false;
    }
    return chosen != FALSE;
}

void CMainDlg::EnableForIdentifiedPhone() {
    if (ModelId() < 0) return;
    EnableWindow(m_downloadButton, TRUE);
    EnableWindow(m_flashButton, m_rooted);  // checked anew by the worker at each task's end
}

void CMainDlg::ShowDeviceInfo() {
    const int id = ModelId();
    if (id < 0) return;
    SetWindowTextW(m_modelLabel, kModelTable[id].displayName);
    CDeviceModel* record = CDeviceModel::GetInstance();
    const bool rooted = IsRooted();
    m_rooted = rooted;
    m_rootChecked = true;
    std::wstring info = L"Android版本：" + OrUnknown(record->GetVersionRelease()) + L"\n设备型号：" +
                        OrUnknown(record->GetModel()) + L"\nIMEI/SN：" + OrUnknown(record->GetImei()) + L"\n厂商：" +
                        OrUnknown(record->GetManufacturer()) + L"\nBootloader：" +
                        OrUnknown(record->GetBootloader()) + L"\nRadio版本：" +
                        OrUnknown(record->GetBasebandVersion()) + L"\n内部版本：" +
                        OrUnknown(record->GetBuildDescription()) + L"\n拥有root权限：" + (rooted ? L"是" : L"否");
    SetWindowTextW(m_infoText, info.c_str());
    ShowWindow(m_rootWarning, rooted ? SW_HIDE : SW_SHOW);
}

void CMainDlg::ResetDeviceInfo() {
    SetWindowTextW(m_modelLabel, kUnknownDevice);
    SetWindowTextW(m_infoText, kUnknownInfo);
    EnableWindow(m_flashButton, FALSE);
    ShowWindow(m_rootWarning, SW_HIDE);
}

}  // namespace mirq
