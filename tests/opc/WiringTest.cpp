// The OPC server wired into a real controller with ports on
// pseudo-terminals: a client's write reaches the port, the controller's
// hooks reach the server objects.
#include "ControllerFixture.h"
#include "OpcServerWiring.h"
#include "OpcTestSupport.h"

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
