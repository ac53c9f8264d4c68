#include "UiDriver.h"

#include <commctrl.h>

#include <set>
#include <vector>

#include "TestSupport.h"
#include "util/Utils.h"

namespace mirqtest {

namespace {

struct FindArgs {
    DWORD pid;
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM param) {
    FindArgs* args = reinterpret_cast<FindArgs*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != args->pid || !IsWindowVisible(window)) return TRUE;
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    if (*args->caption == text) {
        args->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindEdit(HWND child, LPARAM param);

// A box with this caption that asks a question: Yes and No buttons, no edit
// box (the file dialog that shares its caption has one).
BOOL CALLBACK FindQuestion(HWND window, LPARAM param) {
    if (!GetDlgItem(window, IDYES) || !GetDlgItem(window, IDNO)) return TRUE;
    HWND edit = nullptr;
    EnumChildWindows(window, FindEdit, reinterpret_cast<LPARAM>(&edit));
    return edit ? TRUE : FindTopLevel(window, param);
}

BOOL CALLBACK CollectStatics(HWND child, LPARAM param) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (lstrcmpiW(cls, L"Static") == 0) {
        wchar_t text[1024] = {};
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(child, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &ignored);
        *reinterpret_cast<std::wstring*>(param) += text;
    }
    return TRUE;
}

BOOL CALLBACK FindEdit(HWND child, LPARAM param) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (lstrcmpiW(cls, L"Edit") != 0 || !IsWindowVisible(child)) return TRUE;
    *reinterpret_cast<HWND*>(param) = child;
    return FALSE;
}

// Every read of the program's windows has a limit: a hung program fails the test, not the run.
LRESULT Ask(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, msg, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result);
    return static_cast<LRESULT>(result);
}

}  // namespace

void CSystemDpi::Set(DWORD dpi) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof(dpi));
    RegCloseKey(key);
}

std::wstring ProgramPath() {
    // MIRQ_TEST_PROGRAM: another program of this build (the one built for mirq-service's key).
    wchar_t name[MAX_PATH] = L"MirqFlasher.exe";
    GetEnvironmentVariableW(L"MIRQ_TEST_PROGRAM", name, MAX_PATH);
    return GetSandbox().binDir + L"..\\..\\" + name;
}

bool CUiDriver::Launch(const std::function<void()>& beforeStart) {
    const std::wstring exe = GetSandbox().base + L"\\MirqFlasher.exe";
    CopyFileW(ProgramPath().c_str(), exe.c_str(), FALSE);
    if (beforeStart) beforeStart();
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    std::wstring cmd = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, GetSandbox().base.c_str(), &si,
                        &m_pi))
        return false;
    m_main = WaitWindow(L"Mirq一键刷机助手");
    return m_main != nullptr;
}

CUiDriver::~CUiDriver() {
    if (!m_pi.hProcess) return;
    if (m_main && IsWindow(m_main)) PostMessageW(m_main, WM_SYSCOMMAND, SC_CLOSE, 0);
    WaitForSingleObject(m_pi.hProcess, 5000);
    // Whatever it left running (adb commands of a task) would outlive the test.
    FILETIME created, unused;
    GetProcessTimes(m_pi.hProcess, &created, &unused, &unused, &unused);
    mirq::TerminateProcessTree(m_pi.dwProcessId, created);
    WaitForSingleObject(m_pi.hProcess, 5000);
    CloseHandle(m_pi.hThread);
    CloseHandle(m_pi.hProcess);
}

HWND CUiDriver::FindWindowNow(const std::wstring& caption) const {
    FindArgs args = {m_pi.dwProcessId, &caption, nullptr};
    EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&args));
    return args.found;
}

HWND CUiDriver::WaitWindow(const std::wstring& caption, DWORD limitMs) const {
    HWND found = nullptr;
    bool ended = false;
    WaitUntil(
        [&] {
            found = FindWindowNow(caption);
            // A program that has ended (a crash) shows nothing more: no point in waiting on.
            ended = !found && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_OBJECT_0;
            return found || ended;
        },
        limitMs);
    return found;
}

bool CUiDriver::WaitUntil(const std::function<bool()>& condition, DWORD limitMs) {
    const DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= limitMs) return false;
        Sleep(20);
    }
    return true;
}

bool CUiDriver::StaysTrue(const std::function<bool()>& condition, DWORD forMs) {
    return !WaitUntil([&] { return !condition(); }, forMs);
}

bool CUiDriver::WaitGone(HWND window, DWORD limitMs) const {
    return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, limitMs);
}

std::wstring CUiDriver::Text(HWND window, int id) const {
    HWND target = id ? GetDlgItem(window, id) : window;
    wchar_t text[2048] = {};
    Ask(target, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(text));
    return text;
}

bool CUiDriver::Checked(int id) const { return Ask(GetDlgItem(m_main, id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void CUiDriver::Click(HWND window, int id) const { PostMessageW(GetDlgItem(window, id), BM_CLICK, 0, 0); }

std::wstring CUiDriver::AnswerBox(const std::wstring& caption, DWORD limitMs) const {
    HWND box = WaitWindow(caption, limitMs);
    if (!box) return std::wstring();
    std::wstring text;
    EnumChildWindows(box, CollectStatics, reinterpret_cast<LPARAM>(&text));
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    WaitGone(box, 10000);
    return text.empty() ? L"(empty)" : text;
}

bool CUiDriver::FillFileDialog(const std::wstring& title, const std::wstring& path, DWORD limitMs) const {
    HWND dialog = WaitWindow(title, limitMs);
    if (!dialog) return false;
    // The dialog may still be filling its controls: confirm until it closes
    // or asks whether to replace the file.
    return WaitUntil(
        [&] {
            HWND edit = nullptr;  // the file-name box is the dialog's only edit control
            EnumChildWindows(dialog, FindEdit, reinterpret_cast<LPARAM>(&edit));
            if (!edit) return false;
            Ask(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return WaitGone(dialog, 1000) || FindQuestionBox(title);
        },
        limitMs);
}

bool CUiDriver::ReadFileDialog(const std::wstring& title, std::wstring* name, std::wstring* filter) const {
    HWND dialog = WaitWindow(title);
    if (!dialog) return false;
    return WaitUntil([&] {
        HWND edit = nullptr;
        EnumChildWindows(dialog, FindEdit, reinterpret_cast<LPARAM>(&edit));
        HWND types = GetDlgItem(dialog, 0x470);  // cmb1, the file types
        if (!edit || !types) return false;
        *name = Text(edit);
        *filter = Text(types);
        return !filter->empty();
    });
}

bool CUiDriver::FindQuestionBox(const std::wstring& title) const {
    FindArgs args = {m_pi.dwProcessId, &title, nullptr};
    EnumWindows(FindQuestion, reinterpret_cast<LPARAM>(&args));
    return args.found != nullptr;
}

bool CUiDriver::ConfirmOverwrite(const std::wstring& title, DWORD limitMs) const {
    FindArgs args = {m_pi.dwProcessId, &title, nullptr};
    if (!WaitUntil([&] { return EnumWindows(FindQuestion, reinterpret_cast<LPARAM>(&args)), args.found != nullptr; },
                   limitMs))
        return false;
    PostMessageW(args.found, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
    return true;
}

HWND CUiDriver::Focused() const {
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    GetGUIThreadInfo(m_pi.dwThreadId, &info);
    return info.hwndFocus;
}

void CUiDriver::DeviceChange(WPARAM event) const { Ask(m_main, WM_DEVICECHANGE, event, 0); }

void CUiDriver::PostKey(UINT vk, bool alt, HWND target) const {
    if (!target) target = Focused();
    if (!target) target = m_main;
    UINT scan = MapVirtualKeyW(vk, 0);
    LPARAM down = 1 | (scan << 16) | (alt ? (1 << 29) : 0);
    PostMessageW(target, alt ? WM_SYSKEYDOWN : WM_KEYDOWN, vk, down);
    PostMessageW(target, alt ? WM_SYSKEYUP : WM_KEYUP, vk, down | (1u << 30) | (1u << 31));
}

int CUiDriver::ProgressPos(HWND progressWindow) const {
    return static_cast<int>(Ask(GetDlgItem(progressWindow, IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));
}

bool CUiDriver::PassStartup(std::wstring* tipsText) {
    std::wstring tips = AnswerBox(L"刷机提示");
    if (tipsText) *tipsText = tips;
    if (tips.empty()) return false;
    HWND progress = WaitWindow(L"获取设备信息", 10000);
    // The window goes first; the controls come back when the task's end is handled.
    return progress && WaitGone(progress) && WaitControlsBack();
}

bool CUiDriver::RunTask(int buttonId, const std::wstring& caption, DWORD limitMs) {
    Click(buttonId);
    HWND progress = WaitWindow(caption, 10000);
    return progress && WaitGone(progress, limitMs);
}

DWORD CUiDriver::WaitExit(DWORD limitMs) const {
    if (WaitForSingleObject(m_pi.hProcess, limitMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return code;
}

namespace {

// The screen's pixels within a rectangle, as 24-bit rows from the top (each row padded to 4 bytes).
std::vector<char> CaptureScreen(const RECT& r, int* stride) {
    const int w = r.right - r.left, h = r.bottom - r.top;
    *stride = (w * 3 + 3) & ~3;
    std::vector<char> pixels(static_cast<size_t>(*stride) * h);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(mem, old);
    BITMAPINFOHEADER bih = {sizeof(bih), w, -h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    GetDIBits(mem, bmp, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&bih), DIB_RGB_COLORS);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return pixels;
}

}  // namespace

namespace {

BOOL CALLBACK FirstStatic(HWND child, LPARAM param) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (lstrcmpiW(cls, L"Static") != 0 || GetWindowTextLengthW(child) == 0) return TRUE;
    *reinterpret_cast<HWND*>(param) = child;
    return FALSE;
}

bool WriteBitmap(const std::wstring& bmpPath, const RECT& r);
template <class Visit>
void VisitPixels(HWND control, Visit visit);

}  // namespace

bool CUiDriver::SaveScreenshotWithBox(const std::wstring& bmpPath, HWND box, DWORD limitMs) const {
    HWND text = nullptr;
    EnumChildWindows(box, FirstStatic, reinterpret_cast<LPARAM>(&text));
    // A box is shown before it is painted: its text must have ink first.
    const bool painted = text && WaitUntil([&] {
        int ink = 0;
        VisitPixels(text, [&](int, const unsigned char* p) { ink += p[0] < 100 && p[1] < 100 && p[2] < 100; });
        return ink > 0;
    }, limitMs);
    RECT main, over, both;
    if (!painted || !GetWindowRect(m_main, &main) || !GetWindowRect(box, &over)) return false;
    UnionRect(&both, &main, &over);
    return WriteBitmap(bmpPath, both);
}

bool CUiDriver::SaveScreenshot(const std::wstring& bmpPath) const {
    RECT r;
    if (!GetWindowRect(m_main, &r)) return false;
    return WriteBitmap(bmpPath, r);
}

namespace {

bool WriteBitmap(const std::wstring& bmpPath, const RECT& r) {
    int stride = 0;
    const std::vector<char> pixels = CaptureScreen(r, &stride);
    BITMAPINFOHEADER bih = {sizeof(bih), r.right - r.left, -(r.bottom - r.top), 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    BITMAPFILEHEADER bfh = {0x4D42, static_cast<DWORD>(sizeof(bfh) + sizeof(bih) + pixels.size()), 0, 0,
                            sizeof(bfh) + sizeof(bih)};
    std::string file(reinterpret_cast<char*>(&bfh), sizeof(bfh));
    file.append(reinterpret_cast<char*>(&bih), sizeof(bih));
    file.append(pixels.data(), pixels.size());
    return WriteBytes(bmpPath, file);
}

// Calls visit(row, pixel) for each pixel of the control as the screen shows it (B, G, R).
template <class Visit>
void VisitPixels(HWND control, Visit visit) {
    RECT r;
    if (!GetWindowRect(control, &r)) return;
    int stride = 0;
    const std::vector<char> pixels = CaptureScreen(r, &stride);
    for (int y = 0; y < r.bottom - r.top; ++y)
        for (int x = 0; x < r.right - r.left; ++x)
            visit(y, reinterpret_cast<const unsigned char*>(&pixels[y * stride + x * 3]));
}

}  // namespace

int CUiDriver::RedPixels(int id) const {
    int red = 0;
    VisitPixels(GetDlgItem(m_main, id),
                [&](int, const unsigned char* p) { red += p[2] >= 200 && p[1] <= 80 && p[0] <= 80; });
    return red;
}

int CUiDriver::InkRows(int id) const {
    std::set<int> rows;
    VisitPixels(GetDlgItem(m_main, id), [&](int y, const unsigned char* p) {
        if (p[0] < 100 && p[1] < 100 && p[2] < 100) rows.insert(y);
    });
    return static_cast<int>(rows.size());
}

}  // namespace mirqtest
