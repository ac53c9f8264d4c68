#pragma once
// The program's only top-level window: the phone's model and information,
// the ROM path, and the commands that start worker tasks.
#include <atomic>
#include <memory>
#include <string>

#include "app/Framework.h"
#include "progress/ProgressDlg.h"
#include "res/resource.h"
#include "util/Raii.h"

namespace mirq {

class CAboutDlg : public CDialogImpl<CAboutDlg> {
public:
    enum { IDD = IDD_ABOUTBOX };

    BEGIN_MSG_MAP(CAboutDlg)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        COMMAND_ID_HANDLER(IDOK, OnCloseCmd)
        COMMAND_ID_HANDLER(IDCANCEL, OnCloseCmd)
    END_MSG_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
        CenterWindow(GetWindow(m_hWnd, GW_OWNER));
        return TRUE;
    }
    LRESULT OnCloseCmd(WORD, WORD id, HWND, BOOL&) {
        EndDialog(id);
        return 0;
    }
};

enum class TaskKind { DeviceCheck, Download, Flash };

// What a task needs from the window, read on the window's thread when it starts.
struct TaskInput {
    std::wstring romPath;
    bool keepData = false;
};

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler,
                 public IProgressOwner {
public:
    enum { IDD = IDD_MAINDLG };

    CMainDlg() = default;

    BOOL PreTranslateMessage(MSG* msg) override { return IsDialogMessageW(m_hWnd, msg); }
    BOOL OnIdle() override { return FALSE; }

    HWND GetOwnerWindow() const override { return m_hWnd; }
    CProgressDlg* GetProgressDlg() const override { return m_progressDlg; }

    // Worker side (called on a task's thread).
    void ShowDeviceInfo();
    void ResetDeviceInfo();
    int RunDeviceCheck(int span);
    int RunDownloadTask();
    int RunFlashTask();

    bool ChooseRomPath(bool open);
    // True while a worker may still use this object (the process then keeps it).
    bool HasActiveWorkers() const { return m_activeWorkers > 0; }
    // Waits (bounded) for the clean-up started when the window was destroyed.
    void WaitForCleanUp(unsigned long limitMs);

    BEGIN_MSG_MAP(CMainDlg)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_DEVICECHANGE, OnDeviceChange)
        MESSAGE_HANDLER(WM_TASK_FINISHED, OnTaskFinished)
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
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDeviceChange(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTaskFinished(UINT, WPARAM, LPARAM, BOOL&);
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

    void StartTask(TaskKind kind, bool withProgress);
    void StartCleanUpTask();
    void Close();
    void ReadRomPathBox();
    void RestoreControls();
    void ShowResult(int code);
    void EnableForIdentifiedPhone();
    static const UINT_PTR kCloseTimer = 2;
    static DWORD WINAPI TaskThread(void* param);
    static DWORD WINAPI CleanUpThread(void* param);

    CGdiObject<HFONT> m_modelFont;
    HWND m_modelLabel = nullptr;
    HWND m_infoText = nullptr;
    HWND m_rootWarning = nullptr;
    HWND m_pathEdit = nullptr;
    HWND m_flashButton = nullptr;
    HWND m_refreshButton = nullptr;
    HWND m_downloadButton = nullptr;
    HWND m_browseButton = nullptr;
    HWND m_wipeOption = nullptr;
    HWND m_keepOption = nullptr;
    // Window's thread only, unless said otherwise.
    std::wstring m_romPath;
    TaskInput m_taskInput;             // written before a task starts; its worker reads it
    std::atomic<int> m_flashError{0};  // worker writes, window reads after the task
    std::atomic<CProgressDlg*> m_progressDlg{nullptr};  // window writes, workers read; null once closed
    std::unique_ptr<CProgressDlg> m_taskProgressDlg;    // kept until the task ends
    HANDLE m_currentTask = nullptr;
    HANDLE m_cleanUpThread = nullptr;
    CCommonProgressListener* m_progressListener = nullptr;  // worker only

    TaskKind m_taskKind = TaskKind::DeviceCheck;  // written before the worker starts
    // Whether adb has root on the identified phone: written by the worker at
    // the end of each task, read by the window's thread once it has ended.
    std::atomic<bool> m_rooted{false};
    std::atomic<bool> m_rootChecked{false};  // the task's own display already asked
    bool m_tipsOpen = false;
    bool m_closing = false;  // closed during a task: the window goes once it has stopped
    bool m_fileDialogOpen = false;
    bool m_deviceChangedMeanwhile = false;  // a device came or went while a file dialog was open
    bool m_downloadAfterCheck = false;      // a confirmed download runs once the check succeeds
    // Workers still running (they use this object, which the process then keeps).
    std::atomic<int> m_activeWorkers{0};
};

}  // namespace mirq
