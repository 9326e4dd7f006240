#include "SerialDevice.h"

#include "Termios2.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#ifndef ENOIOCTLCMD
#define ENOIOCTLCMD 515 // the kernel's "no such ioctl here"; normally turned into ENOTTY
#endif

namespace serial {

namespace {

// Owns a descriptor until it is handed over.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string SystemText(int err)
{
    if (err == ENOTTY)
        return "not a terminal device";
    char buffer[256];
    // GNU strerror_r: returns a pointer that may or may not be `buffer`.
    return ::strerror_r(err, buffer, sizeof buffer);
}

bool NoModemControl(int err) { return err == ENOTTY || err == EINVAL || err == ENOIOCTLCMD; }

// How long close lets queued output leave: give up when the queue has not
// shrunk for kDrainStall, or after kDrainLimit in all.
constexpr std::chrono::milliseconds kDrainStall{100};
constexpr std::chrono::milliseconds kDrainLimit{1000};
constexpr int kDrainStepMs = 5;

} // namespace

SerialError SerialError::FromErrno(std::string_view operation, std::string_view path, int err,
                                   std::string_view detail)
{
    SerialError e;
    e.code_ = err != 0 ? err : EIO;
    e.text_.append(operation).append(" ").append(path).append(": ").append(SystemText(e.code_));
    e.text_.append(" (errno ").append(std::to_string(e.code_)).append(")");
    if (!detail.empty())
        e.text_.append(": ").append(detail);
    return e;
}

SerialError SerialError::HangUp(std::string_view path)
{
    SerialError e = FromErrno("read", path, EIO);
    e.hungUp_ = true;
    e.text_ = std::string("read ").append(path).append(": the line hung up");
    return e;
}

SerialDevice::SerialDevice() = default;

SerialDevice::~SerialDevice() { close(); }

SerialError SerialDevice::open(const std::string& path)
{
    close();

    // The lock file first, as every serial program does before it opens.
    if (SerialError err = lock_.acquire(path); err.failed())
        return err;
    struct Unlock {
        DeviceLock& lock;
        bool keep = false;
        ~Unlock()
        {
            if (!keep)
                lock.release();
        }
    } unlock{lock_};

    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return SerialError::FromErrno("open", path, errno);
    FdGuard guard(fd);

    if (!::isatty(fd))
        return SerialError::FromErrno("open", path, ENOTTY);

    // TIOCEXCL alone does not stop root, and a second open in this process;
    // the advisory lock does, and vanishes with the descriptor.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        return SerialError::FromErrno("lock", path, err);
    }
    if (::ioctl(fd, TIOCEXCL) != 0)
        return SerialError::FromErrno("claim", path, errno);

    auto saved = std::make_unique<termios>();
    if (::tcgetattr(fd, saved.get()) != 0)
        return SerialError::FromErrno("read line settings of", path, errno);

    fd_ = guard.release();
    unlock.keep = true;
    path_ = path;
    saved_ = std::move(saved);
    inputQueueSize_ = 0;
    outputQueueSize_ = 0;
    return {};
}

void SerialDevice::close()
{
    if (fd_ < 0)
        return;

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto lastProgress = start;
    int previous = -1;
    for (;;) {
        int queued = 0;
        if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        const auto now = Clock::now();
        if (previous < 0 || queued < previous)
            lastProgress = now;
        previous = queued;
        if (now - lastProgress >= kDrainStall || now - start >= kDrainLimit) {
            ::tcflush(fd_, TCOFLUSH);
            break;
        }
        ::poll(nullptr, 0, kDrainStepMs);
    }

    // Failures here change nothing: the descriptor goes either way.
    if (saved_)
        ::tcsetattr(fd_, TCSANOW, saved_.get());
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_); // also releases the descriptor lock
    fd_ = -1;
    saved_.reset();
    lock_.release();
}

SerialError SerialDevice::applyDcb(const DCB& dcb)
{
    if (fd_ < 0)
        return SerialError::FromErrno("set line settings of", path_, EBADF);
    termios t;
    if (!DcbToTermios(dcb, t))
        return SerialError::FromErrno("set line settings of", path_, EINVAL);

    const LineSpeed speed = SpeedForBaud(dcb.BaudRate);
    if (speed.standard) {
        if (::tcsetattr(fd_, TCSANOW, &t) != 0)
            return SerialError::FromErrno("set line settings of", path_, errno);
    } else {
        detail::KernelLine line;
        line.iflag = t.c_iflag;
        line.oflag = t.c_oflag;
        line.cflag = t.c_cflag;
        line.lflag = t.c_lflag;
        line.cc = t.c_cc;
        line.ccCount = NCCS;
        if (int err = detail::SetLineWithRate(fd_, line, speed.rate))
            return SerialError::FromErrno("set line settings of", path_, err);
    }

    const ModemControl control = ModemControlFor(dcb);
    int up = (control.dtr ? TIOCM_DTR : 0) | (control.rts ? TIOCM_RTS : 0);
    int down = (control.dtr ? 0 : TIOCM_DTR) | (control.rts ? 0 : TIOCM_RTS);
    if (up != 0 && ::ioctl(fd_, TIOCMBIS, &up) != 0 && !NoModemControl(errno))
        return SerialError::FromErrno("set modem lines of", path_, errno);
    if (down != 0 && ::ioctl(fd_, TIOCMBIC, &down) != 0 && !NoModemControl(errno))
        return SerialError::FromErrno("set modem lines of", path_, errno);
    return {};
}

SerialError SerialDevice::setupQueues(std::uint32_t inputSize, std::uint32_t outputSize)
{
    if (fd_ < 0)
        return SerialError::FromErrno("size queues of", path_, EBADF);
    inputQueueSize_ = inputSize;
    outputQueueSize_ = outputSize;
    return {};
}

SerialError SerialDevice::purge(bool input, bool output)
{
    if (fd_ < 0)
        return SerialError::FromErrno("purge", path_, EBADF);
    if (!input && !output)
        return {};
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (::tcflush(fd_, which) != 0)
        return SerialError::FromErrno("purge", path_, errno);
    return {};
}

SerialError SerialDevice::queueCounts(QueueCounts& counts) const
{
    int in = 0;
    int out = 0;
    if (fd_ < 0)
        return SerialError::FromErrno("query queues of", path_, EBADF);
    if (::ioctl(fd_, TIOCINQ, &in) != 0 || ::ioctl(fd_, TIOCOUTQ, &out) != 0)
        return SerialError::FromErrno("query queues of", path_, errno);
    counts.input = in > 0 ? static_cast<std::uint32_t>(in) : 0;
    counts.output = out > 0 ? static_cast<std::uint32_t>(out) : 0;
    return {};
}

SerialError SerialDevice::read(char* buffer, std::size_t max, std::size_t& got)
{
    got = 0;
    if (fd_ < 0)
        return SerialError::FromErrno("read", path_, EBADF);
    ssize_t n;
    do {
        n = ::read(fd_, buffer, max);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return {};
    }
    if (n < 0) {
        if (errno == EAGAIN)
            return {};
        if (errno == EIO)
            return SerialError::HangUp(path_);
        return SerialError::FromErrno("read", path_, errno);
    }
    // With VMIN 0 and VTIME 0 an empty read is the normal "nothing there";
    // a hung-up line also reads empty, but reports itself to poll.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return SerialError::HangUp(path_);
    return {};
}

SerialError SerialDevice::checkLine() const
{
    if (fd_ < 0)
        return SerialError::FromErrno("poll", path_, EBADF);
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
        return SerialError::HangUp(path_);
    return {};
}

SerialError SerialDevice::write(const char* data, std::size_t size, std::size_t& sent)
{
    sent = 0;
    if (fd_ < 0)
        return SerialError::FromErrno("write", path_, EBADF);
    ssize_t n;
    do {
        n = ::write(fd_, data, size);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        sent = static_cast<std::size_t>(n);
        return {};
    }
    if (errno == EAGAIN)
        return {};
    return SerialError::FromErrno("write", path_, errno);
}

WaitResult SerialDevice::waitWritable(int ms)
{
    if (fd_ < 0)
        return WaitResult::Failed;
    pollfd p{fd_, POLLOUT, 0};
    const int n = ::poll(&p, 1, ms < 0 ? 0 : ms);
    if (n < 0)
        return errno == EINTR ? WaitResult::TimedOut : WaitResult::Failed;
    if (n == 0)
        return WaitResult::TimedOut;
    if (p.revents & POLLOUT)
        return WaitResult::Ready;
    return WaitResult::Failed;
}

bool SerialDevice::modemStatus(ModemLines& lines) const
{
    int bits = 0;
    if (fd_ < 0 || ::ioctl(fd_, TIOCMGET, &bits) != 0)
        return false;
    lines.cts = (bits & TIOCM_CTS) != 0;
    lines.dsr = (bits & TIOCM_DSR) != 0;
    lines.ring = (bits & TIOCM_RNG) != 0;
    lines.cd = (bits & TIOCM_CAR) != 0;
    return true;
}

SerialError LineRates(int fd, std::uint32_t& input, std::uint32_t& output)
{
    if (int err = detail::GetLineRates(fd, input, output))
        return SerialError::FromErrno("read line rates of descriptor", std::to_string(fd), err);
    return {};
}

} // namespace serial
