#include "LinkFixture.h"

#include <algorithm>

namespace {

class LinkList : public LinkFixture {};

} // namespace

TEST_F(LinkList, StartAllStartsEveryLinkAndSwitchesToScanning)
{
    Build({MakeSetting("A", "COM1"), MakeSetting("B", "COM2")});
    host.log.clear();
    list->StartAll();
    EXPECT_EQ(host.log, (std::vector<std::string>{"Port \"A\" started!", "Port \"B\" started!",
                                                  "All enabled ports successfully started!"}));
    EXPECT_TRUE(host.scanning);
    EXPECT_TRUE(Link(0).Running());
    EXPECT_TRUE(Link(1).Running());
    list->StopAll();
    EXPECT_FALSE(host.scanning);
    EXPECT_FALSE(Link(0).Driver().Connected());
}

TEST_F(LinkList, FailedStartStopsAllAndLogsTheFailureLast)
{
    TCommPortDriver::SetDeviceNameResolver([this](const std::string& com) -> std::string {
        if (com == "COM1")
            return ptys[0].slavePath();
        if (com == "COM3")
            return ptys[2].slavePath();
        return "/nonexistent/serial-device";
    });
    Build({MakeSetting("First", "COM1"), MakeSetting("Second", "COM2"), MakeSetting("Third", "COM3")});
    host.log.clear();
    list->StartAll();
    EXPECT_EQ(host.log, (std::vector<std::string>{"Port \"First\" started!", "Port \"First\" stopped!",
                                                  "Port \"Second\" stopped!", "Port \"Third\" stopped!",
                                                  "Error starting port \"Second\"! open /nonexistent/serial-device: "
                                                  "No such file or directory (errno 2)"}));
    EXPECT_TRUE(host.boxes.empty());
    EXPECT_FALSE(host.scanning) << "the Start button stays enabled";
    EXPECT_FALSE(Link(0).Running());
    EXPECT_FALSE(Link(0).Driver().Connected());
}

TEST_F(LinkList, DeviceHeldByAnotherOpenerFailsTheStart)
{
    Build({MakeSetting("A", "COM1")});
    TCommPortDriver other;
    other.SetPortName(ptys[0].slavePath());
    ASSERT_TRUE(other.Connect());
    host.log.clear();
    list->StartAll();
    ASSERT_FALSE(host.log.empty());
    EXPECT_EQ(host.log.back().rfind("Error starting port \"A\"! ", 0), 0u) << host.log.back();
    EXPECT_NE(host.log.back().find(ptys[0].slavePath()), std::string::npos) << "names the device";
}

TEST_F(LinkList, DisabledRowGetsNoLinkButKeepsTheRowMapRight)
{
    TPortSetting disabled = MakeSetting("B", "COM2");
    disabled[psDISABLED] = "1";
    Build({MakeSetting("A", "COM1"), disabled, MakeSetting("C", "COM3")});
    ASSERT_EQ(list->Count(), 2);
    EXPECT_EQ(Link(1).Description(), "C");
    EXPECT_EQ(Link(1).LinkIndex(), 1);
    EXPECT_EQ(list->LinkRowMap(), (std::vector<int>{1, 3}));
    EXPECT_EQ(tags.HandleOfName("B_COM2"), 0u) << "a disabled port has no tag";
    EXPECT_EQ(tags.HandleOfName("C_COM3"), 5001u);
}

TEST_F(LinkList, StopAllWithoutLinksOnlySwitchesTheWindow)
{
    host.events.clear();
    list->StopAll();
    EXPECT_EQ(host.events, std::vector<std::string>{"scanning:off"});
}

TEST_F(LinkList, EmptyListStartsTrivially)
{
    list->StartAll();
    EXPECT_EQ(host.log, std::vector<std::string>{"All enabled ports successfully started!"});
    EXPECT_TRUE(host.scanning);
}

TEST_F(LinkList, RebuildWhileScanningStopsAndTellsTheCallerToRestart)
{
    Build({MakeSetting("A", "COM1")});
    list->StartAll();
    std::vector<TCommObjList::GridRow> rows = {{1, MakeSetting("A", "COM1")}, {2, MakeSetting("B", "COM2")}};
    LinkConfig config;
    EXPECT_TRUE(list->Rebuild(rows, config));
    EXPECT_EQ(list->Count(), 2);
    EXPECT_FALSE(Link(0).Running());
    EXPECT_FALSE(list->Rebuild(rows, config)) << "not running now";
}

TEST_F(LinkList, UnsavedChangesAreSavedOrRevertedBeforeStarting)
{
    Build({MakeSetting("A", "COM1")});
    host.modified = true;
    host.answers = {6};
    list->StartAll();
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text,
              "Do you want to save the changes first?\r\rClicking No will revert to the last saved settings.");
    EXPECT_EQ(host.boxes[0].kind, 3);
    EXPECT_EQ(host.boxes[0].buttons, 3);
    const auto box = std::find(host.events.begin(), host.events.end(), "box:" + host.boxes[0].text);
    ASSERT_NE(box, host.events.end());
    EXPECT_EQ(*(box + 1), "save");
    list->StopAll();

    host.modified = true;
    host.answers = {7};
    host.events.clear();
    list->StartAll();
    ASSERT_GE(host.events.size(), 2u);
    EXPECT_EQ(host.events[0].substr(0, 4), "box:");
    EXPECT_EQ(host.events[1], "reload");
}

TEST_F(LinkList, ClientWriteSendsWithSuffixAndShowsTheText)
{
    TPortSetting s = MakeSetting("A", "COM1");
    s[psAUTO_SUFFIX] = "\r\n";
    Build({s});
    list->StartAll();
    list->ClientWrite(0, "ABC");
    EXPECT_EQ(ptys[0].read(5), "ABC\r\n");
    EXPECT_EQ(host.shown[0], "ABC");
    EXPECT_FALSE(Link(0).SendFailed());

    list->ClientWrite(0, "");
    EXPECT_EQ(host.shown[0], "") << "an empty write clears the cell";
    EXPECT_EQ(ptys[0].read(1, std::chrono::milliseconds(200)), "") << "and sends nothing, not even the suffix";
}

TEST_F(LinkList, ClientWriteOnAStoppedLinkOnlyRecordsTheFailure)
{
    Build({MakeSetting("A", "COM1")});
    list->ClientWrite(0, "ABC");
    EXPECT_TRUE(Link(0).SendFailed());
    EXPECT_EQ(host.shown[0], "ABC");
    EXPECT_TRUE(host.boxes.empty());
}

TEST_F(LinkList, LinkOfTagFollowsTheBinding)
{
    Build({MakeSetting("A", "COM1"), MakeSetting("B", "COM2")});
    Build({MakeSetting("B", "COM2")});
    EXPECT_EQ(list->LinkOfTag(1), &Link(0));
    EXPECT_EQ(list->LinkOfTag(0), nullptr);
}

TEST_F(LinkList, PortsWhoseTagNamesAgreeInSixtyFourCharactersKeepTheirOwnTags)
{
    const std::string longName(70, 'd');
    Build({MakeSetting(longName, "COM1"), MakeSetting(longName, "COM2")});
    const auto warning = std::find_if(host.log.begin(), host.log.end(), [](const std::string& line) {
        return line.find("have the same OPC tag name") != std::string::npos;
    });
    ASSERT_NE(warning, host.log.end()) << "the load warns";
    EXPECT_NE(warning->find(longName + "\" and \"" + longName), std::string::npos) << *warning;
    ASSERT_NE(Link(0).TagIndex(), Link(1).TagIndex());
    list->StartAll();
    ASSERT_TRUE(ptys[1].write("from two\r"));
    ASSERT_TRUE(WaitFor([&] { return TagValue(1) == "from two"; }));
    ASSERT_TRUE(ptys[0].write("from one\r"));
    ASSERT_TRUE(WaitFor([&] { return TagValue(0) == "from one"; }));
    EXPECT_EQ(TagValue(1), "from two");
    EXPECT_EQ(tags.HandleOfName(std::string(64, 'd')), tags.Entry(static_cast<std::size_t>(Link(0).TagIndex())).handle);
}

TEST_F(LinkList, StartOfAPortWithANonCanonicalNameNamesItAndOpensNothing)
{
    Build({MakeSetting("Odd", "COM03")});
    host.log.clear();
    list->StartAll();
    ASSERT_FALSE(host.log.empty());
    EXPECT_EQ(host.log.back().rfind("Error starting port \"Odd\"! Invalid Port setting \"COM03\"!", 0), 0u)
        << host.log.back();
    EXPECT_FALSE(host.scanning);
}
