#pragma once
// A task's stop request, handed down to whatever the task runs: polled with
// Requested() between steps, or waited on through Event() beside another wait
// (a command's process, a push), which then ends at once.
#include <windows.h>

#include <atomic>

#include "util/Raii.h"

namespace mirq {

class CStopToken {
public:
    CStopToken() : m_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    CStopToken(const CStopToken&) = delete;
    CStopToken& operator=(const CStopToken&) = delete;

    void Request() { SetEvent(m_event.get()); }
    // A stop because the program is closing, which is no cancel: what the
    // task has fetched so far is kept for the next time.
    void RequestForExit() {
        m_forExit = true;
        Request();
    }
    bool ForExit() const { return m_forExit; }
    bool Requested() const { return WaitForSingleObject(m_event.get(), 0) == WAIT_OBJECT_0; }
    // Signalled once a stop is requested; it stays so.
    HANDLE Event() const { return m_event.get(); }

    // A token nobody requests, for callers that run no task.
    static const CStopToken& Never() {
        static const CStopToken* never = new CStopToken();  // never destroyed: threads may outlive statics
        return *never;
    }

private:
    CWinHandle m_event;
    std::atomic<bool> m_forExit{false};
};

}  // namespace mirq
