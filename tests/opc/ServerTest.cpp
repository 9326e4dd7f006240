// The server object through IClassFactory, IOPCServer, IOPCCommon and its
// IOPCShutdown connection point, and the table of live server objects.
#include "OpcTestSupport.h"

#include "OPCErrorStrings.h"

#include <cmath>
#include <limits>

namespace {

class ServerObject : public OpcTest {};

std::vector<std::string> Strings(IUnknown* unk)
{
    std::vector<std::string> out;
    IEnumString* e = nullptr;
    EXPECT_EQ(unk->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(&e)), S_OK);
    LPOLESTR s = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &s, &fetched) == S_OK) {
        out.push_back(AnsiFromWide(s));
        CoTaskMemFree(s);
    }
    e->Release();
    return out;
}

} // namespace

// ------------------------------------------------------------ class object

TEST_F(ServerObject, OnlyTheServerClassHasAClassObject)
{
    for (const CLSID& clsid : {CLSID_OPCGroup, CLSID_OPCEnumerators, IID_IEnumOPCItemAttributes, GUID_NULL}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(GetOpcClassObject(clsid, IID_IClassFactory, &p), CLASS_E_CLASSNOTAVAILABLE) << GuidToString(clsid);
        EXPECT_EQ(p, nullptr);
    }
    IClassFactory* factory = nullptr;
    ASSERT_EQ(GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);

    void* p = reinterpret_cast<void*>(1);
    auto outer = MakeSink<TestShutdownSink>();
    EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(p, nullptr);
    // A refused interface leaves no object and no slot taken.
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IOPCItemMgt, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(ConnectedServerCount(), 0);
    factory->Release();
}

TEST_F(ServerObject, ThirtyOneSlotsLowestFreeFirstAndTheThirtySecondIsRefused)
{
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < TDA2::kSlots; ++i) {
        clients.push_back(std::make_unique<Client>());
        ASSERT_EQ(clients.back()->Connect(), S_OK);
        EXPECT_EQ(clients.back()->Object()->Slot(), i);
    }
    EXPECT_EQ(ConnectedServerCount(), 31);
    Client extra;
    EXPECT_EQ(extra.Connect(), E_OUTOFMEMORY);
    EXPECT_FALSE(extra.server);

    clients[5]->server.reset();
    clients[7]->server.reset();
    EXPECT_EQ(ServerInSlot(5), nullptr);
    EXPECT_EQ(ConnectedServerCount(), 29);
    ASSERT_EQ(extra.Connect(), S_OK);
    EXPECT_EQ(extra.Object()->Slot(), 5);
    extra.server.reset();
    clients.clear();
    EXPECT_EQ(ConnectedServerCount(), 0);
}

TEST_F(ServerObject, AnswersItsFiveInterfacesWithOneIdentity)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    IUnknown* identity = nullptr;
    ASSERT_EQ(c.server->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    for (const IID& iid : {IID_IOPCServer, IID_IOPCCommon, IID_IConnectionPointContainer, IID_IOPCItemProperties,
                           IID_IOPCBrowseServerAddressSpace}) {
        IUnknown* p = nullptr;
        ASSERT_EQ(c.server->QueryInterface(iid, reinterpret_cast<void**>(&p)), S_OK) << GuidToString(iid);
        IUnknown* back = nullptr;
        p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back));
        EXPECT_EQ(back, identity);
        back->Release();
        p->Release();
    }
    for (const IID& iid : {IID_IOPCServerPublicGroups, IID_IPersistFile, IID_IOPCItemMgt, IID_IDataObject}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.server->QueryInterface(iid, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
    }
    identity->Release();
}

// ---------------------------------------------------------------- AddGroup

TEST_F(ServerObject, GroupHandlesStartAtTwoAcrossServerObjects)
{
    Client a, b;
    ASSERT_EQ(a.Connect(), S_OK);
    ASSERT_EQ(b.Connect(), S_OK);
    ClientGroup g1, g2, g3;
    EXPECT_EQ(a.AddGroup(g1, "one"), S_OK);
    EXPECT_EQ(b.AddGroup(g2, "one"), S_OK) << "names are unique per server object only";
    EXPECT_EQ(a.AddGroup(g3, "two"), S_OK);
    EXPECT_EQ(g1.handle, 2u);
    EXPECT_EQ(g2.handle, 3u);
    EXPECT_EQ(g3.handle, 4u);
    EXPECT_EQ(TotalGroupCount(), 3);
}

TEST_F(ServerObject, UpdateRateZeroBecomesOneSecond)
{
    struct Case {
        DWORD requested, revised;
        HRESULT result;
    };
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    int n = 0;
    for (const Case& k : {Case{0, 1000, OPC_S_UNSUPPORTEDRATE}, Case{1, 1, S_OK}, Case{250, 250, S_OK},
                          Case{0xFFFFFFFF, 0xFFFFFFFF, S_OK}}) {
        ClientGroup g;
        EXPECT_EQ(c.AddGroup(g, "g" + std::to_string(n++), TRUE, k.requested), k.result) << k.requested;
        EXPECT_EQ(g.revisedRate, k.revised);
        EXPECT_EQ(g.Object()->UpdateRate(), k.revised);
    }
}

TEST_F(ServerObject, DuplicateNamesAreRefusedEvenForARemovedGroup)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup live, again, other;
    ASSERT_EQ(c.AddGroup(live, "Line"), S_OK);
    ASSERT_EQ(c.server->RemoveGroup(live.handle, FALSE), OPC_S_INUSE);
    again.handle = 77;
    EXPECT_EQ(c.AddGroup(again, "Line"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(again.handle, 0u);
    EXPECT_FALSE(again.unk);
    EXPECT_EQ(c.AddGroup(other, "line"), S_OK) << "names compare with letter case";
}

TEST_F(ServerObject, EmptyNameTakesTheTickCountUntilNineAppendsAreUsedUp)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    tick = 7;
    std::vector<std::unique_ptr<ClientGroup>> groups;
    std::string expected;
    for (int i = 1; i <= 9; ++i) {
        groups.push_back(std::make_unique<ClientGroup>());
        ASSERT_EQ(c.AddGroup(*groups.back(), ""), S_OK);
        expected += "7";
        EXPECT_EQ(groups.back()->Object()->Name(), expected);
    }
    ClientGroup tenth;
    tenth.handle = 99;
    EXPECT_EQ(c.AddGroup(tenth, ""), OPC_E_DUPLICATENAME);
    EXPECT_EQ(tenth.handle, 0u);
    tick = 12345;
    EXPECT_EQ(c.AddGroup(tenth, ""), S_OK);
    EXPECT_EQ(tenth.Object()->Name(), "12345");
}

TEST_F(ServerObject, DeadbandOutsideZeroToHundredIsRefusedBeforeAnythingIsMade)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    for (FLOAT bad : {-0.5f, 100.5f, std::numeric_limits<FLOAT>::quiet_NaN()}) {
        ClientGroup g;
        g.handle = 55;
        EXPECT_EQ(c.AddGroup(g, "g", TRUE, 10, 1, &bad), E_INVALIDARG) << bad;
        EXPECT_EQ(g.handle, 55u) << "the handle is not written";
        EXPECT_FALSE(g.unk);
    }
    EXPECT_EQ(c.Object()->GroupCount(), 0u);
    EXPECT_EQ(TheOpcCounters().groupServerHandle, 1u);

    FLOAT hundred = 100.0f;
    ClientGroup full, none;
    EXPECT_EQ(c.AddGroup(full, "full", TRUE, 10, 1, &hundred), S_OK);
    LONG bias = 90;
    EXPECT_EQ(c.AddGroup(none, "none", TRUE, 10, 1, nullptr, &bias), S_OK);
    DWORD rate;
    BOOL active;
    LPWSTR name;
    LONG gotBias;
    FLOAT deadband;
    DWORD lcid;
    OPCHANDLE hc, hs;
    ASSERT_EQ(none.state->GetState(&rate, &active, &name, &gotBias, &deadband, &lcid, &hc, &hs), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(deadband, 0.0f);
    EXPECT_EQ(gotBias, 90);
    ASSERT_EQ(full.state->GetState(&rate, &active, &name, &gotBias, &deadband, &lcid, &hc, &hs), S_OK);
    CoTaskMemFree(name);
    EXPECT_EQ(deadband, 100.0f);
    EXPECT_EQ(gotBias, kBias) << "no bias given: the system's";
}

TEST_F(ServerObject, GetGroupByNameSearchesPrivateGroupsExactly)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(c.AddGroup(g, "Line A"), S_OK);
    ASSERT_EQ(c.server->RemoveGroup(g.handle, FALSE), OPC_S_INUSE);
    IUnknown* found = nullptr;
    ASSERT_EQ(c.server->GetGroupByName(u"Line A", IID_IOPCSyncIO, &found), S_OK) << "removed groups are found";
    EXPECT_EQ(static_cast<void*>(found), static_cast<void*>(g.sync.get()));
    found->Release();
    found = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(c.server->GetGroupByName(u"line a", IID_IOPCSyncIO, &found), E_INVALIDARG);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(c.server->GetGroupByName(u"Line A", IID_IOPCAsyncIO, &found), E_NOINTERFACE);
    EXPECT_EQ(c.server->GetGroupByName(u"Line A", IID_IOPCSyncIO, nullptr), E_INVALIDARG);
}

// ------------------------------------------------------------- RemoveGroup

TEST_F(ServerObject, RemoveWithoutForceKeepsTheGroupUntilItsClientLetsGo)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(c.AddGroup(g, "g"), S_OK);
    EXPECT_EQ(c.server->RemoveGroup(0, FALSE), E_INVALIDARG);
    EXPECT_EQ(c.server->RemoveGroup(g.handle + 100, FALSE), E_INVALIDARG);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, FALSE), OPC_S_INUSE);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, FALSE), E_INVALIDARG);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, TRUE), E_INVALIDARG);
    EXPECT_TRUE(g.unk) << "only marked";

    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(c.server->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwGroupCount, 1u) << "a removed group counts until released";
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    g.Release();
    ASSERT_EQ(c.Object()->RemovedGroups().size(), 1u);
    EXPECT_EQ(c.Object()->RemovedGroups()[0].name, "g");
    EXPECT_EQ(c.server->RemoveGroup(g.handle, FALSE), S_OK);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, TRUE), E_INVALIDARG);
    EXPECT_EQ(c.Object()->GroupCount(), 0u);
}

TEST_F(ServerObject, ClientThatReleasesFirstStillGetsOneSuccessfulRemove)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(c.AddGroup(g, "g"), S_OK);
    const OPCHANDLE h = g.handle;
    g.Release();
    EXPECT_EQ(c.server->RemoveGroup(h, TRUE), S_OK);
    EXPECT_EQ(c.server->RemoveGroup(h, FALSE), E_INVALIDARG);
}

TEST_F(ServerObject, ForcedRemoveDisconnectsEveryClientReference)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup g, keep;
    ASSERT_EQ(c.AddGroup(g, "g"), S_OK);
    ASSERT_EQ(c.AddGroup(keep, "keep"), S_OK);
    std::vector<OPCHANDLE> items;
    g.Add({"Scale_COM1"}, items);
    const long before = ComObject::LiveObjects();
    EXPECT_EQ(c.server->RemoveGroup(g.handle, TRUE), S_OK);
    EXPECT_FALSE(g.unk);
    EXPECT_FALSE(g.sync) << "every interface the client held is dropped";
    EXPECT_EQ(ComObject::LiveObjects(), before - 1);
    EXPECT_EQ(c.Object()->GroupCount(), 1u);
    EXPECT_TRUE(keep.unk);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, FALSE), S_OK) << "destroyed: the first remove succeeds";
    EXPECT_EQ(c.server->RemoveGroup(g.handle, FALSE), E_INVALIDARG);
}

TEST_F(ServerObject, ForcedRemoveOfAGroupAnEnumeratorListsWaitsForTheEnumerator)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(c.AddGroup(g, "g"), S_OK);
    IUnknown* e = nullptr;
    ASSERT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &e), S_OK);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, TRUE), S_OK);
    EXPECT_FALSE(g.unk);
    EXPECT_EQ(c.Object()->GroupCount(), 1u) << "the enumerator keeps it";
    e->Release();
    EXPECT_EQ(c.Object()->GroupCount(), 0u);
    EXPECT_EQ(c.server->RemoveGroup(g.handle, FALSE), S_OK);
}

// ---------------------------------------------------- CreateGroupEnumerator

TEST_F(ServerObject, GroupEnumeratorsListPrivateGroupsInOrder)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    IUnknown* e = reinterpret_cast<IUnknown*>(1);
    for (DWORD scope : {0u, 7u}) {
        EXPECT_EQ(c.server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(scope), IID_IEnumString, &e),
                  E_INVALIDARG);
        EXPECT_EQ(e, nullptr);
    }
    EXPECT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCItemMgt, &e), E_NOINTERFACE);
    ASSERT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &e), S_FALSE);
    ASSERT_NE(e, nullptr) << "an empty enumerator is still given";
    EXPECT_TRUE(Strings(e).empty());
    e->Release();

    ClientGroup b, a;
    ASSERT_EQ(c.AddGroup(b, "b"), S_OK);
    ASSERT_EQ(c.AddGroup(a, "a"), S_OK);
    ASSERT_EQ(c.server->RemoveGroup(b.handle, FALSE), OPC_S_INUSE);
    for (DWORD scope : {1u, 3u, 4u, 6u}) {
        ASSERT_EQ(c.server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(scope), IID_IEnumString, &e), S_OK);
        EXPECT_EQ(Strings(e), (std::vector<std::string>{"b", "a"})) << scope;
        e->Release();
    }
    for (DWORD scope : {2u, 5u}) {
        EXPECT_EQ(c.server->CreateGroupEnumerator(static_cast<OPCENUMSCOPE>(scope), IID_IEnumString, &e), S_FALSE);
        e->Release();
    }
    ASSERT_EQ(c.server->CreateGroupEnumerator(OPC_ENUM_PRIVATE, IID_IEnumUnknown, &e), S_OK);
    IEnumUnknown* groups = nullptr;
    ASSERT_EQ(e->QueryInterface(IID_IEnumUnknown, reinterpret_cast<void**>(&groups)), S_OK);
    IUnknown* listed[3] = {};
    ULONG fetched = 0;
    groups->Next(3, listed, &fetched);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(listed[0], b.unk.get());
    EXPECT_EQ(listed[1], a.unk.get());
    listed[0]->Release();
    listed[1]->Release();
    groups->Release();
    e->Release();
}

// ------------------------------------------------------------ GetStatus

TEST_F(ServerObject, StatusReportsTimesCountsAndVersion)
{
    now = 45100.25;
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    EXPECT_EQ(c.server->GetStatus(nullptr), E_INVALIDARG);
    OPCSERVERSTATUS* s = nullptr;
    ASSERT_EQ(c.server->GetStatus(&s), S_OK);
    EXPECT_EQ(FileTimeValue(s->ftStartTime), Stamp(45100.25));
    EXPECT_EQ(FileTimeValue(s->ftLastUpdateTime), Stamp(0.0)) << "30 December 1899, local midnight";
    EXPECT_LE(std::llabs(static_cast<long long>(FileTimeValue(s->ftCurrentTime) - FileTimeNow())), 50000000LL);
    EXPECT_EQ(s->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(s->dwGroupCount, 0u);
    EXPECT_EQ(s->dwBandWidth, 100u);
    EXPECT_EQ(s->wMajorVersion, 1);
    EXPECT_EQ(s->wMinorVersion, 2);
    EXPECT_EQ(s->wBuildNumber, 5);
    EXPECT_EQ(AnsiFromWide(s->szVendorInfo), "Quorbel");
    CoTaskMemFree(s->szVendorInfo);
    CoTaskMemFree(s);

    now = 45100.5;
    ClientGroup g;
    ASSERT_EQ(c.AddGroup(g, "g"), S_OK);
    ASSERT_EQ(c.server->GetStatus(&s), S_OK);
    EXPECT_EQ(FileTimeValue(s->ftLastUpdateTime), Stamp(45100.5)) << "AddGroup sets the last update time";
    EXPECT_EQ(s->dwGroupCount, 1u);
    CoTaskMemFree(s->szVendorInfo);
    CoTaskMemFree(s);

    Pulse();
    ASSERT_EQ(c.server->GetStatus(&s), S_OK);
    EXPECT_EQ(FileTimeValue(s->ftLastUpdateTime), Stamp(now)) << "and so does every pulse";
    CoTaskMemFree(s->szVendorInfo);
    CoTaskMemFree(s);

    CoTaskMemFailAfter(1);
    s = reinterpret_cast<OPCSERVERSTATUS*>(1);
    EXPECT_EQ(c.server->GetStatus(&s), E_OUTOFMEMORY) << "vendor text cannot be allocated";
    EXPECT_EQ(s, nullptr);
    CoTaskMemFailAfter(-1);
}

TEST_F(ServerObject, ErrorStringsComeFromTheResultTextTable)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    IOPCCommon* common = nullptr;
    ASSERT_EQ(c.server->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&common)), S_OK);
    ASSERT_EQ(common->SetLocaleID(LOCALE_USER_DEFAULT), S_OK);
    for (HRESULT code : {OPC_E_INVALIDHANDLE, E_OUTOFMEMORY, hr(0x8004FFFF)}) {
        LPWSTR a = nullptr, b = nullptr;
        EXPECT_EQ(c.server->GetErrorString(code, 0x409, &a), S_OK);
        EXPECT_EQ(common->GetErrorString(code, &b), S_OK);
        EXPECT_EQ(AnsiFromWide(a), ResultText(code));
        EXPECT_EQ(AnsiFromWide(b), ResultText(code));
        CoTaskMemFree(a);
        CoTaskMemFree(b);
    }
    EXPECT_FALSE(ResultText(OPC_E_INVALIDHANDLE).empty());
    // Codes the server itself hands out have their system texts.
    EXPECT_EQ(ResultText(RPC_E_DISCONNECTED), "The object invoked has disconnected from its clients");
    EXPECT_EQ(ResultText(DISP_E_BADVARTYPE), "Bad variable type");
    common->Release();
}

// ------------------------------------------------------------ IOPCCommon

TEST_F(ServerObject, CommonAcceptsOnlyTheTwoDefaultLocales)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    IOPCCommon* common = nullptr;
    ASSERT_EQ(c.server->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&common)), S_OK);
    LCID lcid = 0;
    EXPECT_EQ(common->SetLocaleID(0x409), E_INVALIDARG);
    EXPECT_EQ(common->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x800u);
    EXPECT_EQ(common->SetLocaleID(0x400), S_OK);
    common->GetLocaleID(&lcid);
    EXPECT_EQ(lcid, 0x400u);

    DWORD count = 0;
    LCID* ids = nullptr;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ids[0], 0x800u);
    EXPECT_EQ(ids[1], 0x400u);
    CoTaskMemFree(ids);
    CoTaskMemFailAfter(0);
    count = 0;
    EXPECT_EQ(common->QueryAvailableLocaleIDs(&count, &ids), E_OUTOFMEMORY);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(ids, nullptr);
    CoTaskMemFailAfter(-1);

    EXPECT_EQ(c.Object()->Common().ClientName(), "Client has not set the name");
    EXPECT_EQ(common->SetClientName(u"Historian"), S_OK);
    EXPECT_EQ(c.Object()->Common().ClientName(), "Historian");
    common->Release();
}

// ------------------------------------------------------- IOPCShutdown point

TEST_F(ServerObject, ShutdownPointTakesOneSinkAtATime)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(c.server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
    IConnectionPoint* cp = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp, nullptr);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, &cp), S_OK);

    auto first = MakeSink<TestShutdownSink>();
    auto second = MakeSink<TestShutdownSink>();
    DWORD cookie = 0, other = 0;
    ASSERT_EQ(cp->Advise(first.get(), &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(cp->Advise(second.get(), &other), hr(0x80040201));
    EXPECT_GT(first->RefCount(), 1u) << "the server holds the sink";
    EXPECT_EQ(cp->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(1), S_OK);
    EXPECT_EQ(first->RefCount(), 1u);
    EXPECT_FALSE(c.Object()->HasShutdownSink());
    EXPECT_EQ(cp->Advise(second.get(), &other), S_OK);
    EXPECT_EQ(other, 1u);

    RequestShutdownAll();
    EXPECT_EQ(second->reasons, (std::vector<std::string>{"Quorbel Linvaro IOPCShutdown request."}));
    EXPECT_TRUE(first->reasons.empty());
    cp->Release();
    cpc->Release();
    c.server.reset();
    EXPECT_EQ(second->RefCount(), 1u) << "a sink never unadvised goes with the server";
}

TEST_F(ServerObject, ShutdownRequestSkipsSinksWithoutTheInterface)
{
    Client plain, none, good;
    ASSERT_EQ(plain.Connect(), S_OK);
    ASSERT_EQ(none.Connect(), S_OK);
    ASSERT_EQ(good.Connect(), S_OK);
    auto noInterface = MakeSink<TestShutdownSink>(false);
    auto sink = MakeSink<TestShutdownSink>();
    for (auto [client, s] : {std::pair{&none, noInterface.get()}, std::pair{&good, sink.get()}}) {
        IConnectionPointContainer* cpc = nullptr;
        client->server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        IConnectionPoint* cp = nullptr;
        cpc->FindConnectionPoint(IID_IOPCShutdown, &cp);
        DWORD cookie = 0;
        EXPECT_EQ(cp->Advise(s, &cookie), S_OK) << "the sink is not asked for IOPCShutdown at Advise";
        cp->Release();
        cpc->Release();
    }
    EXPECT_FALSE(plain.Object()->RequestShutdown());
    EXPECT_FALSE(none.Object()->RequestShutdown());
    EXPECT_TRUE(good.Object()->RequestShutdown());
    // A client that lets go from inside its ShutdownRequest.
    sink->during = [&] { good.server.reset(); };
    RequestShutdownAll();
    EXPECT_EQ(sink->reasons.size(), 2u);
    EXPECT_EQ(ConnectedServerCount(), 2);
}

// ------------------------------------------------------------ life cycle

TEST_F(ServerObject, ServerGoingAwayDisconnectsItsGroups)
{
    Client c;
    ASSERT_EQ(c.Connect(), S_OK);
    ClientGroup held, stray;
    ASSERT_EQ(c.AddGroup(held, "held"), S_OK);
    ASSERT_EQ(c.AddGroup(stray, "stray"), S_OK);
    std::vector<OPCHANDLE> items;
    held.Add({"Scale_COM1", "Pump_COM3"}, items);
    // An in-process reference that is not a client's.
    ComPtr<IOPCGroupStateMgt> inProcess(stray.state.get());
    const int refreshes = consoleRefreshes;

    c.server.reset();
    EXPECT_FALSE(held.unk) << "a client's group references are dropped";
    EXPECT_FALSE(stray.unk);
    EXPECT_EQ(ServerInSlot(0), nullptr);
    EXPECT_GT(consoleRefreshes, refreshes);
    // The group that is still referenced answers nothing any more.
    EXPECT_EQ(inProcess->SetName(u"x"), RPC_E_DISCONNECTED);
    DWORD rate = 1;
    EXPECT_EQ(inProcess->SetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), RPC_E_DISCONNECTED);
    inProcess.reset();
}

TEST_F(ServerObject, ProgramExitDiscardsEveryServerObject)
{
    Client a, b;
    ASSERT_EQ(a.Connect(), S_OK);
    ASSERT_EQ(b.Connect(), S_OK);
    ClientGroup g;
    ASSERT_EQ(b.AddGroup(g, "g"), S_OK);
    // b is also held by an in-process reference that the exit cannot drop.
    ComPtr<IOPCServer> stray(b.server.get());
    DiscardAllServers();
    EXPECT_FALSE(a.server);
    EXPECT_FALSE(b.server);
    EXPECT_FALSE(g.unk);
    EXPECT_EQ(ConnectedServerCount(), 0);
    EXPECT_EQ(ServerInSlot(1), nullptr);
    IUnknown* unk = nullptr;
    DWORD h = 0, rate = 0;
    EXPECT_EQ(stray->AddGroup(u"x", TRUE, 0, 0, nullptr, nullptr, 0, &h, &rate, IID_IUnknown, &unk),
              RPC_E_DISCONNECTED);
    stray.reset();
}
