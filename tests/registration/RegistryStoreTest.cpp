// The registry store: values, keys, deletion rules, names that would leave
// the root, and component categories.
#include "TempRoots.h"

#include "RegDeRegServer.h"
#include "RegistryStore.h"
#include "UserFolders.h"

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr GUID kClassA = MakeGuid(0x11111111, 0x2222, 0x3333, 0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55);
constexpr GUID kClassB = MakeGuid(0xAAAAAAAA, 0xBBBB, 0xCCCC, 0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE);
constexpr GUID kCatX = MakeGuid(0x63D5F432, 0xCFE4, 0x11D1, 0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB);
constexpr GUID kCatY = MakeGuid(0x63D5F430, 0xCFE4, 0x11D1, 0xB2, 0xC8, 0x00, 0x60, 0x08, 0x3B, 0xA1, 0xFB);

class RegistryStore : public ::testing::Test {
protected:
    TempRoots roots;
};

} // namespace

TEST_F(RegistryStore, RootFollowsTheEnvironment)
{
    EXPECT_EQ(registry::Root(), roots.Registry());
    unsetenv("LINVARO_REGISTRY_ROOT");
    EXPECT_EQ(registry::Root(), roots.Data() + "/linvaro/registry");
    setenv("XDG_DATA_HOME", "relative/path", 1); // not absolute: ignored
    EXPECT_EQ(registry::Root(), std::string(getenv("HOME")) + "/.local/share/linvaro/registry");
}

// Per-user state never lands in a folder other users share: a HOME that is
// unset, relative or shared (/tmp) counts as no home, the password
// database's home of this user is taken instead, and a relative
// XDG_DATA_HOME is ignored. Without any home there is no folder at all.
TEST_F(RegistryStore, RootAndActivationFolderAreNeverShared)
{
    const std::optional<std::string> savedHome = getenv("HOME") ? std::optional<std::string>(getenv("HOME")) : std::nullopt;
    unsetenv("LINVARO_REGISTRY_ROOT");
    setenv("XDG_DATA_HOME", "relative/data", 1);
    const std::string mine = roots.Base() + "/home";
    fs::create_directories(mine);
    setenv("HOME", mine.c_str(), 1);
    EXPECT_EQ(registry::Root(), mine + "/.local/share/linvaro/registry");
    EXPECT_EQ(comserver::ActivationFolder(), mine + "/.local/share/dbus-1/services");
    for (const char* home : {static_cast<const char*>(nullptr), "/tmp", "relative/home", "/nonexistent-home"}) {
        SCOPED_TRACE(home ? home : "<unset>");
        home ? setenv("HOME", home, 1) : unsetenv("HOME");
        const std::string fallback = userfolders::Home();
        EXPECT_NE(fallback, "/tmp");
        EXPECT_FALSE(registry::Root().starts_with("/tmp/")) << registry::Root();
        EXPECT_FALSE(comserver::ActivationFolder().starts_with("/tmp/")) << comserver::ActivationFolder();
        EXPECT_EQ(registry::Root(), fallback.empty() ? "" : fallback + "/.local/share/linvaro/registry");
        EXPECT_EQ(comserver::ActivationFolder(), fallback.empty() ? "" : fallback + "/.local/share/dbus-1/services");
    }
    savedHome ? setenv("HOME", savedHome->c_str(), 1) : unsetenv("HOME");
}

// A value file replaced by a FIFO (or anything but a regular file) reads as
// no value at once: a client resolving a ProgID must never wait on it.
TEST_F(RegistryStore, AValueThatIsNotARegularFileReadsAsNoValueAtOnce)
{
    ASSERT_TRUE(registry::SetDefault("Some.ProgID\\CLSID", GuidToString(kClassA)));
    const std::string value = roots.Registry() + "/Some.ProgID/CLSID/@";
    ASSERT_TRUE(fs::remove(value));
    ASSERT_EQ(mkfifo(value.c_str(), 0644), 0);
    std::atomic<bool> done{false};
    std::optional<std::string> text;
    std::optional<GUID> clsid;
    std::thread reader([&] {
        text = registry::GetDefault("Some.ProgID\\CLSID");
        clsid = registry::ClsidFromProgId("Some.ProgID");
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool answeredAtOnce = done;
    // A reader stuck in the FIFO is set free by a writer that comes and goes.
    for (int i = 0; i < 100 && !done; ++i) {
        if (const int fd = open(value.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
            close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    reader.join();
    EXPECT_TRUE(answeredAtOnce) << "the reader waited on the FIFO";
    EXPECT_EQ(text, "") << "a key without a value";
    EXPECT_EQ(clsid, std::nullopt);
}

TEST_F(RegistryStore, ValuesRoundTripAsPlainFilesOtherProcessesCanRead)
{
    EXPECT_FALSE(registry::KeyExists("A"));
    EXPECT_EQ(registry::GetDefault("A"), std::nullopt);

    ASSERT_TRUE(registry::SetDefault("A\\B\\C", "Grüße \"quoted\"\nsecond line"));
    EXPECT_EQ(registry::GetDefault("A\\B\\C"), "Grüße \"quoted\"\nsecond line");
    EXPECT_EQ(registry::GetDefault("A\\B"), "") << "a parent made on the way has no value";
    ASSERT_TRUE(registry::SetDefault("A\\B\\C", ""));
    EXPECT_EQ(registry::GetDefault("A\\B\\C"), "");
    ASSERT_TRUE(registry::SetDefault("A\\B\\C", "new"));

    std::ifstream file(roots.Registry() + "/A/B/C/@");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "new");
    struct stat st{};
    ASSERT_EQ(stat((roots.Registry() + "/A/B/C/@").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(fs::directory_iterator(roots.Registry() + "/A/B/C")->path().filename(), "@")
        << "no temporary file is left beside the value";

    ASSERT_TRUE(registry::CreateKey("A\\Empty"));
    EXPECT_TRUE(registry::KeyExists("A\\Empty"));
    EXPECT_EQ(registry::GetDefault("A\\Empty"), "");
}

TEST_F(RegistryStore, KeyNamesIgnoreLetterCaseAndKeepTheirFirstSpelling)
{
    ASSERT_TRUE(registry::SetDefault("Linvaro.DA2\\Clsid", "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8}"));
    EXPECT_EQ(registry::GetDefault("LINVARO.da2\\CLSID"), "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8}");
    ASSERT_TRUE(registry::SetDefault("linvaro.DA2\\CLSID", "{11111111-2222-3333-4444-555555555555}"));
    EXPECT_EQ(registry::SubKeys(""), std::vector<std::string>{"Linvaro.DA2"});
    EXPECT_EQ(registry::SubKeys("Linvaro.DA2"), std::vector<std::string>{"Clsid"});
    EXPECT_EQ(registry::ClsidFromProgId("Linvaro.DA2"), kClassA);

    ASSERT_TRUE(registry::SetDefault("CLSID\\" + GuidToString(kClassA) + "\\ProgID", "Linvaro.DA2"));
    EXPECT_EQ(registry::ProgIdFromClsid(kClassA), "Linvaro.DA2");
    EXPECT_EQ(registry::ProgIdFromClsid(kClassB), std::nullopt);
    EXPECT_EQ(registry::ClsidFromProgId("Nobody.Here"), std::nullopt);
    EXPECT_EQ(registry::ClsidFromProgId("CLSID\\" + GuidToString(kClassA)), std::nullopt)
        << "a ProgID is one key name, not a path";
}

TEST_F(RegistryStore, SubKeysAreSortedWithoutRegardToCase)
{
    for (const char* k : {"K\\beta", "K\\Alpha", "K\\gamma", "K\\Delta"})
        ASSERT_TRUE(registry::CreateKey(k));
    ASSERT_TRUE(registry::SetDefault("K", "value"));
    EXPECT_EQ(registry::SubKeys("K"), (std::vector<std::string>{"Alpha", "beta", "Delta", "gamma"}));
    EXPECT_TRUE(registry::SubKeys("Missing").empty());
}

TEST_F(RegistryStore, DeleteRemovesOnlyLeafKeys)
{
    ASSERT_TRUE(registry::SetDefault("P\\Q", "leaf"));
    ASSERT_TRUE(registry::SetDefault("P", "parent"));
    EXPECT_FALSE(registry::DeleteKey("P")) << "a key with subkeys stays";
    EXPECT_EQ(registry::GetDefault("P"), "parent");
    EXPECT_TRUE(registry::DeleteKey("p\\q"));
    EXPECT_FALSE(registry::KeyExists("P\\Q"));
    EXPECT_FALSE(registry::DeleteKey("P\\Q")) << "already gone";
    EXPECT_TRUE(registry::DeleteKey("P"));
    EXPECT_FALSE(registry::DeleteKey("")) << "the root is not a key to delete";
    EXPECT_TRUE(fs::exists(roots.Registry()));

    // A folder holding a file the store did not write is left alone, whole.
    ASSERT_TRUE(registry::SetDefault("R", "kept"));
    std::ofstream(roots.Registry() + "/R/notes.txt") << "someone's";
    EXPECT_FALSE(registry::DeleteKey("R"));
    EXPECT_EQ(registry::GetDefault("R"), "kept");
}

TEST_F(RegistryStore, NamesThatWouldLeaveTheRootAreRefused)
{
    const std::string outside = roots.Base() + "/outside";
    for (const std::string key : {"..", "..\\outside", "A\\..\\..\\outside", "A/../../outside", "/tmp", ".", "A\\.",
                                  "A\\\\B", "\\A", "A\\", "@", "A\\@", "@.tmp"}) {
        SCOPED_TRACE(key);
        EXPECT_FALSE(registry::SetDefault(key, "x"));
        EXPECT_FALSE(registry::CreateKey(key));
        EXPECT_FALSE(registry::KeyExists(key));
        EXPECT_FALSE(registry::DeleteKey(key));
        EXPECT_EQ(registry::GetDefault(key), std::nullopt);
    }
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_FALSE(fs::exists(roots.Registry() + "/A")) << "a refused path makes no parent either";

    // A folder below the root that links elsewhere is not followed.
    fs::create_directories(outside);
    fs::create_directories(roots.Registry());
    fs::create_directory_symlink(outside, roots.Registry() + "/Link");
    EXPECT_FALSE(registry::KeyExists("Link"));
    EXPECT_FALSE(registry::SetDefault("Link\\Inner", "x"));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_TRUE(registry::SubKeys("").empty());
}

TEST_F(RegistryStore, AFailedWriteLeavesTheOldValueAndNoTemporaryFile)
{
    ASSERT_TRUE(registry::CreateKey("Broken"));
    // A damaged store: the value's place is taken by a folder.
    fs::create_directory(roots.Registry() + "/Broken/@");
    EXPECT_FALSE(registry::SetDefault("Broken", "x"));
    int files = 0;
    for (const auto& e : fs::directory_iterator(roots.Registry() + "/Broken"))
        files += e.is_regular_file();
    EXPECT_EQ(files, 0);

    setenv("LINVARO_REGISTRY_ROOT", (roots.File() + "/registry").c_str(), 1);
    EXPECT_FALSE(registry::SetDefault("A", "x"));
    EXPECT_FALSE(registry::KeyExists(""));

    EXPECT_FALSE(registry::WriteFileAtomic(roots.Base() + "/no-such-folder/file", "x"));
    EXPECT_FALSE(fs::exists(roots.Base() + "/no-such-folder"));
}

TEST_F(RegistryStore, CategoriesListTheClassesThatImplementThem)
{
    ASSERT_TRUE(registry::RegisterCategory(kCatX, "OPC Data Access Servers Version 2.0"));
    EXPECT_EQ(registry::GetDefault("Component Categories\\" + GuidToString(kCatX)),
              "OPC Data Access Servers Version 2.0");
    ASSERT_TRUE(registry::RegisterClassImplCategory(kClassB, kCatX));
    ASSERT_TRUE(registry::RegisterClassImplCategory(kClassA, kCatX));
    ASSERT_TRUE(registry::RegisterClassImplCategory(kClassA, kCatY));
    ASSERT_TRUE(registry::RegisterClassImplCategory(kClassA, kCatY)) << "registering twice is harmless";
    ASSERT_TRUE(registry::CreateKey("CLSID\\not-a-guid\\Implemented Categories\\" + GuidToString(kCatX)));

    EXPECT_EQ(registry::ClassesOfCategory(kCatX), (std::vector<CLSID>{kClassA, kClassB}));
    EXPECT_EQ(registry::ClassesOfCategory(kCatY), std::vector<CLSID>{kClassA});

    EXPECT_TRUE(registry::UnRegisterClassImplCategory(kClassA, kCatX));
    EXPECT_EQ(registry::ClassesOfCategory(kCatX), std::vector<CLSID>{kClassB});
    EXPECT_EQ(registry::ClassesOfCategory(kCatY), std::vector<CLSID>{kClassA}) << "other memberships stay";
    EXPECT_TRUE(registry::UnRegisterClassImplCategory(kClassA, kCatY));
    EXPECT_FALSE(registry::KeyExists("CLSID\\" + GuidToString(kClassA) + "\\Implemented Categories"))
        << "the emptied list goes";
    EXPECT_TRUE(registry::KeyExists("CLSID\\" + GuidToString(kClassA))) << "the class key stays";
    EXPECT_TRUE(registry::UnRegisterClassImplCategory(kClassA, kCatY)) << "not a member: nothing to do";
}
