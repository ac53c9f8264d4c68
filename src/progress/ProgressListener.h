#pragma once
// How long operations report progress: a percentage of their own work and a
// status text (empty keeps the current one).
#include <string>

namespace mirq {

class IProgressListener {
public:
    virtual void OnProgress(int percent, const std::wstring& text) = 0;
    virtual void OnReserved(int value) = 0;  // no caller uses it

protected:
    ~IProgressListener() = default;  // deleted through the concrete type
};

// The reporter side, shared by every reporter: a non-owning listener pointer.
class CProgressReporter {
public:
    void SetListener(IProgressListener* listener) { m_listener = listener; }
    void ClearListener() { m_listener = nullptr; }
    IProgressListener* GetListener() const { return m_listener; }

protected:
    ~CProgressReporter() = default;
    void NotifyListener(int percent, const std::wstring& text) {
        if (m_listener) m_listener->OnProgress(percent, text);
    }

    IProgressListener* m_listener = nullptr;
};

}  // namespace mirq
