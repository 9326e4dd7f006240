#pragma once
// Standard error of a headless copy, made as safe as its standard output:
// descriptor 2 becomes the write end of a pipe that a thread of this object
// empties, line by line, into a ConsoleOutput on the real standard error. So
// a reader that stalls (a pipe nobody reads, a stuck service manager) never
// holds a thread that writes to standard error (message boxes, warnings of
// the serial driver, Qt's own messages): lines are queued to a bound, then
// dropped and counted.
//
// Lifetime: one per process; the destructor puts the real standard error
// back on descriptor 2, takes what is left in the pipe and ends the thread.
// When the pipe cannot be made, descriptor 2 stays as it is.
#include "ConsoleOutput.h"

#include <atomic>
#include <memory>
#include <thread>

class StderrRelay {
public:
    explicit StderrRelay(std::size_t maxQueuedBytes = ConsoleOutput::kDefaultQueueBytes);
    ~StderrRelay();
    StderrRelay(const StderrRelay&) = delete;
    StderrRelay& operator=(const StderrRelay&) = delete;

    bool Active() const { return realStderr_ >= 0; }
    std::size_t Dropped() const { return out_ ? out_->Dropped() : 0; }

private:
    void run();

    int realStderr_ = -1; // the descriptor standard error had
    int readEnd_ = -1;
    std::atomic<bool> stopping_{false};
    std::unique_ptr<ConsoleOutput> out_;
    std::thread thread_;
};
