// The remote tag library as the program uses it: loaded by name from the
// program folder, talking to the simulated OPC server in another process over
// the session bus. Each case runs in a process of its own (the library keeps
// one connection per process).
#include "SimServerProcess.h"
#include "TestWait.h"

#include "DynamicLibrary.h"
#include "opcDAHeader.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const char* const kProgId = "Linvaro.SimServer.1";

class RemoteTagLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string report;
        ASSERT_TRUE(library.Load(ProgramFolder(), [&](const std::string& r) { report = r; })) << report;
    }
    bool StartServer() { return sim.Start(); }

    std::string ReadText(const std::string& tag)
    {
        Variant v = Variant::fromText("unread");
        EXPECT_TRUE(library.ReadTag(tag, v.get())) << tag;
        return v.text();
    }

    SimServerProcess sim{{"Recv:string=W+12.5kg", "Flag:int", "Ready:bool=true"}};
    RemoteTagLibrary library;
};

} // namespace

TEST_F(RemoteTagLibraryTest, CallsBeforeInitialisationFailAndLeaveTheValue)
{
    ASSERT_TRUE(StartServer());
    Variant v = Variant::fromUI1(2);
    EXPECT_FALSE(library.ReadTag("Flag", v.get()));
    EXPECT_EQ(v.type(), VT_UI1);
    EXPECT_FALSE(library.WriteTag("Flag", Variant::fromUI1(2).get()));
}

TEST_F(RemoteTagLibraryTest, ReadsAndWritesTypedTagsAndCharacterElements)
{
    ASSERT_TRUE(StartServer());
    library.Init(nullptr, kProgId);

    Variant v = Variant::fromUI1(2);
    ASSERT_TRUE(library.ReadTag("Flag", v.get()));
    EXPECT_EQ(v.type(), VT_I4);
    EXPECT_EQ(v.text(), "0");
    ASSERT_TRUE(library.ReadTag("Ready", v.get()));
    EXPECT_EQ(v.type(), VT_BOOL);
    EXPECT_EQ(v.get()->boolVal, VARIANT_TRUE);
    EXPECT_EQ(ReadText("Recv"), "W+12.5kg");

    // The values remote mode writes: character codes and the flag as
    // unsigned 8-bit integers, the acknowledgement as a boolean.
    EXPECT_TRUE(library.WriteTag("Recv[1]", Variant::fromUI1('H').get()));
    EXPECT_TRUE(library.WriteTag("Recv[2]", Variant::fromUI1('I').get()));
    EXPECT_EQ(ReadText("Recv"), "HI12.5kg");
    EXPECT_EQ(ReadText("Recv[2]"), "73");
    EXPECT_TRUE(library.WriteTag("Flag", Variant::fromUI1(2).get()));
    EXPECT_EQ(ReadText("Flag"), "2");
    EXPECT_TRUE(library.WriteTag("Ready", Variant::fromBool(false).get()));
    ASSERT_TRUE(library.ReadTag("Ready", v.get()));
    EXPECT_EQ(v.get()->boolVal, VARIANT_FALSE);
    EXPECT_TRUE(library.WriteTag("Flag", Variant::fromBool(false).get()));
    EXPECT_EQ(ReadText("Flag"), "0");

    // What the server refuses is a plain false; the value stays as it was.
    v = Variant::fromUI1(2);
    EXPECT_FALSE(library.ReadTag("NoSuchTag", v.get()));
    EXPECT_EQ(v.type(), VT_UI1);
    EXPECT_FALSE(library.WriteTag("Recv[257]", Variant::fromUI1('x').get()));
    EXPECT_FALSE(library.WriteTag("Flag", Variant::fromText("not a number").get()));
    EXPECT_EQ(ReadText("Flag"), "0");
    EXPECT_FALSE(library.ReadTag("Flag", nullptr));

    EXPECT_TRUE(WaitFor([&] { return sim.Output().contains("Recv[1] = 72"); })) << sim.Output().constData();
}

TEST_F(RemoteTagLibraryTest, AcceptsCallsFromManyThreadsAtOnce)
{
    ASSERT_TRUE(StartServer());
    library.Init(nullptr, kProgId);
    constexpr int kThreads = 8;
    constexpr int kPerThread = 32;
    std::atomic<int> failures{0};
    std::atomic<int> writeFailures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const int position = t * kPerThread + i + 1;
                if (!library.WriteTag("Recv[" + std::to_string(position) + "]",
                                      Variant::fromUI1(static_cast<BYTE>('A' + t)).get()))
                    ++writeFailures;
                Variant flag = Variant::fromUI1(2);
                if (!library.ReadTag("Flag", flag.get()) || flag.type() != VT_I4)
                    ++failures;
            }
        });
    // The main thread reads meanwhile, as the receive path does.
    for (int i = 0; i < 50; ++i) {
        Variant flag = Variant::fromUI1(2);
        if (!library.ReadTag("Flag", flag.get()))
            ++failures;
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(writeFailures.load(), 0);
    std::string expected;
    for (int t = 0; t < kThreads; ++t)
        expected += std::string(kPerThread, static_cast<char>('A' + t));
    EXPECT_EQ(ReadText("Recv"), expected);
}

TEST_F(RemoteTagLibraryTest, ServerThatWentFailsAndARestartedOneIsUsedAgain)
{
    ASSERT_TRUE(StartServer());
    library.Init(nullptr, kProgId);
    EXPECT_TRUE(library.WriteTag("Flag", Variant::fromUI1(2).get()));

    sim.Stop();
    Variant v;
    EXPECT_FALSE(library.ReadTag("Flag", v.get()));
    EXPECT_FALSE(library.WriteTag("Flag", Variant::fromUI1(2).get()));

    ASSERT_TRUE(StartServer());
    // A fresh server: its flag holds the declared 0 again.
    EXPECT_TRUE(WaitFor([&] { return library.ReadTag("Flag", v.get()); }, 10000));
    EXPECT_EQ(v.text(), "0");
    EXPECT_TRUE(library.WriteTag("Recv[1]", Variant::fromUI1('Z').get()));
    EXPECT_EQ(ReadText("Recv"), "Z+12.5kg");
}

TEST_F(RemoteTagLibraryTest, HungServerGivesFalseWithinTheWaitAndRecovers)
{
    ASSERT_TRUE(StartServer());
    library.Init(nullptr, kProgId);
    Variant v;
    ASSERT_TRUE(library.ReadTag("Flag", v.get()));

    sim.Pause();
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(library.ReadTag("Flag", v.get()));
    // Bounded: the caller's wait, with room for a loaded machine; never the
    // client library's default of 30 s.
    EXPECT_LT(t.elapsed(), 15000);
    sim.Resume();
    EXPECT_TRUE(WaitFor([&] { return library.ReadTag("Flag", v.get()); }, 15000));
}

TEST_F(RemoteTagLibraryTest, UnknownServerFailsAtOnce)
{
    ASSERT_TRUE(StartServer());
    library.Init(nullptr, "No.Such.Server.1");
    Variant v;
    EXPECT_FALSE(library.ReadTag("Flag", v.get()));
    EXPECT_FALSE(library.WriteTag("Flag", Variant::fromUI1(2).get()));
}

TEST(RemoteTagLibraryLoad, MissingLibraryIsReportedByItsFileName)
{
    RemoteTagLibrary library;
    std::string report;
    EXPECT_FALSE(library.Load("/nonexistent/", [&](const std::string& r) { report = r; }));
    EXPECT_EQ(report, "opcDataAccess.so not loaded!");
    Variant v;
    EXPECT_FALSE(library.ReadTag("Flag", v.get()));
}
