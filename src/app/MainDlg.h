#pragma once
// The program's only top-level window: the phone's model and information,
// the ROM path, and the commands that start worker tasks. Everything here
// runs on the window's thread; what a task asks of the window (ITaskHost)
// reaches it by SendMessage.
#include <atomic>
#include <memory>
#include <string>

#include "app/Tasks.h"
#include "download/CatalogueService.h"
#include "framework/Framework.h"
#include "progress/ProgressDlg.h"
#include "res/resource.h"
#include "util/Raii.h"

namespace mirq {

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler,
                 public IProgressOwner,
                 public ITaskHost,
                 public ICatalogueListener {
public:
    enum { IDD = IDD_MAINDLG };

    CMainDlg() = default;

    BOOL PreTranslateMessage(MSG* msg) override { return IsDialogMessageW(m_hWnd, msg); }
    BOOL OnIdle() override { return FALSE; }

    HWND GetOwnerWindow() const override { return m_hWnd; }
    CProgressDlg* GetProgressDlg() const override { return m_progressDlg; }

    // ITaskHost, called on a task's thread.
    void ShowDeviceInfo(bool rooted) override;
    void ResetDeviceInfo() override;
    std::unique_ptr<IProgressListener> OpenProgress(int span) override;
    void ReportFlashError(int flashStep) override;
    void ReportMessageDetail(const std::wstring& text) override;
    CatalogueRef LatestCatalogue() override { return m_catalogues.Current(); }
    // ICatalogueListener, called on the catalogue fetch's thread.
    void OnCatalogueArrived(const Catalogue& catalogue) override;

    // True while a task's thread may still use this object (the process then keeps it).
    bool HasActiveWorkers() const;
    // Waits for a task still running when the window was destroyed (its
    // every wait is bounded), then, up to the limit, for the clean-up.
    void WaitForCleanUp(unsigned long limitMs);

    BEGIN_MSG_MAP(CMainDlg)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_DEVICECHANGE, OnDeviceChange)
        MESSAGE_HANDLER(WM_TASK_FINISHED, OnTaskFinished)
        MESSAGE_HANDLER(WM_SHOW_DEVICE_INFO, OnShowDeviceInfo)
        MESSAGE_HANDLER(WM_CATALOGUE_CHANGED, OnCatalogueChanged)
        MESSAGE_HANDLER(WM_RESET_DEVICE_INFO, OnResetDeviceInfo)
        MESSAGE_HANDLER(WM_FLASH_ERROR, OnFlashError)
        MESSAGE_HANDLER(WM_MESSAGE_DETAIL, OnMessageDetail)
        MESSAGE_HANDLER(WM_PROGRESS_SETPOS, OnProgressSetPos)
        MESSAGE_HANDLER(WM_PROGRESS_SETTEXT, OnProgressSetText)
        MESSAGE_HANDLER(WM_PROGRESS_CLOSED, OnProgressClosed)
        MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnCtlColorStatic)
        COMMAND_ID_HANDLER(IDCANCEL, OnCancel)
        COMMAND_HANDLER(IDC_FLASH, BN_CLICKED, OnFlash)
        COMMAND_HANDLER(IDC_REFRESH, BN_CLICKED, OnRefresh)
        COMMAND_HANDLER(IDC_BROWSE, BN_CLICKED, OnBrowse)
        COMMAND_HANDLER(IDC_DOWNLOAD, BN_CLICKED, OnDownload)
        COMMAND_HANDLER(IDC_ABOUT, BN_CLICKED, OnAbout)
        COMMAND_HANDLER(IDC_WIPE_DATA, BN_CLICKED, OnWipeData)
        COMMAND_HANDLER(IDC_KEEP_DATA, BN_CLICKED, OnKeepData)
    END_MSG_MAP()

private:
    // The host's calls, sent by a task's thread.
    static const UINT WM_SHOW_DEVICE_INFO = WM_USER + 130;  // WPARAM: rooted
    static const UINT WM_RESET_DEVICE_INFO = WM_USER + 131;
    static const UINT WM_FLASH_ERROR = WM_USER + 132;  // WPARAM: the flash step's code
    static const UINT WM_MESSAGE_DETAIL = WM_USER + 133;  // LPARAM: the box text, a const std::wstring*
    static const UINT WM_CATALOGUE_CHANGED = WM_USER + 140;  // posted by the catalogue fetch
    static const UINT_PTR kTipsTimer = 1;
    static const UINT_PTR kCloseTimer = 2;

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCatalogueChanged(UINT, WPARAM, LPARAM, BOOL&);
    void ShowCatalogueState();
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDeviceChange(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTaskFinished(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnShowDeviceInfo(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnResetDeviceInfo(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnFlashError(UINT, WPARAM wParam, LPARAM, BOOL&) {
        m_flashError = static_cast<int>(wParam);
        return 0;
    }
    LRESULT OnMessageDetail(UINT, WPARAM, LPARAM lParam, BOOL&) {
        m_messageDetail = *reinterpret_cast<const std::wstring*>(lParam);
        return 0;
    }
    LRESULT OnProgressSetPos(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnProgressSetText(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnProgressClosed(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCtlColorStatic(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCancel(WORD, WORD, HWND, BOOL&);
    LRESULT OnFlash(WORD, WORD, HWND, BOOL&);
    LRESULT OnRefresh(WORD, WORD, HWND, BOOL&);
    LRESULT OnBrowse(WORD, WORD, HWND, BOOL&);
    LRESULT OnDownload(WORD, WORD, HWND, BOOL&);
    LRESULT OnAbout(WORD, WORD, HWND, BOOL&);
    LRESULT OnWipeData(WORD, WORD, HWND, BOOL&);
    LRESULT OnKeepData(WORD, WORD, HWND, BOOL&);

    // Starts a task's thread; with a caption, in a progress window of that caption.
    void StartTask(LPTHREAD_START_ROUTINE routine, const wchar_t* caption);
    void Close();
    void ReadRomPathBox();
    bool ChooseRomPath(bool open);
    void DisableCommands();  // while a task (or the service check) runs
    void RestoreControls();
    void ShowResult(int result);
    void EnableForIdentifiedPhone();
    void ShowBox(const TaskMessage& message);
    bool ServiceReachable();

    CGdiObject<HFONT> m_modelFont;
    HWND m_modelLabel = nullptr;
    std::wstring m_catalogueState;  // what the window says of the catalogue in use
    HWND m_infoText = nullptr;
    HWND m_rootWarning = nullptr;
    HWND m_pathEdit = nullptr;
    HWND m_flashButton = nullptr;
    HWND m_refreshButton = nullptr;
    HWND m_downloadButton = nullptr;
    HWND m_browseButton = nullptr;
    HWND m_wipeOption = nullptr;
    HWND m_keepOption = nullptr;

    // The window's thread reads and writes every field below, except where said.
    std::wstring m_romPath;
    // Read by the tasks' listeners on their threads; null once the window is closed.
    std::atomic<CProgressDlg*> m_progressDlg{nullptr};
    std::unique_ptr<CProgressDlg> m_taskProgressDlg;  // kept until the task ends
    CWinHandle m_currentTask;
    CWinHandle m_cleanUpThread;
    int m_flashError = 0;  // the last flash step's code, for the result's box
    std::wstring m_messageDetail;  // what the task found, for the result's box
    bool m_rooted = false;  // adb has root on the identified phone, as of the last task's end
    bool m_tipsOpen = false;
    bool m_closing = false;  // closed during a task: the window goes once it has stopped
    bool m_fileDialogOpen = false;
    bool m_deviceChangedMeanwhile = false;  // a device came or went while a file dialog was open
    bool m_downloadAfterCheck = false;      // a confirmed download runs once the check succeeds
    bool m_catalogueChangedMeanwhile = false;  // a catalogue arrived while a task ran
    // The catalogue in use, replaced by the fetch's thread; each task takes it when it starts.
    CCatalogueHolder m_catalogues;
    std::atomic<HWND> m_window{nullptr};  // for the fetch's thread: null once the window is gone
};

}  // namespace mirq
