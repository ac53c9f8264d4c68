#pragma once
// The modeless progress window of a running task: a status text and a bar.
// Closing it asks the task to stop (the owner receives WM_PROGRESS_CLOSED).
#include <string>

#include "framework/Framework.h"
#include "progress/ProgressListener.h"
#include "res/resource.h"

namespace mirq {

const UINT WM_PROGRESS_SETPOS = WM_USER + 122;
const UINT WM_PROGRESS_CLOSED = WM_USER + 123;
// Sent (not posted) by a worker: LPARAM points at the new status text.
const UINT WM_PROGRESS_SETTEXT = WM_USER + 124;

class CProgressDlg : public CDialogImpl<CProgressDlg>,
                     public CUpdateUI<CProgressDlg>,
                     public CMessageFilter,
                     public CIdleHandler {
public:
    enum { IDD = IDD_PROGRESSDLG };

    explicit CProgressDlg(HWND owner) : m_owner(owner) {}

    void SetPos(int value);
    int GetPos() const { return m_pos; }
    void SetText(const std::wstring& text);

    BOOL PreTranslateMessage(MSG* msg) override { return IsDialogMessageW(m_hWnd, msg); }
    BOOL OnIdle() override { return FALSE; }

    BEGIN_MSG_MAP(CProgressDlg)
        MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
        MESSAGE_HANDLER(WM_CLOSE, OnClose)
        MESSAGE_HANDLER(WM_TIMER, OnTimer)
        MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnClose(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&) { return 0; }
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    void TellOwnerClosed();  // once per window

    HWND m_text = nullptr;
    HWND m_bar = nullptr;
    int m_pos = 0;
    bool m_ownerTold = false;
    HWND m_owner;
};

// What a progress listener needs of the window that owns the progress dialog.
class IProgressOwner {
public:
    virtual HWND GetOwnerWindow() const = 0;
    virtual CProgressDlg* GetProgressDlg() const = 0;

protected:
    ~IProgressOwner() = default;
};

// Maps a reporter's 0..100 onto its slice (span) of the bar, starting where
// the bar stood when the listener was made.
class CCommonProgressListener : public IProgressListener {
public:
    CCommonProgressListener(IProgressOwner* owner, int span);
    void OnProgress(int percent, const std::wstring& text) override;
    void OnReserved(int) override {}
    int GetBase() const { return m_base; }

private:
    IProgressOwner* m_owner;
    int m_span;
    int m_base;
};

}  // namespace mirq
