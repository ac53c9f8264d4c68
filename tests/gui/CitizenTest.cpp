// The program as Windows sees it: what its executable declares, where it
// writes when its folder cannot be written, how it looks at 144 DPI.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "UiDriver.h"
#include "res/resource.h"

using namespace mirqtest;

namespace {

std::string ManifestOf(const std::wstring& exe) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = module ? FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
    std::string text;
    if (found) text.assign(static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
    if (module) FreeLibrary(module);
    return text;
}

std::wstring VersionValue(const std::vector<char>& info, const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    return VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) && value ? value : L"";
}

// The wrapper script (scripts/with-lockable-folder.sh) makes a folder
// unwritable on request, and writable again.
bool AskWrapper(const char* request, const char* answer, const std::string& content = "") {
    const char* dir = getenv("MIRQ_LOCK_REQUEST");
    if (!dir) return false;
    std::wstring windowsDir = L"Z:" + Utf8ToWide(dir);
    for (wchar_t& c : windowsDir) c = c == L'/' ? L'\\' : c;
    WriteBytes(windowsDir + L"\\" + Utf8ToWide(request), content);
    return CUiDriver::WaitUntil([&] { return FileExists(windowsDir + L"\\" + Utf8ToWide(answer)); }, 10000);
}

std::string UnixPathOf(const std::wstring& path) {
    typedef char*(CDECL * ToUnix)(const wchar_t*);
    const ToUnix toUnix = reinterpret_cast<ToUnix>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    const std::string result = unix ? unix : "";
    if (unix) HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

std::wstring LocalAppData() {
    wchar_t buf[MAX_PATH] = {};
    GetEnvironmentVariableW(L"LOCALAPPDATA", buf, MAX_PATH);
    return buf;
}

struct WindowLook {
    SIZE size;
    int modelInk;
    bool controlsInside;
};

WindowLook LookAt(DWORD dpi) {
    CSystemDpi system(dpi);
    CUiDriver ui;
    WindowLook look = {{0, 0}, 0, false};
    EXPECT_TRUE(ui.Launch());
    EXPECT_TRUE(ui.PassStartup());  // the model's name is shown
    RECT window, client;
    GetWindowRect(ui.Main(), &window);
    GetClientRect(ui.Main(), &client);
    look.size = {window.right - window.left, window.bottom - window.top};
    look.modelInk = ui.InkRows(IDC_MODEL_LABEL);
    look.controlsInside = true;
    for (HWND child = GetWindow(ui.Main(), GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r;
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, ui.Main(), reinterpret_cast<POINT*>(&r), 2);
        if (r.left < 0 || r.top < 0 || r.right > client.right || r.bottom > client.bottom) look.controlsInside = false;
    }
    return look;
}

}  // namespace

TEST(Citizen, TheExecutableSaysWhatItIs) {
    const std::string manifest = ManifestOf(ProgramPath());
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
    for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                           "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                           "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
        EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"{") + os + "}\"/>"), std::string::npos) << os;
    EXPECT_NE(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
    // The common controls of another width do not load at all: every dialog fails.
    const std::string width = sizeof(void*) == 8 ? "\"amd64\"" : "\"x86\"";
    EXPECT_NE(manifest.find("processorArchitecture=" + width + " publicKeyToken"), std::string::npos);

    DWORD ignored = 0;
    std::vector<char> info(GetFileVersionInfoSizeW(ProgramPath().c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(ProgramPath().c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    EXPECT_EQ(VersionValue(info, L"ProductName"), L"Mirq一键刷机助手");
    EXPECT_EQ(VersionValue(info, L"CompanyName"), L"Mirq");
    EXPECT_EQ(VersionValue(info, L"FileVersion").compare(0, 4, L"0.9."), 0);
    EXPECT_EQ(VersionValue(info, L"ProductVersion"), VersionValue(info, L"FileVersion"));
    EXPECT_FALSE(VersionValue(info, L"FileDescription").empty());
    EXPECT_FALSE(VersionValue(info, L"LegalCopyright").empty());
}

TEST(Citizen, AnUnwritableFolderMovesTempAndLogToTheUsersOwn) {
    ServiceControl("reset");
    const std::wstring fallback = LocalAppData() + L"\\Mirq";
    RemoveTree(fallback);
    CUiDriver ui;
    bool locked = false;
    ASSERT_TRUE(ui.Launch([&] { locked = AskWrapper("lock", "locked", UnixPathOf(GetSandbox().base)); }));
    ASSERT_TRUE(locked) << "run through scripts/with-lockable-folder.sh";
    EXPECT_FALSE(WriteBytes(GetSandbox().base + L"\\probe.txt", "x"));
    ASSERT_TRUE(ui.PassStartup());
    EXPECT_TRUE(ui.WaitEnabled(IDC_FLASH));  // the phone was read
    const std::wstring target = GetSandbox().temp + L"mirq.zip";
    ui.Click(IDC_DOWNLOAD);
    ASSERT_TRUE(ui.FillFileDialog(L"保存ROM文件到", target));
    EXPECT_EQ(ui.AnswerBox(L"下载完成！", 60000), L"ROM路径已正确设置，请点击“刷机”按钮直接刷机！");
    EXPECT_TRUE(ReadBytes(target) == Served(L"files/rom/crespo.zip"));
    EXPECT_TRUE(ReadBytes(fallback + L"\\temp\\recovery_crespo.img") == Served(L"files/recovery/crespo.img"));
    const std::vector<std::wstring> logs = ListDir(fallback + L"\\log");
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = ReadBytes(fallback + L"\\log\\" + logs[0]);
    const std::string first = log.substr(0, log.find('\n'));
    EXPECT_NE(first.find("cannot be written"), std::string::npos) << first;
    EXPECT_NE(first.find(mirq::WideToOem(fallback)), std::string::npos) << first;
    EXPECT_FALSE(FileExists(GetSandbox().base + L"\\temp"));
    EXPECT_FALSE(FileExists(GetSandbox().base + L"\\log"));
    PostMessageW(ui.Main(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_EQ(ui.WaitExit(20000), 2u);
    EXPECT_TRUE(AskWrapper("unlock", "unlocked"));
    RemoveTree(fallback);
}

TEST(Citizen, At144DpiTheWindowAndItsFontsScale) {
    const WindowLook normal = LookAt(96);
    const WindowLook large = LookAt(144);
    EXPECT_GE(large.size.cx, normal.size.cx * 14 / 10);
    EXPECT_GE(large.size.cy, normal.size.cy * 14 / 10);
    EXPECT_TRUE(normal.controlsInside);
    EXPECT_TRUE(large.controlsInside);
    ASSERT_GT(normal.modelInk, 0);
    EXPECT_GE(large.modelInk, normal.modelInk * 13 / 10);  // the model's name in points, not pixels
}
