#pragma once
// The about box: the program's name, version and credits, from its template.
#include "framework/Framework.h"
#include "res/resource.h"

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

}  // namespace mirq
