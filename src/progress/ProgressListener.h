#pragma once
// How long operations report progress: a percentage of their own work and a
// status text (empty keeps the current one).
#include <memory>
#include <string>
#include <utility>

namespace mirq {

class IProgressListener {
public:
    virtual ~IProgressListener() = default;
    virtual void OnProgress(int percent, const std::wstring& text) = 0;
    virtual void OnReserved(int value) = 0;  // no caller uses it
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

// One step's listener, attached to its reporter while the step runs: attached
// when made, detached by Detach or when it goes (the listener with it).
class CAttachedListener {
public:
    CAttachedListener(std::unique_ptr<IProgressListener> listener, CProgressReporter* reporter)
        : m_listener(std::move(listener)), m_reporter(reporter) {
        if (m_reporter) m_reporter->SetListener(m_listener.get());
    }
    ~CAttachedListener() { Detach(); }
    // Before the reporter goes, when the listener outlives it.
    void Detach() {
        if (m_reporter) m_reporter->ClearListener();
        m_reporter = nullptr;
    }
    IProgressListener* get() const { return m_listener.get(); }

    CAttachedListener(const CAttachedListener&) = delete;
    CAttachedListener& operator=(const CAttachedListener&) = delete;

private:
    std::unique_ptr<IProgressListener> m_listener;
    CProgressReporter* m_reporter;
};

}  // namespace mirq
