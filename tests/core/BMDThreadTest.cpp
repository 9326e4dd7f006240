#include "BMDThread.h"

#include "TestWait.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A handler that loops until stopped, as the send loop does.
struct LoopingHandler {
    std::atomic<int> entered{0};
    std::atomic<int> passes{0};
    void install(TBMDThread& t)
    {
        t.SetOnExecute([this](TBMDThread*, TBMDExecuteThread* th, void*&) {
            ++entered;
            while (!th->StopRequested()) {
                ++passes;
                QThread::msleep(1);
            }
        });
    }
};

} // namespace

TEST(BMDThread, StartTwiceCreatesOneThread)
{
    TBMDThread t;
    LoopingHandler h;
    h.install(t);
    t.Start();
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return h.passes > 0; }));
    t.Stop();
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
    EXPECT_EQ(h.entered, 1);
    EXPECT_TRUE(t.TerminatedCopy());
}

TEST(BMDThread, StartWhileThePreviousThreadIsEndingDoesNothing)
{
    TBMDThread t;
    LoopingHandler h;
    h.install(t);
    int terminated = 0;
    t.SetOnTerminate([&](TBMDThread*, TBMDExecuteThread*, void*&) { ++terminated; });
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return h.entered == 1; }));
    t.Stop();
    t.Start(); // the old thread has not reported its end yet
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
    EXPECT_EQ(h.entered, 1) << "the second start must not have created a thread";
    EXPECT_EQ(terminated, 1);
    t.Start(); // now idle: a fresh thread
    ASSERT_TRUE(WaitFor([&] { return h.entered == 2; }));
    t.Stop();
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
}

TEST(BMDThread, DestroyWaitsForTheHandlersNextPoll)
{
    LoopingHandler h;
    std::atomic<bool> returned{false};
    {
        TBMDThread t;
        t.SetOnExecute([&](TBMDThread*, TBMDExecuteThread* th, void*&) {
            ++h.entered;
            while (!th->StopRequested())
                QThread::msleep(1);
            QThread::msleep(20); // work after the poll must still finish first
            returned = true;
        });
        t.Start();
        ASSERT_TRUE(WaitFor([&] { return h.entered == 1; }));
    }
    EXPECT_TRUE(returned);
}

TEST(BMDThread, SynchronizeRunsOnTheMainThreadAndWaits)
{
    TBMDThread t;
    std::atomic<bool> ranOnMain{false};
    std::atomic<bool> afterCall{false};
    QThread* mainThread = QThread::currentThread();
    t.SetOnExecute([&](TBMDThread*, TBMDExecuteThread* th, void*&) {
        int value = 0;
        bool called = th->Synchronize([&] {
            ranOnMain = QThread::currentThread() == mainThread;
            value = 42;
        });
        afterCall = called && value == 42;
    });
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(afterCall);
}

TEST(BMDThread, SynchronizeAfterStopIsSkipped)
{
    TBMDThread t;
    std::atomic<bool> methodCalled{false};
    std::atomic<int> result{-1};
    t.SetOnExecute([&](TBMDThread*, TBMDExecuteThread* th, void*&) {
        while (!th->StopRequested())
            QThread::msleep(1);
        result = th->Synchronize([&] { methodCalled = true; }) ? 1 : 0;
    });
    t.Start();
    t.Stop();
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(methodCalled);
}

TEST(BMDThread, DestroyServesASynchronizeInFlight)
{
    // Destroyed at once, without serving events first: a Synchronize that got
    // through must be run by the destructor itself, or the thread would never
    // end. Whether it got through before the stop request is a race, so the
    // scenario runs many times and must never hang or lose a call.
    int servedCount = 0;
    for (int round = 0; round < 30; ++round) {
        std::atomic<bool> served{false};
        std::atomic<int> called{-1};
        {
            TBMDThread t;
            t.SetOnExecute([&](TBMDThread*, TBMDExecuteThread* th, void*&) {
                called = th->Synchronize([&] { served = true; }) ? 1 : 0;
                while (!th->StopRequested())
                    QThread::msleep(1);
            });
            t.Start();
            if (round % 2)
                QThread::msleep(2); // let the call be posted before the stop
        }
        ASSERT_NE(called, -1);
        EXPECT_EQ(served.load(), called == 1);
        servedCount += served ? 1 : 0;
    }
    EXPECT_GT(servedCount, 0) << "no round exercised a call in flight";
}

TEST(BMDThread, OnStartRunsBeforeTheHandlerAndDataIsPassed)
{
    TBMDThread t;
    std::atomic<int> order{0};
    std::atomic<int> startSeen{0}, executeSeen{0};
    int payload = 7;
    std::atomic<void*> dataSeen{nullptr};
    t.SetOnStart([&](TBMDThread*, TBMDExecuteThread*, void*&) { startSeen = ++order; });
    t.SetOnExecute([&](TBMDThread*, TBMDExecuteThread*, void*& data) {
        executeSeen = ++order;
        dataSeen = data;
    });
    t.Start(&payload);
    ASSERT_TRUE(WaitFor([&] { return !t.Running(); }));
    EXPECT_EQ(startSeen, 1);
    EXPECT_EQ(executeSeen, 2);
    EXPECT_EQ(dataSeen.load(), &payload);
}
