// Entry point: COM and common controls around Run, which creates the main
// dialog and runs the message loop.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/Framework.h"
#include "app/MainDlg.h"

using namespace mirq;

namespace {

int Run(int showCommand) {
    CMessageLoop loop;
    g_module.AddMessageLoop(&loop);
    // On the heap: a worker still running at exit may read it, so it is then kept.
    CMainDlg* dialog = new CMainDlg();
    if (!dialog->Create(nullptr)) {
        delete dialog;
        g_module.RemoveMessageLoop();
        return 0;
    }
    ShowWindow(dialog->m_hWnd, showCommand);
    int result = loop.Run();
    g_module.RemoveMessageLoop();
    if (!dialog->HasActiveWorkers()) delete dialog;
    return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    g_module.Init(instance);
    int result = Run(showCommand);
    g_module.Term();
    CoUninitialize();
    return result;
}
