#pragma once
// Which worker task is current and whether it was asked to stop: the
// window's record. A task sees its stop request through the token the table
// hands out for it; every operation holds the table's lock.
#include <windows.h>

#include <map>
#include <memory>

#include "util/StopToken.h"

namespace mirq {

enum TaskState { kTaskIdle = 0, kTaskRunning = 1, kTaskStopRequested = 2 };

class CTaskStateTable {
public:
    typedef ULONG_PTR TaskKey;  // a thread handle: as wide as a pointer

    static CTaskStateTable* GetInstance();

    void StartTask(TaskKey key);  // with a new stop token
    void FinishTask(TaskKey key);
    // Of a running task: its token is requested too (for the program's exit,
    // which keeps what the task has fetched, or as a cancel).
    void RequestStop(TaskKey key, bool forExit = false);
    std::shared_ptr<CStopToken> StopToken(TaskKey key);
    int GetCurrentState();
    int GetState(TaskKey key);  // kTaskIdle for a key never started

    CTaskStateTable();
    ~CTaskStateTable();
    CTaskStateTable(const CTaskStateTable&) = delete;
    CTaskStateTable& operator=(const CTaskStateTable&) = delete;

private:
    struct CEntry {
        int state = kTaskIdle;
        std::shared_ptr<CStopToken> stop = std::make_shared<CStopToken>();
    };
    CEntry& Entry(TaskKey key);  // adds an idle entry for an unknown key

    CRITICAL_SECTION m_lock;
    std::map<TaskKey, CEntry> m_states;
    TaskKey m_currentKey = 0;
};

}  // namespace mirq
