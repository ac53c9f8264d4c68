#include "download/BackgroundFileWriter.h"

#include <windows.h>

#include <cerrno>

namespace mirq {

CBackgroundFileWriter::CBackgroundFileWriter(FILE* file, const std::vector<ChunkObserver>& observers) : m_file(file) {
    m_current.reserve(kChunkSize);
    std::vector<std::function<void(const std::vector<char>&)>> works = {
        [this](const std::vector<char>& chunk) { WriteToFile(chunk); }};
    for (const ChunkObserver& observer : observers)
        works.push_back([observer](const std::vector<char>& chunk) { observer(chunk.data(), chunk.size()); });
    for (auto& work : works) {
        m_lanes.emplace_back(new Lane{work, {}, nullptr});
        Lane* lane = m_lanes.back().get();
        lane->thread.reset(new CThread([this, lane] { Run(*lane); }));
    }
}

CBackgroundFileWriter::~CBackgroundFileWriter() { Finish(); }

void CBackgroundFileWriter::Queue(std::vector<char>&& bytes) {
    const Chunk chunk = std::make_shared<const std::vector<char>>(std::move(bytes));
    std::unique_lock<std::mutex> lock(m_lock);
    for (auto& lane : m_lanes) {
        if (!lane->thread->Started()) {  // no thread to be had: done here, at once
            lock.unlock();
            lane->work(*chunk);
            lock.lock();
            continue;
        }
        m_changed.wait(lock, [&] { return lane->queue.size() < kMaxQueued; });
        lane->queue.push_back(chunk);
        m_changed.notify_all();
    }
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

void CBackgroundFileWriter::Run(Lane& lane) {
    for (;;) {
        Chunk chunk;
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [&] { return !lane.queue.empty() || m_done; });
            if (lane.queue.empty()) return;
            chunk = std::move(lane.queue.front());
            lane.queue.pop_front();
            m_changed.notify_all();
        }
        lane.work(*chunk);
    }
}

void CBackgroundFileWriter::WriteToFile(const std::vector<char>& chunk) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_failed) return;  // drained without writing
    }
    const size_t written = fwrite(chunk.data(), 1, chunk.size(), m_file.get());
    if (written != chunk.size()) {
        const bool full = IsDiskFull();
        std::lock_guard<std::mutex> lock(m_lock);
        m_failed = true;
        m_diskFull = m_diskFull || full;
        m_shortWrite = chunk.size() - written;
    }
}

bool CBackgroundFileWriter::IsDiskFull() {
    const DWORD error = GetLastError();
    return IsWantOfRoom(errno, error);
}

bool CBackgroundFileWriter::IsWantOfRoom(int err, unsigned long systemError) {
    return err == ENOSPC || systemError == ERROR_DISK_FULL || systemError == ERROR_HANDLE_DISK_FULL;
}

bool CBackgroundFileWriter::DiskFull() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_diskFull;
}

size_t CBackgroundFileWriter::ShortWrite() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_shortWrite;
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
    for (auto& lane : m_lanes) lane->thread->Join();
    if (m_file.Close() != 0) {
        m_diskFull = m_diskFull || IsDiskFull();
        m_failed = true;
        if (!m_shortWrite) m_shortWrite = BUFSIZ;  // what the C library still held
    }
    return !m_failed;
}

}  // namespace mirq
