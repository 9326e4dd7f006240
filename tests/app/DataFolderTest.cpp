// The data folder the program uses without --home: its own folder while it
// may write there, else the user's XDG data folder.
#include "DataFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

// Sets or unsets one variable for the test's lifetime.
class EnvOverride {
public:
    EnvOverride(const char* name, std::optional<std::string> value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~EnvOverride()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

struct TempFolder {
    TempFolder()
    {
        std::string pattern = (fs::temp_directory_path() / "linvaro-datafolder-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
        path += '/';
    }
    ~TempFolder()
    {
        ::chmod(path.c_str(), 0700);
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

} // namespace

TEST(DataFolder, WritableProgramFolderKeepsTheDataBesideTheProgram)
{
    TempFolder program;
    EnvOverride xdg("XDG_DATA_HOME", "/somewhere/else");
    EXPECT_EQ(DefaultDataFolder(program.path), program.path);
}

TEST(DataFolder, PackagedOrUnusableProgramFolderUsesTheUsersDataFolder)
{
    TempFolder data;
    EnvOverride xdg("XDG_DATA_HOME", data.path + "xdg");
    const std::string expected = data.path + "xdg/linvaro/";
    // Under /usr even root, who could write there, leaves the folder to the
    // package manager.
    EXPECT_EQ(DefaultDataFolder("/usr/lib/x86_64-linux-gnu/linvaro/"), expected);
    EXPECT_EQ(DefaultDataFolder("/usr/local/lib/linvaro/"), expected);
    EXPECT_EQ(DefaultDataFolder(data.path + "missing/"), expected);
    if (::geteuid() != 0) {
        TempFolder readOnly;
        ASSERT_EQ(::chmod(readOnly.path.c_str(), 0555), 0);
        EXPECT_EQ(DefaultDataFolder(readOnly.path), expected);
    }
    EXPECT_FALSE(fs::exists(expected)) << "choosing creates nothing";
}

TEST(DataFolder, UserDataFolderLiesInTheXdgDataFolder)
{
    {
        EnvOverride xdg("XDG_DATA_HOME", "/srv/data");
        EXPECT_EQ(UserDataFolder(), "/srv/data/linvaro/");
    }
    // A relative XDG_DATA_HOME is invalid and ignored: the home's default.
    TempFolder home;
    EnvOverride xdg("XDG_DATA_HOME", "relative/data");
    EnvOverride homeVariable("HOME", home.path.substr(0, home.path.size() - 1));
    EXPECT_EQ(UserDataFolder(), home.path + ".local/share/linvaro/");
    EXPECT_EQ(DefaultDataFolder("/usr/lib/linvaro/"), home.path + ".local/share/linvaro/");
}
