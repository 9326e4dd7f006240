// General support library: INI settings, the log file and message boxes.
//
// A relative INI or log file name is taken relative to the program folder
// (the folder of the running program file), as a bare name on Windows lands
// in a fixed folder rather than in whatever the current directory is.
// Nothing here throws or crashes on bad files: an unreadable or garbled INI
// file reads as missing keys, and a failed write leaves the old file whole.
#include "IniFile.h"
#include "LogText.h"
#include "qbGnHeader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#define QB_EXPORT __attribute__((visibility("default")))

namespace {

// Larger INI files are refused rather than read into memory.
constexpr off_t kMaxIniSize = 16 * 1024 * 1024;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void adopt(int fd)
    {
        reset();
        fd_ = fd;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded (write-back errors
    // of some file systems appear only here).
    bool reset()
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

int openRetry(const char* path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const std::string& data)
{
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string programFolder()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return "./";
    std::string path(buf, static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string resolve(const char* name)
{
    if (name[0] == '/')
        return name;
    return programFolder() + name;
}

std::string parentOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// ---------------------------------------------------------------- INI files

std::mutex g_iniLock;

struct IniContent {
    bool exists = false;
    mode_t mode = 0;
    std::string text;
};

// The whole file; nullopt when it exists but cannot be read, with the reason
// in *why (a missing file reads as empty, so that writing creates it).
std::optional<IniContent> readIni(const std::string& path, std::string* why = nullptr)
{
    const auto fail = [&](const std::string& reason) -> std::optional<IniContent> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    IniContent content;
    Fd fd(openRetry(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return content;
        return fail(std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return fail("not a regular file");
    if (st.st_size > kMaxIniSize)
        return fail("larger than 16 MiB");
    content.exists = true;
    content.mode = st.st_mode & 07777;
    char buf[8192];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(std::strerror(errno));
        if (n == 0)
            break;
        content.text.append(buf, static_cast<size_t>(n));
        if (content.text.size() > static_cast<size_t>(kMaxIniSize))
            return fail("larger than 16 MiB");
    }
    return content;
}

// Removes the temporary file unless the rename took it over.
struct TempFileGuard {
    std::string path;
    bool keep = false;
    ~TempFileGuard()
    {
        if (!keep && !path.empty())
            ::unlink(path.c_str());
    }
};

// Replaces path by a file holding text: written to a temporary file in the
// same folder, flushed to disk, then renamed over the original, so a reader
// or a crash sees either the old or the new file.
bool replaceFile(const std::string& path, const std::string& text, std::optional<mode_t> mode, std::string* why = nullptr)
{
    struct ErrnoReport {
        std::string* why;
        bool done = false;
        ~ErrnoReport()
        {
            if (!done && why && why->empty())
                *why = std::strerror(errno ? errno : EIO);
        }
    } report {why};
    static unsigned counter = 0;
    const std::string folder = parentOf(path);
    const std::string base = path.substr(path.rfind('/') + 1);
    TempFileGuard temp;
    Fd fd;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        temp.path = folder + "/." + base + "." + std::to_string(::getpid()) + "." + std::to_string(++counter) + ".tmp";
        fd.adopt(openRetry(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, 0666));
        if (!fd.valid() && errno != EEXIST) {
            temp.path.clear();
            return false;
        }
    }
    if (!fd.valid()) {
        temp.path.clear();
        return false;
    }
    if (mode && ::fchmod(fd.get(), *mode) != 0)
        return false;
    if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 || !fd.reset())
        return false;
    if (::rename(temp.path.c_str(), path.c_str()) != 0)
        return false;
    temp.keep = true;
    report.done = true;
    // Make the rename itself durable; the file is already complete.
    Fd dir(openRetry(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.valid())
        ::fsync(dir.get());
    return true;
}

// Where an existing file is really replaced: through symbolic links to
// their final target, so that a linked INI stays linked and the new text
// is written (and renamed into place) in the target's own folder.
std::string replacementTarget(const std::string& path)
{
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) ? std::string(real) : path;
}

void setIni(const char* section, const char* key, const char* value, const char* iniFile)
{
    if (!section || !key || !iniFile || !*iniFile)
        return;
    if (!value)
        value = "";
    if (!ini::writable(section, key, value))
        return;
    std::lock_guard<std::mutex> guard(g_iniLock);
    std::string path = resolve(iniFile);
    const auto old = readIni(path);
    if (!old)
        return; // never overwrite a file that could not be read
    const std::string text = ini::update(old->text, section, key, value);
    if (old->exists && text == old->text)
        return;
    if (old->exists)
        path = replacementTarget(path);
    replaceFile(path, text, old->exists ? std::optional<mode_t>(old->mode) : std::nullopt);
}

// Sets every key in one replacement of the file; "" on success, else why not.
std::string setIniKeys(const char* iniFile, const char* const* sections, const char* const* keys,
                       const char* const* values, int count)
{
    if (!iniFile || !*iniFile || count < 0 || (count > 0 && (!sections || !keys || !values)))
        return "no file name";
    std::lock_guard<std::mutex> guard(g_iniLock);
    std::string path = resolve(iniFile);
    std::string why;
    const auto old = readIni(path, &why);
    if (!old)
        return path + ": " + why;
    std::string text = old->text;
    for (int i = 0; i < count; ++i) {
        const char* value = values[i] ? values[i] : "";
        if (!sections[i] || !keys[i] || !ini::writable(sections[i], keys[i], value))
            return std::string("the key \"") + (keys[i] ? keys[i] : "") + "\" cannot be written";
        text = ini::update(text, sections[i], keys[i], value);
        if (text.size() > static_cast<size_t>(kMaxIniSize))
            return path + ": would be larger than 16 MiB";
    }
    if (old->exists && text == old->text)
        return {};
    if (old->exists)
        path = replacementTarget(path);
    if (!replaceFile(path, text, old->exists ? std::optional<mode_t>(old->mode) : std::nullopt, &why))
        return path + ": " + why;
    return {};
}

// Paths whose unreadable state was already told on standard error.
std::vector<std::string> g_reportedIni;

std::optional<std::string> getIni(const char* section, const char* key, const char* iniFile)
{
    if (!section || !key || !iniFile || !*iniFile || !*section || !*key)
        return std::nullopt;
    std::lock_guard<std::mutex> guard(g_iniLock);
    const std::string path = resolve(iniFile);
    std::string why;
    const auto content = readIni(path, &why);
    if (!content) {
        // Told once per file, however many keys are read from it.
        if (std::find(g_reportedIni.begin(), g_reportedIni.end(), path) == g_reportedIni.end()) {
            g_reportedIni.push_back(path);
            writeAll(STDERR_FILENO, "linvaro: the settings file " + path + " cannot be read (" + why +
                                        "); its settings take their defaults\n");
        }
        return std::nullopt;
    }
    return ini::lookup(content->text, section, key);
}

// Integer text with optional blanks around and an optional sign.
std::optional<bool> parseBool(const std::string& text)
{
    size_t i = 0;
    const auto blank = [&](size_t k) { return k < text.size() && (text[k] == ' ' || text[k] == '\t'); };
    while (blank(i))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    bool digits = false, nonZero = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        digits = true;
        nonZero = nonZero || text[i] != '0';
        ++i;
    }
    while (blank(i))
        ++i;
    if (!digits || i != text.size())
        return std::nullopt;
    return nonZero;
}

// ---------------------------------------------------------------- log file

std::mutex g_logLock;
constexpr long long kDefaultLogSize = 10LL * 1024 * 1024;
constexpr int kKeptLogs = 5;

// Creates the missing folders of path, like mkdir -p; failures show later
// when the file cannot be opened.
void makeFolders(const std::string& folder)
{
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos == folder.size() || folder[pos] == '/')
            ::mkdir(folder.substr(0, pos).c_str(), 0777);
    }
}

// Opens a log file for appending: never through a symbolic link (another
// user could point it at any file this program may write). O_APPEND puts
// each line at the end even when another process writes the same file;
// O_NONBLOCK keeps a FIFO from hanging us.
bool openLog(const std::string& path, Fd& fd, std::string& refused)
{
    fd.adopt(openRetry(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW, 0666));
    if (fd.valid())
        return true;
    refused = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    return false;
}

// Linvaro.log.4 -> .5, ... Linvaro.log -> .1; the oldest is dropped.
void rotate(const std::string& path)
{
    for (int i = kKeptLogs - 1; i >= 1; --i)
        ::rename((path + "." + std::to_string(i)).c_str(), (path + "." + std::to_string(i + 1)).c_str());
    ::rename(path.c_str(), (path + ".1").c_str());
}

std::vector<std::string> g_reportedLogs;

// A log that cannot be written is told once per file on standard error
// (it cannot be told in itself).
void reportLogOnce(const std::string& path, const std::string& why)
{
    if (std::find(g_reportedLogs.begin(), g_reportedLogs.end(), path) != g_reportedLogs.end())
        return;
    g_reportedLogs.push_back(path);
    writeAll(STDERR_FILENO, logtext::EscapeControls("linvaro: the log file " + path + " is not written: " + why) + "\n");
}

std::string timeStamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    char buf[32] = {};
    if (::localtime_r(&now, &local))
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &local);
    return buf;
}

// ---------------------------------------------------------------- messages

std::mutex g_handlerLock;
QbMsgHandler g_handler = nullptr;
void* g_handlerContext = nullptr;

const char* kindName(int kind)
{
    switch (kind) {
    case QB_MSG_WARNING: return "Warning";
    case QB_MSG_ERROR: return "Error";
    case QB_MSG_CONFIRMATION: return "Confirmation";
    default: return "Information";
    }
}

// A box's text for a terminal: its line breaks (CR, as the texts use them,
// LF or CR LF) start new lines indented under the first, and every other
// control character is shown as an escape, so no character of the text
// moves the cursor back over what was printed.
std::string terminalText(const char* text)
{
    std::string out;
    for (const char* p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\r' || c == '\n') {
            if (c == '\r' && p[1] == '\n')
                ++p;
            out += "\n  ";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

extern "C" {

QB_EXPORT const char* GetInitSettingStr(const char* section, const char* key, const char* iniFile,
                                        const char* defaultText)
{
    thread_local std::string result;
    try {
        const auto value = getIni(section, key, iniFile);
        result = value ? *value : std::string(defaultText ? defaultText : "");
    } catch (...) {
        result.clear();
    }
    return result.c_str();
}

QB_EXPORT bool GetInitSettingBool(const char* section, const char* key, const char* iniFile, bool defaultValue)
{
    try {
        const auto value = getIni(section, key, iniFile);
        if (!value)
            return defaultValue;
        return parseBool(*value).value_or(defaultValue);
    } catch (...) {
        return defaultValue;
    }
}

QB_EXPORT void SetInitSettingStr(const char* section, const char* key, const char* value, const char* iniFile)
{
    try {
        setIni(section, key, value, iniFile);
    } catch (...) {
    }
}

QB_EXPORT void SetInitSettingBool(const char* section, const char* key, bool value, const char* iniFile)
{
    SetInitSettingStr(section, key, value ? "1" : "0", iniFile);
}

QB_EXPORT const char* WriteInitSettings(const char* iniFile, const char* const* sections, const char* const* keys,
                                        const char* const* values, int count)
{
    thread_local std::string result;
    try {
        result = setIniKeys(iniFile, sections, keys, values, count);
    } catch (...) {
        result = "out of memory";
    }
    return result.c_str();
}

QB_EXPORT const char* IniFileProblem(const char* iniFile)
{
    thread_local std::string result;
    result.clear();
    if (!iniFile || !*iniFile)
        return result.c_str();
    try {
        std::lock_guard<std::mutex> guard(g_iniLock);
        const std::string path = resolve(iniFile);
        std::string why;
        if (!readIni(path, &why))
            result = path + ": " + why;
    } catch (...) {
        result = "out of memory";
    }
    return result.c_str();
}

QB_EXPORT void AddLogEx(const char* message, const char* logFile, long long maxBytes)
{
    if (!logFile || !*logFile)
        return;
    try {
        // One message, one line, whatever it holds.
        const std::string line = timeStamp() + logtext::LogLine(message ? message : "") + "\n";
        const std::string path = resolve(logFile);
        std::lock_guard<std::mutex> guard(g_logLock);
        makeFolders(parentOf(path));
        Fd fd;
        std::string refused;
        if (!openLog(path, fd, refused)) {
            reportLogOnce(path, refused);
            return;
        }
        struct stat st {};
        if (maxBytes > 0 && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            st.st_size + static_cast<off_t>(line.size()) > maxBytes) {
            fd.reset();
            rotate(path);
            if (!openLog(path, fd, refused)) {
                reportLogOnce(path, refused);
                return;
            }
        }
        writeAll(fd.get(), line); // a full or read-only disk loses the line
    } catch (...) {
    }
}

QB_EXPORT void AddLog(const char* message, const char* logFile) { AddLogEx(message, logFile, kDefaultLogSize); }

QB_EXPORT void SetMsgHandler(QbMsgHandler handler, void* context)
{
    std::lock_guard<std::mutex> guard(g_handlerLock);
    g_handler = handler;
    g_handlerContext = context;
}

QB_EXPORT int ShowMsg(const char* text, int kind, int buttons, int /*reserved*/)
{
    if (!text)
        text = "";
    QbMsgHandler handler;
    void* context;
    {
        std::lock_guard<std::mutex> guard(g_handlerLock);
        handler = g_handler;
        context = g_handlerContext;
    }
    // Called outside the lock: a modal box may run for minutes and may
    // itself show another box.
    if (handler)
        return handler(text, kind, buttons, context);
    try {
        const std::string line = std::string("Linvaro ") + kindName(kind) + ": " + terminalText(text) + "\n";
        writeAll(STDERR_FILENO, line);
    } catch (...) {
    }
    if (buttons & QB_BTN_OK)
        return QB_ID_OK;
    if (buttons & QB_BTN_NO)
        return QB_ID_NO;
    return QB_ID_CANCEL;
}

} // extern "C"
