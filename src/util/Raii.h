#pragma once
// Holders for the resources the code opens by hand: each closes its resource
// once, when it goes out of scope. Locks: a Win32 critical section is held
// with CCriticalSectionLock; a std::mutex (where a condition variable waits
// on it) with std::lock_guard or std::unique_lock.
#include <windows.h>

#include <cstdio>

namespace mirq {

// A C stream, closed with fclose.
class CStdFile {
public:
    explicit CStdFile(FILE* file = nullptr) : m_file(file) {}
    ~CStdFile() { Close(); }
    CStdFile(const CStdFile&) = delete;
    CStdFile& operator=(const CStdFile&) = delete;

    FILE* get() const { return m_file; }
    explicit operator bool() const { return m_file != nullptr; }
    // The result of fclose (0 when all buffered data reached the file).
    int Close() {
        int result = m_file ? fclose(m_file) : 0;
        m_file = nullptr;
        return result;
    }

private:
    FILE* m_file;
};

// A handle freed by one call when it goes; Traits says how and which values hold nothing.
template <class T, class Traits>
class CHandleHolder {
public:
    explicit CHandleHolder(T handle = nullptr) : m_handle(handle) {}
    ~CHandleHolder() { Reset(); }
    CHandleHolder(const CHandleHolder&) = delete;
    CHandleHolder& operator=(const CHandleHolder&) = delete;

    T get() const { return m_handle; }
    explicit operator bool() const { return Traits::Holds(m_handle); }
    void Reset(T handle = nullptr) {
        if (Traits::Holds(m_handle)) Traits::Free(m_handle);
        m_handle = handle;
    }

private:
    T m_handle;
};

struct CKernelHandleTraits {
    static bool Holds(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void Free(HANDLE handle) { CloseHandle(handle); }
};
struct CGdiObjectTraits {
    static bool Holds(HGDIOBJ object) { return object != nullptr; }
    static void Free(HGDIOBJ object) { DeleteObject(object); }
};

// A kernel handle (process, thread, event, mutex, mapping), closed with CloseHandle.
typedef CHandleHolder<HANDLE, CKernelHandleTraits> CWinHandle;
// A GDI object (font, brush), deleted with DeleteObject.
template <class T>
using CGdiObject = CHandleHolder<T, CGdiObjectTraits>;

// Holds a critical section for one scope.
class CCriticalSectionLock {
public:
    explicit CCriticalSectionLock(CRITICAL_SECTION& section) : m_section(section) { EnterCriticalSection(&m_section); }
    ~CCriticalSectionLock() { LeaveCriticalSection(&m_section); }
    CCriticalSectionLock(const CCriticalSectionLock&) = delete;
    CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};

}  // namespace mirq
