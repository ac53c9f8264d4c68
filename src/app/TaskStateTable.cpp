#include "app/TaskStateTable.h"

#include "util/Raii.h"

namespace mirq {

CTaskStateTable* CTaskStateTable::GetInstance() {
    // Never destroyed: a worker still polling while the process ends must not
    // find a torn-down table.
    static CTaskStateTable* instance = new CTaskStateTable();
    return instance;
}

CTaskStateTable::CTaskStateTable() { InitializeCriticalSection(&m_lock); }
CTaskStateTable::~CTaskStateTable() { DeleteCriticalSection(&m_lock); }

int& CTaskStateTable::Entry(TaskKey key) { return m_states.emplace(key, kTaskIdle).first->second; }

void CTaskStateTable::StartTask(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    Entry(key) = kTaskRunning;
    m_currentKey = key;
}

void CTaskStateTable::FinishTask(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    Entry(key) = kTaskIdle;
    if (key == m_currentKey) m_currentKey = 0;
}

void CTaskStateTable::RequestStop(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    int& state = Entry(key);
    if (state == kTaskRunning) state = kTaskStopRequested;
}

int CTaskStateTable::GetCurrentState() {
    CCriticalSectionLock lock(m_lock);
    return Entry(m_currentKey);
}

int CTaskStateTable::GetState(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    auto found = m_states.find(key);
    return found == m_states.end() ? kTaskIdle : found->second;
}

}  // namespace mirq
