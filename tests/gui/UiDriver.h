#pragma once
// Drives the real MirqFlasher.exe from a test process: starts it in the
// sandbox, finds its windows by caption, reads and clicks controls, answers
// message boxes and file dialogs. Every wait has a limit.
#include <windows.h>

#include <functional>
#include <initializer_list>
#include <string>

#include "res/resource.h"

namespace mirqtest {

class CUiDriver {
public:
    // Copies the program into the sandbox's base directory and starts it there;
    // beforeStart runs between the two.
    bool Launch(const std::function<void()>& beforeStart = nullptr);
    ~CUiDriver();

    // A visible top-level window of the program with this caption, or null after the limit.
    HWND WaitWindow(const std::wstring& caption, DWORD limitMs = 20000) const;
    bool WaitGone(HWND window, DWORD limitMs = 60000) const;
    // Waits for a condition, checking it every 20 ms; false when the limit passed first.
    static bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs = 20000);
    // The one fixed wait: shows that something does not happen, true when the
    // condition held all the time.
    static bool StaysTrue(const std::function<bool()>& condition, DWORD forMs);
    // True when no box with one of these captions shows for the whole time.
    bool NoBoxFor(std::initializer_list<const wchar_t*> captions, DWORD forMs) const {
        return StaysTrue(
            [&] {
                for (const wchar_t* caption : captions)
                    if (FindWindowNow(caption)) return false;
                return true;
            },
            forMs);
    }
    bool WaitEnabled(int id, DWORD limitMs = 20000) const {
        return WaitUntil([&] { return Enabled(id); }, limitMs);
    }
    // The controls come back when a task ends, the keep-data option last.
    bool WaitControlsBack(DWORD limitMs = 20000) const { return WaitEnabled(IDC_KEEP_DATA, limitMs); }
    bool WaitProgressAtLeast(HWND progressWindow, int pos, DWORD limitMs = 60000) const {
        return WaitUntil([&] { return ProgressPos(progressWindow) >= pos; }, limitMs);
    }
    bool WaitText(HWND window, int id, const std::wstring& text, DWORD limitMs = 10000) const {
        return WaitUntil([&] { return Text(window, id) == text; }, limitMs);
    }
    HWND FindWindowNow(const std::wstring& caption) const;
    HWND Main() const { return m_main; }

    std::wstring Text(HWND window, int id = 0) const;  // id 0: the window's own text
    bool Enabled(int id) const { return IsWindowEnabled(GetDlgItem(m_main, id)) != FALSE; }
    bool Visible(int id) const { return IsWindowVisible(GetDlgItem(m_main, id)) != FALSE; }
    bool Checked(int id) const;
    void Click(HWND window, int id) const;
    void Click(int id) const { Click(m_main, id); }
    // Answers the box with this caption with OK and returns its text ("" if none came).
    std::wstring AnswerBox(const std::wstring& caption, DWORD limitMs = 20000) const;
    // Fills the file name of the common dialog with this title and confirms it.
    bool FillFileDialog(const std::wstring& title, const std::wstring& path, DWORD limitMs = 20000) const;
    // What the open file dialog with this title proposes: its file name and the filter shown.
    bool ReadFileDialog(const std::wstring& title, std::wstring* name, std::wstring* filter) const;
    // To the given control, else to the program's focused control.
    // Answers Yes to the save dialog's question whether to replace a file.
    bool ConfirmOverwrite(const std::wstring& title, DWORD limitMs = 10000) const;
    bool FindQuestionBox(const std::wstring& title) const;
    void PostKey(UINT vk, bool alt = false, HWND target = nullptr) const;
    // WM_DEVICECHANGE is sent, not posted: Wine refuses to post it across processes.
    void DeviceChange(WPARAM event) const;
    HWND Focused() const;
    int ProgressPos(HWND progressWindow) const;

    // Waits for the start-up tips, closes them, and waits for the first check to end.
    bool PassStartup(std::wstring* tipsText = nullptr);
    // Runs a task by its button and waits for its progress window to come and go.
    bool RunTask(int buttonId, const std::wstring& caption, DWORD limitMs = 120000);

    DWORD WaitExit(DWORD limitMs = 20000) const;  // exit code, or STILL_ACTIVE after the limit
    bool SaveScreenshot(const std::wstring& bmpPath) const;
    // The main window and a message box over it, once the box's text is on the screen.
    bool SaveScreenshotWithBox(const std::wstring& bmpPath, HWND box, DWORD limitMs = 10000) const;
    // Pixels on screen within the control that are clearly red (text drawn in red).
    int RedPixels(int id) const;
    // Rows of the control on screen that hold dark (text) pixels: how tall its text is drawn.
    int InkRows(int id) const;
    DWORD ProcessId() const { return m_pi.dwProcessId; }

private:
    PROCESS_INFORMATION m_pi = {};
    HWND m_main = nullptr;
};

std::wstring ProgramPath();  // MirqFlasher.exe of this build, or MIRQ_TEST_PROGRAM of it

// The desktop's DPI for programs started from now on (the prefix's
// LogPixels), put back to 96 when it goes.
class CSystemDpi {
public:
    explicit CSystemDpi(DWORD dpi) { Set(dpi); }
    ~CSystemDpi() { Set(96); }
    CSystemDpi(const CSystemDpi&) = delete;
    CSystemDpi& operator=(const CSystemDpi&) = delete;

private:
    static void Set(DWORD dpi);
};

}  // namespace mirqtest
