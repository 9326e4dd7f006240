#include "SupportTestEnv.h"

#include "DynamicLibrary.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace supporttest {

const support::SupportLibraries& libs()
{
    static const auto loaded = [] {
        auto l = std::make_unique<support::SupportLibraries>();
        l->load(ProgramFolder(), [](const std::string& m) { ADD_FAILURE() << m; });
        return l;
    }();
    return *loaded;
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "linvaro-support-XXXXXX").string();
    if (::mkdtemp(pattern.data()))
        path_ = pattern;
    else
        ADD_FAILURE() << "cannot create a temporary folder";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void SupportTest::SetUp()
{
    ASSERT_TRUE(libs().dataAccessLoaded() && libs().generalLoaded() && libs().securityLoaded());
    descriptors_ = openDescriptors();
}

void SupportTest::TearDown() { EXPECT_EQ(openDescriptors(), descriptors_) << "descriptor leaked"; }

} // namespace supporttest
