// The real program in separate processes: single instance per program file,
// the "Exit" message, termination signals, and start-up on bad files.
#include "DynamicLibrary.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <signal.h>

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
