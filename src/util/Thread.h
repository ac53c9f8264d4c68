#pragma once
// The one way the program starts and waits for its threads: Win32 threads
// with handles. (The C++ library's threads belong to another library here,
// whose records of threads it did not start itself can take one thread for
// another at a join, and end the program.)
#include <windows.h>

#include <functional>

#include "util/Raii.h"

namespace mirq {

// Starts routine(param) on a new thread (flags: 0 or CREATE_SUSPENDED); null on failure.
HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* param, DWORD flags = 0);

// A body run on a thread of its own, waited for by Join (at the latest when
// this goes) unless detached.
class CThread {
public:
    explicit CThread(std::function<void()> body);
    ~CThread() { Join(); }
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    bool Started() const { return static_cast<bool>(m_handle); }
    void Join();
    // Lets the thread run on by itself: its body must own what it uses.
    void Detach() { m_handle.Reset(); }

private:
    CWinHandle m_handle;
};

}  // namespace mirq
