// The client library against the real server objects over the private bus:
// a client written as an OPC DA client, sinks on the client's own
// connection, and clients that die or never answer.
#include "BusTestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <cstdlib>
#include <sys/types.h>

namespace {

template <typename T> T* As(IUnknown* unk, REFIID iid)
{
    void* p = nullptr;
    EXPECT_EQ(unk->QueryInterface(iid, &p), S_OK);
    return static_cast<T*>(p);
}

class ClientLibrary : public BusTest {
protected:
    void ReleaseClients() override
    {
        for (IUnknown* p : held_)
            p->Release();
        held_.clear();
        sink.reset();
    }
    // Keeps p until the end of the test.
    template <typename T> T* Hold(T* p)
    {
        if (p)
            held_.push_back(p);
        return p;
    }
    IOPCServer* Connect()
    {
        IOPCServer* s = nullptr;
        EXPECT_EQ(opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, reinterpret_cast<void**>(&s)), S_OK);
        return Hold(s);
    }
    IOPCItemMgt* AddGroup(IOPCServer* s, const char16_t* name, OPCHANDLE& hGroup, DWORD rate = 10)
    {
        DWORD revised = 0;
        IUnknown* unk = nullptr;
        EXPECT_EQ(s->AddGroup(name, TRUE, rate, 77, nullptr, nullptr, 0x409, &hGroup, &revised, IID_IOPCItemMgt, &unk),
                  S_OK);
        EXPECT_EQ(revised, rate);
        return Hold(static_cast<IOPCItemMgt*>(static_cast<void*>(unk)));
    }
    std::vector<OPCHANDLE> AddItems(IOPCItemMgt* items, const std::vector<std::u16string>& ids)
    {
        std::vector<std::u16string> keep = ids;
        std::vector<OPCITEMDEF> defs(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            defs[i].szItemID = keep[i].data();
            defs[i].bActive = TRUE;
            defs[i].hClient = 100 + static_cast<OPCHANDLE>(i);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors), S_OK);
        std::vector<OPCHANDLE> handles;
        for (std::size_t i = 0; results && i < ids.size(); ++i) {
            EXPECT_EQ(errors[i], S_OK);
            EXPECT_EQ(results[i].vtCanonicalDataType, VT_BSTR);
            handles.push_back(results[i].hServer);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return handles;
    }
    DWORD Advise(IUnknown* group, IUnknown* s)
    {
        auto* cpc = Hold(As<IConnectionPointContainer>(group, IID_IConnectionPointContainer));
        IConnectionPoint* cp = nullptr;
        EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), S_OK);
        Hold(cp);
        IID iid{};
        EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
        EXPECT_EQ(iid, IID_IOPCDataCallback);
        DWORD cookie = 0;
        EXPECT_EQ(cp->Advise(s, &cookie), S_OK);
        return cookie;
    }

    void SetUp() override
    {
        BusTest::SetUp();
        sink = MakeSink<TestDataSink>(); // after the fixture counted the live objects
    }

    ComPtr<TestDataSink> sink;

private:
    std::vector<IUnknown*> held_;
};

} // namespace

TEST_F(ClientLibrary, CreateByClassIdAndGetStatus)
{
    IOPCServer* s = Connect();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(ConnectedServerCount(), 1);
    OPCSERVERSTATUS* status = nullptr;
    ASSERT_EQ(s->GetStatus(&status), S_OK);
    EXPECT_EQ(status->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(AnsiFromWide(status->szVendorInfo), TDA2::kVendorInfo);
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);

    // One proxy per remote object: its identity is stable across interfaces.
    auto* common = As<IOPCCommon>(s, IID_IOPCCommon);
    EXPECT_EQ(common->SetClientName(u"bus test"), S_OK);
    EXPECT_EQ(ServerInSlot(0)->Common().ClientName(), "bus test");
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    s->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    common->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_EQ(a, b);
    a->Release();
    b->Release();
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(s->QueryInterface(IID_IOPCSyncIO, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    common->Release();
    EXPECT_EQ(server->PathCount(), 1) << "the proxy holds one remote reference";
}

TEST_F(ClientLibrary, UnregisteredClassIsReported)
{
    // A class no program serves or registers for activation.
    const CLSID nobody = MakeGuid(0x5D1B7E20, 0x3C4F, 0x4A11, 0x9E, 0x02, 0x61, 0x7A, 0x8B, 0x90, 0xC3, 0x4D);
    void* p = nullptr;
    EXPECT_EQ(opcclient::CreateInstance(nobody, IID_IUnknown, &p), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(p, nullptr);
}

TEST_F(ClientLibrary, GroupItemsSyncReadAndWrite)
{
    IOPCServer* s = Connect();
    OPCHANDLE hGroup = 0;
    IOPCItemMgt* items = AddGroup(s, u"g", hGroup);
    ASSERT_NE(items, nullptr);
    const auto handles = AddItems(items, {u"Scale_COM1", u"Pump_COM3"});
    ASSERT_EQ(handles.size(), 2u);
    SetText(0, "12.5 kg");
    SetText(2, "on");

    auto* sync = Hold(As<IOPCSyncIO>(items, IID_IOPCSyncIO));
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(sync->Read(OPC_DS_CACHE, 2, const_cast<OPCHANDLE*>(handles.data()), &states, &errors), S_OK);
    EXPECT_EQ(Describe(states[0].vDataValue), "BSTR:12.5 kg");
    EXPECT_EQ(Describe(states[1].vDataValue), "BSTR:on");
    EXPECT_EQ(states[1].hClient, 101u);
    EXPECT_EQ(states[0].wQuality, OPC_QUALITY_GOOD);
    for (int i = 0; i < 2; ++i)
        VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    Variant value = Variant::fromText("T42");
    OPCHANDLE h = handles[1];
    ASSERT_EQ(sync->Write(1, &h, value.get(), &errors), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(clientWrites.size(), 1u);
    EXPECT_EQ(clientWrites[0], std::make_pair(2, std::string("T42")));

    auto* state = Hold(As<IOPCGroupStateMgt>(items, IID_IOPCGroupStateMgt));
    DWORD rate = 0, lcid = 0;
    BOOL active = 0;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    OPCHANDLE hClient = 0, hServer = 0;
    ASSERT_EQ(state->GetState(&rate, &active, &name, &bias, &deadband, &lcid, &hClient, &hServer), S_OK);
    EXPECT_EQ(AnsiFromWide(name), "g");
    EXPECT_EQ(hClient, 77u);
    EXPECT_EQ(hServer, hGroup);
    CoTaskMemFree(name);
}

TEST_F(ClientLibrary, AdvisedSinkReceivesDataChangesOnTheClientsConnection)
{
    IOPCServer* s = Connect();
    OPCHANDLE hGroup = 0;
    IOPCItemMgt* items = AddGroup(s, u"g", hGroup);
    const auto handles = AddItems(items, {u"Scale_COM1", u"Scale_COM2"});
    EXPECT_EQ(Advise(items, sink.get()), 1u);
    EXPECT_EQ(opcclient::ExportedSinks(), 1);
    SetText(0, "7.25 kg");
    Pulse();
    ASSERT_TRUE(WaitFor([this] { return !sink->calls.empty(); })) << "no OnDataChange arrived";
    const ::Call& c = sink->calls.at(0);
    EXPECT_EQ(c.kind, "data");
    EXPECT_EQ(c.group, 77u);
    EXPECT_EQ(c.Clients(), (std::vector<OPCHANDLE>{100, 101}));
    EXPECT_EQ(c.Values(), (std::vector<std::string>{"BSTR:7.25 kg", "BSTR:"}));
    EXPECT_EQ(c.entries[0].quality, OPC_QUALITY_GOOD);
    EXPECT_EQ(c.entries[0].stamp, Stamp(now));

    // Asynchronous read: the completion comes through the same sink.
    auto* async = Hold(As<IOPCAsyncIO2>(items, IID_IOPCAsyncIO2));
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    OPCHANDLE h = handles[0];
    ASSERT_EQ(async->Read(1, &h, 555, &cancelId, &errors), S_OK);
    CoTaskMemFree(errors);
    Pulse();
    ASSERT_TRUE(WaitFor([this] { return !sink->Of("read").empty(); }));
    EXPECT_EQ(sink->Of("read")[0].transId, 555u);
    EXPECT_EQ(sink->Of("read")[0].Values(), (std::vector<std::string>{"BSTR:7.25 kg"}));
}

TEST_F(ClientLibrary, GroupEnumeratorHandsOutTheSameGroupObjects)
{
    IOPCServer* s = Connect();
    OPCHANDLE h1 = 0, h2 = 0;
    IOPCItemMgt* g1 = AddGroup(s, u"one", h1);
    AddGroup(s, u"two", h2);
    IUnknown* unk = nullptr;
    ASSERT_EQ(s->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &unk), S_OK);
    auto* e = Hold(static_cast<IEnumUnknown*>(static_cast<void*>(unk)));
    IUnknown* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(e->Next(3, got, &fetched), RPC_X_ENUM_VALUE_OUT_OF_RANGE_CODE);
    ASSERT_EQ(fetched, 2u);
    IUnknown* identity = nullptr;
    g1->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    EXPECT_EQ(got[0], identity) << "the enumerated group is the proxy the client already has";
    identity->Release();
    got[0]->Release();
    got[1]->Release();

    IUnknown* names = nullptr;
    ASSERT_EQ(s->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &names), S_OK);
    auto* strings = Hold(static_cast<IEnumString*>(static_cast<void*>(names)));
    LPOLESTR text[2] = {};
    ASSERT_EQ(strings->Next(2, text, &fetched), S_OK);
    EXPECT_EQ(AnsiFromWide(text[0]) + "," + AnsiFromWide(text[1]), "one,two");
    CoTaskMemFree(text[0]);
    CoTaskMemFree(text[1]);

    EXPECT_EQ(s->RemoveGroup(h2, FALSE), OPC_S_INUSE) << "the client still holds the group";
}

TEST_F(ClientLibrary, ReleasingTheLastProxyReleasesTheRemoteObject)
{
    IOPCServer* s = nullptr;
    ASSERT_EQ(opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, reinterpret_cast<void**>(&s)), S_OK);
    OPCHANDLE h = 0;
    DWORD rate = 0;
    IUnknown* g = nullptr;
    ASSERT_EQ(s->AddGroup(u"g", TRUE, 10, 1, nullptr, nullptr, 0, &h, &rate, IID_IOPCGroupStateMgt, &g), S_OK);
    ASSERT_EQ(TotalGroupCount(), 1);
    g->Release();
    s->Release();
    EXPECT_TRUE(WaitFor([] { return ConnectedServerCount() == 0 && TotalGroupCount() == 0; }));
    EXPECT_EQ(opcclient::LiveProxies(), 0);
}

TEST_F(ClientLibrary, CallsOnAnObjectTheServerDroppedReportDisconnection)
{
    IOPCServer* s = Connect();
    OPCHANDLE h = 0;
    IOPCItemMgt* items = AddGroup(s, u"g", h);
    // A forced removal disconnects the group from its clients.
    ASSERT_EQ(s->RemoveGroup(h, TRUE), S_OK);
    HRESULT* errors = nullptr;
    OPCHANDLE none = 1;
    EXPECT_EQ(items->RemoveItems(1, &none, &errors), opcclient::RPC_E_DISCONNECTED_CODE);
    EXPECT_EQ(errors, nullptr);
}

TEST_F(ClientLibrary, AKilledClientLosesItsGroupsAndANeverAnsweringSinkDelaysNoPulse)
{
    // A well-behaved client of this process, to see that its data still flows.
    IOPCServer* s = Connect();
    OPCHANDLE h = 0;
    IOPCItemMgt* items = AddGroup(s, u"mine", h);
    AddItems(items, {u"Scale_COM1"});
    Advise(items, sink.get());

    QProcess hung;
    hung.setProcessChannelMode(QProcess::MergedChannels);
    hung.start(QStringLiteral(DBUS_HUNG_CLIENT), {QStringLiteral("Scale_COM1")});
    ASSERT_TRUE(hung.waitForStarted(5000));
    QByteArray out;
    ASSERT_TRUE(WaitFor([&] {
        out += hung.readAll();
        return out.contains("ready") || out.contains("failed") || hung.state() == QProcess::NotRunning;
    }, 10000)) << "the child never got ready";
    ASSERT_TRUE(out.contains("ready")) << out.toStdString();
    ASSERT_EQ(ConnectedServerCount(), 2);
    ASSERT_EQ(TotalGroupCount(), 2);

    // The child's main thread never runs again: its sink answers nothing,
    // not even the query for its interface.
    for (int i = 0; i < 20; ++i) {
        SetText(0, "w" + std::to_string(i));
        QElapsedTimer t;
        t.start();
        Pulse();
        // Waiting on the child would take at least the query bound.
        EXPECT_LT(t.elapsed(), opcdbus::RemoteSink::kQueryTimeoutMs) << "pulse " << i << " waited on the child";
    }
    EXPECT_TRUE(WaitFor([this] { return sink->Of("data").size() >= 20; }))
        << "only " << sink->Of("data").size() << " updates reached the answering client";

    hung.kill();
    hung.waitForFinished(5000);
    EXPECT_TRUE(WaitFor([] { return ConnectedServerCount() == 1 && TotalGroupCount() == 1; }, 5000))
        << "the killed client's server object and group are still there";
    EXPECT_EQ(server->PathCount(), 3) << "only this process's paths are left (server, group, its connection point)";
}

namespace {

// A child client process (dbus_hung_client) and what it printed.
struct ChildClient {
    QProcess process;
    QByteArray out;

    bool Start(const QString& mode, int groups)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(DBUS_HUNG_CLIENT),
                      {QStringLiteral("Scale_COM1"), mode, QString::number(groups), QStringLiteral("10")});
        if (!process.waitForStarted(5000))
            return false;
        return WaitFor([&] {
            out += process.readAllStandardOutput();
            return out.contains("ready") || out.contains("failed") || process.state() == QProcess::NotRunning;
        }, 20000) && out.contains("ready");
    }
    // True once the process is stopped (SIGSTOP), as /proc says.
    bool Stopped() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return false;
        const QByteArray line = stat.readAll();
        const int paren = line.lastIndexOf(')');
        return paren > 0 && line.size() > paren + 2 && line[paren + 2] == 'T';
    }
    void Signal(int sig) { ::kill(static_cast<pid_t>(process.processId()), sig); }
    // The values printed for a group, in order.
    std::vector<std::string> Values(int group)
    {
        out += process.readAllStandardOutput();
        std::vector<std::string> values;
        const QByteArray prefix = "data " + QByteArray::number(group) + "=";
        for (const QByteArray& line : out.split('\n'))
            if (line.startsWith(prefix))
                values.push_back(line.mid(prefix.size()).toStdString());
        return values;
    }
    ~ChildClient()
    {
        Signal(SIGCONT);
        process.kill();
        process.waitForFinished(5000);
    }
};

// The unique name of the one client other than known.
QString OtherClient(opcdbus::BusServer& server, const QString& known)
{
    for (const QString& c : server.Flows().Clients())
        if (c != known)
            return c;
    return {};
}

} // namespace

TEST_F(ClientLibrary, AClientThatStopsReadingIsHeldAtItsBoundAndGetsItsLatestValuesWhenItReadsAgain)
{
    constexpr qint64 kBound = 24 * 1024;
    server->Flows().SetLimits({kBound, 60000});
    // A well-behaved client of this process.
    IOPCServer* s = Connect();
    OPCHANDLE h = 0;
    IOPCItemMgt* items = AddGroup(s, u"mine", h);
    AddItems(items, {u"Scale_COM1"});
    Advise(items, sink.get());

    constexpr int kGroups = 20;
    ChildClient child;
    ASSERT_TRUE(child.Start("stop", kGroups)) << child.out.toStdString();
    ASSERT_TRUE(WaitFor([&] { return child.Stopped(); }));
    const QString frozen = OtherClient(*server, client.baseService());
    ASSERT_FALSE(frozen.isEmpty());
    auto channel = server->Flows().Find(frozen);
    ASSERT_TRUE(channel);

    // Long values, a new one every pulse, every pulse 10 ms apart.
    const std::string pad(300, 'x');
    int n = 0;
    auto pulseWithNewValue = [&] {
        SetText(0, "v" + std::to_string(++n) + pad);
        Pulse();
        QElapsedTimer t;
        t.start();
        WaitFor([&] { return t.elapsed() >= 10; }, 50);
    };
    for (int i = 0; i < 60 && channel->State() == SinkFlowState::Open; ++i)
        pulseWithNewValue();
    ASSERT_EQ(channel->State(), SinkFlowState::Congested);
    const qint64 sentAtBound = channel->Sent();
    for (int i = 0; i < 50; ++i)
        pulseWithNewValue();
    EXPECT_EQ(channel->Sent(), sentAtBound) << "nothing more went to the client past its bound";
    EXPECT_LE(channel->Unread(), kBound + 4096) << "past the bound by at most one callback";
    EXPECT_EQ(channel->State(), SinkFlowState::Congested);
    // The other client got every update meanwhile.
    const std::string latest = "v" + std::to_string(n) + pad;
    EXPECT_TRUE(WaitFor([&] { return !sink->Of("data").empty() && sink->Of("data").back().Values().back() == "BSTR:" + latest; }))
        << "the reading client fell behind";
    EXPECT_GE(sink->Of("data").size(), static_cast<std::size_t>(n * 9 / 10)) << "the reading client missed updates";

    // It reads again: what was sent comes, then each group's latest value.
    child.Signal(SIGCONT);
    ASSERT_TRUE(WaitFor([&] {
        Pulse();
        return channel->State() == SinkFlowState::Open;
    }, 10000));
    SetText(0, "final");
    ASSERT_TRUE(WaitFor([&] {
        Pulse();
        for (int g = 1; g <= kGroups; ++g) {
            const auto values = child.Values(g);
            if (values.empty() || values.back() != "final")
                return false;
        }
        return true;
    }, 10000)) << "a group of the client that read again did not get its latest value";
    for (int g = 1; g <= kGroups; ++g) {
        // Values come in the order they were set, none twice.
        int last = -1;
        for (const std::string& v : child.Values(g)) {
            const int seq = v == "final" ? n + 1 : v.empty() ? 0 : std::atoi(v.c_str() + 1);
            EXPECT_GT(seq, last) << "group " << g << " got " << v << " after " << last;
            last = seq;
        }
    }
}

TEST_F(ClientLibrary, AClientThatStaysStoppedPastTheStallTimeHasItsCallbacksDroppedWithOneLogLine)
{
    constexpr int kStallMs = 1500;
    server->Flows().SetLimits({8 * 1024, kStallMs});
    QStringList log;
    server->Flows().SetLog([&](const QString& line) { log << line; });
    IOPCServer* s = Connect();
    OPCHANDLE h = 0;
    IOPCItemMgt* items = AddGroup(s, u"mine", h);
    AddItems(items, {u"Scale_COM1"});
    Advise(items, sink.get());

    ChildClient child;
    ASSERT_TRUE(child.Start("stop", 10)) << child.out.toStdString();
    ASSERT_TRUE(WaitFor([&] { return child.Stopped(); }));
    const QString frozen = OtherClient(*server, client.baseService());
    auto channel = server->Flows().Find(frozen);
    ASSERT_TRUE(channel);
    const std::string pad(300, 'y');
    int n = 0;
    QElapsedTimer run;
    run.start();
    while (channel->State() != SinkFlowState::Dropped && run.elapsed() < kStallMs + 5000) {
        SetText(0, "v" + std::to_string(++n) + pad);
        Pulse();
        QElapsedTimer t;
        t.start();
        WaitFor([&] { return t.elapsed() >= 10; }, 50);
    }
    ASSERT_EQ(channel->State(), SinkFlowState::Dropped);
    EXPECT_GE(run.elapsed(), kStallMs) << "dropped before the stall time";
    ASSERT_EQ(log.size(), 1) << log.join("\n").toStdString();
    EXPECT_TRUE(log[0].contains(frozen)) << log[0].toStdString();
    EXPECT_TRUE(log[0].contains(QString::number(child.process.processId()))) << log[0].toStdString();
    // Its groups let go of the sink; the other client's group keeps its own.
    Pulse();
    int withSink = 0, groups = 0;
    for (int slot = 0; slot < TDA2::kSlots; ++slot)
        if (TDA2* srv = ServerInSlot(slot))
            for (TOPCGroup* g : srv->PrivateGroups()) {
                ++groups;
                withSink += g->HasSink() ? 1 : 0;
            }
    EXPECT_EQ(groups, 11);
    EXPECT_EQ(withSink, 1);
    const std::size_t before = sink->Of("data").size();
    SetText(0, "after");
    Pulse();
    EXPECT_TRUE(WaitFor([&] { return sink->Of("data").size() > before; })) << "the other client is still served";
    EXPECT_EQ(log.size(), 1) << "one line only";
}
