#pragma once
// A small application framework: the module with its per-thread loop
// registry, the message loop with message filters and idle handlers, and a
// dialog base whose message map reads as a table.
#include <windows.h>

#include <map>
#include <vector>

namespace mirq {

class CMessageFilter {
public:
    virtual BOOL PreTranslateMessage(MSG* msg) = 0;

protected:
    ~CMessageFilter() = default;
};

class CIdleHandler {
public:
    virtual BOOL OnIdle() = 0;

protected:
    ~CIdleHandler() = default;
};

class CMessageLoop {
public:
    BOOL AddMessageFilter(CMessageFilter* filter);
    BOOL RemoveMessageFilter(CMessageFilter* filter);
    BOOL AddIdleHandler(CIdleHandler* handler);
    BOOL RemoveIdleHandler(CIdleHandler* handler);
    int Run();

    // Offered last-registered first; true when a filter consumed the message.
    BOOL PreTranslateMessage(MSG* msg);
    // Dispatches the messages waiting now as Run does, for a wait that keeps
    // the window answering; FALSE when the program is to end (WM_QUIT is posted again).
    BOOL DispatchPending();
    BOOL OnIdle(int idleCount);
    static BOOL IsIdleMessage(const MSG* msg);

private:
    void Dispatch(MSG& msg);  // to a filter, else translated and dispatched

    std::vector<CMessageFilter*> m_filters;
    std::vector<CIdleHandler*> m_idleHandlers;
    MSG m_msg = {};
};

class CAppModule {
public:
    HRESULT Init(HINSTANCE instance);
    void Term();
    HINSTANCE GetResourceInstance() const { return m_instance; }

    BOOL AddMessageLoop(CMessageLoop* loop);
    BOOL RemoveMessageLoop();
    CMessageLoop* GetMessageLoop(DWORD threadId = GetCurrentThreadId());

private:
    HINSTANCE m_instance = nullptr;
    CRITICAL_SECTION m_lock;
    bool m_initialised = false;
    std::map<DWORD, CMessageLoop*> m_loops;
};

extern CAppModule g_module;

// Dialog base: T declares IDD and a message map (BEGIN_MSG_MAP ... END_MSG_MAP).
template <class T>
class CDialogImpl {
public:
    HWND m_hWnd = nullptr;

    virtual ~CDialogImpl() = default;
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) = 0;
    virtual void OnFinalMessage(HWND) {}

    // The creation parameter carries the object itself to the dialog procedure.
    HWND Create(HWND parent) {
        return CreateDialogParamW(g_module.GetResourceInstance(), MAKEINTRESOURCEW(T::IDD), parent, StartDialogProc,
                                  reinterpret_cast<LPARAM>(this));
    }
    INT_PTR DoModal(HWND parent) {
        return DialogBoxParamW(g_module.GetResourceInstance(), MAKEINTRESOURCEW(T::IDD), parent, StartDialogProc,
                               reinterpret_cast<LPARAM>(this));
    }
    BOOL DestroyWindow() { return ::DestroyWindow(m_hWnd); }
    BOOL EndDialog(int result) { return ::EndDialog(m_hWnd, result); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    BOOL IsWindow() const { return m_hWnd && ::IsWindow(m_hWnd); }

    // Centres over the owner, or over the work area when there is none or it is
    // hidden or minimised; in the work area the window is moved back inside
    // where it would stick out (left and top edges win).
    void CenterWindow(HWND owner) {
        RECT area, self;
        const bool overOwner = owner && ::IsWindowVisible(owner) && !::IsIconic(owner);
        if (overOwner) ::GetWindowRect(owner, &area);
        else SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
        ::GetWindowRect(m_hWnd, &self);
        int w = self.right - self.left, h = self.bottom - self.top;
        int x = area.left + (area.right - area.left - w) / 2;
        int y = area.top + (area.bottom - area.top - h) / 2;
        if (!overOwner) {
            if (x + w > area.right) x = area.right - w;
            if (y + h > area.bottom) y = area.bottom - h;
            if (x < area.left) x = area.left;
            if (y < area.top) y = area.top;
        }
        ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

private:
    static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg != WM_INITDIALOG) return FALSE;
        CDialogImpl* self = reinterpret_cast<CDialogImpl*>(lParam);
        self->m_hWnd = hWnd;
        SetWindowLongPtrW(hWnd, GWLP_USERDATA, lParam);
        SetWindowLongPtrW(hWnd, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(DialogProc));
        return DialogProc(hWnd, msg, wParam, lParam);
    }

    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        CDialogImpl* self = reinterpret_cast<CDialogImpl*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (!self) return FALSE;
        LRESULT result = 0;
        BOOL handled = self->ProcessWindowMessage(hWnd, msg, wParam, lParam, result);
        if (msg == WM_NCDESTROY) {
            SetWindowLongPtrW(hWnd, GWLP_USERDATA, 0);
            self->m_hWnd = nullptr;
            self->OnFinalMessage(hWnd);
        }
        if (!handled) return FALSE;
        switch (msg) {  // these answer through the return value itself
        case WM_INITDIALOG:
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLOREDIT:
            return static_cast<INT_PTR>(result);
        default:
            SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
};

// Update-UI support; this program's maps are empty.
template <class T>
class CUpdateUI {
public:
    BOOL UIUpdateChildWindows() { return TRUE; }
};

// Handler signatures:
//   LRESULT OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, BOOL& handled);
//   LRESULT OnCommand(WORD code, WORD id, HWND control, BOOL& handled);
#define BEGIN_MSG_MAP(theClass)                                                                          \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override { \
        (void)hWnd;                                                                                      \
        BOOL bHandled = TRUE;
#define MESSAGE_HANDLER(msg, func)                            \
    if (uMsg == (msg)) {                                      \
        bHandled = TRUE;                                      \
        lResult = func(uMsg, wParam, lParam, bHandled);       \
        if (bHandled) return TRUE;                            \
    }
#define COMMAND_ID_HANDLER(id, func)                                                   \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) {                                \
        bHandled = TRUE;                                                               \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
        if (bHandled) return TRUE;                                                     \
    }
#define COMMAND_HANDLER(id, code, func)                                                \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code)) {    \
        bHandled = TRUE;                                                               \
        lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
        if (bHandled) return TRUE;                                                     \
    }
#define END_MSG_MAP() \
    return FALSE;     \
    }

}  // namespace mirq
