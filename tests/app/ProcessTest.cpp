// The real program in separate processes: single instance per program file,
// the "Exit" message, termination signals, start-up on bad files, and an
// activity log file that cannot be written.
#include "DynamicLibrary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

class Process : public ::testing::Test {
protected:
    QString Program() const { return QString::fromStdString(ProgramFolder() + "linvaro"); }
    // Starts a headless copy and waits until its start-up is logged.
    void StartHeadless(QProcess& p, const QString& program, const QString& home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("XDG_STATE_HOME", home + "/state");
        // Every start writes the class registration: keep it in the test's folder.
        env.insert("XDG_DATA_HOME", home + "/data");
        env.insert("LINVARO_REGISTRY_ROOT", home + "/registry");
        p.setProcessEnvironment(env);
        p.start(program, {"--headless", "--home", home});
        ASSERT_TRUE(p.waitForStarted(5000));
        QByteArray out;
        while (!out.contains("OPC Data Access module initialized.")) {
            ASSERT_TRUE(p.waitForReadyRead(10000)) << "no start-up log; stderr: " << p.readAllStandardError().toStdString();
            out += p.readAllStandardOutput();
        }
    }
    void TearDown() override
    {
        for (QProcess* p : {&first, &second}) {
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
        }
    }
    QTemporaryDir homeA, homeB;
    QProcess first, second;
};

} // namespace

TEST_F(Process, SecondCopyIsRefusedAndExitMessageEndsTheFirst)
{
    StartHeadless(first, Program(), homeA.path());

    second.start(Program(), {"--headless", "--home", homeB.path()});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(second.readAllStandardError().contains("Quorbel Linvaro is already running!"));
    EXPECT_FALSE(QFile::exists(homeB.path() + "/LINVARO.GDB")) << "the refused copy created nothing";

    QProcess exitSender;
    exitSender.start(Program(), {"--exit"});
    ASSERT_TRUE(exitSender.waitForFinished(10000));
    EXPECT_EQ(exitSender.exitCode(), 0);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_TRUE(first.readAllStandardOutput().contains("Shutting down OPC server. Please wait..."));

    QProcess nobody;
    nobody.start(Program(), {"--exit"});
    ASSERT_TRUE(nobody.waitForFinished(10000));
    EXPECT_EQ(nobody.exitCode(), 1);
}

TEST_F(Process, ACopyOfTheProgramElsewhereRunsBesideIt)
{
    QTemporaryDir copyDir;
    for (const char* f : {"linvaro", "qbDataAccess.so", "qbGeneral.so", "qbSecurity.so"})
        ASSERT_TRUE(QFile::copy(QString::fromStdString(ProgramFolder() + f), copyDir.path() + "/" + f)) << f;
    QFile::setPermissions(copyDir.path() + "/linvaro", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    StartHeadless(first, Program(), homeA.path());
    StartHeadless(second, copyDir.path() + "/linvaro", homeB.path());
    EXPECT_EQ(second.state(), QProcess::Running);
}

TEST_F(Process, StartedThroughALinkItWorksFromTheRealProgramFolder)
{
    // As /usr/bin/linvaro points into the package's library folder: the
    // support libraries lie beside the real file only, and the bus must
    // start the real file for a client.
    QTemporaryDir linkDir;
    const QString link = linkDir.path() + "/linvaro";
    ASSERT_TRUE(QFile::link(Program(), link));
    StartHeadless(first, link, homeA.path());
    EXPECT_TRUE(QFile::exists(homeA.path() + "/LINVARO.GDB")) << "the database library was not loaded";
    QFile activation(homeA.path() + "/data/dbus-1/services/opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8.service");
    ASSERT_TRUE(activation.open(QIODevice::ReadOnly));
    EXPECT_TRUE(activation.readAll().contains("Exec=" + QFileInfo(Program()).canonicalFilePath().toUtf8() + " -Embedding"));
    EXPECT_FALSE(first.readAllStandardError().contains("not loaded"));
}

TEST_F(Process, TerminationSignalClosesLikeTheExitMessage)
{
    StartHeadless(first, Program(), homeA.path());
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_TRUE(first.readAllStandardOutput().contains("Shutting down OPC server. Please wait..."));
}

TEST_F(Process, GarbageFilesAreReportedAndNeverOverwritten)
{
    const QByteArray garbage(3000, '\x7f');
    for (const char* name : {"/LINVARO.GDB", "/Linvaro.ini"}) {
        QFile f(homeA.path() + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(garbage);
    }
    StartHeadless(first, Program(), homeA.path());
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_TRUE(first.readAllStandardError().contains("cannot open the configuration database"));
    QFile db(homeA.path() + "/LINVARO.GDB");
    ASSERT_TRUE(db.open(QIODevice::ReadOnly));
    EXPECT_EQ(db.readAll(), garbage);
}

TEST_F(Process, SerialPortsSectionMapsComNamesToDevicesAndStringsReachTheLog)
{
    // A pseudo-terminal plays the device behind COM5.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(ptsname(master));
    {
        QFile ini(homeA.path() + "/Linvaro.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Serial Ports]\nCOM5=" + slave + "\n").toUtf8());
    }
    QProcess sqlite;
    sqlite.start("sqlite3", {homeA.path() + "/LINVARO.GDB",
                             "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, STOP_BITS, "
                             "FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, SENT_FLAG_TAG, "
                             "DISABLED, NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, AUTO_SEND_STRING, "
                             "AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);"
                             "INSERT INTO PORT_SETTING VALUES (1,'Scale','COM5','9600','8','None','1','None','','','',"
                             "'',0,13,'',0,'',100,0,'');"});
    ASSERT_TRUE(sqlite.waitForFinished(10000));
    ASSERT_EQ(sqlite.exitCode(), 0) << sqlite.readAllStandardError().toStdString();

    StartHeadless(first, Program(), homeA.path());
    QByteArray out;
    while (!out.contains("Port \"Scale\" started!")) {
        ASSERT_TRUE(first.waitForReadyRead(10000)) << out.toStdString();
        out += first.readAllStandardOutput();
    }
    ASSERT_EQ(::write(master, "12.5\r", 5), 5);
    while (!out.contains("String (HEX: 31 32 2E 35 0D ) received from port \"Scale\".")) {
        ASSERT_TRUE(first.waitForReadyRead(10000)) << out.toStdString();
        out += first.readAllStandardOutput();
    }
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(10000));
    ::close(master);
}

namespace {

// Where the activity log file is to be written.
enum class LogPlace { Writable, FullDisk, FolderNotWritable };

class LogFileFault : public Process, public ::testing::WithParamInterface<LogPlace> {
protected:
    // A device on COM5 with activity logging to file on, and the log file's
    // place prepared as the parameter says.
    void SetUp() override
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const QString slave = QString::fromLocal8Bit(ptsname(master));
        QFile ini(homeA.path() + "/Linvaro.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[System]\nLog Event=1\n[Serial Ports]\nCOM5=" + slave + "\n").toUtf8());
        ini.close();
        QProcess sqlite;
        sqlite.start("sqlite3", {homeA.path() + "/LINVARO.GDB",
                                 "CREATE TABLE PORT_SETTING (ID, DESCRIPTION, PORT, BAUD_RATE, DATA_BITS, PARITY, "
                                 "STOP_BITS, FLOW_CONTROL, RECEIVED_STRING_TAG, RECEIVED_FLAG_TAG, SENT_STRING_TAG, "
                                 "SENT_FLAG_TAG, DISABLED, NULL_TERMINATED, FROM_SUBSTRING, CONVERT_HEX, "
                                 "AUTO_SEND_STRING, AUTO_SEND_INTERVAL, LOGGED, AUTO_SUFFIX);"
                                 "INSERT INTO PORT_SETTING VALUES (1,'Scale','COM5','9600','8','None','1','None','','',"
                                 "'','',0,13,'',0,'',100,0,'');"});
        ASSERT_TRUE(sqlite.waitForFinished(10000));
        ASSERT_EQ(sqlite.exitCode(), 0) << sqlite.readAllStandardError().toStdString();

        const QString folder = homeA.path() + "/state/linvaro";
        logFile = folder + "/Linvaro.log";
        switch (GetParam()) {
        case LogPlace::Writable:
            ASSERT_TRUE(QDir().mkpath(folder));
            break;
        case LogPlace::FullDisk:
            ASSERT_TRUE(QDir().mkpath(folder));
            ASSERT_TRUE(QFile::link("/dev/full", logFile));
            break;
        case LogPlace::FolderNotWritable:
            ASSERT_TRUE(QDir().mkpath(folder));
            if (::geteuid() == 0) {
                // Permissions do not stop root: a file where the folder
                // should be stops every user.
                ASSERT_TRUE(QDir(folder).removeRecursively());
                QFile blocker(folder);
                ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
            } else {
                ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            }
            break;
        }
    }
    void TearDown() override
    {
        Process::TearDown();
        QFile::setPermissions(homeA.path() + "/state/linvaro",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (master >= 0)
            ::close(master);
    }
    // Waits until the program's standard output holds text.
    void WaitForOutput(const QByteArray& text)
    {
        while (!out.contains(text)) {
            ASSERT_EQ(first.state(), QProcess::Running) << out.toStdString();
            ASSERT_TRUE(first.waitForReadyRead(10000)) << "waiting for " << text.toStdString() << "\n" << out.toStdString();
            out += first.readAllStandardOutput();
        }
    }
    // The tag's value as an OPC client reads it from the running program.
    std::string ReadTag(const QString& item)
    {
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LINVARO_REGISTRY_ROOT", homeA.path() + "/registry");
        env.insert("XDG_DATA_HOME", homeA.path() + "/data");
        client.setProcessEnvironment(env);
        client.start(QString::fromStdString(ProgramFolder() + "linvaro-opc"), {"read", "Linvaro.DA2", item});
        if (!client.waitForFinished(10000))
            return "client did not finish";
        return (client.readAllStandardOutput() + client.readAllStandardError()).toStdString();
    }

    int master = -1;
    QString logFile;
    QByteArray out;
};

} // namespace

TEST_P(LogFileFault, ProgramKeepsReceivingAndStoringStrings)
{
    StartHeadless(first, Program(), homeA.path());
    WaitForOutput("Port \"Scale\" started!");
    for (const char* weight : {"10.5", "11.0", "12.25", "13.75"}) {
        const std::string line = std::string(weight) + "\r";
        ASSERT_EQ(::write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        QByteArray hex;
        for (char c : line)
            hex += QByteArray(1, c).toHex().toUpper() + " ";
        WaitForOutput("String (HEX: " + hex + ") received from port \"Scale\".");
    }
    const std::string read = ReadTag("Scale_COM5");
    EXPECT_NE(read.find("13.75"), std::string::npos) << read;

    QFile log(logFile);
    if (GetParam() == LogPlace::Writable) {
        // The log file is really written in this set-up, so the faults below
        // really hit the writes.
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_TRUE(log.readAll().contains("String (HEX: 31 33 2E 37 35 0D ) received from port \"Scale\"."));
    }
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
}

INSTANTIATE_TEST_SUITE_P(Process, LogFileFault,
                         ::testing::Values(LogPlace::Writable, LogPlace::FullDisk, LogPlace::FolderNotWritable),
                         [](const ::testing::TestParamInfo<LogPlace>& info) {
                             switch (info.param) {
                             case LogPlace::Writable: return std::string("Writable");
                             case LogPlace::FullDisk: return std::string("FullDisk");
                             case LogPlace::FolderNotWritable: return std::string("FolderNotWritable");
                             }
                             return std::string("Unknown");
                         });
