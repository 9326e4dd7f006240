#include "AppInit.h"

#include "ScopedEnv.h"
#include "TestWait.h"
#include "UserFolders.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <thread>

TEST(SingleInstance, MutexNameIsThePathUpperCasedWithBackslashesReplaced)
{
    EXPECT_EQ(SingleInstance::MutexName("C:\\Program Files\\Linvaro.exe"), "APPLICATION-C:_PROGRAM FILES_LINVARO.EXE");
    EXPECT_EQ(SingleInstance::MutexName("/opt/linvaro/linvaro"), "APPLICATION-/OPT/LINVARO/LINVARO");
    EXPECT_NE(SingleInstance::SocketName("APPLICATION-/A/LINVARO"), SingleInstance::SocketName("APPLICATION-/B/LINVARO"));
    EXPECT_FALSE(SingleInstance::SocketName("APPLICATION-/A/LINVARO").contains('/'));
}

TEST(SingleInstance, SecondCopyOfTheSameFileIsRefusedAnotherFileIsNot)
{
    SingleInstance first, second, other;
    ASSERT_TRUE(first.Acquire("/tmp/instance-test/linvaro"));
    EXPECT_FALSE(second.Acquire("/tmp/instance-test/linvaro"));
    EXPECT_TRUE(other.Acquire("/tmp/instance-test-elsewhere/linvaro"));
}

TEST(SingleInstance, TextSentByAnotherCopyArrivesWhole)
{
    SingleInstance running;
    ASSERT_TRUE(running.Acquire("/tmp/instance-text/linvaro"));
    std::string got;
    QObject::connect(&running, &SingleInstance::textReceived, [&](const std::string& t) { got = t; });
    bool sent = false;
    std::thread sender([&] { sent = SingleInstance::SendText("/tmp/instance-text/linvaro", "Exit"); });
    ASSERT_TRUE(WaitFor([&] { return !got.empty(); }));
    sender.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(got, "Exit");
    EXPECT_FALSE(SingleInstance::SendText("/tmp/instance-nobody/linvaro", "Exit", 300));
}

namespace {

// Sends text from another thread (SendText waits) and returns what the
// running copy received.
std::string SendAndReceive(SingleInstance& running, const std::string& program, const std::string& text)
{
    std::string got;
    const auto connection =
        QObject::connect(&running, &SingleInstance::textReceived, [&](const std::string& t) { got = t; });
    bool sent = false;
    std::thread sender([&] { sent = SingleInstance::SendText(program, text); });
    WaitFor([&] { return !got.empty(); });
    sender.join();
    QObject::disconnect(connection);
    return sent ? got : "<not sent>";
}

} // namespace

// Copies started from different environments of one user (another TMPDIR,
// a runtime folder variable set or not) see each other, and "Exit" reaches
// the running copy from each of them.
TEST(SingleInstance, EveryEnvironmentOfTheUserFindsTheRunningCopy)
{
    const std::string program = "/tmp/instance-env/linvaro";
    QTemporaryDir tmpA, tmpB, runtime;
    ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const std::string a = tmpA.path().toStdString(), b = tmpB.path().toStdString(), r = runtime.path().toStdString();
    SingleInstance running;
    {
        ScopedEnv tmp("TMPDIR", a.c_str()), xdg("XDG_RUNTIME_DIR", nullptr);
        ASSERT_TRUE(running.Acquire(program)) << running.Error();
    }
    const std::pair<const char*, const char*> environments[] = {
        {b.c_str(), nullptr}, {nullptr, r.c_str()}, {b.c_str(), r.c_str()}, {a.c_str(), "relative/run"}};
    for (const auto& [tmpdir, runtimeDir] : environments) {
        SCOPED_TRACE(std::string("TMPDIR=") + (tmpdir ? tmpdir : "<unset>") +
                     " XDG_RUNTIME_DIR=" + (runtimeDir ? runtimeDir : "<unset>"));
        ScopedEnv tmp("TMPDIR", tmpdir), xdg("XDG_RUNTIME_DIR", runtimeDir);
        SingleInstance second;
        EXPECT_FALSE(second.Acquire(program));
        EXPECT_EQ(second.Error(), "") << "refused because a copy runs, not because of an error";
        EXPECT_EQ(SendAndReceive(running, program, "Exit"), "Exit");
    }
}

// What a copy that was killed leaves behind (its lock file, a socket file
// nobody listens on) does not keep the next copy from starting.
TEST(SingleInstance, FilesLeftByAKilledCopyDoNotHoldTheInstance)
{
    const std::string program = "/tmp/instance-left/linvaro";
    const auto folders = userfolders::RuntimeFolders(true);
    ASSERT_FALSE(folders.empty());
    const std::string base = folders.front() + "/" + SingleInstance::SocketName(SingleInstance::MutexName(program)).toStdString();
    for (const char* suffix : {".lock", ".sock"}) {
        QFile f(QString::fromStdString(base + suffix));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << base << suffix;
    }
    SingleInstance next;
    ASSERT_TRUE(next.Acquire(program)) << next.Error();
    EXPECT_EQ(SendAndReceive(next, program, "Exit"), "Exit");
}
