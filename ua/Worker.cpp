#include "Worker.h"

namespace ua {

Worker::Worker(Post post, std::size_t maxQueued)
    : post_(std::move(post)), maxQueued_(maxQueued), thread_([this] { run(); })
{
}

Worker::~Worker()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        queue_.clear();
    }
    wake_.notify_one();
    thread_.join();
}

bool Worker::Submit(std::function<void()> work, std::function<void()> done)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_ || queue_.size() >= maxQueued_)
            return false;
        queue_.push_back(Job{std::move(work), std::move(done)});
    }
    wake_.notify_one();
    return true;
}

void Worker::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        job.work();
        post_(std::move(job.done));
    }
}

} // namespace ua
