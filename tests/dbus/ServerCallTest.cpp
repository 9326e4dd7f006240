// The server side through raw D-Bus messages, as any D-Bus client (busctl,
// python3-dbus) would send them: the mapping rule, per-client references,
// and calls that are malformed in every way a peer can get them wrong.
#include "BusTestSupport.h"

#include "Interfaces.h"

#include <QDBusArgument>
#include <QDBusSignature>
#include <QDBusVirtualObject>
#include <QElapsedTimer>

using namespace opcdbus;

namespace {

class ServerCalls : public BusTest {
protected:
    // A server object for the raw client; returns its path.
    QString CreateServer()
    {
        const QDBusMessage r = Call("/", "opc.IClassFactory", "CreateInstance", {Iid(IID_IOPCServer)});
        EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
        EXPECT_EQ(r.signature(), "io");
        EXPECT_EQ(r.arguments().value(0).toInt(), S_OK);
        return PathOf(r.arguments().value(1));
    }
    // AddGroup "g" (active, 10 ms, client handle 5); returns the group path.
    QString AddGroup(const QString& server, const QString& name = "g")
    {
        const QDBusMessage r = Call(server, "opc.IOPCServer", "AddGroup",
                                    {name, I(1), U(10), U(5), QVariant::fromValue(QList<int>{}),
                                     QVariant::fromValue(QList<double>{}), U(0x409), Iid(IID_IOPCItemMgt)});
        EXPECT_EQ(r.signature(), "iuuo") << r.errorMessage().toStdString();
        EXPECT_EQ(r.arguments().value(0).toInt(), S_OK);
        return PathOf(r.arguments().value(3));
    }
    // AddItems of item ids; returns their server handles.
    std::vector<quint32> AddItems(const QString& group, const QStringList& ids)
    {
        QList<WireItemDef> defs;
        for (int i = 0; i < ids.size(); ++i) {
            WireItemDef d;
            d.itemId = ids[i];
            d.active = 1;
            d.hClient = 100 + static_cast<quint32>(i);
            defs.push_back(d);
        }
        const QDBusMessage r =
            Call(group, "opc.IOPCItemMgt", "AddItems", {U(static_cast<quint32>(ids.size())), QVariant::fromValue(defs)});
        EXPECT_EQ(r.signature(), "ia(uqquuay)ai") << r.errorMessage().toStdString();
        std::vector<quint32> handles;
        for (const auto& res : ListArg<WireItemResult>(r.arguments().value(1)))
            handles.push_back(res.hServer);
        return handles;
    }
    void Release(const QString& path)
    {
        const QDBusMessage r = Call(path, "opc.IUnknown", "Release");
        EXPECT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
    }
    static int Hr(const QDBusMessage& r) { return r.arguments().value(0).toInt(); }
};

// A client's sink object made of raw messages: it counts the callbacks it
// gets and answers the server's interface query never, or with a refusal.
class RawSink : public QDBusVirtualObject {
public:
    enum class Query { Never, Refuse };
    explicit RawSink(Query q) : query_(q) {}
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& connection) override
    {
        if (m.type() != QDBusMessage::MethodCallMessage)
            return false;
        if (m.member() == QLatin1String("QueryInterface")) {
            ++queries;
            if (query_ == Query::Refuse)
                connection.send(m.createReply({I(E_NOINTERFACE), QVariant::fromValue(QDBusObjectPath("/"))}));
            return true; // Never: the call stays unanswered
        }
        if (m.member() == QLatin1String("OnDataChange"))
            ++dataChanges;
        return true;
    }
    int queries = 0;
    int dataChanges = 0;

private:
    Query query_;
};

} // namespace

TEST_F(ServerCalls, ClassFactoryHandsOutAServerObjectCountedForItsClient)
{
    const QString path = CreateServer();
    ASSERT_TRUE(path.startsWith("/obj/"));
    EXPECT_EQ(ConnectedServerCount(), 1);
    EXPECT_EQ(server->PathCount(client.baseService()), 1);

    const QDBusMessage status = Call(path, "opc.IOPCServer", "GetStatus");
    ASSERT_EQ(status.signature(), "i(tttuuuqqqqs)");
    const auto st = StructArg<WireServerStatus>(status.arguments().at(1));
    EXPECT_EQ(st.serverState, static_cast<quint32>(OPC_STATUS_RUNNING));
    EXPECT_EQ(st.vendorInfo, QString::fromLatin1(TDA2::kVendorInfo));
    EXPECT_EQ(st.groupCount, 0u);

    // Same identity, same path; each hand-out counts one reference.
    const QDBusMessage q = Call(path, "opc.IUnknown", "QueryInterface", {Iid(IID_IOPCCommon)});
    EXPECT_EQ(Hr(q), S_OK);
    EXPECT_EQ(PathOf(q.arguments().at(1)), path);
    EXPECT_EQ(server->ReferenceCount(path), 2u);
    const QDBusMessage no = Call(path, "opc.IUnknown", "QueryInterface", {Iid(IID_IOPCItemMgt)});
    EXPECT_EQ(Hr(no), E_NOINTERFACE);
    EXPECT_EQ(PathOf(no.arguments().at(1)), "/");
    EXPECT_EQ(Call(path, "opc.IUnknown", "AddRef").arguments().at(0).toUInt(), 3u);
    EXPECT_EQ(Call(path, "opc.IUnknown", "Release").arguments().at(0).toUInt(), 2u);
    EXPECT_EQ(Call(path, "opc.IUnknown", "Release").arguments().at(0).toUInt(), 1u);
    EXPECT_EQ(Call(path, "opc.IUnknown", "Release").arguments().at(0).toUInt(), 0u);
    EXPECT_EQ(ConnectedServerCount(), 0) << "the last reference destroyed the object";
    EXPECT_EQ(Call(path, "opc.IOPCServer", "GetStatus").errorName(), kErrorUnknownObject);
}

TEST_F(ServerCalls, AnotherConnectionCannotReachAClientsObjects)
{
    const QString path = CreateServer();
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "intruder");
    QDBusMessage m = QDBusMessage::createMethodCall(ServerUnique(), path, "opc.IOPCServer", "GetStatus");
    const QDBusMessage r = other.call(m, QDBus::BlockWithGui, 5000);
    EXPECT_EQ(r.errorName(), kErrorUnknownObject);
    QDBusConnection::disconnectFromBus("intruder");
    Release(path);
}

TEST_F(ServerCalls, IntrospectionListsTheInterfacesTheObjectAnswers)
{
    const QString path = CreateServer();
    const QString xml = Call(path, "org.freedesktop.DBus.Introspectable", "Introspect").arguments().value(0).toString();
    for (const char* iface : {"opc.IUnknown", "opc.IOPCServer", "opc.IOPCCommon", "opc.IConnectionPointContainer",
                              "opc.IOPCItemProperties", "opc.IOPCBrowseServerAddressSpace"})
        EXPECT_TRUE(xml.contains(QStringLiteral("\"%1\"").arg(iface))) << iface;
    EXPECT_FALSE(xml.contains("opc.IOPCItemMgt"));
    EXPECT_TRUE(Call("/", "org.freedesktop.DBus.Introspectable", "Introspect")
                    .arguments()
                    .value(0)
                    .toString()
                    .contains("opc.IClassFactory"));
    Release(path);
}

TEST_F(ServerCalls, GroupsItemsAndSyncIOThroughTheMappingRule)
{
    const QString srv = CreateServer();
    const QString group = AddGroup(srv);
    const auto handles = AddItems(group, {"Scale_COM1", "Pump_COM3", "NoSuchTag"});
    ASSERT_EQ(handles.size(), 3u);
    SetText(0, "12.5 kg");

    const QDBusMessage read = Call(group, "opc.IOPCSyncIO", "Read",
                                   {U(OPC_DS_CACHE), U(2), QVariant::fromValue(QList<uint>{handles[0], handles[1]})});
    ASSERT_EQ(read.signature(), "ia(utqq(qv))ai");
    EXPECT_EQ(Hr(read), S_OK);
    const auto states = ListArg<WireItemState>(read.arguments().at(1));
    ASSERT_EQ(states.size(), 2);
    EXPECT_EQ(states[0].hClient, 100u);
    EXPECT_EQ(states[0].value.vt, VT_BSTR);
    EXPECT_EQ(states[0].value.value.toString(), "12.5 kg");
    EXPECT_EQ(states[0].quality, OPC_QUALITY_GOOD);

    const QList<WireVariant> values{{VT_BSTR, QStringLiteral("T100")}};
    const QDBusMessage write = Call(group, "opc.IOPCSyncIO", "Write",
                                    {U(1), QVariant::fromValue(QList<uint>{handles[1]}), QVariant::fromValue(values)});
    EXPECT_EQ(Hr(write), S_OK) << write.errorMessage().toStdString();
    ASSERT_EQ(clientWrites.size(), 1u);
    EXPECT_EQ(clientWrites[0].second, "T100");

    const QDBusMessage state = Call(group, "opc.IOPCGroupStateMgt", "GetState");
    ASSERT_EQ(state.signature(), "iuisiduuu");
    EXPECT_EQ(state.arguments().at(3).toString(), "g");
    EXPECT_EQ(state.arguments().at(7).toUInt(), 5u);

    // An optional pointer given: the active state only.
    const QDBusMessage set = Call(group, "opc.IOPCGroupStateMgt", "SetState",
                                  {QVariant::fromValue(QList<uint>{}), QVariant::fromValue(QList<int>{0}),
                                   QVariant::fromValue(QList<int>{}), QVariant::fromValue(QList<double>{}),
                                   QVariant::fromValue(QList<uint>{}), QVariant::fromValue(QList<uint>{})});
    EXPECT_EQ(Hr(set), S_OK);
    EXPECT_EQ(Call(group, "opc.IOPCGroupStateMgt", "GetState").arguments().at(2).toInt(), 0);

    // The group lives while the client holds its path, even when removed.
    const quint32 hGroup = Call(group, "opc.IOPCGroupStateMgt", "GetState").arguments().at(8).toUInt();
    EXPECT_EQ(Hr(Call(srv, "opc.IOPCServer", "RemoveGroup", {U(hGroup), I(0)})), OPC_S_INUSE);
    Release(group);
    Release(srv);
}

TEST_F(ServerCalls, AddGroupAnswersTheInterfaceAskedForOrMakesNoGroup)
{
    const QString srv = CreateServer();
    auto add = [&](const QString& name, REFIID iid) {
        return Call(srv, "opc.IOPCServer", "AddGroup",
                    {name, I(1), U(10), U(5), QVariant::fromValue(QList<int>{}), QVariant::fromValue(QList<double>{}),
                     U(0x409), Iid(iid)});
    };
    const QDBusMessage refused = add("shut", IID_IOPCShutdown);
    ASSERT_EQ(refused.signature(), "iuuo") << refused.errorMessage().toStdString();
    EXPECT_EQ(Hr(refused), E_NOINTERFACE);
    EXPECT_EQ(refused.arguments().at(1).toUInt(), 0u);
    EXPECT_EQ(PathOf(refused.arguments().at(3)), "/");
    EXPECT_EQ(TotalGroupCount(), 0) << "no group is made for an interface it does not have";

    const QDBusMessage sync = add("sync", IID_IOPCSyncIO);
    ASSERT_EQ(Hr(sync), S_OK);
    const QString group = PathOf(sync.arguments().at(3));
    EXPECT_EQ(TotalGroupCount(), 1);
    // The name is free again after the refusal.
    const QDBusMessage again = add("shut", IID_IOPCGroupStateMgt);
    EXPECT_EQ(Hr(again), S_OK);
    const QDBusMessage text = Call(srv, "opc.IOPCServer", "GetErrorString", {I(RPC_E_DISCONNECTED), U(0x409)});
    EXPECT_EQ(text.arguments().at(1).toString(), "The object invoked has disconnected from its clients");
    const QDBusMessage bad = Call(srv, "opc.IOPCServer", "GetErrorString", {I(DISP_E_BADVARTYPE), U(0x409)});
    EXPECT_EQ(bad.arguments().at(1).toString(), "Bad variable type");
    Release(group);
    Release(PathOf(again.arguments().at(3)));
    Release(srv);
}

TEST_F(ServerCalls, MalformedMessagesGetErrorReplies)
{
    const QString srv = CreateServer();
    struct Case {
        const char* name;
        QString path, iface, member;
        QVariantList args;
        const char* error;
    };
    const Case cases[] = {
        {"missing arguments", srv, "opc.IOPCServer", "AddGroup", {QStringLiteral("g")}, kErrorInvalidArgs},
        {"wrong argument type", srv, "opc.IOPCServer", "RemoveGroup", {QStringLiteral("1"), I(0)}, kErrorInvalidArgs},
        {"extra argument", srv, "opc.IOPCServer", "GetStatus", {U(1)}, kErrorInvalidArgs},
        {"unknown path", "/obj/999999", "opc.IOPCServer", "GetStatus", {}, kErrorUnknownObject},
        {"path outside the tree", "/nowhere", "opc.IOPCServer", "GetStatus", {}, kErrorUnknownObject},
        {"unknown interface", srv, "opc.INothing", "GetStatus", {}, kErrorUnknownInterface},
        {"interface the object lacks", srv, "opc.IOPCItemMgt", "RemoveItems",
         {U(0), QVariant::fromValue(QList<uint>{})}, kErrorUnknownInterface},
        {"unknown method", srv, "opc.IOPCServer", "Explode", {}, kErrorUnknownMethod},
        {"server method on the class object", "/", "opc.IOPCServer", "GetStatus", {}, kErrorUnknownInterface},
    };
    for (const auto& c : cases) {
        const QDBusMessage r = Call(c.path, c.iface, c.member, c.args);
        EXPECT_EQ(r.type(), QDBusMessage::ErrorMessage) << c.name;
        EXPECT_EQ(r.errorName(), QLatin1String(c.error)) << c.name << ": " << r.errorMessage().toStdString();
    }
    EXPECT_EQ(ConnectedServerCount(), 1);
    Release(srv);
}

TEST_F(ServerCalls, CountsThatDisagreeWithTheirArraysAreRefusedBeforeTheObjectIsCalled)
{
    const QString srv = CreateServer();
    const QString group = AddGroup(srv);
    const auto handles = AddItems(group, {"Scale_COM1"});
    const long itemsBefore = TOPCItem::LiveItems();
    const QList<uint> one{handles[0]};
    WireItemDef def;
    def.itemId = "Scale_COM2";
    WireItemDef lyingBlob = def;
    lyingBlob.blobSize = 0x7FFFFFFF;
    struct Case {
        const char* name;
        QString iface, member;
        QVariantList args;
    };
    const Case cases[] = {
        {"huge count, one item", "opc.IOPCItemMgt", "AddItems", {U(0xFFFFFFFF), QVariant::fromValue(QList<WireItemDef>{def})}},
        {"count above the array", "opc.IOPCItemMgt", "RemoveItems", {U(3), QVariant::fromValue(one)}},
        {"count below the array", "opc.IOPCItemMgt", "RemoveItems", {U(0), QVariant::fromValue(one)}},
        {"second array short", "opc.IOPCItemMgt", "SetClientHandles",
         {U(1), QVariant::fromValue(one), QVariant::fromValue(QList<uint>{})}},
        {"blob size above the blob", "opc.IOPCItemMgt", "AddItems", {U(1), QVariant::fromValue(QList<WireItemDef>{lyingBlob})}},
        {"huge read", "opc.IOPCSyncIO", "Read", {U(OPC_DS_CACHE), U(0x40000000), QVariant::fromValue(one)}},
        {"values short", "opc.IOPCSyncIO", "Write",
         {U(1), QVariant::fromValue(one), QVariant::fromValue(QList<WireVariant>{})}},
        {"bad VARIANT code", "opc.IOPCSyncIO", "Write",
         {U(1), QVariant::fromValue(one), QVariant::fromValue(QList<WireVariant>{{0x7777, QStringLiteral("x")}})}},
        {"VARIANT type and value disagree", "opc.IOPCAsyncIO2", "Write",
         {U(1), QVariant::fromValue(one), QVariant::fromValue(QList<WireVariant>{{VT_I4, QStringLiteral("12")}}), U(1)}},
        {"array VARIANT with a scalar", "opc.IOPCSyncIO", "Write",
         {U(1), QVariant::fromValue(one), QVariant::fromValue(QList<WireVariant>{{VT_ARRAY | VT_I4, QVariant::fromValue<int>(1)}})}},
        {"two-element optional pointer", "opc.IOPCGroupStateMgt", "SetState",
         {QVariant::fromValue(QList<uint>{1, 2}), QVariant::fromValue(QList<int>{}), QVariant::fromValue(QList<int>{}),
          QVariant::fromValue(QList<double>{}), QVariant::fromValue(QList<uint>{}), QVariant::fromValue(QList<uint>{})}},
        {"not an interface identifier", "opc.IOPCItemMgt", "CreateEnumerator", {QStringLiteral("{not-a-guid}")}},
    };
    for (const auto& c : cases) {
        const QDBusMessage r = Call(group, c.iface, c.member, c.args);
        ASSERT_EQ(r.type(), QDBusMessage::ReplyMessage) << c.name << ": " << r.errorMessage().toStdString();
        EXPECT_EQ(Hr(r), E_INVALIDARG) << c.name;
        EXPECT_EQ(r.signature(), FindInterface(c.iface)->Method(c.member)->outSignature) << c.name;
    }
    EXPECT_EQ(TOPCItem::LiveItems(), itemsBefore) << "no item was added or removed";
    EXPECT_TRUE(clientWrites.empty()) << "no malformed write reached a port";
    Release(group);
    Release(srv);
}

TEST_F(ServerCalls, AHugeEnumeratorRequestIsServedInSlices)
{
    const QString srv = CreateServer();
    const QString g1 = AddGroup(srv, "a");
    const QString g2 = AddGroup(srv, "b");
    const QDBusMessage e = Call(srv, "opc.IOPCServer", "CreateGroupEnumerator", {U(OPC_ENUM_ALL), Iid(IID_IEnumString)});
    ASSERT_EQ(Hr(e), S_OK);
    const QString en = PathOf(e.arguments().at(1));
    const QDBusMessage next = Call(en, "opc.IEnumString", "Next", {U(0xFFFFFFFF)});
    ASSERT_EQ(next.signature(), "iasu");
    EXPECT_EQ(Hr(next), RPC_X_ENUM_VALUE_OUT_OF_RANGE_CODE) << "fewer than asked were left";
    EXPECT_EQ(next.arguments().at(1).toStringList(), (QStringList{"a", "b"}));
    EXPECT_EQ(next.arguments().at(2).toUInt(), 2u);
    Release(en);
    Release(g1);
    Release(g2);
    Release(srv);
}

TEST_F(ServerCalls, AClientLeavingTheBusLosesEveryReferenceAtOnce)
{
    {
        // The connection is closed when its last handle goes.
        QDBusConnection leaving = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "leaving-client");
        ASSERT_TRUE(leaving.isConnected());
        auto call = [&](const QString& path, const QString& iface, const QString& member, const QVariantList& args) {
            QDBusMessage m = QDBusMessage::createMethodCall(ServerUnique(), path, iface, member);
            m.setArguments(args);
            return leaving.call(m, QDBus::BlockWithGui, 5000);
        };
        const QDBusMessage created = call("/", "opc.IClassFactory", "CreateInstance", {Iid(IID_IOPCServer)});
        const QString srv = PathOf(created.arguments().at(1));
        for (const char* name : {"g1", "g2"}) {
            const QDBusMessage g = call(srv, "opc.IOPCServer", "AddGroup",
                                        {QString::fromLatin1(name), I(1), U(10), U(1), QVariant::fromValue(QList<int>{}),
                                         QVariant::fromValue(QList<double>{}), U(0), Iid(IID_IOPCItemMgt)});
            ASSERT_EQ(g.arguments().value(0).toInt(), S_OK);
        }
        ASSERT_EQ(ConnectedServerCount(), 1);
        ASSERT_EQ(TotalGroupCount(), 2);
    }
    const long objects = ComObject::LiveObjects();
    QDBusConnection::disconnectFromBus("leaving-client");
    // The bus tells at once; nothing waits for a time-out.
    EXPECT_TRUE(WaitFor([] { return ConnectedServerCount() == 0; }, 3000));
    EXPECT_EQ(TotalGroupCount(), 0);
    EXPECT_EQ(ComObject::LiveObjects(), objects - 3) << "the server and both groups were destroyed";
    EXPECT_EQ(server->PathCount(), 0);
}

TEST_F(ServerCalls, ASinkThatNeverAnswersItsInterfaceQueryStallsNoPulseAndStillGetsCallbacks)
{
    RawSink mute(RawSink::Query::Never);
    RawSink refusing(RawSink::Query::Refuse);
    ASSERT_TRUE(client.registerVirtualObject("/mute", &mute, QDBusConnection::SingleNode));
    ASSERT_TRUE(client.registerVirtualObject("/refusing", &refusing, QDBusConnection::SingleNode));
    const QString srv = CreateServer();
    QStringList paths;
    auto advise = [&](const QString& name, const QString& sinkPath) {
        const QString group = AddGroup(srv, name);
        AddItems(group, {"Scale_COM1"});
        const QDBusMessage cp =
            Call(group, "opc.IConnectionPointContainer", "FindConnectionPoint", {Iid(IID_IOPCDataCallback)});
        EXPECT_EQ(Hr(cp), S_OK);
        const QDBusMessage advised = Call(PathOf(cp.arguments().at(1)), "opc.IConnectionPoint", "Advise",
                                          {QVariant::fromValue(QDBusObjectPath(sinkPath))});
        EXPECT_EQ(Hr(advised), S_OK);
        paths << PathOf(cp.arguments().at(1)) << group;
    };
    // Ten groups whose sink lets the query go unanswered, one that refuses.
    for (int g = 0; g < 10; ++g)
        advise(QStringLiteral("mute%1").arg(g), "/mute");
    advise("refusing", "/refusing");
    // Past the query's time-out: the queries count as unanswered now.
    QElapsedTimer waited;
    waited.start();
    WaitFor([&] { return waited.elapsed() > RemoteSink::kQueryTimeoutMs + 300; }, 5000);
    EXPECT_EQ(mute.queries, 10);
    EXPECT_EQ(refusing.queries, 1);

    for (int i = 0; i < 3; ++i) {
        SetText(0, "v" + std::to_string(i));
        QElapsedTimer t;
        t.start();
        Pulse();
        EXPECT_LT(t.elapsed(), 250) << "pulse " << i << " waited on a sink";
    }
    // Unanswered means "keep sending": every mute group's update comes.
    EXPECT_TRUE(WaitFor([&] { return mute.dataChanges >= 10; })) << mute.dataChanges << " data changes";
    EXPECT_EQ(mute.queries, 10) << "asked once per sink, never again";
    EXPECT_EQ(refusing.dataChanges, 0) << "an explicit refusal stops the callbacks";

    for (const QString& path : paths)
        Release(path);
    Release(srv);
    client.unregisterObject("/mute");
    client.unregisterObject("/refusing");
}
