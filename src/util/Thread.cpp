#include "util/Thread.h"

#include <memory>

namespace mirq {

namespace {

DWORD WINAPI RunBody(void* param) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(param));
    (*body)();
    return 0;
}

}  // namespace

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* param, DWORD flags) {
    return CreateThread(nullptr, 0, routine, param, flags, nullptr);
}

CThread::CThread(std::function<void()> body) {
    auto* owned = new std::function<void()>(std::move(body));
    m_handle.Reset(StartThread(RunBody, owned));
    if (!m_handle) delete owned;
}

void CThread::Join() {
    if (m_handle) WaitForSingleObject(m_handle.get(), INFINITE);
    m_handle.Reset();
}

}  // namespace mirq
