#include "Autostart.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr const char* kEntryName = "linvaro.desktop";

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    bool close()
    {
        if (fd_ < 0)
            return true;
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }
private:
    int fd_;
};

// Removes the temporary file unless it was renamed into place.
struct TempFile {
    std::string path;
    bool kept = false;
    ~TempFile()
    {
        if (!kept && !path.empty())
            ::unlink(path.c_str());
    }
};

std::string configHome()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return xdg;
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.config";
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir &&
        pw.pw_dir[0] == '/')
        return std::string(pw.pw_dir) + "/.config";
    return "";
}

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

std::string systemError(const std::string& what, const std::string& path)
{
    return what + " \"" + path + "\": " + std::strerror(errno);
}

bool makeFolders(const std::string& folder, std::string& error)
{
    for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos != folder.size() && folder[pos] != '/')
            continue;
        const std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = systemError("Cannot create the folder", part);
            return false;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        error = systemError("Cannot create the folder", folder);
        return false;
    }
    return true;
}

bool writeAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeEntry(const std::string& path, const std::string& text, std::string& error)
{
    const std::string folder = folderOf(path);
    if (!makeFolders(folder, error))
        return false;
    TempFile temp;
    temp.path = path + "." + std::to_string(::getpid()) + ".tmp";
    ::unlink(temp.path.c_str()); // left over by a crash of an earlier process with this pid
    Fd fd(::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd.valid()) {
        error = systemError("Cannot write", temp.path);
        temp.path.clear(); // not ours to remove
        return false;
    }
    if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 || !fd.close()) {
        error = systemError("Cannot write", temp.path);
        return false;
    }
    if (::rename(temp.path.c_str(), path.c_str()) != 0) {
        error = systemError("Cannot replace", path);
        return false;
    }
    temp.kept = true;
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        ::fsync(dir.get());
    return true;
}

} // namespace

std::string AutostartFilePath()
{
    const std::string home = configHome();
    return home.empty() ? std::string() : home + "/autostart/" + kEntryName;
}

std::string DesktopExecArgument(const std::string& programPath)
{
    // Quoting rule of the Exec key: inside double quotes, '"', '`', '$' and
    // '\' take a backslash; '%' is doubled (field codes). Then the general
    // escape rule of string values applies on top: '\' becomes "\\" and
    // control characters their escapes.
    std::string quoted = "\"";
    for (const char c : programPath) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    std::string value;
    for (const char c : quoted) {
        switch (c) {
        case '\\': value += "\\\\"; break;
        case '\n': value += "\\n"; break;
        case '\t': value += "\\t"; break;
        case '\r': value += "\\r"; break;
        default: value += c;
        }
    }
    return value;
}

bool SetAutostart(bool enabled, const AutostartCommand& command, std::string& error)
{
    const std::string& programPath = command.programPath;
    error.clear();
    const std::string path = AutostartFilePath();
    if (path.empty()) {
        error = "No home folder is known for the autostart entry.";
        return false;
    }
    if (!enabled) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            error = systemError("Cannot remove", path);
            return false;
        }
        return true;
    }
    if (programPath.empty() || programPath[0] != '/') {
        error = "The program path \"" + programPath + "\" of the autostart entry is not absolute.";
        return false;
    }
    std::string exec = DesktopExecArgument(programPath);
    for (const std::string& argument : command.arguments)
        exec += " " + DesktopExecArgument(argument);
    const std::string text = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Quorbel Linvaro\n"
                             "Exec=" + exec + "\n"
                             "X-GNOME-Autostart-enabled=true\n";
    return writeEntry(path, text, error);
}

bool AutostartEnabled()
{
    const std::string path = AutostartFilePath();
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}
