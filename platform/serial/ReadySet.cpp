#include "ReadySet.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace serial {

namespace {

// Input or a hang-up (reported whether asked for or not), once per arming.
constexpr std::uint32_t kWatch = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
constexpr std::size_t kBatch = 64;

} // namespace

ReadySet::ReadySet() : fd_(::epoll_create1(EPOLL_CLOEXEC)) {}

ReadySet::~ReadySet()
{
    if (fd_ >= 0)
        ::close(fd_);
}

SerialError ReadySet::add(const SerialDevice& device, std::uint64_t key) { return watch(device, key, true); }

SerialError ReadySet::arm(const SerialDevice& device, std::uint64_t key) { return watch(device, key, false); }

SerialError ReadySet::watch(const SerialDevice& device, std::uint64_t key, bool add)
{
    epoll_event e{};
    e.events = kWatch;
    e.data.u64 = key;
    if (fd_ < 0 || ::epoll_ctl(fd_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, device.descriptor(), &e) != 0)
        return SerialError::FromErrno("watch", device.path(), fd_ < 0 ? EBADF : errno);
    return {};
}

void ReadySet::remove(const SerialDevice& device)
{
    if (fd_ >= 0 && device.descriptor() >= 0)
        ::epoll_ctl(fd_, EPOLL_CTL_DEL, device.descriptor(), nullptr);
}

std::size_t ReadySet::ready(std::uint64_t* keys, std::size_t max)
{
    if (fd_ < 0 || max == 0)
        return 0;
    epoll_event events[kBatch];
    int n;
    do {
        n = ::epoll_wait(fd_, events, static_cast<int>(max < kBatch ? max : kBatch), 0);
    } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i)
        keys[i] = events[i].data.u64;
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

} // namespace serial
