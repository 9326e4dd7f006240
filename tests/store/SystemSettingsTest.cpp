#include "Autostart.h"
#include "ScopedEnv.h"
#include "SupportTestEnv.h"
#include "SystemSettings.h"

#include <sodium.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

using namespace supporttest;

namespace {

class Settings : public SupportTest {
protected:
    void SetUp() override
    {
        ASSERT_GE(sodium_init(), 0); // may keep a descriptor from here on
        SupportTest::SetUp();
        if (HasFatalFailure())
            return;
        config.emplace("XDG_CONFIG_HOME", dir.file("config").c_str());
        home.emplace("HOME", dir.file("home").c_str());
    }
    void TearDown() override
    {
        config.reset();
        home.reset();
        SupportTest::TearDown();
    }
    SystemSettings read()
    {
        SystemSettings s;
        ReadSystemSettings(libs().gn, libs().sc, ini, s);
        return s;
    }
    bool write(const SystemSettings& s) { return WriteSystemSettings(libs().gn, libs().sc, ini, s, program, error); }
    std::vector<std::string> autostartFolder() const
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("config/autostart")))
            names.push_back(e.path().filename().string());
        return names;
    }

    std::optional<ScopedEnv> config, home;
    const std::string ini = dir.file("Linvaro.ini");
    const std::string program = "/opt/linvaro/linvaro";
    std::string error;
};

auto fields(const SystemSettings& s)
{
    return std::tie(s.tagResponseTimeout, s.portResponseTimeout, s.loadOnWindowsStartup, s.logEvent,
                    s.hideOnStartup, s.enableRemoteOpcServer, s.remoteOpcServer, s.protectSettings, s.password);
}

TEST_F(Settings, FirstStartWithoutIniGivesTheDefaults)
{
    SystemSettings s;
    EXPECT_EQ(s.tagResponseTimeout, 5);
    ReadSystemSettings(libs().gn, libs().sc, ini, s);
    SystemSettings expected;
    expected.tagResponseTimeout = 0;
    EXPECT_EQ(fields(s), fields(expected));
    EXPECT_FALSE(std::filesystem::exists(ini));
}

struct TimeoutCase {
    const char* text;
    int tag, port; // expected, after 42 and 1234
};

void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class TimeoutText : public Settings, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(TimeoutText, OnlyADecimalIntegerReplacesThePreviousValue)
{
    writeFile(ini, std::string("[System]\nTag Response Timeout=") + GetParam().text +
                       "\nPort Response Timeout=" + GetParam().text + "\n");
    SystemSettings s;
    s.tagResponseTimeout = 42;
    s.portResponseTimeout = 1234;
    ReadSystemSettings(libs().gn, libs().sc, ini, s);
    EXPECT_EQ(s.tagResponseTimeout, GetParam().tag);
    EXPECT_EQ(s.portResponseTimeout, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(Texts, TimeoutText,
                         ::testing::Values(TimeoutCase {"abc", 42, 1234}, TimeoutCase {"", 42, 1234},
                                           TimeoutCase {"12x", 42, 1234}, TimeoutCase {"1e3", 42, 1234},
                                           TimeoutCase {"99999999999", 42, 1234}, TimeoutCase {"7", 7, 7},
                                           TimeoutCase {"0", 0, 0}, TimeoutCase {"-5", 0, 0},
                                           TimeoutCase {"1000", 999, 1000}, TimeoutCase {"123456", 999, 99999}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST_F(Settings, EveryKeyRoundTripsUnderItsOwnNameWithThePasswordEncrypted)
{
    // Neighbouring booleans differ in each, so two swapped keys would show.
    const SystemSettings variants[] = {
        {17, 2500, true, false, true, false, "Vendor.Server.1", true, "s3cr=t \"x\""},
        {0, 0, false, true, false, true, "", false, "kept while off"},
    };
    for (const SystemSettings& s : variants) {
        ASSERT_TRUE(write(s)) << error;
        EXPECT_EQ(fields(read()), fields(s));
        EXPECT_EQ(AutostartEnabled(), s.loadOnWindowsStartup);
        const std::string text = readFile(ini);
        EXPECT_EQ(text.find(s.password), std::string::npos) << text;
        const auto security = text.find("[Security]");
        ASSERT_NE(security, std::string::npos);
        const auto at = [&](const std::string& line) { return text.find("\n" + line + "\n"); };
        const std::string flag[] = {"0", "1"};
        for (const std::string& line : {"Tag Response Timeout=" + std::to_string(s.tagResponseTimeout),
                                        "Port Response Timeout=" + std::to_string(s.portResponseTimeout),
                                        "Load on Windows startup=" + flag[s.loadOnWindowsStartup],
                                        "Log Event=" + flag[s.logEvent], "Load on Startup=" + flag[s.hideOnStartup],
                                        "Enable Remote OPC Server=" + flag[s.enableRemoteOpcServer],
                                        "Remote OPC Server=" + s.remoteOpcServer})
            EXPECT_LT(at(line), security) << line << " in\n" << text;
        EXPECT_GT(at("Protect Settings=" + flag[s.protectSettings]), security) << text;
        EXPECT_GT(text.find("\nPassword="), security) << text;
    }
}

TEST_F(Settings, PasswordThatCannotBeEncryptedKeepsItsStoredValueAndIsReported)
{
    const SystemSettings before {5, 5000, false, false, false, false, "Old.Server", true, "old"};
    ASSERT_TRUE(write(before)) << error;
    const std::string storedBefore = readFile(ini);
    const std::string password = storedBefore.substr(storedBefore.find("Password="));

    // The key folder (and the autostart folder) now lie below a plain file.
    writeFile(dir.file("blocked"), "");
    ScopedEnv blocked("XDG_CONFIG_HOME", dir.file("blocked/config").c_str());
    SystemSettings after = before;
    after.password = "new";
    after.remoteOpcServer = "New.Server";
    EXPECT_FALSE(write(after));
    EXPECT_NE(error.find("password"), std::string::npos) << error;
    const std::string text = readFile(ini);
    EXPECT_NE(text.find(password), std::string::npos) << text;
    EXPECT_NE(text.find("Remote OPC Server=New.Server"), std::string::npos) << text;
}

TEST_F(Settings, FileIsReplacedWholeAndACopyLeftByAKilledSaveIsNotTakenOver)
{
    const SystemSettings before {5, 5000, false, false, false, false, "Old.Server", false, ""};
    ASSERT_TRUE(write(before)) << error;
    // What a save killed half-way leaves beside the file.
    writeFile(ini + ".saving", "[System]\nTag Response Timeout=99\nRemote OPC Server=Half.Written\n");
    SystemSettings after = before;
    after.portResponseTimeout = 7000;
    ASSERT_TRUE(write(after)) << error;
    EXPECT_EQ(fields(read()), fields(after));
    EXPECT_EQ(readFile(ini).find("Half.Written"), std::string::npos);
}

TEST_F(Settings, FileThatCannotBeReplacedStaysAsItWasAndIsReported)
{
    const SystemSettings before {5, 5000, false, false, false, false, "Old.Server", false, ""};
    SystemSettings after = before;
    after.remoteOpcServer = "New.Server";
    // Too large to be read, a FIFO, a folder: Save must say it did not save.
    ASSERT_TRUE(write(before)) << error;
    ASSERT_EQ(truncate(ini.c_str(), 16 * 1024 * 1024 + 1), 0);
    EXPECT_FALSE(write(after));
    EXPECT_NE(error.find("Linvaro.ini"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(ini), 16u * 1024 * 1024 + 1);
    std::filesystem::remove(ini);
    ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0);
    EXPECT_FALSE(write(after));
    EXPECT_TRUE(std::filesystem::is_fifo(ini));
    std::filesystem::remove(ini);
    std::filesystem::create_directory(ini);
    EXPECT_FALSE(write(after));
    EXPECT_TRUE(std::filesystem::is_directory(ini));
}

TEST_F(Settings, LogFileSizeIsReadInMegabytesWithItsDefault)
{
    EXPECT_EQ(read().logFileSizeMb, 10);
    writeFile(ini, "[System]\nLog File Size = 3\n");
    EXPECT_EQ(read().logFileSizeMb, 3);
    writeFile(ini, "[System]\nLog File Size=0\n");
    EXPECT_EQ(read().logFileSizeMb, 0);
}

TEST_F(Settings, LinkedFileStaysALinkAndItsTargetGetsTheSettings)
{
    std::filesystem::create_directory(dir.file("shared"));
    const std::string target = dir.file("shared/Linvaro.ini");
    writeFile(target, "[Serial Ports]\nCOM1=/dev/ttyUSB0\n");
    std::filesystem::create_symlink(target, ini);
    SystemSettings s;
    s.remoteOpcServer = "Linked.Server";
    ASSERT_TRUE(write(s)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_NE(readFile(target).find("Remote OPC Server=Linked.Server"), std::string::npos);
    EXPECT_NE(readFile(target).find("COM1=/dev/ttyUSB0"), std::string::npos);
}

// How COMn is found in [Serial Ports]: missing keys keep the default device,
// and a port whose mapping is empty or whose file cannot be read opens none.
TEST_F(Settings, SerialMappingRefusesEmptyOrUnreadableAndReadsEditedFiles)
{
    using Kind = serial::DeviceMapping::Kind;
    const auto mapping = SerialPortMapping(libs().gn, ini);
    writeFile(ini, "\xEF\xBB\xBF[Serial Ports]\rCOM1= \"/dev/ttyUSB0\" \rCOM2=\r");
    EXPECT_EQ(mapping("COM1").kind, Kind::Path);
    EXPECT_EQ(mapping("COM1").text, "/dev/ttyUSB0");
    EXPECT_EQ(mapping("COM2").kind, Kind::Refused);
    EXPECT_NE(mapping("COM2").text.find("empty"), std::string::npos);
    EXPECT_EQ(mapping("COM3").kind, Kind::Unmapped);
    EXPECT_EQ(serial::ResolveDevice("\\\\.\\COM2", mapping).path, "");
    EXPECT_EQ(serial::ResolveDevice("\\\\.\\COM2", mapping).error, mapping("COM2").text);
    ASSERT_EQ(truncate(ini.c_str(), 16 * 1024 * 1024 + 1), 0);
    for (const char* com : {"COM1", "COM3"}) {
        EXPECT_EQ(mapping(com).kind, Kind::Refused) << com;
        EXPECT_NE(mapping(com).text.find("16 MiB"), std::string::npos) << mapping(com).text;
    }
}

TEST_F(Settings, AutostartEntryIsWrittenWholeAndRemoved)
{
    ASSERT_TRUE(SetAutostart(true, program, error)) << error;
    EXPECT_EQ(AutostartFilePath(), dir.file("config/autostart/linvaro.desktop"));
    EXPECT_EQ(readFile(AutostartFilePath()), "[Desktop Entry]\nType=Application\nName=Quorbel Linvaro\n"
                                             "Exec=\"/opt/linvaro/linvaro\"\nX-GNOME-Autostart-enabled=true\n");
    ASSERT_TRUE(SetAutostart(true, "/usr/bin/linvaro", error)) << error;
    EXPECT_EQ(autostartFolder(), std::vector<std::string> {"linvaro.desktop"});
    EXPECT_TRUE(AutostartEnabled());
    for (int i = 0; i < 2; ++i) { // removing a missing entry is fine
        EXPECT_TRUE(SetAutostart(false, program, error)) << error;
        EXPECT_FALSE(AutostartEnabled());
    }
    EXPECT_TRUE(autostartFolder().empty());

    EXPECT_FALSE(SetAutostart(true, "linvaro", error));
    EXPECT_FALSE(AutostartEnabled());

    for (const char* xdg : {static_cast<const char*>(nullptr), "relative/config"}) {
        ScopedEnv unset("XDG_CONFIG_HOME", xdg);
        EXPECT_EQ(AutostartFilePath(), dir.file("home/.config/autostart/linvaro.desktop"));
    }

    // An entry that cannot be replaced (a folder in its place) fails both
    // ways and leaves no temporary file behind.
    std::filesystem::create_directories(dir.file("config/autostart/linvaro.desktop/keep"));
    EXPECT_FALSE(SetAutostart(true, program, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(SetAutostart(false, program, error));
    EXPECT_FALSE(AutostartEnabled());
    EXPECT_EQ(autostartFolder(), std::vector<std::string> {"linvaro.desktop"});
}

TEST(DesktopExec, ProgramPathIsQuotedAndEscapedForTheExecKey)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/linvaro/linvaro", R"("/opt/linvaro/linvaro")"},
        {"/opt/my apps/linvaro", R"("/opt/my apps/linvaro")"},
        {"/opt/a\"b/linvaro", R"("/opt/a\\"b/linvaro")"},
        {"/opt/$HOME`x`/linvaro", R"("/opt/\\$HOME\\`x\\`/linvaro")"},
        {"/opt/a\\b/linvaro", R"("/opt/a\\\\b/linvaro")"},
        {"/opt/100%/linvaro", R"("/opt/100%%/linvaro")"},
        {"/opt/a\nb/linvaro", R"("/opt/a\nb/linvaro")"},
    };
    for (const auto& [path, exec] : cases)
        EXPECT_EQ(DesktopExecArgument(path), exec) << path;
}

} // namespace
