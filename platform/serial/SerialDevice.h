#pragma once
// One serial device opened for exclusive use: the Linux counterpart of a
// Windows COM handle. Qt-free; no OS header is included here.
//
// Threads: open, close and applyDcb belong to the owner's thread and must not
// run while another call is in progress (the port driver guarantees this with
// its descriptor lock). read, write, waitWritable, purge, queueCounts and
// modemStatus may be called from several threads at once; the kernel
// serialises them on the descriptor.
#include "DeviceLock.h"
#include "LineSettings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct termios;

namespace serial {

// The outcome of a device call. Every system error of this layer becomes text
// in one place (FromErrno).
class [[nodiscard]] SerialError {
public:
    SerialError() = default; // success

    // "<operation> <path>: <system text> (errno N)", then ": " + detail when
    // there is one.
    static SerialError FromErrno(std::string_view operation, std::string_view path, int err,
                                 std::string_view detail = {});
    // The line went away (the other end of a pseudo-terminal closed, a USB
    // adapter was pulled, a hang-up): no further data will come.
    static SerialError HangUp(std::string_view path);

    bool ok() const { return code_ == 0; }
    bool failed() const { return code_ != 0; }
    bool hungUp() const { return hungUp_; }
    int code() const { return code_; }
    const std::string& text() const { return text_; }

private:
    int code_ = 0;
    bool hungUp_ = false;
    std::string text_;
};

struct QueueCounts {
    std::uint32_t input = 0;  // received bytes not yet read
    std::uint32_t output = 0; // written bytes not yet sent
};

struct ModemLines {
    bool cts = false;
    bool dsr = false;
    bool ring = false;
    bool cd = false;
};

enum class WaitResult { Ready, TimedOut, Failed };

class SerialDevice {
public:
    SerialDevice();
    ~SerialDevice(); // close()
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // Opens a terminal device for reading and writing, non-blocking, without
    // becoming its controlling terminal, and claims it for exclusive use the
    // ways Linux serial programs agree on: the UUCP lock file in /run/lock
    // (DeviceLock), an advisory lock (flock) and TIOCEXCL. A device that
    // another process holds by any of them is refused (EBUSY). Saves the line
    // settings to restore them on close. On failure nothing stays open or
    // locked. A device already open here is closed first.
    SerialError open(const std::string& path);
    // Gives output still queued a short, bounded time to leave (then discards
    // it, so that a stopped line never holds up the close), restores the
    // saved settings and closes. Does nothing when closed.
    void close();
    bool isOpen() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

    // Sets the line from a DCB (exact rates through termios2) and drives DTR
    // and RTS as the DCB says. Devices without modem lines (pseudo-terminals)
    // accept the settings; their missing modem control is not an error.
    SerialError applyDcb(const DCB& dcb);
    // Records the queue sizes the driver asked for. The kernel sizes its tty
    // queues itself, so there is nothing to set.
    SerialError setupQueues(std::uint32_t inputSize, std::uint32_t outputSize);
    std::uint32_t inputQueueSize() const { return inputQueueSize_; }
    std::uint32_t outputQueueSize() const { return outputQueueSize_; }
    // Discards pending input and/or output in one call.
    SerialError purge(bool input, bool output);
    SerialError queueCounts(QueueCounts& counts) const;

    // Reads what is there, at most `max` bytes; `got` = 0 when nothing is.
    // A line that went away is an error (hungUp()), distinct from no data.
    SerialError read(char* buffer, std::size_t max, std::size_t& got);
    // Whether the line is still there: a hang-up (the adapter was unplugged,
    // the other end of a pseudo-terminal closed) is an error. Costs one poll.
    SerialError checkLine() const;
    // Writes what the kernel takes now; `sent` = 0 when its queue is full.
    SerialError write(const char* data, std::size_t size, std::size_t& sent);
    // Waits up to `ms` until a write can make progress.
    WaitResult waitWritable(int ms);
    // The open descriptor (-1 when closed), for a readiness watch (ReadySet).
    int descriptor() const { return fd_; }
    // The active modem lines; false when they cannot be read (no modem lines
    // on this device, or it is closed).
    bool modemStatus(ModemLines& lines) const;

private:
    int fd_ = -1;
    std::string path_;
    DeviceLock lock_;
    std::unique_ptr<termios> saved_;
    std::uint32_t inputQueueSize_ = 0;
    std::uint32_t outputQueueSize_ = 0;
};

// The input and output bit rates of the line behind `fd`, exact whether they
// were set by Bxxx or by number. For a pseudo-terminal master this reports
// the slave's line.
SerialError LineRates(int fd, std::uint32_t& input, std::uint32_t& output);

} // namespace serial
