// The seam the endpoints use: what it reports of ports and tags, the signals
// it emits, and its write path, against real links on pseudo-terminals.
#include "LinkFixture.h"
#include "PortHub.h"
#include "PortText.h"

#include <vector>

namespace {

class PortHubTest : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        hub = std::make_unique<PortHub>(*list, &tags);
        QObject::connect(hub.get(), &PortHub::tagChanged, [this](int i) { tagEvents.push_back(i); });
        QObject::connect(hub.get(), &PortHub::portStateChanged, [this](int i) { stateEvents.push_back(i); });
        QObject::connect(hub.get(), &PortHub::portsReloaded, [this] { ++reloads; });
    }
    void TearDown() override
    {
        list->StopAll();
        hub.reset();
        LinkFixture::TearDown();
    }
    std::unique_ptr<PortHub> hub;
    std::vector<int> tagEvents, stateEvents;
    int reloads = 0;
};

} // namespace

TEST_F(PortHubTest, ReportsPortsTagsStatesAndCountersOfRealLinks)
{
    TPortSetting a = MakeSetting("Scale", "COM1");
    a[psAUTO_SUFFIX] = "\r\n";
    Build({a, MakeSetting("Reader", "COM2")});
    EXPECT_EQ(reloads, 1);
    ASSERT_EQ(hub->PortCount(), 2);
    EXPECT_FALSE(hub->RemoteMode());
    PortInfo p = hub->Port(1);
    EXPECT_EQ(p.description, "Reader");
    EXPECT_EQ(p.port, "COM2");
    EXPECT_EQ(p.tagName, "Reader_COM2");
    EXPECT_EQ(hub->TagIndexOf("Reader_COM2"), p.tagIndex);
    EXPECT_EQ(hub->LinkOfTag(p.tagIndex), 1);
    EXPECT_EQ(p.state, PortState::Stopped);
    EXPECT_EQ(hub->Port(2).linkIndex, -1);

    list->StartAll();
    EXPECT_EQ(hub->State(0), PortState::Running);
    EXPECT_EQ(stateEvents, (std::vector<int>{0, 1}));

    // A framed string: tag value, time stamp, change count, signal, counters.
    ASSERT_TRUE(ptys[0].write("12.5 kg\r"));
    const int tag0 = hub->Port(0).tagIndex;
    ASSERT_TRUE(WaitFor([&] { return !tagEvents.empty(); }));
    ::TagValue v;
    ASSERT_TRUE(hub->Tag(tag0, v));
    EXPECT_EQ(v.name, "Scale_COM1");
    EXPECT_EQ(v.text, "12.5 kg");
    EXPECT_EQ(v.changeCount, 1u);
    EXPECT_GT(v.changedMs, 1700000000000);
    EXPECT_FALSE(v.deviceLost);
    PortCounters c = hub->Counters(0);
    EXPECT_EQ(c.stringsReceived, 1u);
    EXPECT_EQ(c.bytesReceived, 8u);
    EXPECT_EQ(c.lastReceivedMs, v.changedMs);

    // The write path: value stored, sent with the suffix, counted, signalled.
    tagEvents.clear();
    ASSERT_TRUE(hub->WriteTag(tag0, "TARE"));
    EXPECT_EQ(tagEvents, std::vector<int>{tag0});
    std::string got;
    EXPECT_TRUE(WaitFor([&] {
        got += ptys[0].read(1024, std::chrono::milliseconds(5));
        return got == "TARE\r\n";
    })) << got;
    ASSERT_TRUE(hub->Tag(tag0, v));
    EXPECT_EQ(v.text, "TARE");
    EXPECT_EQ(hub->Counters(0).bytesSent, 6u);
    EXPECT_FALSE(hub->WriteTag(99, "x"));

    list->StopAll();
    EXPECT_EQ(hub->State(1), PortState::Stopped);
    EXPECT_EQ(stateEvents.size(), 4u);
}

TEST_F(PortHubTest, RemoteModeHasPortsButNoTags)
{
    Build({MakeSetting("Scale", "COM1")}, LinkMode::Remote);
    EXPECT_TRUE(hub->RemoteMode());
    EXPECT_EQ(hub->PortCount(), 1);
    EXPECT_EQ(hub->Port(0).tagIndex, -1);
    EXPECT_TRUE(hub->Port(0).tagName.empty());
    EXPECT_EQ(hub->TagCount(), 0);
}

// Unicode clients (OPC UA, Sparkplug B) see and send the characters that OPC
// DA clients do: one byte is one character by default, UTF-8 by choice.
TEST(PortHubText, ClientTextFollowsThePortTextRule)
{
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    EXPECT_EQ(PortHub::ClientText("\xB0" "C"), "\xC2\xB0" "C");
    EXPECT_EQ(PortHub::PortBytes(PortHub::ClientText(all)), all);
    EXPECT_EQ(PortHub::PortBytes("\xE2\x82\xAC"), "?") << "no byte for a character beyond Latin-1";

    SetPortTextEncoding(PortTextEncoding::Utf8);
    EXPECT_EQ(PortHub::ClientText("\xC2\xB0"), "\xC2\xB0");
    EXPECT_EQ(PortHub::PortBytes("\xE2\x82\xAC"), "\xE2\x82\xAC");
    SetPortTextEncoding(PortTextEncoding::Latin1);
}
