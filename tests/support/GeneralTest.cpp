#include "SupportTestEnv.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <algorithm>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace supporttest;

namespace {

// Writes beyond limit bytes fail with EFBIG, as on a full disk; works for
// root too, where permissions would not stop a write.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = saved_;
        lower.rlim_cur = limit;
        setrlimit(RLIMIT_FSIZE, &lower);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }
private:
    rlimit saved_ {};
    void (*oldHandler_)(int) = nullptr;
};

// Standard error goes to a file for the life of the object.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path)
    {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    std::string text()
    {
        restore();
        return readFile(path_);
    }
private:
    void restore()
    {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    std::string path_;
    int saved_ = -1;
};

class General : public SupportTest {
protected:
    const support::GeneralApi& gn = libs().gn;
    std::string ini;

    void SetUp() override
    {
        SupportTest::SetUp();
        ini = dir.file("Linvaro.ini");
    }
    void TearDown() override
    {
        gn.SetMsgHandler(nullptr, nullptr);
        SupportTest::TearDown();
    }
    std::string get(const char* section, const char* key, const char* def = "<default>")
    {
        return gn.GetInitSettingStr(section, key, ini.c_str(), def);
    }
    std::vector<std::string> folderEntries()
    {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            names.push_back(e.path().filename().string());
        return names;
    }
};

TEST_F(General, ValuesRoundTripVerbatim)
{
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {{"System", "Port Response Timeout", "5000"},
                 {"System", "Remote OPC Server", "Vendor.Server.1"},
                 {"Security", "Password", "q83v+/ab=="},
                 {"Security", "Note", "a=b=c"},
                 {"Other Section", "Key", "blanks  inside  kept"},
                 {"Other Section", "Empty", ""},
                 {"Other Section", "Text", "Zürich ; not a comment [x]"}};
    for (const auto& c : cases)
        gn.SetInitSettingStr(c.section, c.key, c.value, ini.c_str());
    for (const auto& c : cases)
        EXPECT_EQ(get(c.section, c.key), c.value) << c.key;
}

TEST_F(General, LookupIgnoresLetterCaseAndWritingKeepsTheStoredSpelling)
{
    gn.SetInitSettingStr("System", "Log Event", "1", ini.c_str());
    EXPECT_EQ(get("SYSTEM", "log event"), "1");
    gn.SetInitSettingStr("system", "LOG EVENT", "0", ini.c_str());
    EXPECT_EQ(readFile(ini), "[System]\nLog Event=0\n");
}

TEST_F(General, MissingFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(get("System", "Tag Response Timeout", "0"), "0");
    EXPECT_FALSE(std::filesystem::exists(ini)); // reading creates nothing
    gn.SetInitSettingStr("System", "Present", "x", ini.c_str());
    EXPECT_EQ(get("System", "Absent", "5000"), "5000");
    EXPECT_EQ(get("Nowhere", "Present", "d"), "d");
    EXPECT_EQ(get("System", "Absent", nullptr), "");
    EXPECT_EQ(std::string(gn.GetInitSettingStr("System", "Present", dir.file("none.ini").c_str(), "d")), "d");
}

TEST_F(General, HandWrittenFileIsReadAsOnWindows)
{
    writeFile(ini, "Orphan=before any section\r\n"
                   "; Comment=not a key\r\n"
                   "[ System ]\r\n"
                   "  Tag Response Timeout  = 7\r\n"
                   "line without equals sign\r\n"
                   "Dup=first\r\n"
                   "Dup=second\r\n"
                   "[Other]\r\n"
                   "Orphan=other\r\n"
                   "[system]\r\n"
                   "Late=in a repeated section\r\n");
    EXPECT_EQ(get("System", "Tag Response Timeout"), "7");
    EXPECT_EQ(get("System", "Dup"), "first");
    EXPECT_EQ(get("System", "; Comment"), "<default>");
    EXPECT_EQ(get("System", "Orphan"), "<default>");
    EXPECT_EQ(get("System", "Late"), "<default>"); // the first section of a name counts
    EXPECT_EQ(get("Other", "Orphan"), "other");
}

TEST_F(General, RewriteKeepsEveryOtherLineInPlaceAndLeavesNoTemporaryFile)
{
    writeFile(ini, "; settings\n[System]\nA=1\n\n[Security]\nPassword=xyz\n");
    gn.SetInitSettingStr("System", "A", "2", ini.c_str());
    gn.SetInitSettingStr("System", "B", "new", ini.c_str());
    gn.SetInitSettingStr("Serial Ports", "COM1", "/dev/ttyUSB0", ini.c_str());
    EXPECT_EQ(readFile(ini), "; settings\n[System]\nA=2\nB=new\n\n[Security]\nPassword=xyz\n\n"
                             "[Serial Ports]\nCOM1=/dev/ttyUSB0\n");
    EXPECT_EQ(folderEntries(), std::vector<std::string> {"Linvaro.ini"});

    writeFile(ini, "[System]\r\nA=1\r\n");
    gn.SetInitSettingStr("System", "C", "3", ini.c_str());
    EXPECT_EQ(readFile(ini), "[System]\r\nA=1\r\nC=3\r\n");
}

TEST_F(General, WritesThatWouldChangeTheFileStructureOrCannotCompleteLeaveItUntouched)
{
    const std::string before = "[System]\nA=1\n";
    writeFile(ini, before);
    gn.SetInitSettingStr("System", "A", "x\n[Security]\nPassword=", ini.c_str());
    gn.SetInitSettingStr("System", "K=V", "1", ini.c_str());
    gn.SetInitSettingStr("Sys]tem", "A", "1", ini.c_str());
    gn.SetInitSettingStr("", "A", "1", ini.c_str());
    gn.SetInitSettingStr("System", "  ", "1", ini.c_str());
    {
        const FileSizeLimit diskFull(before.size() + 10);
        gn.SetInitSettingStr("System", "A", std::string(100, 'x').c_str(), ini.c_str());
    }
    EXPECT_EQ(readFile(ini), before);
    EXPECT_EQ(folderEntries(), std::vector<std::string> {"Linvaro.ini"});

    // An INI path that is a folder, or lies under a file, is neither read nor written.
    gn.SetInitSettingStr("System", "A", "1", dir.path().c_str());
    gn.SetInitSettingStr("System", "A", "1", (ini + "/x.ini").c_str());
    EXPECT_EQ(std::string(gn.GetInitSettingStr("System", "A", dir.path().c_str(), "d")), "d");
    EXPECT_EQ(readFile(ini), before);

    // A file that exists but cannot be read is not replaced by a new one.
    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    gn.SetInitSettingStr("System", "A", "1", fifo.c_str());
    struct stat st {};
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

TEST_F(General, GarbageInTheFileIsSurvivedAndCanBeWrittenOver)
{
    std::mt19937 random(7);
    std::string binary(65536, '\0');
    for (char& c : binary)
        c = static_cast<char>(random());
    const std::string garbage[] = {binary, "[System", "[[[[]]]]\n====\n=\n[\n]\n", std::string("A\0=\0\n", 5),
                                   "[System]\nA"};
    for (const auto& content : garbage) {
        writeFile(ini, content);
        gn.GetInitSettingStr("System", "A", ini.c_str(), "d");
        gn.GetInitSettingBool("System", "A", ini.c_str(), false);
        gn.SetInitSettingStr("System", "Port Response Timeout", "250", ini.c_str());
        EXPECT_EQ(get("System", "Port Response Timeout"), "250");
    }
}

TEST_F(General, BooleansAreIntegerTextsNonZeroMeaningTrue)
{
    const struct {
        const char* stored;
        int expected; // -1: unparsable, the default comes back
    } cases[] = {{"1", 1},  {"0", 0},      {"-1", 1},    {"2", 1},     {" 1 ", 1},  {"00", 0},
                 {"", -1},  {"yes", -1},   {"true", -1}, {"1x", -1},   {"-", -1},   {"0.5", -1}};
    for (const auto& c : cases) {
        gn.SetInitSettingStr("System", "Log Event", c.stored, ini.c_str());
        for (bool def : {false, true}) {
            const bool expected = c.expected < 0 ? def : c.expected == 1;
            EXPECT_EQ(gn.GetInitSettingBool("System", "Log Event", ini.c_str(), def), expected)
                << '"' << c.stored << "\" default " << def;
        }
    }
    gn.SetInitSettingBool("System", "Load on Startup", true, ini.c_str());
    EXPECT_EQ(get("System", "Load on Startup"), "1");
    gn.SetInitSettingBool("System", "Load on Startup", false, ini.c_str());
    EXPECT_EQ(get("System", "Load on Startup"), "0");
    EXPECT_TRUE(gn.GetInitSettingBool("System", "Missing", ini.c_str(), true));
}

TEST_F(General, ConcurrentWritersLoseNoKey)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string key = "Key " + std::to_string(t) + "." + std::to_string(i);
                gn.SetInitSettingStr(t % 2 ? "Odd" : "Even", key.c_str(), key.c_str(), ini.c_str());
            }
        });
    }
    for (auto& t : threads)
        t.join();
    for (int t = 0; t < 8; ++t) {
        for (int i = 0; i < 25; ++i) {
            const std::string key = "Key " + std::to_string(t) + "." + std::to_string(i);
            EXPECT_EQ(get(t % 2 ? "Odd" : "Even", key.c_str()), key);
        }
    }
    EXPECT_EQ(folderEntries(), std::vector<std::string> {"Linvaro.ini"});
}

TEST_F(General, LogLinesAreAppendedInOrderWithATimeStamp)
{
    const std::string log = dir.file("logs/deeper/Linvaro.log"); // folders created
    gn.AddLog("Loading settings.", log.c_str());
    gn.AddLog("Port \"Scale\" started!", log.c_str());
    gn.AddLog("two\r\nlines", log.c_str());
    gn.AddLog("", log.c_str());

    std::istringstream lines(readFile(log));
    const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
    std::vector<std::string> messages;
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, stamp, std::regex_constants::match_continuous)) << line;
        messages.push_back(m.suffix());
    }
    EXPECT_EQ(messages,
              (std::vector<std::string> {"Loading settings.", "Port \"Scale\" started!", "two\\r\\nlines", ""}));
}

TEST_F(General, LogLinesFromThreadsStayWhole)
{
    const std::string log = dir.file("Linvaro.log");
    const std::string message(300, 'm');
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i)
                gn.AddLog(message.c_str(), log.c_str());
        });
    for (auto& t : threads)
        t.join();
    std::istringstream lines(readFile(log));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        ASSERT_EQ(line.substr(20), message);
    EXPECT_EQ(count, 200);
}

TEST_F(General, UnwritableLogIsIgnored)
{
    writeFile(dir.file("file"), "");
    gn.AddLog("lost", dir.file("file/Linvaro.log").c_str()); // a file where a folder should be
    gn.AddLog("lost", dir.path().c_str());                  // a folder where the file should be
    gn.AddLog("lost", "");
    const std::string log = dir.file("full.log");
    writeFile(log, "0123456789");
    {
        const FileSizeLimit diskFull(12);
        gn.AddLog("does not fit", log.c_str());
    }
    EXPECT_EQ(readFile(log).substr(0, 10), "0123456789");
    EXPECT_EQ(readFile(dir.file("file")), "");
}

TEST_F(General, WithoutAHandlerMessagesGoToStandardErrorAndGetTheNonYesAnswer)
{
    const struct {
        int kind;
        int buttons;
        int answer;
        const char* line;
    } cases[] = {{QB_MSG_INFORMATION, QB_BTN_OK, QB_ID_OK, "Linvaro Information: text\n"},
                 {QB_MSG_CONFIRMATION, QB_BTN_YES | QB_BTN_NO, QB_ID_NO, "Linvaro Confirmation: text\n"},
                 {QB_MSG_WARNING, QB_BTN_YES | QB_BTN_CANCEL, QB_ID_CANCEL, "Linvaro Warning: text\n"},
                 {QB_MSG_ERROR, QB_BTN_OK | QB_BTN_CANCEL, QB_ID_OK, "Linvaro Error: text\n"}};
    for (const auto& c : cases) {
        StderrCapture capture(dir.file("stderr"));
        EXPECT_EQ(gn.ShowMsg("text", c.kind, c.buttons, 0), c.answer);
        EXPECT_EQ(capture.text(), c.line);
    }
}

// A box's CR line breaks (and any other control character) never reach the
// terminal raw, where they would send the cursor back over the line.
TEST_F(General, WithoutAHandlerEveryLineOfTheTextStaysOnTheTerminal)
{
    StderrCapture capture(dir.file("stderr"));
    gn.ShowMsg("Unregister?\r\rAfter unregistered,\r\nit is gone.\x1b[2K\bx", QB_MSG_CONFIRMATION, QB_BTN_YES | QB_BTN_NO,
               0);
    EXPECT_EQ(capture.text(), "Linvaro Confirmation: Unregister?\n  \n  After unregistered,\n  it is gone.\\x1B[2K\\x08x\n");
}

TEST_F(General, AnInstalledHandlerAnswersInsteadAndCanBeRemoved)
{
    struct Script {
        std::vector<std::string> seen;
    } script;
    gn.SetMsgHandler(
        [](const char* text, int kind, int buttons, void* context) {
            static_cast<Script*>(context)->seen.push_back(std::string(text) + "/" + std::to_string(kind) + "/" +
                                                          std::to_string(buttons));
            return int(QB_ID_YES);
        },
        &script);
    EXPECT_EQ(gn.ShowMsg("Save changes?", QB_MSG_CONFIRMATION, QB_BTN_YES | QB_BTN_NO, 0), QB_ID_YES);
    EXPECT_EQ(script.seen, std::vector<std::string> {"Save changes?/3/3"});

    gn.SetMsgHandler(nullptr, nullptr);
    StderrCapture capture(dir.file("stderr"));
    EXPECT_EQ(gn.ShowMsg("Save changes?", QB_MSG_CONFIRMATION, QB_BTN_YES | QB_BTN_NO, 0), QB_ID_NO);
    EXPECT_EQ(script.seen.size(), 1u);
}

// Files written by other editors: a UTF-8 byte-order mark, old Mac line ends,
// values with blanks and quotes around them.
TEST_F(General, ByteOrderMarkAnyLineEndsBlanksAndQuotesAreRead)
{
    const std::string files[] = {"\xEF\xBB\xBF[Serial Ports]\r\nCOM1=/dev/ttyUSB0 \r\n",
                                 "[Serial Ports]\rCOM1=\"/dev/ttyUSB0\"\r",
                                 "\xEF\xBB\xBF[Serial Ports]\nCOM1 =\t/dev/ttyUSB0\t\n[Other]\rX=1"};
    for (const auto& text : files) {
        writeFile(ini, text);
        EXPECT_EQ(get("Serial Ports", "COM1"), "/dev/ttyUSB0") << text;
        // A rewrite keeps the mark and the file's own line ends.
        gn.SetInitSettingStr("Serial Ports", "COM2", "/dev/ttyUSB1", ini.c_str());
        EXPECT_EQ(get("Serial Ports", "COM2"), "/dev/ttyUSB1") << text;
        EXPECT_EQ(get("Serial Ports", "COM1"), "/dev/ttyUSB0") << text;
        const std::string after = readFile(ini);
        EXPECT_EQ(after.rfind("\xEF\xBB\xBF", 0) == 0, text.rfind("\xEF\xBB\xBF", 0) == 0) << after;
        const char* eol = text.find("\r\n") != std::string::npos ? "\r\n" : text.find('\n') == std::string::npos ? "\r" : "\n";
        EXPECT_NE(after.find(std::string("COM2=/dev/ttyUSB1") + eol), std::string::npos) << after;
    }
}

TEST_F(General, AnUnreadableOrOversizedIniIsToldOnceAndReadsAsDefaults)
{
    const std::string big = dir.file("big.ini");
    writeFile(big, "[Serial Ports]\nCOM1=/dev/ttyUSB0\n");
    ASSERT_EQ(truncate(big.c_str(), 16 * 1024 * 1024 + 1), 0);
    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {big, fifo, dir.path()}) {
        StderrCapture capture(dir.file("stderr"));
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(std::string(gn.GetInitSettingStr("Serial Ports", "COM1", path.c_str(), "d")), "d") << path;
        const std::string told = capture.text();
        EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
        EXPECT_NE(told.find(path), std::string::npos) << told;
        EXPECT_NE(std::string(gn.IniFileProblem(path.c_str())), "") << path;
    }
    EXPECT_EQ(std::string(gn.IniFileProblem(ini.c_str())), ""); // missing: not a problem
    writeFile(ini, "[System]\n");
    EXPECT_EQ(std::string(gn.IniFileProblem(ini.c_str())), "");
}

TEST_F(General, WritingSettingsReportsEveryFailureAndKeepsALinkedFile)
{
    const char* sections[] = {"System", "Security"};
    const char* keys[] = {"Log Event", "Protect Settings"};
    const char* values[] = {"1", "0"};
    const auto write = [&](const std::string& path) { return std::string(gn.WriteInitSettings(path.c_str(), sections, keys, values, 2)); };

    const std::string big = dir.file("big.ini");
    writeFile(big, "[System]\n");
    ASSERT_EQ(truncate(big.c_str(), 16 * 1024 * 1024 + 1), 0);
    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {big, fifo, dir.path()})
        EXPECT_NE(write(path), "") << path;
    struct stat st {};
    EXPECT_TRUE(stat(fifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(stat(big.c_str(), &st) == 0 && st.st_size == 16 * 1024 * 1024 + 1);

    // Through a symbolic link: the link stays, its target (in another
    // folder) gets the keys, and no temporary file is left in either folder.
    std::filesystem::create_directory(dir.file("real"));
    const std::string target = dir.file("real/Linvaro.ini");
    writeFile(target, "[System]\nTag Response Timeout=7\n");
    std::filesystem::create_symlink(target, ini);
    EXPECT_EQ(write(ini), "");
    EXPECT_TRUE(std::filesystem::is_symlink(ini));
    EXPECT_EQ(readFile(target), "[System]\nTag Response Timeout=7\nLog Event=1\n\n[Security]\nProtect Settings=0\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("real")), {}), 1);
}

TEST_F(General, LogFilesRotateAtTheirSizeKeepingFiveOld)
{
    const std::string log = dir.file("Linvaro.log");
    const std::string line(100, 'x'); // 120 bytes a line with its time stamp
    for (int i = 0; i < 40; ++i)
        gn.AddLogEx((line + std::to_string(i % 10)).c_str(), log.c_str(), 500);
    std::vector<std::string> names = folderEntries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string> {"Linvaro.log", "Linvaro.log.1", "Linvaro.log.2", "Linvaro.log.3",
                                                "Linvaro.log.4", "Linvaro.log.5"}));
    for (const auto& name : names)
        EXPECT_LE(std::filesystem::file_size(dir.file(name)), 500u) << name;
    // The newest line is in the current file, the older ones in .1.
    EXPECT_NE(readFile(log).find(line + "9\n"), std::string::npos);
    EXPECT_NE(readFile(log + ".1").find(line + "5\n"), std::string::npos);
}

TEST_F(General, LogFileBehindASymbolicLinkIsToldAndNotWritten)
{
    const std::string victim = dir.file("victim");
    writeFile(victim, "precious\n");
    const std::string log = dir.file("Linvaro.log");
    std::filesystem::create_symlink(victim, log);
    StderrCapture capture(dir.file("stderr"));
    gn.AddLog("forged", log.c_str());
    gn.AddLog("forged again", log.c_str());
    const std::string told = capture.text();
    EXPECT_EQ(readFile(victim), "precious\n");
    EXPECT_NE(told.find("symbolic link"), std::string::npos) << told;
    EXPECT_EQ(std::count(told.begin(), told.end(), '\n'), 1) << told;
}

TEST_F(General, LoggedTextCannotForgeLinesOrControlTheTerminal)
{
    const std::string log = dir.file("Linvaro.log");
    gn.AddLog("port \"A\nFAKE 2024-01-01 00:00:00 Port started\" \x1b[2J\x7f", log.c_str());
    gn.AddLog(std::string(20000, 'y').c_str(), log.c_str());
    const std::string text = readFile(log);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find("port \"A\\nFAKE 2024-01-01 00:00:00 Port started\" \\x1B[2J\\x7F\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" [... 11808 more bytes cut]\n"), std::string::npos);
    EXPECT_LT(text.size(), 9000u);
}

} // namespace
