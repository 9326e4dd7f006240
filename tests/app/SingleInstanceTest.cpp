#include "AppInit.h"

#include "TestWait.h"

#include <gtest/gtest.h>

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
