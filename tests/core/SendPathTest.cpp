#include "LinkFixture.h"

#include <algorithm>

namespace {

class SendPath : public LinkFixture {
protected:
    static std::size_t Count(const std::string& hay, const std::string& needle)
    {
        std::size_t n = 0;
        for (std::size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + needle.size()))
            ++n;
        return n;
    }
    TPortSetting RemoteSetting()
    {
        TPortSetting s = MakeSetting("Scale", "COM1");
        s[psRECEIVED_STRING_TAG] = "Recv";
        s[psRECEIVED_FLAG_TAG] = "RecvFlag";
        s[psSENT_STRING_TAG] = "Sent";
        s[psSENT_FLAG_TAG] = "SentFlag";
        return s;
    }
    // Starts a link that auto-sends "Z" on every pass and waits for the
    // first one to arrive.
    void StartSendingZ()
    {
        TPortSetting s = MakeSetting("A", "COM1");
        s[psAUTO_SEND_STRING] = "Z";
        s[psAUTO_SEND_INTERVAL] = "0";
        Build({s});
        list->StartAll();
        ASSERT_FALSE(ReadUntil(ptys[0], [](const std::string& g) { return !g.empty(); }).empty());
    }
    // Starts a handshake send of far more than the pseudo-terminal buffers
    // while nobody reads it: the send waits for the port.
    FakeRemoteTags& StartStuckHandshake(std::uint32_t timeout)
    {
        Build({RemoteSetting()}, LinkMode::Remote, timeout);
        auto& remoteTags = FakeRemoteTags::Instance();
        remoteTags.Set("Sent", Variant::fromText(std::string(1 << 20, 'x')));
        remoteTags.Set("SentFlag", Variant::fromI2(1));
        list->StartAll();
        return remoteTags;
    }
};

} // namespace

TEST_F(SendPath, AutoSendRepeatsWithTheSuffix)
{
    TPortSetting s = MakeSetting("A", "COM1");
    s[psAUTO_SEND_STRING] = "PING";
    s[psAUTO_SEND_INTERVAL] = "30";
    s[psAUTO_SUFFIX] = "\r";
    Build({s});
    list->StartAll();
    const std::string got = ReadUntil(ptys[0], [&](const std::string& g) { return Count(g, "PING\r") >= 3; });
    EXPECT_GE(Count(got, "PING\r"), 3u) << got;
    EXPECT_EQ(got.size() % 5, 0u) << "every auto-send goes out whole";
}

TEST_F(SendPath, AutoSendIntervalZeroSendsOnEveryPass)
{
    TPortSetting s = MakeSetting("A", "COM1");
    s[psAUTO_SEND_STRING] = "Z";
    s[psAUTO_SEND_INTERVAL] = "0";
    Build({s});
    list->StartAll();
    const std::string got = ReadUntil(ptys[0], [&](const std::string& g) { return g.size() >= 10; });
    EXPECT_GE(got.size(), 10u);
    EXPECT_EQ(got.find_first_not_of('Z'), std::string::npos);
}

TEST_F(SendPath, StopEndsTheSendLoop)
{
    StartSendingZ();
    list->StopAll();
    ASSERT_TRUE(WaitFor([&] { return !Link(0).Worker().Running(); }));
}

TEST_F(SendPath, SentFlagHandshakeSendsTheSentStringAndAcknowledges)
{
    TPortSetting s = RemoteSetting();
    s[psAUTO_SUFFIX] = "\r\n";
    Build({s}, LinkMode::Remote);
    auto& remoteTags = FakeRemoteTags::Instance();
    remoteTags.Set("Sent", Variant::fromText("HELLO"));
    remoteTags.Set("SentFlag", Variant::fromI2(1));
    list->StartAll();
    // Handshake sends run on the main thread: read while serving its events.
    EXPECT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return g.size() >= 7; }), "HELLO\r\n");
    ASSERT_TRUE(WaitFor([&] { return remoteTags.Get("SentFlag").type() == VT_BOOL; }));
    EXPECT_EQ(remoteTags.Get("SentFlag").get()->boolVal, VARIANT_FALSE);
    EXPECT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return !g.empty(); }, 300), "")
        << "nothing more while the flag is false";
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(SendPath, SentFlagTextOneCountsButBooleanTrueAndTwoDoNot)
{
    Build({RemoteSetting()}, LinkMode::Remote);
    auto& remoteTags = FakeRemoteTags::Instance();
    remoteTags.Set("Sent", Variant::fromText("X"));
    remoteTags.Set("SentFlag", Variant::fromBool(true));
    list->StartAll();
    ASSERT_TRUE(WaitFor([&] { return remoteTags.Reads() > 20; }));
    EXPECT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return !g.empty(); }, 100), "");
    remoteTags.Set("SentFlag", Variant::fromI4(2));
    const int reads = remoteTags.Reads();
    ASSERT_TRUE(WaitFor([&] { return remoteTags.Reads() > reads + 20; }));
    EXPECT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return !g.empty(); }, 100), "");
    remoteTags.Set("SentFlag", Variant::fromText("1"));
    EXPECT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return !g.empty(); }), "X");
}

TEST_F(SendPath, EmptySentFlagTagNameMeansAutoSendOnly)
{
    TPortSetting s = RemoteSetting();
    s[psSENT_FLAG_TAG] = "";
    s[psAUTO_SEND_STRING] = "A";
    s[psAUTO_SEND_INTERVAL] = "0";
    Build({s}, LinkMode::Remote);
    list->StartAll();
    ASSERT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return g.size() >= 5; }).substr(0, 5), "AAAAA");
    EXPECT_EQ(FakeRemoteTags::Instance().Reads(), 0);
}

TEST_F(SendPath, HandshakeSendThatTimesOutStopsAllAndLeavesTheFlagSet)
{
    auto& remoteTags = StartStuckHandshake(200);
    ASSERT_TRUE(WaitFor([&] { return !host.boxes.empty(); }, 10000));
    ServeEventsFor(200); // a second report would arrive here
    const std::string value(1 << 20, 'x');
    const std::string logLine = "Error while sending string \"" + value +
                                "\" to port \"Scale\"! Try to increase the Port Response Timeout if necessary. "
                                "Scanning of all ports has been stopped.";
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Error while sending string \"" + value +
                                      "\" to port \"Scale\"!\rTry to adjust the Port Response Timeout if "
                                      "necessary.\rScanning of all ports has been stopped.");
    const auto stopped = std::find(host.events.begin(), host.events.end(), "log:Port \"Scale\" stopped!");
    const auto logged = std::find(host.events.begin(), host.events.end(), "log:" + logLine);
    const auto boxed = std::find(host.events.begin(), host.events.end(), "box:" + host.boxes[0].text);
    ASSERT_NE(logged, host.events.end());
    EXPECT_TRUE(stopped < logged && logged < boxed) << "stop-all, then the log line, then the box";
    EXPECT_EQ(remoteTags.Get("SentFlag").type(), VT_I2) << "the request stays pending";
    EXPECT_FALSE(Link(0).Running());
}

TEST_F(SendPath, FailedSentFlagReadOnTheWorkerIsReportedOnceOnTheMainThread)
{
    Build({RemoteSetting()}, LinkMode::Remote);
    FakeRemoteTags::Instance().Fail("SentFlag");
    list->StartAll();
    ASSERT_TRUE(WaitFor([&] { return !host.boxes.empty(); }));
    ServeEventsFor(200);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Error while reading tag \"SentFlag\"!\rScanning of all ports has been stopped.");
    EXPECT_TRUE(host.LogContains("Error while reading tag \"SentFlag\"! Scanning of all ports has been stopped."));
    const auto process = std::find(host.events.begin(), host.events.end(), "process");
    const auto logged = std::find(host.events.begin(), host.events.end(),
                                  "log:Error while reading tag \"SentFlag\"! Scanning of all ports has been stopped.");
    EXPECT_TRUE(process < logged) << "messages are processed before the log line";
    EXPECT_FALSE(host.scanning);
}

TEST_F(SendPath, StopDuringAHandshakeSendSkipsItWithoutAReport)
{
    auto& remoteTags = StartStuckHandshake(3000);
    ASSERT_TRUE(WaitFor([&] { return ptys[0].pending() > 0; }));
    QElapsedTimer stop;
    stop.start();
    list->StopAll();
    EXPECT_LT(stop.elapsed(), 1500) << "stop-all waited for the send";
    ASSERT_TRUE(WaitFor([&] { return !Link(0).Worker().Running(); }));
    ServeEventsFor(300); // a report would arrive here
    EXPECT_TRUE(host.boxes.empty()) << host.boxes.front().text;
    EXPECT_EQ(remoteTags.Get("SentFlag").type(), VT_I2) << "the request stays pending";
}

TEST_F(SendPath, StopThenStartAtOnceLeavesAWorkingSendLoop)
{
    StartSendingZ();
    for (int round = 0; round < 5; ++round) {
        list->StopAll();
        list->StartAll(); // the stopped thread has not ended yet
        ASSERT_TRUE(Link(0).Running());
        ptys[0].read(1 << 16, std::chrono::milliseconds(20)); // what went out before
        EXPECT_GE(ReadUntil(ptys[0], [](const std::string& g) { return g.size() >= 3; }).size(), 3u)
            << "round " << round << ": the restarted link sends nothing";
    }
}

TEST_F(SendPath, ALinkWithNothingToSendRunsNoThreadUntilAClientWrites)
{
    TPortSetting s = MakeSetting("A", "COM1");
    s[psAUTO_SUFFIX] = "\r";
    Build({s});
    list->StartAll();
    ServeEventsFor(50);
    EXPECT_FALSE(Link(0).Worker().Running()) << "an idle port needs no thread";
    list->ClientWrite(0, "GO");
    EXPECT_EQ(ReadUntil(ptys[0], [](const std::string& g) { return g.size() >= 3; }), "GO\r");
    list->StopAll();
    EXPECT_TRUE(WaitFor([&] { return !Link(0).Worker().Running(); }));
}

TEST_F(SendPath, AWorkerWaitingForItsNextAutoSendEndsAtOnceOnStop)
{
    TPortSetting s = MakeSetting("A", "COM1");
    s[psAUTO_SEND_STRING] = "PING";
    s[psAUTO_SEND_INTERVAL] = "60000";
    Build({s});
    list->StartAll();
    ASSERT_TRUE(WaitFor([&] { return Link(0).Worker().Running(); }));
    ServeEventsFor(50);
    QElapsedTimer t;
    t.start();
    list->StopAll();
    ASSERT_TRUE(WaitFor([&] { return !Link(0).Worker().Running(); }, 10000));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(ptys[0].read(1, std::chrono::milliseconds(10)), "") << "nothing was due yet";
}
