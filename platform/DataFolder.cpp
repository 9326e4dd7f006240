#include "DataFolder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

std::string HomeFolder()
{
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && pw.pw_dir &&
        pw.pw_dir[0] == '/')
        return pw.pw_dir;
    return {};
}

bool UnderUsr(const std::string& folder) { return folder.rfind("/usr/", 0) == 0; }

} // namespace

std::string UserDataFolder()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
        return std::string(xdg) + "/linvaro/";
    const std::string home = HomeFolder();
    if (home.empty())
        return {};
    return home + (home.back() == '/' ? "" : "/") + ".local/share/linvaro/";
}

std::string DefaultDataFolder(const std::string& programFolder)
{
    if (!UnderUsr(programFolder) && ::access(programFolder.c_str(), W_OK | X_OK) == 0)
        return programFolder;
    return UserDataFolder();
}
