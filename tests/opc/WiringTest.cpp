// The OPC server wired into a real controller with ports on
// pseudo-terminals: a client's write reaches the port, the controller's
// hooks reach the server objects.
#include "ControllerFixture.h"
#include "OpcServerWiring.h"
#include "OpcTestSupport.h"

#include <QTemporaryDir>

#include <unistd.h>

namespace {

class Wiring : public ControllerFixture {
protected:
    void SetUp() override
    {
        ControllerFixture::SetUp();
        saved_ = TheOpcContext();
        TheOpcCounters() = OpcCounters{};
        objects_ = ComObject::LiveObjects();
    }
    void TearDown() override
    {
        if (controller)
            DisconnectOpcServer(*controller);
        EXPECT_EQ(ConnectedServerCount(), 0);
        EXPECT_EQ(ComObject::LiveObjects(), objects_);
        TheOpcContext() = saved_;
        ControllerFixture::TearDown();
    }
    // Two ports: link 0 "A" on COM1, link 1 "B" on COM2 (description order).
    MainController& Started()
    {
        MainController& c = Make();
        c.Create();
        PutRow(1, "1", "B", "COM2");
        PutRow(2, "2", "A", "COM1");
        c.Grid().SetCell(psAUTO_SUFFIX, 1, "\r"); // each port ends what it sends with its suffix
        c.Grid().SetCell(psAUTO_SUFFIX, 2, "\n");
        EXPECT_TRUE(c.Save());
        c.Start();
        EXPECT_TRUE(c.Scanning());
        ConnectOpcServer(c);
        return c;
    }

private:
    OpcContext saved_;
    long objects_ = 0;
};

} // namespace

TEST_F(Wiring, SynchronousWriteIsSentThroughThePortOfTheTag)
{
    MainController& c = Started();
    Client client;
    ASSERT_EQ(client.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    ASSERT_EQ(g.Add({"B_COM2", "A_COM1"}, items), (std::vector<HRESULT>{S_OK, S_OK}));

    std::vector<VARIANT> values(2);
    Variant text = Variant::fromText("TARE");
    Variant empty = Variant::fromText("");
    values[0] = *text.get();
    values[1] = *empty.get();
    HRESULT* errors = nullptr;
    ASSERT_EQ(g.sync->Write(2, items.data(), values.data(), &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(ptys[1].read(5), "TARE\r") << "sent with the port's auto-suffix";
    const int rowB = c.Links().LinkRowMap()[static_cast<std::size_t>(c.Links().LinkOfTag(
        static_cast<int>(c.Tags().HandleOfName("B_COM2") - TTagTable::kFirstHandle))->LinkIndex())];
    EXPECT_EQ(c.Grid().Cell(TPortGrid::kCurrentValueColumn, rowB), "TARE");
    // An empty text is not sent: the next text is the first thing on A.
    values[1] = *text.get();
    ASSERT_EQ(g.sync->Write(1, &items[1], &values[1], &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(ptys[0].read(5), "TARE\n");
    g.Release();
}

TEST_F(Wiring, ControllerHooksReachTheServerObjects)
{
    MainController& c = Started();
    Client client;
    ASSERT_EQ(client.Connect(), S_OK);
    EXPECT_EQ(c.opcConnectedCount(), 1);

    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"A_COM1"}, items);
    auto sink = MakeSink<TestDataSink>();
    g.Advise(sink.get());
    ptys[0].write("7.25\r");
    ASSERT_TRUE(WaitFor([&] { return c.Tags().Value(0).textValue == "7.25"; }));
    c.opcPulse(45000.0);
    ASSERT_EQ(sink->calls.size(), 1u);
    EXPECT_EQ(sink->calls[0].Values(), (std::vector<std::string>{"BSTR:7.25"}));

    auto shutdown = MakeSink<TestShutdownSink>();
    shutdown->during = [&] { g.Release(); client.server.reset(); };
    IConnectionPointContainer* cpc = nullptr;
    client.server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    IConnectionPoint* cp = nullptr;
    cpc->FindConnectionPoint(IID_IOPCShutdown, &cp);
    DWORD cookie = 0;
    cp->Advise(shutdown.get(), &cookie);
    cp->Release();
    cpc->Release();
    // The close sequence: stop, ask the clients, wait while any stays.
    ASSERT_TRUE(c.Close(false));
    EXPECT_EQ(shutdown->reasons.size(), 1u);
    EXPECT_EQ(c.opcConnectedCount(), 0);
}

TEST_F(Wiring, DisconnectDiscardsServersAClientStillHolds)
{
    MainController& c = Started();
    Client client;
    ASSERT_EQ(client.Connect(), S_OK);
    DisconnectOpcServer(c);
    EXPECT_FALSE(client.server);
    EXPECT_FALSE(c.opcPulse);
    EXPECT_EQ(TheOpcContext().tags, nullptr);
}

TEST_F(Wiring, ALostDeviceGivesItsTagCommFailureQualityUntilItIsBack)
{
    // Port A's device is reached through a path that stays while the device
    // behind it comes and goes, as /dev/serial/by-id/... does.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.path().toStdString() + "/ttyUSB-A";
    ASSERT_EQ(::symlink(ptys[0].slavePath().c_str(), path.c_str()), 0);
    MainController& c = Make();
    TCommPortDriver::SetDeviceNameResolver([&](const std::string& com) -> std::string {
        return com == "COM1" ? path : com == "COM2" ? ptys[1].slavePath() : std::string();
    });
    c.Create();
    PutRow(1, "1", "B", "COM2");
    PutRow(2, "2", "A", "COM1");
    ASSERT_TRUE(c.Save());
    c.Start();
    ConnectOpcServer(c);
    const int linkA = c.Links().LinkOfTag(static_cast<int>(c.Tags().HandleOfName("A_COM1") - TTagTable::kFirstHandle))
                          ->LinkIndex();

    Client client;
    ASSERT_EQ(client.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g", TRUE, 10), S_OK);
    std::vector<OPCHANDLE> items;
    ASSERT_EQ(g.Add({"A_COM1", "B_COM2"}, items), (std::vector<HRESULT>{S_OK, S_OK}));
    auto sink = MakeSink<TestDataSink>();
    g.Advise(sink.get());
    // The controller pulses every 10 ms while its ports scan: a data change
    // comes at the group's next update.
    auto dataChanges = [&](std::size_t n) {
        return WaitFor([&] { return sink->Of("data").size() >= n; }) && sink->Of("data").size() == n;
    };
    ptys[0].write("7.25\r");
    ASSERT_TRUE(WaitFor([&] { return c.Tags().Value(0).textValue == "7.25"; }));
    ASSERT_TRUE(WaitFor([&] {
        const auto data = sink->Of("data");
        return !data.empty() && data.back().Values()[0] == "BSTR:7.25";
    }));
    sink->calls.clear();
    auto read = [&](DWORD source) {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(g.sync->Read(static_cast<OPCDATASOURCE>(source), 2, items.data(), &states, &errors), S_OK);
        std::vector<WORD> q{states[0].wQuality, states[1].wQuality};
        for (int i = 0; i < 2; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return q;
    };

    ptys[0].closeMaster();
    ::unlink(path.c_str());
    ASSERT_TRUE(WaitFor([&] { return c.Hub().State(linkA) == PortState::DeviceLost; }));
    // The quality change alone is reported, with the value kept.
    ASSERT_TRUE(dataChanges(1));
    ASSERT_EQ(sink->Of("data")[0].entries.size(), 1u);
    EXPECT_EQ(sink->Of("data")[0].entries[0].client, 100u) << "port A's item only";
    EXPECT_EQ(sink->Of("data")[0].entries[0].value, "BSTR:7.25");
    EXPECT_EQ(sink->Of("data")[0].entries[0].quality, OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(sink->Of("data")[0].masterQuality, S_FALSE);
    EXPECT_EQ(read(OPC_DS_CACHE), (std::vector<WORD>{OPC_QUALITY_COMM_FAILURE, OPC_QUALITY_GOOD}));
    EXPECT_EQ(read(OPC_DS_DEVICE), (std::vector<WORD>{OPC_QUALITY_COMM_FAILURE, OPC_QUALITY_GOOD}));
    DWORD cancelId = 0;
    ASSERT_EQ(g.async->Refresh2(OPC_DS_CACHE, 5, &cancelId), S_OK);
    ASSERT_TRUE(dataChanges(2));
    EXPECT_EQ(sink->Of("data")[1].transId, 5u);
    EXPECT_EQ(sink->Of("data")[1].entries[0].quality, OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(sink->Of("data")[1].entries[1].quality, OPC_QUALITY_GOOD);
    ServeEventsFor(100);
    EXPECT_EQ(sink->Of("data").size(), 2u) << "reported once";

    PtyPair fresh;
    ASSERT_EQ(::symlink(fresh.slavePath().c_str(), path.c_str()), 0);
    ASSERT_TRUE(WaitFor([&] { return c.Hub().State(linkA) == PortState::Running; }, 5000));
    ASSERT_TRUE(dataChanges(3));
    EXPECT_EQ(sink->Of("data")[2].entries[0].quality, OPC_QUALITY_GOOD) << "good again with the device back";
    EXPECT_EQ(read(OPC_DS_CACHE), (std::vector<WORD>{OPC_QUALITY_GOOD, OPC_QUALITY_GOOD}));
    g.Release();
}
