#pragma once
// Lines for a descriptor that may stall (standard output of a headless copy:
// a pipe nobody reads, a stopped pager, a stuck service manager). Write never
// blocks: lines go to a bounded queue that a thread of this object empties.
// When the queue is full, lines are dropped and counted; once the output
// takes lines again, one line says how many were dropped.
//
// Threads: Write from any thread; the writer thread only touches this
// object's queue and the descriptor. The destructor gives the writer a short
// bounded time to deliver what is queued, then ends it: a stalled output
// never holds up the end of the program.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

class ConsoleOutput {
public:
    static constexpr std::size_t kDefaultQueueBytes = 1024 * 1024;
    static constexpr int kDefaultFinalFlushMs = 500;

    explicit ConsoleOutput(int fd, std::size_t maxQueuedBytes = kDefaultQueueBytes,
                           int finalFlushMs = kDefaultFinalFlushMs);
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    // Queues line + "\n"; never waits for the descriptor.
    void Write(const std::string& line);
    // Lines dropped so far because the queue was full.
    std::size_t Dropped() const;

private:
    void run();
    // Writes all of data, waiting for the descriptor in short steps; false
    // when the object is ending and the deadline for the final flush passed.
    bool writeAll(const std::string& data);

    const int fd_;
    const std::size_t maxQueuedBytes_;
    const int finalFlushMs_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    std::size_t queuedBytes_ = 0;
    std::size_t droppedTotal_ = 0;
    std::size_t droppedUntold_ = 0;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stopDeadline_;
    std::thread thread_;
};
