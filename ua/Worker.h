#pragma once
// One thread for the endpoint's costly work, so that the main thread never
// spends it: RSA operations of OpenSecureChannel, CreateSession and
// ActivateSession, certificate checks (with the files of the certificate
// folders) and password hashes. Jobs run one after the other, in the order
// they came; each job's `done` goes back to the main thread through `post`.
//
// A bounded queue: a flood of connections that open channels fills it, and
// the next ones are refused (their channels are closed with
// Bad_TcpServerTooBusy) instead of piling up without end.
//
// Threads: Submit from one thread (the main thread); work runs on the
// worker; done runs wherever post puts it.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ua {

class Worker {
public:
    using Post = std::function<void(std::function<void()>)>;

    Worker(Post post, std::size_t maxQueued);
    // Finishes the job in hand; the jobs still queued are dropped (their
    // done never runs).
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // False when the queue is full (nothing runs then).
    bool Submit(std::function<void()> work, std::function<void()> done);

private:
    struct Job {
        std::function<void()> work;
        std::function<void()> done;
    };
    void run();

    Post post_;
    std::size_t maxQueued_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace ua
