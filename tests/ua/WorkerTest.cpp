// The endpoint's worker: jobs run off the calling thread one after the
// other in their order, each one's `done` comes back through `post`, and a
// full queue refuses more.
#include "Worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

using namespace ua;

TEST(UaWorker, RunsJobsInOrderOffTheCallerAndRefusesWhenFull)
{
    std::mutex m;
    std::vector<std::function<void()>> posted;
    std::vector<int> ran, done;
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::promise<void> firstStarted;
    const auto caller = std::this_thread::get_id();
    std::thread::id workerThread;
    auto worker = std::make_unique<Worker>(
        [&](std::function<void()> d) {
            std::lock_guard<std::mutex> lock(m);
            posted.push_back(std::move(d));
        },
        3);
    // The first job holds the worker; three wait behind it; a fifth is
    // one too many.
    ASSERT_TRUE(worker->Submit(
        [&] {
            workerThread = std::this_thread::get_id();
            firstStarted.set_value();
            gate.wait();
            std::lock_guard<std::mutex> lock(m);
            ran.push_back(0);
        },
        [&] { done.push_back(0); }));
    firstStarted.get_future().wait();
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(worker->Submit(
            [&, i] {
                std::lock_guard<std::mutex> lock(m);
                ran.push_back(i);
            },
            [&, i] { done.push_back(i); }));
    EXPECT_FALSE(worker->Submit([] {}, [] {}));
    release.set_value();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m);
            if (posted.size() == 4 || std::chrono::steady_clock::now() > deadline)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_NE(workerThread, caller);
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(done.empty()) << "done runs where post puts it, not on the worker";
    for (auto& d : posted)
        d();
    EXPECT_EQ(done, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(worker->Submit([] {}, [] {})) << "room again";
}
