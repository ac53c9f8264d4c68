#pragma once
// Writes a download to its file on a thread of its own, so the disk and the
// network work at the same time. What is written can be looked at on the way
// (the checksums), each observer on a thread of its own too: off the thread
// that hands the bytes over, and beside each other. At most a few chunks wait
// in memory, so the peak stays the same whatever the size of the file.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "util/Raii.h"
#include "util/Thread.h"

namespace mirq {

class CBackgroundFileWriter {
public:
    static const size_t kChunkSize = 512 * 1024;
    typedef std::function<void(const char* data, size_t size)> ChunkObserver;
    // Every observer sees every byte, in order.
    explicit CBackgroundFileWriter(FILE* file, const std::vector<ChunkObserver>& observers = {});
    ~CBackgroundFileWriter();
    CBackgroundFileWriter(const CBackgroundFileWriter&) = delete;
    CBackgroundFileWriter& operator=(const CBackgroundFileWriter&) = delete;

    // Queues the bytes; false once a write has failed (a full disk).
    bool Write(const char* data, size_t size);
    // Writes (and shows) what is left and closes the file; true when every write succeeded.
    bool Finish();
    // Whether a write failed for want of room on the volume, as the system said it.
    bool DiskFull();
    // Whether a failed write failed for want of room: the C library says so
    // by errno, the system by its error code; either is enough.
    static bool IsWantOfRoom(int err, unsigned long systemError);
    // The bytes the write that failed could not put on the disk (0: none failed).
    size_t ShortWrite();

private:
    typedef std::shared_ptr<const std::vector<char>> Chunk;
    // One thread and its queue: the file's writes, or one observer.
    struct Lane {
        std::function<void(const std::vector<char>&)> work;
        std::deque<Chunk> queue;
        std::unique_ptr<CThread> thread;
    };
    void Run(Lane& lane);
    void Queue(std::vector<char>&& chunk);
    void WriteToFile(const std::vector<char>& chunk);
    static bool IsDiskFull();

    static const size_t kMaxQueued = 4;

    CStdFile m_file;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<char> m_current;
    bool m_done = false;
    bool m_failed = false;
    bool m_diskFull = false;
    size_t m_shortWrite = 0;
    bool m_finished = false;
    std::vector<std::unique_ptr<Lane>> m_lanes;  // the file's first
};

}  // namespace mirq
