#include "UserFolders.h"

#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

namespace userfolders {

namespace {

std::string AbsoluteVariable(const char* name)
{
    const char* v = std::getenv(name);
    return v && v[0] == '/' ? std::string(v) : std::string();
}

// A home folder is usable when it is this user's and no one else writes in
// it (HOME=/tmp must never make per-user files shared).
bool UsableHome(const std::string& path)
{
    struct stat st{};
    return !path.empty() && path[0] == '/' && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == getuid() && (st.st_mode & S_IWOTH) == 0;
}

std::string PasswordDatabaseHome()
{
    struct passwd pw{};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir)
        return pw.pw_dir;
    return {};
}

std::string BaseFolder(const char* variable, const char* belowHome)
{
    if (std::string v = AbsoluteVariable(variable); !v.empty())
        return v;
    const std::string home = Home();
    return home.empty() ? std::string() : home + belowHome;
}

} // namespace

std::string Home()
{
    if (const std::string env = AbsoluteVariable("HOME"); UsableHome(env))
        return env;
    if (const std::string db = PasswordDatabaseHome(); UsableHome(db))
        return db;
    return {};
}

std::string DataHome() { return BaseFolder("XDG_DATA_HOME", "/.local/share"); }
std::string ConfigHome() { return BaseFolder("XDG_CONFIG_HOME", "/.config"); }
std::string StateHome() { return BaseFolder("XDG_STATE_HOME", "/.local/state"); }

bool SettleEnvironment(std::string& error)
{
    const std::pair<const char*, std::string> folders[] = {
        {"XDG_DATA_HOME", DataHome()}, {"XDG_CONFIG_HOME", ConfigHome()}, {"XDG_STATE_HOME", StateHome()}};
    for (const auto& [name, path] : folders)
        if (path.empty()) {
            error = std::string("no usable home folder for this user's files: HOME is not an absolute path to a "
                                "folder of this user that others cannot write, the password database names none, "
                                "and ") + name + " is not an absolute path";
            return false;
        }
    for (const auto& [name, path] : folders)
        setenv(name, path.c_str(), 1);
    return true;
}

bool IsPrivateFolder(const std::string& path)
{
    struct stat st{};
    return !path.empty() && path[0] == '/' && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == getuid() && (st.st_mode & 077) == 0;
}

std::vector<std::string> RuntimeFolders(bool createFallback)
{
    const std::string system = "/run/user/" + std::to_string(getuid());
    const std::string fallback = "/tmp/linvaro-" + std::to_string(getuid());
    std::string variable = AbsoluteVariable("XDG_RUNTIME_DIR");
    while (variable.size() > 1 && variable.back() == '/')
        variable.pop_back();
    const bool systemOk = IsPrivateFolder(system);
    const bool variableOk = variable != system && variable != fallback && IsPrivateFolder(variable);
    // Without the system's folder the replacement is the one place every
    // environment of the user finds (the variable may be set in one and not
    // in another).
    if (createFallback && !systemOk) {
        if (mkdir(fallback.c_str(), 0700) != 0 && errno != EEXIST)
            return {};
        if (!IsPrivateFolder(fallback))
            return {}; // someone else's folder in its place
    }
    std::vector<std::string> folders;
    if (systemOk)
        folders.push_back(system);
    if (IsPrivateFolder(fallback))
        folders.push_back(fallback);
    if (variableOk)
        folders.push_back(variable);
    return folders;
}

} // namespace userfolders
