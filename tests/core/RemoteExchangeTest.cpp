#include "LinkFixture.h"

namespace {

class RemoteExchange : public LinkFixture {
protected:
    TCommObj& StartRemote(const std::string& terminator = "13")
    {
        TPortSetting s = MakeSetting("Scale", "COM1", terminator);
        s[psRECEIVED_STRING_TAG] = "Recv";
        s[psRECEIVED_FLAG_TAG] = "RecvFlag";
        Build({s}, LinkMode::Remote);
        list->StartAll();
        EXPECT_TRUE(Link(0).Running());
        return Link(0);
    }
    void Feed(TCommObj& link, const std::string& bytes) { link.ReceiveData(bytes.data(), static_cast<std::uint32_t>(bytes.size())); }
    std::string Element(int i) { return std::string(1, static_cast<char>(Tags().Get("Recv[" + std::to_string(i) + "]").get()->bVal)); }
    static FakeRemoteTags& Tags() { return FakeRemoteTags::Instance(); }
};

} // namespace

TEST_F(RemoteExchange, FlagOneCountsAsClearTwoThreeAndTrueAsSet)
{
    for (const Variant& set : {Variant::fromI2(2), Variant::fromI2(3), Variant::fromBool(true), Variant::fromText("6")}) {
        Tags().Reset();
        TCommObj& link = StartRemote();
        Tags().Set("RecvFlag", set);
        Feed(link, "A\r");
        Feed(link, "B\r");
        EXPECT_FALSE(link.ReceiveArmed());
        EXPECT_TRUE(Tags().Writes().empty());
    }
    Tags().Reset();
    TCommObj& link = StartRemote();
    Tags().Set("RecvFlag", Variant::fromI2(1));
    Feed(link, "A\r"); // arms
    EXPECT_TRUE(link.ReceiveArmed());
    Feed(link, "B\r");
    EXPECT_EQ(Element(1), "B");
}

TEST_F(RemoteExchange, HandshakeCycleDiscardsUntilClearedThenDiscardsOneThenDelivers)
{
    TCommObj& link = StartRemote();
    Tags().Set("RecvFlag", Variant::fromI2(0));
    Feed(link, "first\r"); // the first chunk only arms the link
    EXPECT_TRUE(Tags().Writes().empty());
    Feed(link, "W 12.5\r");
    ASSERT_EQ(Tags().Writes().size(), 8u);
    EXPECT_EQ(Tags().Writes().back(), "RecvFlag");
    EXPECT_EQ(Tags().Get("RecvFlag").get()->bVal, 2);
    EXPECT_EQ(Element(1) + Element(2) + Element(6), "W 5");
    EXPECT_EQ(Tags().Get("Recv[7]").get()->bVal, 13) << "written raw, terminator included";
    EXPECT_FALSE(link.ReceiveArmed());
    EXPECT_TRUE(host.LogContains("Written string (HEX: 57 20 31 32 2E 35 0D ) to Tag \"Recv\"."));

    Feed(link, "ignored\r"); // flag still 2: discarded
    EXPECT_EQ(Tags().Writes().size(), 8u);
    Tags().Set("RecvFlag", Variant::fromI2(0)); // the client took the string
    Feed(link, "stale\r"); // discarded with a purge, rearms
    EXPECT_EQ(Tags().Writes().size(), 8u);
    EXPECT_TRUE(link.ReceiveArmed());
    Feed(link, "next\r");
    EXPECT_EQ(Tags().Writes().size(), 8u + 6u);
    EXPECT_EQ(Element(1), "n");
    EXPECT_EQ(Element(6), "5") << "characters past the new string keep their old value";
}

TEST_F(RemoteExchange, LongChunkWritesAtMost256Elements)
{
    TCommObj& link = StartRemote();
    Tags().Set("RecvFlag", Variant::fromI2(0));
    Feed(link, "arm");
    Feed(link, std::string(300, 'q'));
    const auto writes = Tags().Writes();
    ASSERT_EQ(writes.size(), 257u);
    EXPECT_EQ(writes.front(), "Recv[1]");
    EXPECT_EQ(writes[255], "Recv[256]");
    EXPECT_EQ(writes.back(), "RecvFlag");
    EXPECT_FALSE(Tags().Has("Recv[257]"));
}

TEST_F(RemoteExchange, NoTerminatorChunkIsDeliveredWithoutTouchingLocalTags)
{
    TCommObj& link = StartRemote("-1");
    Tags().Set("RecvFlag", Variant::fromI2(0));
    Feed(link, "arm");
    Feed(link, "12.5");
    EXPECT_EQ(Tags().Writes().size(), 5u);
    EXPECT_TRUE(host.boxes.empty()) << "no receive error in remote mode";
    EXPECT_EQ(tags.Count(), 0u);
}

TEST_F(RemoteExchange, UnreadableFlagHoldsStringsBackAndIsLoggedOnce)
{
    TCommObj& link = StartRemote();
    Tags().Set("RecvFlag", Variant::fromText("busy"));
    Feed(link, "A\r");
    Feed(link, "B\r");
    Feed(link, "C\r");
    EXPECT_TRUE(Tags().Writes().empty());
    int notes = 0;
    for (const auto& l : host.log)
        notes += l.find("Received flag tag \"RecvFlag\" holds \"busy\"") == 0;
    EXPECT_EQ(notes, 1);
}

TEST_F(RemoteExchange, FailedFlagReadStopsAllAndReports)
{
    TCommObj& link = StartRemote();
    Tags().Fail("RecvFlag");
    host.events.clear();
    Feed(link, "A\r");
    EXPECT_FALSE(link.Running());
    EXPECT_FALSE(link.ReceiveArmed());
    const std::vector<std::string> expected = {
        "log:Port \"Scale\" stopped!", "scanning:off", "process",
        "log:Error while reading tag \"RecvFlag\"! Scanning of all ports has been stopped.",
        "box:Error while reading tag \"RecvFlag\"!\rScanning of all ports has been stopped."};
    EXPECT_EQ(host.events, expected);
}

TEST_F(RemoteExchange, FailedElementWriteReportsOnceWithTheValue)
{
    TCommObj& link = StartRemote();
    Tags().Set("RecvFlag", Variant::fromI2(0));
    Tags().Fail("Recv[2]");
    Feed(link, "arm");
    Feed(link, "ABCD");
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text,
              "Error while writing tag \"Recv[2]\" with value \"66\"!\rScanning of all ports has been stopped.");
    EXPECT_FALSE(Tags().Has("Recv[3]")) << "the sequence ends at the failed element";
    EXPECT_EQ(Tags().Get("RecvFlag").get()->bVal, 0) << "no flag without the string";
}
