#pragma once
// Writes a download to its file on a thread of its own, so the disk and the
// network work at the same time. At most a few chunks wait in memory, so the
// peak stays the same whatever the size of the file.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include "util/Raii.h"
#include "util/Thread.h"

namespace mirq {

class CBackgroundFileWriter {
public:
    explicit CBackgroundFileWriter(FILE* file);
    ~CBackgroundFileWriter();
    CBackgroundFileWriter(const CBackgroundFileWriter&) = delete;
    CBackgroundFileWriter& operator=(const CBackgroundFileWriter&) = delete;

    // Queues the bytes; false once a write has failed (a full disk).
    bool Write(const char* data, size_t size);
    // Writes what is left and closes the file; true when every write succeeded.
    bool Finish();

private:
    void Run();
    void Queue(std::vector<char>&& chunk);

    static const size_t kChunkSize = 512 * 1024;
    static const size_t kMaxQueued = 4;

    CStdFile m_file;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::vector<char>> m_queue;
    std::vector<char> m_current;
    bool m_done = false;
    bool m_failed = false;
    bool m_finished = false;
    CThread m_thread;  // last: it starts once everything it uses is there
};

}  // namespace mirq
