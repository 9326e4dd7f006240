// Client writes go to the port's own sending side: the main thread never
// waits for a device that takes no data (flow control held off with XOFF),
// writes leave in the order they came, and a write that cannot go out in time
// is logged with the port's description while the tag keeps what the client
// wrote.
#include "LinkFixture.h"
#include "PortHub.h"

#include <QTimer>

namespace {

constexpr char kXoff = 0x13;
constexpr char kXon = 0x11;

class ClientWrite : public LinkFixture {
protected:
    bool LogHas(const std::string& part) const
    {
        for (const auto& l : host.log)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }
};

} // namespace

TEST_F(ClientWrite, APortHeldOffByXoffNeverHoldsTheMainThread)
{
    TPortSetting s = MakeSetting("Printer", "COM1");
    s[psFLOW_CONTROL] = "Xon / Xoff";
    s[psAUTO_SUFFIX] = "\r";
    Build({s}, LinkMode::Local, 1500);
    PortHub hub(*list, &tags);
    list->StartAll();
    ASSERT_TRUE(host.scanning);
    ASSERT_TRUE(ptys[0].write(std::string(1, kXoff)));

    // The main thread keeps its timers going all along.
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);

    const int tag = Link(0).TagIndex();
    const std::string big(300000, 'x'); // more than the line buffers even without XOFF
    QElapsedTimer call;
    call.start();
    ASSERT_TRUE(hub.WriteTag(tag, big));
    ASSERT_TRUE(hub.WriteTag(tag, "B1"));
    ASSERT_TRUE(hub.WriteTag(tag, "B2"));
    EXPECT_LT(call.elapsed(), 500) << "a client write waited for the port";
    ::TagValue value;
    ASSERT_TRUE(hub.Tag(tag, value));
    EXPECT_EQ(value.text, "B2") << "the tag holds what the client wrote";

    const std::string failed = "written by a client to port \"Printer\" could not be sent within the Port Response "
                               "Timeout";
    ASSERT_TRUE(WaitFor([&] { return LogHas(failed); }, 10000)) << "the stuck write is not logged";
    EXPECT_GT(ticks, 50) << "the event loop stalled while the port took nothing";
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_GE(Link(0).Counters().errors, 1u);

    // The line flows again: the writes behind the stuck one go out, in order.
    ASSERT_TRUE(ptys[0].write(std::string(1, kXon)));
    const std::string got = ReadUntil(ptys[0], [](const std::string& g) {
        return g.size() >= 6 && g.compare(g.size() - 6, 6, "B1\rB2\r") == 0;
    });
    ASSERT_GE(got.size(), 6u);
    EXPECT_EQ(got.substr(got.size() - 6), "B1\rB2\r");
    EXPECT_EQ(got.find_first_not_of('x'), got.size() - 6) << "nothing but the stuck write's head before them";
}

TEST_F(ClientWrite, WritesLeaveInOrderAndAPortThatTakesNothingDoesNotQueueWithoutEnd)
{
    TPortSetting s = MakeSetting("Printer", "COM1");
    s[psFLOW_CONTROL] = "Xon / Xoff";
    Build({s}, LinkMode::Local, 60000);
    list->StartAll();
    std::string expected;
    for (int i = 0; i < 200; ++i) {
        const std::string text = "<" + std::to_string(i) + ">";
        list->ClientWrite(0, text);
        expected += text;
    }
    EXPECT_EQ(ReadUntil(ptys[0], [&](const std::string& g) { return g.size() >= expected.size(); }), expected);

    // Held off for good: past the bound a write is refused at once and said so.
    ASSERT_TRUE(ptys[0].write(std::string(1, kXoff)));
    ASSERT_TRUE(WaitFor([&] {
        list->ClientWrite(0, std::string(100000, 'y'));
        return LogHas("bytes are still waiting for the port.");
    }, 10000));
    EXPECT_LE(Link(0).QueuedWrites(), TCommObj::kMaxQueuedBytes / 100000 + 1);
    EXPECT_TRUE(LogHas("written by a client to port \"Printer\" was not sent: "));

    // A stop drops what still waits, and says so.
    list->StopAll();
    EXPECT_EQ(Link(0).QueuedWrites(), 0u);
    EXPECT_TRUE(LogHas("written by clients to port \"Printer\" could not be sent: the port was stopped."));
}
