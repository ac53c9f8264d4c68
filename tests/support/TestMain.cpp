// Test entry: builds the process's sandbox before anything captures the base
// directory, installs the simulated phone, and removes the sandbox at the end.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace mirqtest {
namespace {
Sandbox g_sandbox;

// A test that crashes fails: under the test prefix's automatic debugger the
// crashed process would otherwise end with status 0, which ctest takes for a pass.
LONG WINAPI EndCrashedTest(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    fprintf(stderr, "crashed: exception 0x%08lx at %p\n", code, info->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), code ? code : 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
}

const Sandbox& GetSandbox() { return g_sandbox; }

}  // namespace mirqtest

int main(int argc, char** argv) {
    using namespace mirqtest;
    SetUnhandledExceptionFilter(EndCrashedTest);
    wchar_t buf[MAX_PATH];
    GetModuleFileNameW(nullptr, buf, MAX_PATH);
    std::wstring self = buf;
    g_sandbox.binDir = self.substr(0, self.find_last_of(L'\\') + 1);

    GetTempPathW(MAX_PATH, buf);
    std::wstring parent = std::wstring(buf) + L"mirq 测试 100%\\";
    CreateDirectoryW(parent.c_str(), nullptr);
    g_sandbox.root = parent + std::to_wstring(GetCurrentProcessId()) + L"\\";
    RemoveTree(g_sandbox.root);
    CreateDirectoryW(g_sandbox.root.c_str(), nullptr);
    g_sandbox.base = g_sandbox.root + L"base";
    g_sandbox.temp = g_sandbox.root + L"tmp\\";
    CreateDirectoryW(g_sandbox.base.c_str(), nullptr);
    CreateDirectoryW(g_sandbox.temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", g_sandbox.temp.c_str());
    SetEnvironmentVariableW(L"TEMP", g_sandbox.temp.c_str());
    SetCurrentDirectoryW(g_sandbox.base.c_str());
    CSimPhone::Install();
    CSimPhone::Reset("nexus_s");
    UseLocalService();

    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();

    SetCurrentDirectoryW(parent.c_str());
    RemoveTree(g_sandbox.root);
    return rc;
}
