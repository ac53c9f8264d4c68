#include "BenchSupport.h"

#include <string>

namespace mirqbench {

std::string RunAdbDirect(const std::wstring& adb, const std::wstring& args) {
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &sa, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = write;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"\"" + adb + L"\" " + args;
    std::string out;
    if (CreateProcessW(adb.c_str(), &cmd[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        CloseHandle(write);
        write = nullptr;
        char buf[512];
        DWORD got = 0;
        while (ReadFile(read, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
        WaitForSingleObject(pi.hProcess, INFINITE);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    if (write) CloseHandle(write);
    CloseHandle(read);
    return out;
}

}  // namespace mirqbench
