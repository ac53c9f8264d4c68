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
    FILE* Release() {
        FILE* file = m_file;
        m_file = nullptr;
        return file;
    }

private:
    FILE* m_file;
};

// A kernel handle (process, thread, event, mutex), closed with CloseHandle.
class CWinHandle {
public:
    explicit CWinHandle(HANDLE handle = nullptr) : m_handle(handle) {}
    ~CWinHandle() { Reset(); }
    CWinHandle(const CWinHandle&) = delete;
    CWinHandle& operator=(const CWinHandle&) = delete;

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    void Reset(HANDLE handle = nullptr) {
        if (*this) CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle;
};

// A GDI object (font, brush), deleted with DeleteObject.
template <class T>
class CGdiObject {
public:
    explicit CGdiObject(T object = nullptr) : m_object(object) {}
    ~CGdiObject() { Reset(); }
    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    T get() const { return m_object; }
    void Reset(T object = nullptr) {
        if (m_object) DeleteObject(m_object);
        m_object = object;
    }

private:
    T m_object;
};

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
