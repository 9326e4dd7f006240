#include "ConsoleOutput.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>

namespace {
// How long one wait for the descriptor lasts before the stop flag is
// looked at again.
constexpr int kPollStepMs = 50;

std::string droppedNote(std::size_t count)
{
    return "linvaro: " + std::to_string(count) + " log lines were dropped because standard output was not read\n";
}
} // namespace

ConsoleOutput::ConsoleOutput(int fd, std::size_t maxQueuedBytes, int finalFlushMs)
    : fd_(fd), maxQueuedBytes_(maxQueuedBytes), finalFlushMs_(finalFlushMs), thread_([this] { run(); })
{
}

ConsoleOutput::~ConsoleOutput()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        stopDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(finalFlushMs_);
    }
    wake_.notify_all();
    thread_.join();
}

void ConsoleOutput::Write(const std::string& line)
{
    {
        std::lock_guard lock(mutex_);
        // After a loss, lines are taken again only once half the queue is
        // free, and the note on the loss goes first, where the lines were
        // lost.
        const std::size_t limit = droppedUntold_ > 0 ? maxQueuedBytes_ / 2 : maxQueuedBytes_;
        if (stopping_ || queuedBytes_ + line.size() + 1 > limit) {
            ++droppedTotal_;
            ++droppedUntold_;
            return;
        }
        if (droppedUntold_ > 0) {
            queue_.push_back(droppedNote(droppedUntold_));
            queuedBytes_ += queue_.back().size();
            droppedUntold_ = 0;
        }
        queue_.push_back(line + "\n");
        queuedBytes_ += line.size() + 1;
    }
    wake_.notify_one();
}

std::size_t ConsoleOutput::Dropped() const
{
    std::lock_guard lock(mutex_);
    return droppedTotal_;
}

void ConsoleOutput::run()
{
    // A reader that went away makes write fail with EPIPE here instead of
    // ending the program (the signal is directed at the writing thread).
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    for (;;) {
        std::string data;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty() || droppedUntold_ > 0; });
            if (queue_.empty() && droppedUntold_ > 0) {
                data = droppedNote(droppedUntold_);
                droppedUntold_ = 0;
            } else if (queue_.empty()) {
                return; // stopping, nothing left
            }
            while (!queue_.empty() && data.size() < PIPE_BUF) {
                queuedBytes_ -= queue_.front().size();
                data += std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (!data.empty() && !writeAll(data))
            return;
    }
}

bool ConsoleOutput::writeAll(const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        // Wait until the descriptor takes data, in short steps, so that the
        // end of the program is seen while the reader stalls.
        pollfd p {fd_, POLLOUT, 0};
        const int ready = ::poll(&p, 1, kPollStepMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0) {
            std::lock_guard lock(mutex_);
            if (stopping_ && std::chrono::steady_clock::now() >= stopDeadline_)
                return false;
            continue;
        }
        if (p.revents & (POLLERR | POLLNVAL))
            return false;
        // At most PIPE_BUF at a time: a pipe that polls writable takes that
        // much without blocking.
        const std::size_t chunk = std::min<std::size_t>(data.size() - done, PIPE_BUF);
        const ssize_t n = ::write(fd_, data.data() + done, chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false; // closed (EPIPE) or failed: the output is gone
        done += static_cast<std::size_t>(n);
    }
    return true;
}
