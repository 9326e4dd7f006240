#include "ControllerFixture.h"

#include "SystemSettings.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <sys/stat.h>

#include <algorithm>

namespace {
class Controller : public ControllerFixture {};

std::string ReadFile(const std::string& path)
{
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll().toStdString();
}
} // namespace

TEST_F(Controller, FirstStartCreatesTheDatabaseAndLogsTheStartUp)
{
    MainController& c = Make();
    c.Create();
    const std::string db = Folder() + "LINVARO.GDB";
    EXPECT_EQ(Log(), (std::vector<std::string>{
                         "Connecting to database \"" + db + "\".", "Database \"" + db + "\" connected.",
                         "Loading settings.", "Settings loaded.", "Initializing OPC Data Access module.",
                         "OPC Data Access module initialized."}));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(db)));
    EXPECT_EQ(c.Grid().RowCount(), 2);
    EXPECT_TRUE(c.Grid().RowIsEmpty(1));
    EXPECT_EQ(c.Effective().portResponseTimeout, 5000);
    EXPECT_EQ(c.Effective().tagResponseTimeout, 0);
    EXPECT_FALSE(c.Effective().protectSettings);
    EXPECT_TRUE(c.StartTimer().isActive());
}

TEST_F(Controller, SaveThenLoadBuildsLinksAndTagsInDescriptionOrder)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Zeta", "COM1");
    PutRow(2, "2", "Alpha \"quoted\" '); DROP TABLE PORT_SETTING;--", "COM2");
    c.SetSettingsModified(true);
    ASSERT_TRUE(c.Save());
    EXPECT_TRUE(boxes.Shown("Port Settings saved!"));
    EXPECT_FALSE(c.SettingsModifiedFlag());
    ASSERT_EQ(c.Links().Count(), 2);
    EXPECT_EQ(c.Links().At(0)->Description(), "Alpha \"quoted\" '); DROP TABLE PORT_SETTING;--");
    EXPECT_EQ(c.Grid().Cell(psID, 1), "2") << "rows come back by description, IDs out of order";
    EXPECT_EQ(c.Grid().Cell(TPortGrid::kTagNameColumn, 2), "Zeta_COM1");
    EXPECT_NE(c.Tags().HandleOfName("Zeta_COM1"), 0u);

    // A second controller on the same folder sees the same rows.
    controller.reset();
    MainController& again = Make();
    again.Create();
    EXPECT_EQ(again.Links().Count(), 2);
}

TEST_F(Controller, StartAfterTwoSecondsOnlyWhenALinkExists)
{
    MainController& c = Make();
    c.Create();
    ServeEventsFor(2300);
    EXPECT_FALSE(c.Scanning()) << "no enabled Port setting: scanning does not start by itself";

    PutRow(1, "1", "Scale", "COM1");
    ASSERT_TRUE(c.Save());
    controller.reset();
    MainController& d = Make();
    d.Create();
    EXPECT_FALSE(d.Scanning());
    ASSERT_TRUE(WaitFor([&] { return d.Scanning(); }, 4000));
    EXPECT_TRUE(d.Pulses().isActive());
    EXPECT_TRUE(Logged("Port \"Scale\" started!"));
}

TEST_F(Controller, SavingWhileScanningRestartsWithTheNewLinks)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    ASSERT_TRUE(c.Save());
    c.Start();
    ASSERT_TRUE(c.Scanning());
    PutRow(2, "2", "Reader", "COM2");
    ASSERT_TRUE(c.Save());
    EXPECT_TRUE(c.Scanning());
    EXPECT_EQ(c.Links().Count(), 2);
    EXPECT_TRUE(c.Links().At(1)->Running());
}

TEST_F(Controller, StartWithUnsavedChangesAnsweredNoRevertsTheGrid)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    ASSERT_TRUE(c.Save());
    PutRow(2, "2", "Unsaved", "COM2");
    c.SetSettingsModified(true);
    boxes.answers = {7};
    c.Start();
    EXPECT_TRUE(boxes.Shown("Do you want to save the changes first?\r\rClicking No will revert to the last saved settings."));
    EXPECT_EQ(c.Grid().RowCount(), 2) << "the unsaved row is dropped";
    EXPECT_TRUE(c.Scanning());
    EXPECT_EQ(c.Links().Count(), 1);
}

TEST_F(Controller, StartWithUnsavedChangesAnsweredYesSavesFirst)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    c.SetSettingsModified(true);
    boxes.answers = {6, 1};
    c.Start();
    EXPECT_TRUE(boxes.Shown("Port Settings saved!"));
    EXPECT_EQ(c.Links().Count(), 1);
    EXPECT_TRUE(c.Scanning());
}

TEST_F(Controller, CloseStopsPortsAsksClientsThenAsksToSave)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    ASSERT_TRUE(c.Save());
    c.Start();
    std::vector<std::string> order;
    c.opcShutdownRequest = [&] { order.push_back("shutdown:" + std::to_string(c.Scanning())); };
    int polls = 0;
    c.opcConnectedCount = [&] { return ++polls < 3 ? 1 : 0; };
    c.SetSettingsModified(true);
    boxes.shown.clear();
    boxes.answers = {6, 7};
    ASSERT_TRUE(c.Close(true));
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[0].text, "Are you sure to exit Quorbel Linvaro?");
    EXPECT_EQ(boxes.shown[0].buttons, 9);
    EXPECT_EQ(boxes.shown.back().text, "Do you want to save the changes first?");
    EXPECT_EQ(order, std::vector<std::string>{"shutdown:0"}) << "ports are stopped before clients are asked";
    EXPECT_EQ(polls, 3) << "the close waits while clients stay connected";
    const auto log = Log();
    const auto stopped = std::find(log.begin(), log.end(), "Port \"Scale\" stopped!");
    const auto shutting = std::find(log.begin(), log.end(), "Shutting down OPC server. Please wait...");
    EXPECT_TRUE(stopped < shutting);
    EXPECT_EQ(c.Tags().ValueCount(), 0u) << "value records are freed";
}

TEST_F(Controller, CancelledExitLeavesEverythingRunning)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    ASSERT_TRUE(c.Save());
    c.Start();
    boxes.answers = {2};
    EXPECT_FALSE(c.Close(true));
    EXPECT_TRUE(c.Scanning());
    EXPECT_FALSE(Logged("Shutting down OPC server. Please wait..."));
}

TEST_F(Controller, ExitMessageClosesWithoutTheQuestionOnlyWhenExact)
{
    MainController& c = Make();
    c.Create();
    EXPECT_FALSE(c.ExitMessage("exit"));
    EXPECT_FALSE(c.ExitMessage("Exit now"));
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(c.ExitMessage(std::string("Exit\0garbage", 12)));
    EXPECT_TRUE(boxes.shown.empty()) << "no exit question";
    EXPECT_TRUE(Logged("Shutting down OPC server. Please wait..."));
}

TEST_F(Controller, SimulateSetsTheTagOfTheRowsLinkOnly)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "A", "COM1", "1");
    PutRow(2, "2", "B", "COM2");
    ASSERT_TRUE(c.Save());
    EXPECT_FALSE(c.Simulate(1, "x")) << "a disabled row has no link";
    ASSERT_TRUE(c.Simulate(2, "12.5 kg"));
    EXPECT_EQ(c.Grid().Cell(TPortGrid::kCurrentValueColumn, 2), "12.5 kg");
    EXPECT_EQ(c.Tags().Value(static_cast<std::size_t>(c.LinkOfRow(2)->TagIndex())).textValue, "12.5 kg");
}

TEST_F(Controller, ReceivedStringsShowInTheirOwnRowPastADisabledOne)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "A", "COM3", "1");
    PutRow(2, "2", "B", "COM1");
    ASSERT_TRUE(c.Save());
    c.Start();
    ptys[0].write("7.25\r");
    ASSERT_TRUE(WaitFor([&] { return c.Grid().Cell(TPortGrid::kCurrentValueColumn, 2) == "7.25"; }));
    EXPECT_EQ(c.Grid().Cell(TPortGrid::kCurrentValueColumn, 1), "");
}

TEST_F(Controller, MismatchedPasswordsStopTheSaveBeforeAnythingIsWritten)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    c.Controls().protectSettings = true;
    c.Controls().password = "secret";
    c.ConfirmPassword() = "other";
    EXPECT_FALSE(c.Save());
    EXPECT_TRUE(boxes.Shown("Password and Confirm Password do not match!"));
    EXPECT_FALSE(boxes.Shown("Port Settings saved!"));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Folder() + "Linvaro.ini")));
}

TEST_F(Controller, ProtectionTakesEffectAfterSaveAndChecksThePassword)
{
    MainController& c = Make();
    c.Create();
    c.Controls().protectSettings = true;
    c.Controls().password = "S3cret";
    c.ConfirmPassword() = "S3cret";
    EXPECT_FALSE(c.PasswordRequired()) << "not before the save";
    ASSERT_TRUE(c.Save());
    EXPECT_TRUE(c.PasswordRequired());
    EXPECT_TRUE(c.PasswordAccepted("S3cret"));
    EXPECT_FALSE(c.PasswordAccepted("s3cret"));
    EXPECT_EQ(ReadFile(Folder() + "Linvaro.ini").find("S3cret"), std::string::npos) << "stored encrypted";
}

TEST_F(Controller, RemoteBoxMessageOnlyWhileTheWindowIsVisible)
{
    MainController& c = Make(false);
    c.Create();
    bool visible = false;
    c.windowVisible = [&] { return visible; };
    c.SetRemoteBox(true);
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(c.SettingsModifiedFlag());
    visible = true;
    c.SetRemoteBox(false);
    EXPECT_TRUE(boxes.Shown("You must restart Linvaro in order for the Remote OPC Server setting to be effective!"));
}

TEST_F(Controller, UnopenableDatabaseIsReportedAndSaveFails)
{
    ASSERT_TRUE(QDir().mkpath(home.path() + "/LINVARO.GDB")); // a folder where the file should be
    MainController& c = Make();
    c.Create();
    const auto log = Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
        return l.rfind("Error connecting to database \"" + Folder() + "LINVARO.GDB\"!", 0) == 0;
    }));
    EXPECT_FALSE(Logged("Database \"" + Folder() + "LINVARO.GDB\" connected."));
    PutRow(1, "1", "Scale", "COM1");
    EXPECT_FALSE(c.Save());
    EXPECT_TRUE(boxes.Shown("Error saving Port Settings!"));
}

TEST_F(Controller, CorruptDatabaseIsNeverOverwritten)
{
    const std::string garbage(4096, '\x5a');
    {
        QFile f(QString::fromStdString(Folder() + "LINVARO.GDB"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(garbage.data(), static_cast<qint64>(garbage.size()));
    }
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    EXPECT_FALSE(c.Save());
    EXPECT_EQ(ReadFile(Folder() + "LINVARO.GDB"), garbage);
}

TEST_F(Controller, LogEventWritesTheFileAfterTheNextLoadOnly)
{
    MainController& c = Make();
    c.Create();
    const std::string logFile = home.path().toStdString() + "/state/linvaro/Linvaro.log";
    c.Controls().logEvent = true;
    c.Log("before save");
    EXPECT_EQ(ReadFile(logFile).find("before save"), std::string::npos);
    ASSERT_TRUE(c.Save());
    c.Log("after save");
    EXPECT_NE(ReadFile(logFile).find("after save"), std::string::npos);
}

namespace {
int CountStarting(const std::vector<std::string>& lines, const std::string& prefix)
{
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}
} // namespace

// Another program's write transaction holds the database at start: the
// start-up tries again (a log line per try) and loads the ports once free.
TEST_F(Controller, DatabaseLockedAtStartIsTriedAgainUntilItOpens)
{
    {
        MainController& first = Make();
        first.Create();
        PutRow(1, "1", "Scale", "COM1");
        ASSERT_TRUE(first.Save());
        controller.reset();
    }
    const std::string db = Folder() + "LINVARO.GDB";
    QProcess holder;
    holder.start("/usr/bin/python3",
                 {"-c", "import sqlite3, sys, time\n"
                        "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                        "c.execute('BEGIN EXCLUSIVE')\n"
                        "print('locked', flush=True)\n"
                        "time.sleep(1.5)\n"
                        "c.execute('COMMIT')\n",
                  QString::fromStdString(db)});
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    Make(true, 20000, 200);
    bool unavailable = false;
    QObject::connect(controller.get(), &MainController::databaseUnavailable, [&] { unavailable = true; });
    controller->Create();
    EXPECT_EQ(controller->Links().Count(), 0);
    EXPECT_FALSE(controller->StartTimer().isActive());
    ASSERT_TRUE(WaitFor([&] { return controller->DatabaseConnected(); }, 15000));
    holder.waitForFinished(5000);
    const auto log = Log();
    EXPECT_GE(CountStarting(log, "Error connecting to database \"" + db + "\"! (try "), 2);
    EXPECT_EQ(CountStarting(log, "Database \"" + db + "\" connected (try "), 1);
    EXPECT_EQ(controller->Links().Count(), 1);
    EXPECT_TRUE(controller->StartTimer().isActive());
    EXPECT_FALSE(unavailable);
}

TEST_F(Controller, DatabaseThatNeverOpensIsGivenUpAfterTheRetryTime)
{
    ASSERT_TRUE(QDir().mkpath(home.path() + "/LINVARO.GDB"));
    Make(true, 600, 100);
    std::string reason;
    QObject::connect(controller.get(), &MainController::databaseUnavailable, [&](const std::string& e) { reason = e; });
    controller->Create();
    ASSERT_TRUE(WaitFor([&] { return !reason.empty(); }, 10000));
    EXPECT_NE(reason.find("LINVARO.GDB"), std::string::npos) << reason;
    EXPECT_GE(CountStarting(Log(), "Error connecting to database"), 3);
    // Retry starts another round, which gives up again.
    reason.clear();
    controller->RetryDatabase();
    ASSERT_TRUE(WaitFor([&] { return !reason.empty(); }, 10000));
    EXPECT_FALSE(controller->DatabaseConnected());
}

TEST_F(Controller, SaveSaysSoWhenTheSystemSettingsCannotBeWritten)
{
    MainController& c = Make();
    c.Create();
    const std::string ini = Folder() + "Linvaro.ini";
    ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0);
    c.Controls().logEvent = true;
    c.SetSettingsModified(true);
    EXPECT_FALSE(c.Save());
    const bool told = std::any_of(boxes.shown.begin(), boxes.shown.end(), [&](const ScriptedBoxes::Box& b) {
        return b.text.rfind("Error saving System Settings!", 0) == 0 && b.text.find(ini) != std::string::npos && b.kind == 1;
    });
    EXPECT_TRUE(told);
    EXPECT_TRUE(c.SettingsModifiedFlag());
}

// An INI that cannot be read: told once, and a mapped port opens no device
// (never the machine's own /dev/ttyS*), naming why in its failed start.
TEST_F(Controller, UnreadableIniIsToldOnceAndItsPortsOpenNothing)
{
    const std::string ini = Folder() + "Linvaro.ini";
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    ASSERT_TRUE(c.Save());
    {
        QFile f(QString::fromStdString(ini));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(16 * 1024 * 1024 + 1));
    }
    TCommPortDriver::SetDeviceMapping(SerialPortMapping(libs.gn, ini));
    c.LoadSettings(true);
    c.LoadSettings(true);
    EXPECT_EQ(CountStarting(Log(), "The settings file cannot be read ("), 1);
    c.Start();
    const auto log = Log();
    EXPECT_EQ(CountStarting(log, "Error starting port \"Scale\"! COM1 opens no device: the settings file " + ini), 1)
        << log.back();
    EXPECT_FALSE(c.Scanning());
}

TEST_F(Controller, LoggedPortWritesItsTrafficToItsOwnFile)
{
    MainController& c = Make();
    c.Create();
    PutRow(1, "1", "Scale", "COM1");
    c.Grid().SetCell(psLOGGED, 1, "1");
    c.Grid().SetCell(psAUTO_SUFFIX, 1, "\r");
    ASSERT_TRUE(c.Save());
    c.Start();
    ASSERT_TRUE(c.Scanning());
    ASSERT_TRUE(ptys[0].write("W\x01 12.5\r"));
    const std::string file = Folder() + "COM1.log";
    ASSERT_TRUE(WaitFor([&] { return ReadFile(file).find("Received") != std::string::npos; }));
    c.Links().ClientWrite(0, "P\n");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(file).find("Sent") != std::string::npos; }));
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("Received (HEX: 57 01 20 31 32 2E 35 0D) TEXT: W\\x01 12.5\\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Sent (HEX: 50 0A 0D) TEXT: P\\n\\r\n"), std::string::npos) << text;
    c.Stop();
}

namespace {
std::string PasswordLine(const std::string& ini)
{
    const auto at = ini.find("Password=");
    return at == std::string::npos ? std::string() : ini.substr(at, ini.find('\n', at) - at);
}
} // namespace

// A stored password this user cannot decrypt (the key file lost, another
// user's INI) keeps the page locked to every entry, says so in the log, and
// a Save that sets no new password leaves it stored as it was. An empty
// password that was stored on purpose still opens with an empty entry.
TEST_F(Controller, UndecryptablePasswordKeepsThePageLocked)
{
    const std::string ini = Folder() + "Linvaro.ini";
    {
        MainController& c = Make();
        c.Create();
        c.Controls().protectSettings = true;
        c.Controls().password = c.ConfirmPassword() = "S3cret";
        ASSERT_TRUE(c.Save());
    }
    const std::string stored = PasswordLine(ReadFile(ini));
    ASSERT_FALSE(stored.empty());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config-of-another-key").toUtf8());
    MainController& c = Make();
    c.Create();
    EXPECT_TRUE(c.PasswordRequired());
    EXPECT_FALSE(c.PasswordAccepted(""));
    EXPECT_FALSE(c.PasswordAccepted("S3cret"));
    const auto log = Log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.find("cannot be decrypted") != std::string::npos;
    }));
    c.SetSettingsModified(true);
    ASSERT_TRUE(c.Save());
    EXPECT_EQ(PasswordLine(ReadFile(ini)), stored);
    EXPECT_FALSE(c.PasswordAccepted(""));

    c.Controls().password = c.ConfirmPassword() = "N3w";
    ASSERT_TRUE(c.Save());
    EXPECT_NE(PasswordLine(ReadFile(ini)), stored);
    EXPECT_TRUE(c.PasswordAccepted("N3w"));

    c.Controls().password = c.ConfirmPassword() = "";
    ASSERT_TRUE(c.Save());
    EXPECT_TRUE(c.PasswordRequired());
    EXPECT_TRUE(c.PasswordAccepted("")) << "an empty password is no unreadable one";
}

// The autostart entry starts the program as the running copy was started.
TEST_F(Controller, AutostartEntryCarriesTheStartArguments)
{
    MainController::Options o;
    o.programFolder = Folder();
    o.programPath = "/opt/linvaro/linvaro";
    o.startArguments = {"--home", "/srv/my home", "--headless"};
    o.headless = true;
    controller = std::make_unique<MainController>(o, libs, remote);
    controller->Create();
    controller->Controls().loadOnWindowsStartup = true;
    ASSERT_TRUE(controller->Save());
    const std::string entry = ReadFile(home.path().toStdString() + "/config/autostart/linvaro.desktop");
    EXPECT_NE(entry.find("\nExec=\"/opt/linvaro/linvaro\" \"--home\" \"/srv/my home\" \"--headless\"\n"),
              std::string::npos)
        << entry;
}

// A box's text breaks lines with CR; headless, each box is one whole line of
// the log (and of standard output), never a line a terminal would overwrite.
TEST_F(Controller, HeadlessBoxesAreWholeLogLines)
{
    MainController& c = Make(true);
    c.ShowMsg("Are you sure you want to unregister the OPC server?\r\rAfter unregistered, it is gone.\r\n", 3, 3);
    EXPECT_TRUE(Logged("Are you sure you want to unregister the OPC server? After unregistered, it is gone. "));
    for (const auto& line : Log())
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
}
