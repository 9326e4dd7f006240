#pragma once
// A pseudo-terminal pair standing in for a serial line in tests: the code
// under test opens slavePath() as its device; the test plays the far end on
// the master. Settings that the slave's line has are read back through the
// master (the kernel answers TCGETS on a master for its slave).
//
// Note: a pseudo-terminal keeps CS8 and drops PARENB whatever is asked; all
// other flags stay as set.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>

class PtyPair {
public:
    PtyPair()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0)
            throw std::runtime_error("posix_openpt failed");
        char name[128];
        if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::ptsname_r(master_, name, sizeof name) != 0
            || ::fcntl(master_, F_SETFL, O_NONBLOCK) != 0) {
            ::close(master_);
            throw std::runtime_error("pseudo-terminal set-up failed");
        }
        slavePath_ = name;
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Writes every byte to the master; false when the deadline passes first.
    bool write(std::string_view data, std::chrono::milliseconds within = std::chrono::seconds(5))
    {
        const auto deadline = Clock::now() + within;
        while (!data.empty()) {
            const ssize_t n = ::write(master_, data.data(), data.size());
            if (n > 0) {
                data.remove_prefix(static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (!waitFor(POLLOUT, deadline))
                return false;
        }
        return true;
    }

    // Reads until `count` bytes have come or the deadline passes.
    std::string read(std::size_t count, std::chrono::milliseconds within = std::chrono::seconds(5))
    {
        const auto deadline = Clock::now() + within;
        std::string out;
        char buffer[4096];
        while (out.size() < count) {
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
            if (n > 0) {
                out.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (!waitFor(POLLIN, deadline))
                break;
        }
        return out;
    }

    // Bytes the slave has sent that the master has not read yet.
    int pending() const
    {
        int n = 0;
        return ::ioctl(master_, FIONREAD, &n) == 0 ? n : -1;
    }

    termios slaveSettings() const
    {
        termios t{};
        if (::tcgetattr(master_, &t) != 0)
            throw std::runtime_error("tcgetattr on the master failed");
        return t;
    }

private:
    using Clock = std::chrono::steady_clock;

    bool waitFor(short events, Clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{master_, events, 0};
        return ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 50))) >= 0;
    }

    int master_ = -1;
    std::string slavePath_;
};

// Open descriptors of this process, for leak checks around a test.
inline int OpenDescriptorCount()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int n = 0;
    while (::readdir(dir))
        ++n;
    ::closedir(dir);
    return n;
}
