#include "RegistryStore.h"

#include "UserFolders.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace registry {

namespace {

constexpr const char* kValueFile = "@";
// Values are short texts (paths, class IDs, descriptions); a larger file is
// read up to this size.
constexpr std::size_t kMaxValueSize = 64 * 1024;

bool ValidName(std::string_view n)
{
    if (n.empty() || n == "." || n == ".." || n.front() == '@' || n.size() > 255)
        return false;
    return n.find('/') == std::string_view::npos && n.find('\0') == std::string_view::npos;
}

// The parts of a key path; empty for the root; nullopt when a part is refused.
std::optional<std::vector<std::string>> Split(const std::string& key)
{
    std::vector<std::string> parts;
    if (key.empty())
        return parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t sep = key.find('\\', start);
        std::string part = key.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (!ValidName(part))
            return std::nullopt;
        parts.push_back(std::move(part));
        if (sep == std::string::npos)
            return parts;
        start = sep + 1;
    }
}

bool LowerEqual(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + 32);
        if (x != y)
            return false;
    }
    return true;
}

bool LowerLess(const std::string& a, const std::string& b)
{
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        int x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x += 32;
        if (y >= 'A' && y <= 'Z')
            y += 32;
        if (x != y)
            return x < y;
    }
    return a.size() < b.size() || (a.size() == b.size() && a < b);
}

// A real folder (a symbolic link does not count).
bool IsFolder(const std::string& path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Names of the entries of a folder.
std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..")
            names.emplace_back(n);
    }
    closedir(d);
    return names;
}

// The subfolder of dir that is the key name, found without regard to case
// (the exact spelling first).
std::optional<std::string> FindSubkey(const std::string& dir, const std::string& name)
{
    if (IsFolder(dir + "/" + name))
        return name;
    for (const std::string& entry : Entries(dir))
        if (LowerEqual(entry, name) && IsFolder(dir + "/" + entry))
            return entry;
    return std::nullopt;
}

bool MakeFolders(const std::string& path)
{
    if (IsFolder(path))
        return true;
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash)))
        return false;
    return mkdir(path.c_str(), 0755) == 0 || (errno == EEXIST && IsFolder(path));
}

// The folder of key. With create, missing keys are made and the folders made
// are recorded (outermost first) so that a failure can take them back.
std::optional<std::string> KeyFolder(const std::string& key, bool create, std::vector<std::string>* made = nullptr)
{
    const auto parts = Split(key);
    if (!parts)
        return std::nullopt;
    std::string path = Root();
    if (path.empty()) // no per-user folder for the store
        return std::nullopt;
    if (create ? !MakeFolders(path) : !IsFolder(path))
        return std::nullopt;
    for (const std::string& part : *parts) {
        if (auto found = FindSubkey(path, part)) {
            path += "/" + *found;
            continue;
        }
        if (!create)
            return std::nullopt;
        const std::string next = path + "/" + part;
        if (mkdir(next.c_str(), 0755) != 0) {
            if (errno != EEXIST || !IsFolder(next))
                return std::nullopt;
        } else if (made) {
            made->push_back(next);
        }
        path = next;
    }
    return path;
}

void TakeBack(const std::vector<std::string>& made)
{
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        rmdir(it->c_str());
}

bool IsTemporaryOfValue(std::string_view name) { return name.starts_with(".@.tmp"); }

std::string CategoryKey(REFGUID catid) { return "Component Categories\\" + GuidToString(catid); }
std::string ImplKey(REFCLSID clsid, REFGUID catid)
{
    return "CLSID\\" + GuidToString(clsid) + "\\Implemented Categories\\" + GuidToString(catid);
}

} // namespace

std::string Root()
{
    if (const char* r = std::getenv("LINVARO_REGISTRY_ROOT"); r && *r)
        return r;
    const std::string data = userfolders::DataHome();
    return data.empty() ? std::string() : data + "/linvaro/registry";
}

bool WriteFileAtomic(const std::string& path, const std::string& content)
{
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "/." + base + ".tmpXXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0644) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok)
        unlink(temp.c_str());
    return ok;
}

bool SetDefault(const std::string& key, const std::string& value)
{
    if (key.empty())
        return false;
    std::vector<std::string> made;
    const auto folder = KeyFolder(key, true, &made);
    if (!folder)
        return false;
    if (!WriteFileAtomic(*folder + "/" + kValueFile, value)) {
        TakeBack(made);
        return false;
    }
    return true;
}

std::optional<std::string> GetDefault(const std::string& key)
{
    const auto folder = KeyFolder(key, false);
    if (!folder)
        return std::nullopt;
    // Only a regular file is a value: a FIFO or a device put there would
    // block the reader (a client resolving a ProgID, the remote tag thread)
    // for good, so the open never waits and anything else reads as no value.
    std::string value;
    const int fd = open((*folder + "/" + kValueFile).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return value;
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return value;
    }
    char buf[4096];
    while (value.size() < kMaxValueSize) {
        const ssize_t n = read(fd, buf, std::min(sizeof buf, kMaxValueSize - value.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        value.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return value;
}

bool KeyExists(const std::string& key) { return KeyFolder(key, false).has_value(); }

bool CreateKey(const std::string& key) { return !key.empty() && KeyFolder(key, true).has_value(); }

bool DeleteKey(const std::string& key)
{
    if (key.empty())
        return false;
    const auto folder = KeyFolder(key, false);
    if (!folder)
        return false;
    // Refuse a key with subkeys, and one holding files the store did not
    // write, before anything is removed.
    const std::vector<std::string> entries = Entries(*folder);
    for (const std::string& e : entries)
        if (e != kValueFile && !IsTemporaryOfValue(e))
            return false;
    for (const std::string& e : entries)
        unlink((*folder + "/" + e).c_str());
    return rmdir(folder->c_str()) == 0;
}

std::vector<std::string> SubKeys(const std::string& key)
{
    std::vector<std::string> names;
    const auto folder = KeyFolder(key, false);
    if (!folder)
        return names;
    for (const std::string& e : Entries(*folder))
        if (ValidName(e) && IsFolder(*folder + "/" + e))
            names.push_back(e);
    std::sort(names.begin(), names.end(), LowerLess);
    return names;
}

std::optional<GUID> ClsidFromProgId(const std::string& progId)
{
    if (progId.find('\\') != std::string::npos)
        return std::nullopt;
    const auto text = GetDefault(progId + "\\CLSID");
    if (!text)
        return std::nullopt;
    return GuidFromString(*text);
}

std::optional<std::string> ProgIdFromClsid(REFCLSID clsid)
{
    auto progId = GetDefault("CLSID\\" + GuidToString(clsid) + "\\ProgID");
    if (progId && progId->empty())
        return std::nullopt;
    return progId;
}

bool RegisterCategory(REFGUID catid, const std::string& description)
{
    return SetDefault(CategoryKey(catid), description);
}

bool RegisterClassImplCategory(REFCLSID clsid, REFGUID catid) { return CreateKey(ImplKey(clsid, catid)); }

bool UnRegisterClassImplCategory(REFCLSID clsid, REFGUID catid)
{
    const std::string key = ImplKey(clsid, catid);
    DeleteKey(key);
    // The list of categories goes with its last entry.
    const std::string list = "CLSID\\" + GuidToString(clsid) + "\\Implemented Categories";
    if (KeyExists(list) && SubKeys(list).empty() && GetDefault(list).value_or("").empty())
        DeleteKey(list);
    return !KeyExists(key);
}

std::vector<CLSID> ClassesOfCategory(REFGUID catid)
{
    std::vector<CLSID> classes;
    const std::string category = GuidToString(catid);
    for (const std::string& name : SubKeys("CLSID")) {
        if (name.size() != 38 || name.front() != '{')
            continue;
        const auto clsid = GuidFromString(name);
        if (clsid && KeyExists("CLSID\\" + name + "\\Implemented Categories\\" + category))
            classes.push_back(*clsid);
    }
    return classes;
}

} // namespace registry
