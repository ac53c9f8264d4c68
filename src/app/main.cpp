// Entry point: COM and common controls around Run, which creates the main
// dialog and runs the message loop.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "BuildConfig.h"
#include "download/UrlQuery.h"
#include "framework/Framework.h"
#include "app/MainDlg.h"
#include "app/SingleInstance.h"
#include "download/ServiceAnswer.h"
#include "log/logger.h"
#include "util/Utils.h"

using namespace mirq;

namespace {

// Once a task still running has ended, the process waits this long for the
// clean-up of the closed window (adb server stopped, output files swept).
const unsigned long kCleanUpLimitMs = 5000;
const uint32_t kLogFileLimit = 1024 * 1024;  // then the day's next file

// One file a day (and more when one grows past its limit) under log\ of the
// data directory, for the user to send when something went wrong.
void StartSessionLog() {
    const std::wstring data = GetDataDirectory();
    const std::wstring folder = data + L"\\log";
    CreateDirectoryW(folder.c_str(), nullptr);
    InstallLogHandler(new CFileLogHandler(kLogInfo, 0, folder + L"\\MirqFlasher", kLogFileLimit, 0, 0));
    MIRQ_LOG(kLogInfo, L"app",
             L"Mirq一键刷机助手 v" MIRQ_VERSION L" started in " + GetBaseDirectory() +
                 (data == GetBaseDirectory() ? L"" : L"; that folder cannot be written: temp\\ and log\\ are in " + data));
    MIRQ_LOG(BuiltInServiceKey().empty() ? kLogWarning : kLogInfo, L"app",
             std::wstring(L"download service ") + BuiltInServiceUrl() +
                 (BuiltInServiceKey().empty() ? L": answers are not verified (built without the service's key)"
                                              : L": answers must carry the service's signature") +
                 L"; " + DescribeServiceKey(BuiltInServiceKey()));
}

int Run(int showCommand, CSingleInstance& instance) {
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
    instance.Publish(dialog->m_hWnd);
    int result = loop.Run();
    g_module.RemoveMessageLoop();
    dialog->WaitForCleanUp(kCleanUpLimitMs);
    if (!dialog->HasActiveWorkers()) delete dialog;
    return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    CSingleInstance single;
    if (!single.IsFirst()) {  // before anything touches adb
        single.ActivateFirst();
        return 0;
    }
    StartSessionLog();
    CoInitialize(nullptr);
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    g_module.Init(instance);
    int result = Run(showCommand, single);
    g_module.Term();
    CoUninitialize();
    return result;
}
