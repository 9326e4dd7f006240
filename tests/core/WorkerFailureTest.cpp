// Failures that link workers meet while the main thread stops, reloads or
// ends: a remote server that hangs in a read and then fails it must neither
// crash the program nor give more than one report.
#include "LinkFixture.h"

#include <thread>

namespace {

class WorkerFailure : public LinkFixture {
protected:
    static TPortSetting RemoteSetting(const std::string& description, const std::string& port)
    {
        TPortSetting s = MakeSetting(description, port);
        s[psRECEIVED_STRING_TAG] = description + "Recv";
        s[psRECEIVED_FLAG_TAG] = description + "RecvFlag";
        s[psSENT_STRING_TAG] = description + "Sent";
        s[psSENT_FLAG_TAG] = "SentFlag"; // both links poll the same flag
        return s;
    }
    static FakeRemoteTags& Tags() { return FakeRemoteTags::Instance(); }

    // The hung server comes back only to fail every read it was holding,
    // while the main thread is inside `teardown`.
    void FailHeldReadsDuring(const std::function<void()>& teardown)
    {
        Tags().Hold("SentFlag");
        list->StartAll();
        ASSERT_TRUE(WaitFor([&] { return Tags().HeldReaders() == 2; }));
        Tags().Fail("SentFlag");
        std::thread server([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            Tags().Release();
        });
        teardown();
        server.join();
        ServeEventsFor(100); // a queued report would arrive here
    }
};

} // namespace

TEST_F(WorkerFailure, AHungServerFailingDuringReloadOrExitNeitherCrashesNorReports)
{
    Build({RemoteSetting("Scale", "COM1"), RemoteSetting("Printer", "COM2")}, LinkMode::Remote);
    // A reload: stop-all, then the links are destroyed and rebuilt while
    // their workers are still inside the read.
    FailHeldReadsDuring([&] { Build({RemoteSetting("Scale", "COM1"), RemoteSetting("Printer", "COM2")}, LinkMode::Remote); });
    EXPECT_TRUE(host.boxes.empty()) << host.boxes.front().text;

    // The program's end: stop-all, then the list goes.
    Tags().Reset();
    FakeRemoteTags::Attach(remote);
    FailHeldReadsDuring([&] {
        list->StopAll();
        list.reset();
    });
    EXPECT_TRUE(host.boxes.empty()) << host.boxes.front().text;
}

TEST_F(WorkerFailure, TwoWorkersMeetingADeadServerGiveOneReport)
{
    Build({RemoteSetting("Scale", "COM1"), RemoteSetting("Printer", "COM2")}, LinkMode::Remote);
    Tags().Hold("SentFlag");
    list->StartAll();
    ASSERT_TRUE(WaitFor([&] { return Tags().HeldReaders() == 2; }));
    Tags().Fail("SentFlag");
    Tags().Release(); // both reads fail at once
    ASSERT_TRUE(WaitFor([&] { return !host.boxes.empty(); }));
    ServeEventsFor(300);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Error while reading tag \"SentFlag\"!\rScanning of all ports has been stopped.");
    EXPECT_FALSE(host.scanning);

    // A new run reports its own failure again.
    host.boxes.clear();
    list->StartAll();
    ASSERT_TRUE(WaitFor([&] { return !host.boxes.empty(); }));
    ServeEventsFor(300);
    EXPECT_EQ(host.boxes.size(), 1u);
}
