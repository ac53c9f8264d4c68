#include "app/SingleInstance.h"

#include "util/Utils.h"

namespace mirq {

namespace {

// FNV-1a over the lower-cased path: a mutex name may not hold backslashes.
std::wstring InstanceName() {
    unsigned long long hash = 1469598103934665603ull;
    for (wchar_t c : GetTempDirectory()) {
        hash ^= static_cast<unsigned long long>(towlower(c));
        hash *= 1099511628211ull;
    }
    wchar_t text[17];
    swprintf(text, 17, L"%016llx", hash);
    return std::wstring(L"Local\\MirqFlasher.") + text;
}

}  // namespace

CSingleInstance::CSingleInstance() : m_name(InstanceName()) {
    m_mutex.Reset(CreateMutexW(nullptr, FALSE, m_name.c_str()));
    m_first = !m_mutex || GetLastError() != ERROR_ALREADY_EXISTS;
}

void CSingleInstance::Publish(HWND mainWindow) {
    m_window.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(unsigned long long),
                                      (m_name + L".Window").c_str()));
    if (!m_window) return;
    if (void* view = MapViewOfFile(m_window.get(), FILE_MAP_WRITE, 0, 0, sizeof(unsigned long long))) {
        *static_cast<unsigned long long*>(view) = reinterpret_cast<ULONG_PTR>(mainWindow);
        UnmapViewOfFile(view);
    }
}

void CSingleInstance::ActivateFirst() const {
    CWinHandle mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, (m_name + L".Window").c_str()));
    if (!mapping) return;
    void* view = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, sizeof(unsigned long long));
    if (!view) return;
    HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(*static_cast<unsigned long long*>(view)));
    UnmapViewOfFile(view);
    if (!IsWindow(window)) return;
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

}  // namespace mirq
