#include "DeviceLock.h"

#include "SerialDevice.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace serial {

namespace {

// The process id a lock file names; 0 when it names none (empty, unreadable
// or not a number). The old binary form (a 4-byte int) is read too.
pid_t LockOwner(const std::string& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    char text[64];
    ssize_t n;
    do {
        n = ::read(fd, text, sizeof text - 1);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n == static_cast<ssize_t>(sizeof(int))) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        bool printable = true;
        for (ssize_t i = 0; i < n; ++i)
            printable = printable && (text[i] == ' ' || (text[i] >= '0' && text[i] <= '9') || text[i] == '\n');
        if (!printable)
            return binary > 0 ? binary : 0;
    }
    if (n <= 0)
        return 0;
    text[n] = '\0';
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return pid > 0 && pid <= INT_MAX && end != text ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// Writes this process's lock text to a private file beside the lock; its path,
// or empty when the folder cannot take it (the error in err).
std::string WritePrivateCopy(const std::string& folder, const std::string& name, int& err)
{
    std::string path = folder + "/." + name + "." + std::to_string(::getpid());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == EEXIST) {
        // Left over from a process of the same id that died: it is ours now.
        ::unlink(path.c_str());
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    }
    if (fd < 0) {
        err = errno;
        return {};
    }
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = ::write(fd, text, static_cast<std::size_t>(len)) == len;
    ::fchmod(fd, 0644); // readable by every serial program whatever the umask
    err = errno;
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        return {};
    }
    return path;
}

} // namespace

std::string LockFileName(std::string_view devicePath)
{
    std::string_view rest = devicePath;
    if (rest.substr(0, 5) == "/dev/")
        rest.remove_prefix(5);
    else if (const auto slash = rest.rfind('/'); slash != std::string_view::npos)
        rest.remove_prefix(slash + 1);
    std::string name = "LCK..";
    for (char c : rest)
        name.push_back(c == '/' ? '_' : c);
    return name;
}

SerialError DeviceLock::acquire(const std::string& path, const std::string& folder)
{
    release();
    char resolved[PATH_MAX];
    // A path that does not resolve cannot be opened either; open reports it.
    if (!::realpath(path.c_str(), resolved))
        return {};
    const std::string name = LockFileName(resolved);
    const std::string lock = folder + "/" + name;

    int err = 0;
    const std::string mine = WritePrivateCopy(folder, name, err);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!mine.empty() && ::link(mine.c_str(), lock.c_str()) == 0) {
            ::unlink(mine.c_str());
            file_ = lock;
            return {};
        }
        const pid_t owner = LockOwner(lock);
        if (owner > 0 && (owner == ::getpid() || Alive(owner))) {
            if (!mine.empty())
                ::unlink(mine.c_str());
            return SerialError::FromErrno("lock", path, EBUSY,
                                          "locked by process " + std::to_string(owner) + " (" + lock + ")");
        }
        if (mine.empty())
            break; // nothing to put in place of a stale lock: go on without one
        // Stale (its process is gone) or unreadable: take it away and retry.
        if (::unlink(lock.c_str()) != 0 && errno != ENOENT)
            break;
    }
    if (!mine.empty())
        ::unlink(mine.c_str());
    // The folder cannot hold our lock: the descriptor lock and TIOCEXCL still
    // keep the device to us.
    return {};
}

void DeviceLock::release()
{
    if (file_.empty())
        return;
    if (LockOwner(file_) == ::getpid())
        ::unlink(file_.c_str());
    file_.clear();
}

} // namespace serial
