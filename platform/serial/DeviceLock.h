#pragma once
// The UUCP lock file of a serial device, as serial programs on Linux agree
// on it (FHS): /run/lock/LCK..<device>, holding the owner's process id in
// ten ASCII digits and a newline. <device> is the device's path below /dev
// with '/' turned into '_' (ttyUSB0, pts_3), taken after symbolic links are
// resolved, so every name of one device shares one lock.
//
// Acquire creates the file atomically (a private file linked to the name),
// removes a lock whose process is gone (a stale lock) and refuses a device
// whose lock names a live process, this one included. When the lock folder
// cannot be written, no file is made; a live lock found there still refuses
// the device. Release removes the file only while it still names this
// process. Qt-free; no OS header is included here.
#include <string>
#include <string_view>

namespace serial {

class SerialError;

inline constexpr const char* kLockFolder = "/run/lock";

// "LCK..ttyS0" for /dev/ttyS0 (the path as given: resolve links first).
std::string LockFileName(std::string_view devicePath);

class DeviceLock {
public:
    DeviceLock() = default;
    ~DeviceLock() { release(); }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Locks the device at path (links resolved here) in folder. Fails with
    // EBUSY, naming the owner, when a live process holds the lock.
    SerialError acquire(const std::string& path, const std::string& folder = kLockFolder);
    void release();
    // The lock file this object made; empty when none.
    const std::string& file() const { return file_; }

private:
    std::string file_;
};

} // namespace serial
