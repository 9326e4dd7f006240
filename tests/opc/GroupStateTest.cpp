// A group through IOPCGroupStateMgt and QueryInterface: state, names,
// cloning, and what a removal request changes.
#include "OpcTestSupport.h"

#include <cstdlib>
#include <ctime>

namespace {

class GroupState : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        ASSERT_EQ(client.Connect(), S_OK);
    }
    void TearDown() override
    {
        client.server.reset();
        OpcTest::TearDown();
    }
    Client client;
};

struct State {
    DWORD rate = 0;
    BOOL active = 0;
    std::string name;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    OPCHANDLE client = 0, server = 0;
};

State Get(ClientGroup& g)
{
    State s;
    LPWSTR name = nullptr;
    EXPECT_EQ(g.state->GetState(&s.rate, &s.active, &name, &s.bias, &s.deadband, &s.lcid, &s.client, &s.server), S_OK);
    s.name = AnsiFromWide(name);
    CoTaskMemFree(name);
    return s;
}

} // namespace

// A group's default bias is the zone's standard bias, as the OPC bias is:
// daylight saving is left out whenever the group is made.
TEST(DefaultTimeBias, LeavesDaylightSavingOutInBothHemispheres)
{
    const char* saved = std::getenv("TZ");
    const std::string before = saved ? saved : "";
    struct Case {
        const char* zone;
        std::time_t at;
        LONG bias;
    } cases[] = {
        {"Australia/Sydney", 1702641600, -600}, // 2023-12-15 12:00 UTC: daylight saving in force
        {"Australia/Sydney", 1689422400, -600}, // 2023-07-15: standard time
        {"Europe/Berlin", 1689422400, -60},
        {"Europe/Berlin", 1702641600, -60},
        {"America/New_York", 1689422400, 300},
        {"UTC", 1689422400, 0},
    };
    for (const Case& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        EXPECT_EQ(StandardTimeZoneBias(c.at), c.bias) << c.zone << " at " << c.at;
    }
    if (saved)
        setenv("TZ", before.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(GroupState, GetStateGivesWhatAddGroupStored)
{
    ClientGroup g;
    FLOAT deadband = 12.5f;
    LONG bias = 120;
    ASSERT_EQ(client.AddGroup(g, "Line", 7, 250, 42, &deadband, &bias), S_OK);
    const State s = Get(g);
    EXPECT_EQ(s.rate, 250u);
    EXPECT_EQ(s.active, 7) << "active is stored as given";
    EXPECT_EQ(s.name, "Line");
    EXPECT_EQ(s.bias, 120);
    EXPECT_EQ(s.deadband, 12.5f);
    EXPECT_EQ(s.lcid, 0x409u) << "stored without validation";
    EXPECT_EQ(s.client, 42u);
    EXPECT_EQ(s.server, g.handle);

    DWORD rate;
    LPWSTR name = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(g.state->GetState(&rate, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(name, nullptr);
}

TEST_F(GroupState, SetStateAppliesTheRateRuleAndLeavesNullArgumentsAlone)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g", TRUE, 250, 1), S_OK);
    DWORD revised = 0;
    EXPECT_EQ(g.state->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 250u);

    DWORD zero = 0;
    EXPECT_EQ(g.state->SetState(&zero, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 1000u);
    DWORD one = 1;
    EXPECT_EQ(g.state->SetState(&one, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 1u);

    FLOAT deadband = 150.0f; // no range check here, unlike AddGroup
    LONG bias = -30;
    DWORD lcid = 0x407;
    OPCHANDLE hClient = 9;
    EXPECT_EQ(g.state->SetState(nullptr, nullptr, nullptr, &bias, &deadband, &lcid, &hClient), S_OK);
    const State s = Get(g);
    EXPECT_EQ(s.deadband, 150.0f);
    EXPECT_EQ(s.bias, -30);
    EXPECT_EQ(s.lcid, 0x407u);
    EXPECT_EQ(s.client, 9u);
    EXPECT_EQ(s.rate, 1u);
    EXPECT_EQ(s.active, TRUE);
}

TEST_F(GroupState, ActivationRequestsAFullReportOnlyFromInactive)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g", TRUE, 500), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1"}, items);
    Pulse();
    EXPECT_EQ(g.SetActive(TRUE), S_OK);
    EXPECT_EQ(g.Object()->Elapsed(), 10u) << "already active: no full report";
    EXPECT_EQ(g.SetActive(FALSE), S_OK);
    EXPECT_EQ(g.SetActive(TRUE), S_OK);
    EXPECT_EQ(g.Object()->Elapsed(), 500u) << "the next pulse is an update";
}

TEST_F(GroupState, SetNameRefusesTakenNamesIncludingItsOwn)
{
    ClientGroup a, b;
    ASSERT_EQ(client.AddGroup(a, "A"), S_OK);
    ASSERT_EQ(client.AddGroup(b, "B"), S_OK);
    EXPECT_EQ(a.state->SetName(u"A"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(a.state->SetName(u"B"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(a.state->SetName(u""), E_INVALIDARG);
    EXPECT_EQ(a.state->SetName(nullptr), E_INVALIDARG);
    EXPECT_EQ(a.state->SetName(u"b"), S_OK);
    IUnknown* found = nullptr;
    ASSERT_EQ(client.server->GetGroupByName(u"b", IID_IUnknown, &found), S_OK);
    EXPECT_EQ(found, a.unk.get());
    found->Release();
}

TEST_F(GroupState, RemovedGroupRefusesStateChangesButStillWorks)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g", FALSE, 100, 5), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1"}, items);
    ASSERT_EQ(client.server->RemoveGroup(g.handle, FALSE), OPC_S_INUSE);
    DWORD rate = 20;
    BOOL active = TRUE;
    EXPECT_EQ(g.state->SetState(&rate, nullptr, &active, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(g.state->SetName(u"other"), E_FAIL);
    EXPECT_EQ(Get(g).rate, 100u);
    EXPECT_EQ(Get(g).active, FALSE);

    SetText(0, "12.5 kg");
    OPCITEMSTATE* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(g.sync->Read(OPC_DS_DEVICE, 1, items.data(), &values, &errors), S_OK);
    EXPECT_EQ(Describe(values[0].vDataValue), "BSTR:12.5 kg");
    VariantClear(&values[0].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
}

TEST_F(GroupState, CloneCopiesStateAndItemsButStartsInactive)
{
    ClientGroup g, other;
    FLOAT deadband = 5.0f;
    LONG bias = 30;
    ASSERT_EQ(client.AddGroup(g, "g", TRUE, 40, 8, &deadband, &bias), S_OK);
    ASSERT_EQ(client.AddGroup(other, "other"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1", "Pump_COM3"}, items, VT_EMPTY, TRUE, 500);
    auto sink = MakeSink<TestDataSink>();
    g.Advise(sink.get());

    IUnknown* unk = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(g.state->CloneGroup(u"copy", IID_IUnknown, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(g.state->CloneGroup(u"other", IID_IOPCGroupStateMgt, &unk), OPC_E_DUPLICATENAME);
    ASSERT_EQ(g.state->CloneGroup(u"copy", IID_IOPCGroupStateMgt, &unk), S_OK);
    ClientGroup clone;
    clone.Bind(unk);
    const State s = Get(clone);
    EXPECT_EQ(s.name, "copy");
    EXPECT_EQ(s.active, FALSE);
    EXPECT_EQ(s.rate, 40u);
    EXPECT_EQ(s.client, 8u);
    EXPECT_EQ(s.bias, 30);
    EXPECT_EQ(s.deadband, 5.0f);
    EXPECT_EQ(s.server, 4u) << "a new handle from the process-wide counter";
    EXPECT_FALSE(clone.Object()->HasSink());
    BOOL enable = 0;
    EXPECT_EQ(clone.async->GetEnable(&enable), CONNECT_E_NOCONNECTION);

    // Same item server handles; every item is reported once the clone is
    // activated and advised, because the copies were never compared.
    OPCITEMSTATE* values = nullptr;
    HRESULT* errors = nullptr;
    EXPECT_EQ(clone.sync->Read(OPC_DS_DEVICE, 2, items.data(), &values, &errors), S_OK);
    EXPECT_EQ(values[1].hClient, 501u);
    for (int i = 0; i < 2; ++i)
        VariantClear(&values[i].vDataValue);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    // Empty names: kept when free, else the tick count is appended.
    ASSERT_EQ(g.state->CloneGroup(u"", CLSID_OPCEnumerators, &unk), S_OK);
    ClientGroup unnamed;
    unnamed.Bind(unk);
    EXPECT_EQ(unnamed.Object()->Name(), "");
    tick = 99;
    ASSERT_EQ(g.state->CloneGroup(u"", IID_IOPCGroupStateMgt, &unk), S_OK);
    ClientGroup ticked;
    ticked.Bind(unk);
    EXPECT_EQ(ticked.Object()->Name(), "99");
    EXPECT_EQ(client.Object()->GroupCount(), 5u);
}

TEST_F(GroupState, CloneIsRemovedAndRecordedLikeAnyGroup)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    IUnknown* unk = nullptr;
    ASSERT_EQ(g.state->CloneGroup(u"c", IID_IOPCGroupStateMgt, &unk), S_OK);
    ClientGroup clone;
    clone.Bind(unk);
    const OPCHANDLE h = clone.Object()->ServerHandle();
    EXPECT_EQ(client.server->RemoveGroup(h, FALSE), OPC_S_INUSE);
    clone.Release();
    ASSERT_EQ(client.Object()->RemovedGroups().size(), 1u);
    EXPECT_EQ(client.Object()->RemovedGroups()[0].name, "c");
    EXPECT_EQ(client.Object()->RemovedGroups()[0].serverHandle, h);
    EXPECT_EQ(client.server->RemoveGroup(h, FALSE), S_OK);
}

TEST_F(GroupState, GroupAnswersItsInterfacesAndNoDataAccessOneInterface)
{
    ClientGroup g;
    ASSERT_EQ(client.AddGroup(g, "g"), S_OK);
    for (const IID& iid : {IID_IUnknown, IID_IOPCItemMgt, IID_IOPCGroupStateMgt, IID_IOPCSyncIO, IID_IOPCAsyncIO2,
                           IID_IConnectionPointContainer, IID_IOPCGroup}) {
        IUnknown* p = nullptr;
        ASSERT_EQ(g.unk->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK) << GuidToString(iid);
        IUnknown* identity = nullptr;
        p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
        EXPECT_EQ(identity, g.unk.get());
        identity->Release();
        p->Release();
    }
    for (const IID& iid : {IID_IOPCAsyncIO, IID_IDataObject, IID_IOPCPublicGroupStateMgt, IID_IOPCServer}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(g.unk->QueryInterface(iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
    IConnectionPoint* cp = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(g.points->FindConnectionPoint(IID_IOPCShutdown, &cp), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp, nullptr);
}
