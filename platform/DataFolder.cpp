#include "DataFolder.h"

#include "UserFolders.h"

#include <unistd.h>

namespace {

bool UnderUsr(const std::string& folder) { return folder.rfind("/usr/", 0) == 0; }

} // namespace

std::string UserDataFolder()
{
    const std::string data = userfolders::DataHome();
    return data.empty() ? std::string() : data + "/linvaro/";
}

std::string DefaultDataFolder(const std::string& programFolder)
{
    if (!UnderUsr(programFolder) && ::access(programFolder.c_str(), W_OK | X_OK) == 0)
        return programFolder;
    return UserDataFolder();
}
