#pragma once
// Which worker task is current and whether it was asked to stop. Written by
// the UI thread, polled by workers; every operation holds the table's lock.
#include <windows.h>

#include <map>

namespace mirq {

enum TaskState { kTaskIdle = 0, kTaskRunning = 1, kTaskStopRequested = 2 };

class CTaskStateTable {
public:
    typedef unsigned long TaskKey;

    static CTaskStateTable* GetInstance();

    void StartTask(TaskKey key);
    void FinishTask(TaskKey key);
    void RequestStop(TaskKey key);
    int GetCurrentState();
    int GetState(TaskKey key);  // kTaskIdle for a key never started

    CTaskStateTable();
    ~CTaskStateTable();
    CTaskStateTable(const CTaskStateTable&) = delete;
    CTaskStateTable& operator=(const CTaskStateTable&) = delete;

private:
    int& Entry(TaskKey key);  // adds an idle entry for an unknown key

    CRITICAL_SECTION m_lock;
    std::map<TaskKey, int> m_states;
    TaskKey m_currentKey = 0;
};

// True when the running task has been asked to stop.
inline bool StopRequested() { return CTaskStateTable::GetInstance()->GetCurrentState() == kTaskStopRequested; }

}  // namespace mirq
