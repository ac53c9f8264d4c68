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

CTaskStateTable::CEntry& CTaskStateTable::Entry(TaskKey key) { return m_states[key]; }

void CTaskStateTable::StartTask(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    CEntry& entry = Entry(key);
    entry.state = kTaskRunning;
    entry.stop = std::make_shared<CStopToken>();  // a key can be a reused thread handle
    m_currentKey = key;
}

void CTaskStateTable::FinishTask(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    Entry(key).state = kTaskIdle;
    if (key == m_currentKey) m_currentKey = 0;
}

void CTaskStateTable::RequestStop(TaskKey key, bool forExit) {
    CCriticalSectionLock lock(m_lock);
    CEntry& entry = Entry(key);
    if (entry.state != kTaskRunning) return;
    entry.state = kTaskStopRequested;
    if (forExit) entry.stop->RequestForExit();
    else entry.stop->Request();
}

std::shared_ptr<CStopToken> CTaskStateTable::StopToken(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    return Entry(key).stop;
}

int CTaskStateTable::GetCurrentState() {
    CCriticalSectionLock lock(m_lock);
    return Entry(m_currentKey).state;
}

int CTaskStateTable::GetState(TaskKey key) {
    CCriticalSectionLock lock(m_lock);
    auto found = m_states.find(key);
    return found == m_states.end() ? kTaskIdle : found->second.state;
}

}  // namespace mirq
