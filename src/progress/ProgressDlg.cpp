#include "progress/ProgressDlg.h"

#include <commctrl.h>

namespace mirq {

LRESULT CProgressDlg::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&) {
    CenterWindow(m_owner);
    if (CMessageLoop* loop = g_module.GetMessageLoop()) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    m_bar = GetDlgItem(IDC_PROGRESS_BAR);
    m_text = GetDlgItem(IDC_PROGRESS_TEXT);
    SendMessageW(m_bar, PBM_SETRANGE32, 0, 100);
    SendMessageW(m_bar, PBM_SETPOS, 0, 0);
    return TRUE;
}

LRESULT CProgressDlg::OnClose(UINT, WPARAM, LPARAM, BOOL&) {
    // The owner hears of it before the window goes: destroying a window can
    // take a while, and the task should stop at its very next step.
    TellOwnerClosed();
    DestroyWindow();
    return 0;
}

void CProgressDlg::TellOwnerClosed() {
    if (m_ownerTold) return;
    m_ownerTold = true;
    SendMessageW(m_owner, WM_PROGRESS_CLOSED, 0, 0);
}

LRESULT CProgressDlg::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
    if (CMessageLoop* loop = g_module.GetMessageLoop()) {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    TellOwnerClosed();
    return 0;
}

void CProgressDlg::SetPos(int value) {
    m_pos = value < 0 ? 0 : (value > 100 ? 100 : value);
    SendMessageW(m_bar, PBM_SETPOS, m_pos, 0);
}

void CProgressDlg::SetText(const std::wstring& text) { SetWindowTextW(m_text, text.c_str()); }

CCommonProgressListener::CCommonProgressListener(IProgressOwner* owner, int span)
    : m_owner(owner), m_span(span), m_base(0) {
    // Read once: the window may be closed (and the field emptied) at any moment.
    if (CProgressDlg* dlg = owner ? owner->GetProgressDlg() : nullptr) m_base = dlg->GetPos();
}

void CCommonProgressListener::OnProgress(int percent, const std::wstring& text) {
    if (!m_owner) return;
    CProgressDlg* dlg = m_owner->GetProgressDlg();  // one read per report
    if (!dlg || !IsWindowVisible(dlg->m_hWnd)) return;
    int pos = m_base + static_cast<int>(percent * static_cast<double>(m_span) / 100.0);
    SendMessageW(m_owner->GetOwnerWindow(), WM_PROGRESS_SETPOS, pos, 0);
    // The window's own thread changes the text: the owner does it on receipt.
    if (!text.empty()) SendMessageW(m_owner->GetOwnerWindow(), WM_PROGRESS_SETTEXT, 0, reinterpret_cast<LPARAM>(&text));
}

}  // namespace mirq
