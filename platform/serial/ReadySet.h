#pragma once
// A set of open serial devices watched for input: one descriptor (an epoll
// instance) that turns readable when any armed device has bytes to read or
// hung up, so that one watcher serves any number of idle ports at no cost.
//
// Each device is watched once per arming: after it has been reported by
// ready() it stays quiet until arm() is called again (its owner reads it in
// the meantime). A device must be removed before it is closed.
// Threads: one thread uses a set. Qt-free; no OS header is included here.
#include "SerialDevice.h"

#include <cstddef>
#include <cstdint>

namespace serial {

class ReadySet {
public:
    ReadySet();
    ~ReadySet();
    ReadySet(const ReadySet&) = delete;
    ReadySet& operator=(const ReadySet&) = delete;

    // Whether the set could be made; descriptor() is -1 otherwise.
    bool valid() const { return fd_ >= 0; }
    // Readable while an armed device is ready.
    int descriptor() const { return fd_; }

    // Adds an open device under key, armed.
    SerialError add(const SerialDevice& device, std::uint64_t key);
    SerialError arm(const SerialDevice& device, std::uint64_t key);
    void remove(const SerialDevice& device);
    // The keys of up to max devices ready now, without waiting; each one
    // reported is disarmed. Returns how many.
    std::size_t ready(std::uint64_t* keys, std::size_t max);

private:
    SerialError watch(const SerialDevice& device, std::uint64_t key, bool add);

    int fd_ = -1;
};

} // namespace serial
