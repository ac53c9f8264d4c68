#include "framework/Framework.h"

#include <algorithm>

#include "util/Raii.h"

namespace mirq {

CAppModule g_module;

namespace {

template <class T>
BOOL RemoveFrom(std::vector<T*>& list, T* item) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it == list.end()) return FALSE;
    list.erase(it);
    return TRUE;
}

}  // namespace

BOOL CMessageLoop::AddMessageFilter(CMessageFilter* filter) {
    m_filters.push_back(filter);
    return TRUE;
}

BOOL CMessageLoop::RemoveMessageFilter(CMessageFilter* filter) { return RemoveFrom(m_filters, filter); }

BOOL CMessageLoop::AddIdleHandler(CIdleHandler* handler) {
    m_idleHandlers.push_back(handler);
    return TRUE;
}

BOOL CMessageLoop::RemoveIdleHandler(CIdleHandler* handler) { return RemoveFrom(m_idleHandlers, handler); }

BOOL CMessageLoop::PreTranslateMessage(MSG* msg) {
    for (size_t i = m_filters.size(); i-- > 0;)
        if (m_filters[i]->PreTranslateMessage(msg)) return TRUE;
    return FALSE;
}

BOOL CMessageLoop::OnIdle(int /*idleCount*/) {
    for (size_t i = 0; i < m_idleHandlers.size(); ++i) m_idleHandlers[i]->OnIdle();
    return FALSE;  // one pass per idle phase
}

BOOL CMessageLoop::IsIdleMessage(const MSG* msg) {
    switch (msg->message) {
    case WM_MOUSEMOVE:
    case WM_NCMOUSEMOVE:
    case WM_PAINT:
    case 0x0118:  // the system's caret-blink timer
        return FALSE;
    }
    return TRUE;
}

void CMessageLoop::Dispatch(MSG& msg) {
    if (PreTranslateMessage(&msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

BOOL CMessageLoop::DispatchPending() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // for Run, which ends the program
            return FALSE;
        }
        Dispatch(msg);
    }
    return TRUE;
}

int CMessageLoop::Run() {
    BOOL doIdle = TRUE;
    int idleCount = 0;
    for (;;) {
        while (doIdle && !PeekMessageW(&m_msg, nullptr, 0, 0, PM_NOREMOVE)) {
            if (!OnIdle(idleCount++)) doIdle = FALSE;
        }
        BOOL got = GetMessageW(&m_msg, nullptr, 0, 0);
        if (got == -1) continue;
        if (!got) break;
        Dispatch(m_msg);
        if (IsIdleMessage(&m_msg)) {
            doIdle = TRUE;
            idleCount = 0;
        }
    }
    return static_cast<int>(m_msg.wParam);
}

HRESULT CAppModule::Init(HINSTANCE instance) {
    m_instance = instance;
    if (!m_initialised) InitializeCriticalSection(&m_lock);
    m_initialised = true;
    return S_OK;
}

void CAppModule::Term() {
    if (m_initialised) DeleteCriticalSection(&m_lock);
    m_initialised = false;
}

BOOL CAppModule::AddMessageLoop(CMessageLoop* loop) {
    CCriticalSectionLock lock(m_lock);
    m_loops[GetCurrentThreadId()] = loop;
    return TRUE;
}

BOOL CAppModule::RemoveMessageLoop() {
    CCriticalSectionLock lock(m_lock);
    return m_loops.erase(GetCurrentThreadId()) > 0;
}

CMessageLoop* CAppModule::GetMessageLoop(DWORD threadId) {
    CCriticalSectionLock lock(m_lock);
    auto it = m_loops.find(threadId);
    return it == m_loops.end() ? nullptr : it->second;
}

}  // namespace mirq
