#include "StderrRelay.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

StderrRelay::StderrRelay(std::size_t maxQueuedBytes)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return;
    const int saved = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || ::dup2(fds[1], STDERR_FILENO) < 0) {
        if (saved >= 0)
            ::close(saved);
        ::close(fds[0]);
        ::close(fds[1]);
        return;
    }
    ::close(fds[1]);
    realStderr_ = saved;
    readEnd_ = fds[0];
    out_ = std::make_unique<ConsoleOutput>(realStderr_, maxQueuedBytes);
    thread_ = std::thread([this] { run(); });
}

StderrRelay::~StderrRelay()
{
    if (!Active())
        return;
    // Descriptor 2 was the pipe's only write end: once it is the real
    // standard error again, the thread reads the rest and then sees the end.
    ::dup2(realStderr_, STDERR_FILENO);
    // A child that inherited descriptor 2 could keep the pipe open: the
    // thread gives up a moment after the end was asked for.
    stopping_ = true;
    thread_.join();
    ::close(readEnd_);
    out_.reset();
    ::close(realStderr_);
}

void StderrRelay::run()
{
    std::string pending;
    char buf[4096];
    std::chrono::steady_clock::time_point giveUp{};
    for (;;) {
        pollfd p{readEnd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready == 0) {
            if (!stopping_)
                continue;
            const auto now = std::chrono::steady_clock::now();
            if (giveUp == std::chrono::steady_clock::time_point{})
                giveUp = now + std::chrono::milliseconds(500);
            if (now >= giveUp)
                break;
            continue;
        }
        const ssize_t n = ready < 0 ? -1 : ::read(readEnd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n', start)) {
            out_->Write(pending.substr(start, nl - start));
            start = nl + 1;
        }
        pending.erase(0, start);
        // A line that never ends is passed on in pieces rather than kept.
        if (pending.size() > 64 * 1024) {
            out_->Write(pending);
            pending.clear();
        }
    }
    if (!pending.empty())
        out_->Write(pending);
}
