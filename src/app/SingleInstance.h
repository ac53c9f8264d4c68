#pragma once
// One copy of the program per user: two would share tmp.bat, the adb server
// and the phone. The first copy holds a named mutex and publishes its main
// window; a later one brings that window to the front and ends.
#include <windows.h>

#include <string>

#include "util/Raii.h"

namespace mirq {

class CSingleInstance {
public:
    // The name is derived from the user's temporary directory, where the
    // shared files of a copy live.
    CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    bool IsFirst() const { return m_first; }
    // First copy: makes its main window known to later copies.
    void Publish(HWND mainWindow);
    // Later copy: brings the first copy's window to the front, if it has one yet.
    void ActivateFirst() const;

private:
    std::wstring m_name;
    CWinHandle m_mutex;
    CWinHandle m_window;  // a small shared mapping that holds the main window's handle
    bool m_first = true;
};

}  // namespace mirq
