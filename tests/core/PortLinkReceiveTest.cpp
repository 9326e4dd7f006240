#include "LinkFixture.h"

#include <algorithm>

namespace {

class PortLinkReceive : public LinkFixture {
protected:
    // One local link on COM1 with the given terminator, started.
    TCommObj& StartOne(const std::string& terminator, const std::string& marker = "", bool hex = false)
    {
        TPortSetting s = MakeSetting("Scale", "COM1", terminator);
        s[psFROM_SUBSTRING] = marker;
        s[psCONVERT_HEX] = hex ? "1" : "0";
        Build({s});
        list->StartAll();
        EXPECT_TRUE(Link(0).Running());
        return Link(0);
    }
    void Feed(TCommObj& link, const std::string& bytes) { link.ReceiveData(bytes.data(), static_cast<std::uint32_t>(bytes.size())); }
    std::vector<std::string> Shown() const
    {
        std::vector<std::string> v;
        for (const auto& [i, t] : host.shownHistory)
            v.push_back(t);
        return v;
    }
};

} // namespace

TEST_F(PortLinkReceive, StringSplitOverChunksIsJoinedAndTheRestWaits)
{
    TCommObj& link = StartOne("13");
    Feed(link, "AB");
    EXPECT_TRUE(Shown().empty());
    EXPECT_EQ(link.PendingText(), "AB");
    Feed(link, "C\rDE");
    EXPECT_EQ(Shown(), std::vector<std::string>{"ABC"});
    EXPECT_EQ(TagValue(0), "ABC");
    EXPECT_EQ(link.PendingText(), "DE");
    Feed(link, "F\r");
    EXPECT_EQ(TagValue(0), "DEF");
    EXPECT_EQ(link.PendingText(), "");
}

TEST_F(PortLinkReceive, PrintableTerminatorStaysAtTheEndOfEachString)
{
    TCommObj& link = StartOne("59");
    Feed(link, "A;B;");
    EXPECT_EQ(Shown(), (std::vector<std::string>{"A;", "B;"}));
    EXPECT_EQ(TagValue(0), "B;");
    EXPECT_EQ(link.PendingText(), "");
}

TEST_F(PortLinkReceive, WithoutTerminatorEachChunkIsOneTrimmedString)
{
    TCommObj& link = StartOne("-1");
    Feed(link, " 12.5\r\n");
    EXPECT_EQ(Shown(), std::vector<std::string>{"12.5"});
    EXPECT_EQ(link.PendingText(), "");
}

TEST_F(PortLinkReceive, CrLfLineEndsGiveEachLineClean)
{
    TCommObj& link = StartOne("13");
    Feed(link, "one\r\ntwo\r\nthr");
    EXPECT_EQ(Shown(), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(link.PendingText(), "\nthr");
    Feed(link, "ee\r\n");
    EXPECT_EQ(TagValue(0), "three");
}

TEST_F(PortLinkReceive, LoneTerminatorStoresAnEmptyValue)
{
    TCommObj& link = StartOne("13");
    Feed(link, "old\r");
    Feed(link, "\r");
    EXPECT_EQ(TagValue(0), "");
    EXPECT_EQ(host.shown[0], "");
}

TEST_F(PortLinkReceive, NulTerminatorAndNulInsideData)
{
    TCommObj& link = StartOne("0");
    Feed(link, std::string("AB\0CD", 5));
    EXPECT_EQ(TagValue(0), "AB");
    EXPECT_EQ(link.PendingText(), "CD");
}

TEST_F(PortLinkReceive, ExtractionMarkerCutsOrDrops)
{
    TCommObj& link = StartOne("13", "W:");
    Feed(link, "xxW:12\r");
    EXPECT_EQ(TagValue(0), "W:12");
    Feed(link, "xx12\r");
    EXPECT_EQ(TagValue(0), "W:12") << "a string without the marker is dropped";
    EXPECT_EQ(host.shown[0], "W:12") << "the grid cell keeps its old text";
    EXPECT_EQ(host.showCount, 1);
}

TEST_F(PortLinkReceive, ExtractionThenHex)
{
    TCommObj& link = StartOne("13", "W", true);
    Feed(link, "aW1\r");
    EXPECT_EQ(TagValue(0), "5731");
}

TEST_F(PortLinkReceive, HexConversionOfEmptyStaysEmpty)
{
    TCommObj& link = StartOne("13", "", true);
    Feed(link, "AB\r\r");
    EXPECT_EQ(Shown(), (std::vector<std::string>{"4142", ""}));
}

TEST_F(PortLinkReceive, LogLineShowsEveryByteInHexWithTrailingBlank)
{
    TCommObj& link = StartOne("13");
    host.log.clear();
    Feed(link, "AB\r");
    ASSERT_EQ(host.log.size(), 1u);
    EXPECT_EQ(host.log[0], "String (HEX: 41 42 0D ) received from port \"Scale\".");
}

TEST_F(PortLinkReceive, NothingHappensWhileStopped)
{
    TCommObj& link = StartOne("13");
    list->StopAll();
    host.log.clear();
    Feed(link, "AB\r");
    EXPECT_TRUE(host.log.empty());
    EXPECT_EQ(host.showCount, 0);
    EXPECT_EQ(TagValue(0), "");
}

TEST_F(PortLinkReceive, BytesFromTheDeviceReachTheTag)
{
    StartOne("13");
    ptys[0].write("W: 12.50 kg\r\n");
    ASSERT_TRUE(WaitFor([&] { return TagValue(0) == "W: 12.50 kg"; }));
}

TEST_F(PortLinkReceive, EndlessStringWithoutTerminatorIsHandedOnInsteadOfGrowingForever)
{
    TCommObj& link = StartOne("13");
    const std::string block(64 * 1024, 'x');
    for (int i = 0; i < 16; ++i)
        Feed(link, block);
    EXPECT_EQ(host.showCount, 0);
    Feed(link, "y");
    EXPECT_EQ(host.showCount, 1);
    EXPECT_EQ(TagValue(0).size(), 16 * block.size() + 1);
    EXPECT_EQ(link.PendingText(), "");
}

TEST_F(PortLinkReceive, StoreFailureStopsAllThenLogsThenShowsTheBox)
{
    TCommObj& link = StartOne("13");
    tags.FreeValueRecords();
    host.events.clear();
    Feed(link, "AB\r");
    EXPECT_FALSE(link.Running());
    const std::vector<std::string> expected = {
        "log:Port \"Scale\" stopped!", "scanning:off",
        "log:Error while receiving string from port \"Scale\"! Scanning of all ports has been stopped.",
        "box:Error while receiving string from port \"Scale\"!\rScanning of all ports has been stopped."};
    EXPECT_EQ(host.events, expected);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].kind, 1);
    EXPECT_EQ(host.boxes[0].buttons, 4);
}

TEST_F(PortLinkReceive, SerialSettingTextsSelectDriverValuesOrComplain)
{
    TPortSetting s = MakeSetting("Scale", "COM1");
    s[psDATA_BITS] = "7";
    s[psPARITY] = "Space";
    s[psSTOP_BITS] = "1.5";
    s[psFLOW_CONTROL] = "Xon / Xoff";
    s[psBAUD_RATE] = "115200";
    Build({s});
    EXPECT_TRUE(host.boxes.empty());
    TCommPortDriver& d = Link(0).Driver();
    EXPECT_EQ(d.DataBits(), db7BITS);
    EXPECT_EQ(d.Parity(), ptSPACE);
    EXPECT_EQ(d.StopBits(), sb1HALFBITS);
    EXPECT_EQ(d.SwFlow(), sfXONXOFF);
    EXPECT_EQ(d.BaudRateValue(), 115200u);
    EXPECT_EQ(d.PortName(), "\\\\.\\COM1");

    s[psDATA_BITS] = "9";
    s[psPARITY] = "space";
    s[psSTOP_BITS] = "3";
    s[psFLOW_CONTROL] = "xon/xoff";
    Build({s});
    std::vector<std::string> texts;
    for (const auto& b : host.boxes) {
        texts.push_back(b.text);
        EXPECT_EQ(b.kind, 1);
        EXPECT_EQ(b.buttons, 4);
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"Invalid Data Bits setting!", "Invalid Parity setting!",
                                               "Invalid Stop Bits setting!",
                                               "Invalid Software Flow Control setting!"}));
    TCommPortDriver& d2 = Link(0).Driver();
    EXPECT_EQ(d2.DataBits(), db8BITS);
    EXPECT_EQ(d2.Parity(), ptNONE);
    EXPECT_EQ(d2.StopBits(), sb1BITS);
    EXPECT_EQ(d2.SwFlow(), sfNONE);
}

TEST_F(PortLinkReceive, LinkFieldsComeFromTheSetting)
{
    TPortSetting s = MakeSetting("Scale", "COM3");
    s[psAUTO_SUFFIX] = "\r\n";
    s[psAUTO_SEND_STRING] = "P";
    s[psAUTO_SEND_INTERVAL] = "250";
    s[psLOGGED] = "1";
    s[psRECEIVED_STRING_TAG] = "R";
    s[psSENT_FLAG_TAG] = "SF";
    Build({s}, LinkMode::Local, 70000);
    TCommObj& link = Link(0);
    EXPECT_EQ(link.AutoSuffix(), "\r\n");
    EXPECT_EQ(link.AutoSendInterval(), 250);
    EXPECT_TRUE(link.Logged());
    EXPECT_EQ(link.LogFilePath(), "/opt/linvaro/COM3.log");
    EXPECT_EQ(link.ReceivedStringTag(), "R");
    EXPECT_EQ(link.SentFlagTag(), "SF");
    EXPECT_EQ(link.TagName(), "Scale_COM3");
    EXPECT_EQ(link.Driver().InputTimeout(), 70000u);
    EXPECT_EQ(link.Driver().OutputTimeout(), 65535) << "clamped, not wrapped to 4464";
    EXPECT_EQ(link.Driver().InBufSize(), 8192u);
    EXPECT_EQ(link.Driver().PollingDelay(), 5);
    EXPECT_EQ(link.Driver().HwFlow(), hfNONERTSON);
}

TEST_F(PortLinkReceive, ReorderedSettingsKeepEachPortOnItsOwnTag)
{
    Build({MakeSetting("A", "COM1"), MakeSetting("B", "COM2")});
    const std::uint32_t handleB = tags.HandleOfName("B_COM2");
    // A later load where A is gone and C comes first.
    Build({MakeSetting("B", "COM2"), MakeSetting("C", "COM3")});
    list->StartAll();
    ASSERT_TRUE(Link(0).Running());
    Link(0).ReceiveData("from B\r", 7);
    EXPECT_EQ(tags.HandleOfName("B_COM2"), handleB);
    EXPECT_EQ(tags.Value(handleB - TTagTable::kFirstHandle).textValue, "from B");
    EXPECT_EQ(tags.Value(0).textValue, "") << "A's tag must not receive B's strings";
    EXPECT_EQ(tags.HandleOfName("C_COM3"), 5002u);
}
