#include "download/BackgroundFileWriter.h"

namespace mirq {

CBackgroundFileWriter::CBackgroundFileWriter(FILE* file) : m_file(file), m_thread([this] { Run(); }) {
    m_current.reserve(kChunkSize);
}

CBackgroundFileWriter::~CBackgroundFileWriter() { Finish(); }

void CBackgroundFileWriter::Queue(std::vector<char>&& chunk) {
    if (!m_thread.Started()) {  // no thread to be had: written here, at once
        if (!m_failed && fwrite(chunk.data(), 1, chunk.size(), m_file.get()) != chunk.size()) m_failed = true;
        return;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_queue.size() < kMaxQueued || m_failed; });
    m_queue.push_back(std::move(chunk));
    m_changed.notify_all();
}

bool CBackgroundFileWriter::Write(const char* data, size_t size) {
    m_current.insert(m_current.end(), data, data + size);
    if (m_current.size() >= kChunkSize) {
        Queue(std::move(m_current));
        m_current.clear();
        m_current.reserve(kChunkSize);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    return !m_failed;
}

void CBackgroundFileWriter::Run() {
    for (;;) {
        std::vector<char> chunk;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return !m_queue.empty() || m_done; });
            if (m_queue.empty()) return;
            chunk = std::move(m_queue.front());
            m_queue.pop_front();
            m_changed.notify_all();
            if (m_failed) continue;  // drain without writing
        }
        if (fwrite(chunk.data(), 1, chunk.size(), m_file.get()) != chunk.size()) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_failed = true;
            m_changed.notify_all();
        }
    }
}

bool CBackgroundFileWriter::Finish() {
    if (m_finished) return !m_failed;
    m_finished = true;
    if (!m_current.empty()) Queue(std::move(m_current));
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_done = true;
        m_changed.notify_all();
    }
    m_thread.Join();
    if (m_file.Close() != 0) m_failed = true;
    return !m_failed;
}

}  // namespace mirq
