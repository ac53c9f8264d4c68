// The listener's arithmetic against a real progress window and a small owner window.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include "util/Thread.h"

#include "progress/ProgressDlg.h"

using namespace mirq;

namespace {

// Stands in for the main dialog: a plain window that forwards positions to its progress dialog.
class COwner : public IProgressOwner {
public:
    COwner() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"MirqTestOwner";
        RegisterClassW(&wc);
        m_hWnd = CreateWindowW(L"MirqTestOwner", L"owner", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                               wc.hInstance, nullptr);
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~COwner() { DestroyWindow(m_hWnd); }
    HWND GetOwnerWindow() const override { return m_hWnd; }
    CProgressDlg* GetProgressDlg() const override { return m_dlg; }

    CProgressDlg* m_dlg = nullptr;
    int m_closedCount = 0;
    DWORD m_textThread = 0;  // the thread that changed the text

private:
    static LRESULT CALLBACK Proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
        COwner* self = reinterpret_cast<COwner*>(GetWindowLongPtrW(w, GWLP_USERDATA));
        if (self && msg == WM_PROGRESS_SETPOS && self->m_dlg) self->m_dlg->SetPos(static_cast<int>(wp));
        if (self && msg == WM_PROGRESS_SETTEXT && self->m_dlg) {
            self->m_textThread = GetCurrentThreadId();
            self->m_dlg->SetText(*reinterpret_cast<const std::wstring*>(lp));
        }
        if (self && msg == WM_PROGRESS_CLOSED) ++self->m_closedCount;
        return DefWindowProcW(w, msg, wp, lp);
    }
    HWND m_hWnd;
};

class ProgressListener : public ::testing::Test {
protected:
    void SetUp() override {
        g_module.Init(GetModuleHandleW(nullptr));
        g_module.AddMessageLoop(&loop);
        dlg.reset(new CProgressDlg(owner.GetOwnerWindow()));
        ASSERT_NE(dlg->Create(owner.GetOwnerWindow()), nullptr);
        ShowWindow(dlg->m_hWnd, SW_SHOW);
        owner.m_dlg = dlg.get();
    }
    void TearDown() override {
        if (dlg->IsWindow()) dlg->DestroyWindow();
        g_module.RemoveMessageLoop();
    }
    int Bar() { return static_cast<int>(SendMessageW(dlg->GetDlgItem(IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0)); }
    std::wstring Text() {
        wchar_t buf[128] = {};
        GetWindowTextW(dlg->GetDlgItem(IDC_PROGRESS_TEXT), buf, 128);
        return buf;
    }

    CMessageLoop loop;
    COwner owner;
    std::unique_ptr<CProgressDlg> dlg;
};

}  // namespace

TEST_F(ProgressListener, SpanMapsOntoTheBarFromItsBase) {
    dlg->SetPos(20);
    CCommonProgressListener listener(&owner, 20);
    EXPECT_EQ(listener.GetBase(), 20);
    const int reports[][2] = {{0, 20}, {5, 21}, {10, 22}, {33, 26}, {100, 40}};
    for (auto& r : reports) {
        listener.OnProgress(r[0], L"");
        EXPECT_EQ(Bar(), r[1]) << r[0];
        EXPECT_EQ(dlg->GetPos(), r[1]);
    }
}

TEST_F(ProgressListener, OverflowIsClampedAndEmptyTextKeepsTheLastText) {
    dlg->SetPos(20);
    CCommonProgressListener listener(&owner, 80);
    listener.OnProgress(50, L"ROM下载中...");
    EXPECT_EQ(Bar(), 60);
    EXPECT_EQ(Text(), L"ROM下载中...");
    listener.OnProgress(120, L"");
    EXPECT_EQ(Bar(), 100);
    EXPECT_EQ(Text(), L"ROM下载中...");
    dlg->SetPos(-5);
    EXPECT_EQ(dlg->GetPos(), 0);
    // From a worker, the text is changed by the window's own thread.
    std::atomic<bool> done{false};
    mirq::CThread worker([&] {
        listener.OnProgress(50, L"ROM下载中... 2.4 MB/s，剩余约 1分05秒");
        done = true;
    });
    for (MSG msg; !done;)
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    worker.Join();
    EXPECT_EQ(Text(), L"ROM下载中... 2.4 MB/s，剩余约 1分05秒");
    EXPECT_EQ(owner.m_textThread, GetCurrentThreadId());
}

TEST_F(ProgressListener, ReportsWithoutAVisibleDialogAreDropped) {
    owner.m_dlg = nullptr;
    CCommonProgressListener early(&owner, 100);
    EXPECT_EQ(early.GetBase(), 0);
    early.OnProgress(50, L"x");
    owner.m_dlg = dlg.get();
    ShowWindow(dlg->m_hWnd, SW_HIDE);
    early.OnProgress(70, L"hidden");
    EXPECT_EQ(dlg->GetPos(), 0);
    EXPECT_EQ(Text(), L"");
    ShowWindow(dlg->m_hWnd, SW_SHOW);
    early.OnProgress(70, L"shown");
    EXPECT_EQ(dlg->GetPos(), 70);
}

TEST_F(ProgressListener, ClosingTheWindowTellsTheOwnerAndUnregistersTheFilter) {
    MSG tab = {};
    tab.hwnd = dlg->m_hWnd;
    tab.message = WM_KEYDOWN;
    tab.wParam = VK_TAB;
    EXPECT_TRUE(loop.PreTranslateMessage(&tab));  // the dialog's filter is registered
    SendMessageW(dlg->m_hWnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(dlg->IsWindow());
    EXPECT_EQ(owner.m_closedCount, 1);
    EXPECT_FALSE(loop.PreTranslateMessage(&tab));
}

TEST(MessageLoop, FiltersAreOfferedLastRegisteredFirst) {
    struct CFilter : CMessageFilter {
        std::vector<int>* order;
        int id;
        BOOL consume;
        BOOL PreTranslateMessage(MSG*) override {
            order->push_back(id);
            return consume;
        }
    };
    std::vector<int> order;
    CFilter first, second;
    first.order = second.order = &order;
    first.id = 1, second.id = 2;
    first.consume = FALSE, second.consume = FALSE;
    CMessageLoop loop;
    loop.AddMessageFilter(&first);
    loop.AddMessageFilter(&second);
    MSG msg = {};
    EXPECT_FALSE(loop.PreTranslateMessage(&msg));
    EXPECT_EQ(order, (std::vector<int>{2, 1}));
    second.consume = TRUE;
    order.clear();
    EXPECT_TRUE(loop.PreTranslateMessage(&msg));
    EXPECT_EQ(order, (std::vector<int>{2}));
    EXPECT_TRUE(loop.RemoveMessageFilter(&second));
    EXPECT_FALSE(loop.RemoveMessageFilter(&second));
}
