// The OPC UA services against the server core over real links: sessions,
// browse, read, write, subscriptions, reload; the clock is the test's.
#include "UaTestSupport.h"

#include <gtest/gtest.h>

using namespace ua;

namespace {

constexpr std::uint32_t kValue = 13;

ReadResponse Read(Client& c, std::vector<ReadValueId> ids, TimestampsToReturn ts = TimestampsToReturn::Both,
                  StatusCode* result = nullptr, std::uint32_t diagnostics = 0)
{
    ReadRequest r;
    r.timestampsToReturn = ts;
    r.nodesToRead = std::move(ids);
    r.header.returnDiagnostics = diagnostics;
    ReadResponse response;
    const StatusCode s = c.Call(enc::ReadRequest, r, enc::ReadResponse, response);
    if (result)
        *result = s;
    else
        EXPECT_EQ(s, sc::Good) << StatusName(s);
    return response;
}

DataValue ReadOne(Client& c, NodeId id, std::uint32_t attribute = kValue)
{
    ReadResponse r = Read(c, {ReadValueId{std::move(id), attribute, "", {}}});
    return r.results.empty() ? DataValue::Bad(sc::BadUnexpectedError) : r.results.front();
}

std::string Text(const DataValue& d)
{
    if (!d.hasValue || d.value.type != BuiltIn::String || d.value.values.size() != 1)
        return "<not a string>";
    return std::get<std::string>(d.value.values.front());
}

std::vector<ReferenceDescription> Browse(Client& c, NodeId node, BrowseDirection dir = BrowseDirection::Forward,
                                         NodeId type = NodeId::Numeric(id::HierarchicalReferences))
{
    BrowseRequest r;
    BrowseDescription d;
    d.nodeId = std::move(node);
    d.browseDirection = dir;
    d.referenceTypeId = std::move(type);
    r.nodesToBrowse = {d};
    BrowseResponse response;
    EXPECT_EQ(c.Call(enc::BrowseRequest, r, enc::BrowseResponse, response), sc::Good);
    return response.results.empty() ? std::vector<ReferenceDescription>{} : response.results.front().references;
}

// The Publish answer waiting for the client: its service result, and
// Bad_Timeout when none waits.
StatusCode NextPublish(Client& c, PublishResponse& r)
{
    std::uint32_t id = 0, type = 0;
    std::string body;
    if (!c.Receive(id, type, body, 0))
        return sc::BadTimeout;
    return c.Decode(type, body, enc::PublishResponse, r);
}

// The data changes a Publish response carries, in order.
std::vector<MonitoredItemNotification> Changes(const PublishResponse& r)
{
    std::vector<MonitoredItemNotification> out;
    for (const ExtensionObject& x : r.notificationMessage.notificationData) {
        DataChangeNotification dc;
        if (FromExtension(x, enc::DataChangeNotification, dc))
            out.insert(out.end(), dc.monitoredItems.begin(), dc.monitoredItems.end());
    }
    return out;
}

std::vector<std::string> Names(const std::vector<ReferenceDescription>& refs)
{
    std::vector<std::string> out;
    for (const auto& r : refs)
        out.push_back(r.browseName.name);
    return out;
}

} // namespace

class UaServices : public UaServerFixture {};

TEST_F(UaServices, DiscoveryAndTheLifeOfASession)
{
    Client& c = Connect(false);
    GetEndpointsRequest ge;
    ge.endpointUrl = "opc.tcp://plant-gw:4840";
    GetEndpointsResponse endpoints;
    ASSERT_EQ(c.Call(enc::GetEndpointsRequest, ge, enc::GetEndpointsResponse, endpoints), sc::Good);
    ASSERT_EQ(endpoints.endpoints.size(), 1u);
    const EndpointDescription& e = endpoints.endpoints[0];
    EXPECT_EQ(e.endpointUrl, "opc.tcp://plant-gw:4840"); // the host the client used, the server's port
    EXPECT_EQ(e.securityMode, MessageSecurityMode::None);
    EXPECT_EQ(e.securityPolicyUri, kSecurityPolicyNone);
    ASSERT_EQ(e.userIdentityTokens.size(), 1u);
    EXPECT_EQ(e.userIdentityTokens[0].tokenType, UserTokenType::Anonymous);
    FindServersRequest fs;
    FindServersResponse servers;
    ASSERT_EQ(c.Call(enc::FindServersRequest, fs, enc::FindServersResponse, servers), sc::Good);
    ASSERT_EQ(servers.servers.size(), 1u);
    EXPECT_EQ(servers.servers[0].applicationName.text, "Quorbel Linvaro");

    // No session yet; then a session that is not activated.
    StatusCode s = sc::Good;
    Read(c, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadSessionIdInvalid);
    CreateSessionRequest cs;
    cs.requestedSessionTimeout = 1000;
    CreateSessionResponse created;
    ASSERT_EQ(c.Call(enc::CreateSessionRequest, cs, enc::CreateSessionResponse, created), sc::Good);
    EXPECT_EQ(created.revisedSessionTimeout, 1000);
    EXPECT_GE(created.serverNonce.data.size(), 32u);
    c.SetAuthenticationToken(created.authenticationToken);
    Read(c, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadSessionNotActivated);

    // Only anonymous users, with the offered policy id.
    ActivateSessionRequest as;
    as.userIdentityToken = ToExtension(enc::UserNameIdentityToken, UserNameIdentityToken{"anonymous", "op", {"pw"}, ""});
    ActivateSessionResponse activated;
    EXPECT_EQ(c.Call(enc::ActivateSessionRequest, as, enc::ActivateSessionResponse, activated), sc::BadIdentityTokenInvalid);
    as.userIdentityToken = ToExtension(enc::AnonymousIdentityToken, AnonymousIdentityToken{"someone"});
    EXPECT_EQ(c.Call(enc::ActivateSessionRequest, as, enc::ActivateSessionResponse, activated), sc::BadIdentityTokenInvalid);
    as.userIdentityToken = ToExtension(enc::AnonymousIdentityToken, AnonymousIdentityToken{"anonymous"});
    ASSERT_EQ(c.Call(enc::ActivateSessionRequest, as, enc::ActivateSessionResponse, activated), sc::Good);
    EXPECT_EQ(ReadOne(c, NodeId::Numeric(id::ServerStatus_State)).value, ua::Variant::Int32(0));

    // Another channel may not use the session until it activates it there;
    // then the first channel may not.
    Client& other = Connect(false);
    other.SetAuthenticationToken(created.authenticationToken);
    Read(other, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadSecureChannelIdInvalid);
    ASSERT_EQ(other.Call(enc::ActivateSessionRequest, as, enc::ActivateSessionResponse, activated), sc::Good);
    Read(other, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::Good);
    Read(c, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadSecureChannelIdInvalid);

    // Quiet for longer than its time-out: the session is gone and counted.
    EXPECT_EQ(server->SessionCount(), 1u);
    Advance(1100);
    Read(other, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadSessionIdInvalid);
    EXPECT_EQ(server->SessionCount(), 0u);
    EXPECT_EQ(server->Summary().sessionTimeoutCount, 1u);

    // CloseSession ends one for good.
    ASSERT_TRUE(other.OpenSession(0));
    EXPECT_EQ(ReadOne(other, NodeId::Numeric(id::Summary_CurrentSessionCount)).value, ua::Variant::UInt32(1));
    CloseSessionRequest close;
    CloseSessionResponse closed;
    ASSERT_EQ(other.Call(enc::CloseSessionRequest, close, enc::CloseSessionResponse, closed), sc::Good);
    Read(other, {ReadValueId{NodeId::Numeric(id::ServerStatus_State), kValue, "", {}}}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadSessionIdInvalid);
}

TEST_F(UaServices, BrowseFromRootToThePortsAndTranslatePaths)
{
    Client& c = Connect();
    EXPECT_EQ(Names(Browse(c, NodeId::Numeric(id::RootFolder))), (std::vector<std::string>{"Objects", "Types", "Views"}));
    const auto objects = Browse(c, NodeId::Numeric(id::ObjectsFolder));
    EXPECT_EQ(Names(objects), (std::vector<std::string>{"Server", "Ports"}));
    EXPECT_EQ(objects[1].nodeId.id, NodeId(1, "Ports"));
    EXPECT_EQ(objects[1].typeDefinition.id, NodeId::Numeric(id::FolderType));

    const auto ports = Browse(c, NodeId(1, "Ports"), BrowseDirection::Forward, NodeId::Numeric(id::Organizes));
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0].browseName, (QualifiedName{1, "Scale"}));
    EXPECT_EQ(ports[0].displayName.text, "Scale (COM1)");
    EXPECT_EQ(ports[1].displayName.text, "Reader (COM2)");
    EXPECT_EQ(ports[0].nodeClass, NodeClass::Object);
    EXPECT_EQ(Names(Browse(c, ports[0].nodeId.id)),
              (std::vector<std::string>{"Value", "DeviceState", "StringsReceived", "BytesReceived", "BytesSent",
                                        "LastReceived", "Errors"}));
    // Inverse: the Value's parent; both ways with a class mask.
    const auto up = Browse(c, NodeId(1, "Scale_COM1"), BrowseDirection::Inverse);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].nodeId.id, NodeId(1, "Ports/COM1"));
    EXPECT_FALSE(up[0].isForward);

    // Paging: one reference per result, the rest through BrowseNext.
    BrowseRequest br;
    BrowseDescription d;
    d.nodeId = NodeId(1, "Ports/COM1");
    d.referenceTypeId = NodeId::Numeric(id::HasComponent);
    d.nodeClassMask = static_cast<std::uint32_t>(NodeClass::Variable);
    br.nodesToBrowse = {d};
    br.requestedMaxReferencesPerNode = 3;
    BrowseResponse first;
    ASSERT_EQ(c.Call(enc::BrowseRequest, br, enc::BrowseResponse, first), sc::Good);
    ASSERT_EQ(first.results[0].references.size(), 3u);
    ASSERT_FALSE(first.results[0].continuationPoint.data.empty());
    BrowseNextRequest next;
    next.continuationPoints = {first.results[0].continuationPoint};
    BrowseNextResponse second;
    ASSERT_EQ(c.Call(enc::BrowseNextRequest, next, enc::BrowseNextResponse, second), sc::Good);
    EXPECT_EQ(second.results[0].references.size(), 3u);
    const Bytes third = second.results[0].continuationPoint;
    ASSERT_FALSE(third.data.empty());
    // A used continuation point is gone; released ones too.
    ASSERT_EQ(c.Call(enc::BrowseNextRequest, next, enc::BrowseNextResponse, second), sc::Good);
    EXPECT_EQ(second.results[0].statusCode, sc::BadContinuationPointInvalid);
    next.releaseContinuationPoints = true;
    next.continuationPoints = {third};
    ASSERT_EQ(c.Call(enc::BrowseNextRequest, next, enc::BrowseNextResponse, second), sc::Good);
    EXPECT_EQ(second.results[0].statusCode, sc::Good);
    EXPECT_TRUE(second.results[0].references.empty());
    // Bad descriptions.
    d.browseDirection = static_cast<BrowseDirection>(7);
    BrowseDescription unknownType;
    unknownType.nodeId = NodeId::Numeric(id::RootFolder);
    unknownType.referenceTypeId = NodeId::Numeric(id::Server);
    BrowseDescription unknownNode;
    unknownNode.nodeId = NodeId(1, "Ports/COM9");
    br.nodesToBrowse = {d, unknownType, unknownNode};
    ASSERT_EQ(c.Call(enc::BrowseRequest, br, enc::BrowseResponse, first), sc::Good);
    EXPECT_EQ(first.results[0].statusCode, sc::BadBrowseDirectionInvalid);
    EXPECT_EQ(first.results[1].statusCode, sc::BadReferenceTypeIdInvalid);
    EXPECT_EQ(first.results[2].statusCode, sc::BadNodeIdUnknown);

    TranslateBrowsePathsToNodeIdsRequest tr;
    BrowsePath path;
    path.startingNode = NodeId::Numeric(id::RootFolder);
    for (const QualifiedName& q : {QualifiedName{0, "Objects"}, QualifiedName{1, "Ports"}, QualifiedName{1, "Reader"},
                                   QualifiedName{1, "Value"}})
        path.relativePath.elements.push_back({NodeId::Numeric(id::HierarchicalReferences), false, true, q});
    BrowsePath missing = path;
    missing.relativePath.elements.back().targetName = {1, "Weight"};
    BrowsePath empty{NodeId::Numeric(id::RootFolder), {}};
    tr.browsePaths = {path, missing, empty};
    TranslateBrowsePathsToNodeIdsResponse translated;
    ASSERT_EQ(c.Call(enc::TranslateBrowsePathsToNodeIdsRequest, tr, enc::TranslateBrowsePathsToNodeIdsResponse,
                     translated),
              sc::Good);
    ASSERT_EQ(translated.results[0].targets.size(), 1u);
    EXPECT_EQ(translated.results[0].targets[0].targetId.id, NodeId(1, "Reader_COM2"));
    EXPECT_EQ(translated.results[1].statusCode, sc::BadNoMatch);
    EXPECT_EQ(translated.results[2].statusCode, sc::BadNothingToDo);

    RegisterNodesRequest reg;
    reg.nodesToRegister = {NodeId(1, "Scale_COM1")};
    RegisterNodesResponse registered;
    ASSERT_EQ(c.Call(enc::RegisterNodesRequest, reg, enc::RegisterNodesResponse, registered), sc::Good);
    EXPECT_EQ(Text(ReadOne(c, registered.registeredNodeIds.at(0))), "");
}

TEST_F(UaServices, ReadsEveryAttributeOfTheNodesItServes)
{
    Client& c = Connect();
    Frame(0, "12.5 kg");
    // Value of a tag: the string, Good, when it was framed and when it was read.
    DataValue v = ReadOne(c, NodeId(1, "Scale_COM1"));
    EXPECT_EQ(Text(v), "12.5 kg");
    EXPECT_EQ(v.status, sc::Good);
    EXPECT_NEAR(static_cast<double>(UnixMsFromDateTime(v.sourceTimestamp)),
                static_cast<double>(hub->Port(0).counters.lastReceivedMs), 1000);
    EXPECT_NE(v.serverTimestamp, 0);
    EXPECT_EQ(ReadOne(c, NodeId(1, "Ports/COM1/StringsReceived")).value, ua::Variant::UInt64(1));
    EXPECT_EQ(Text(ReadOne(c, NodeId(1, "Ports/COM1/DeviceState"))), "Running");

    // Every attribute id on one node of each class served.
    const std::vector<std::pair<NodeId, std::vector<std::uint32_t>>> expectGood = {
        {NodeId(1, "Scale_COM1"), {1, 2, 3, 4, 5, 6, 7, 13, 14, 15, 16, 17, 18, 19, 20, 27}},
        {NodeId(1, "Ports/COM1"), {1, 2, 3, 4, 5, 6, 7, 12}},
        {NodeId::Numeric(id::FolderType), {1, 2, 3, 4, 5, 6, 7, 8}},
        {NodeId::Numeric(id::BaseDataVariableType), {1, 2, 3, 4, 5, 6, 7, 8, 13, 14, 15, 16}},
        {NodeId::Numeric(id::HasComponent), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {NodeId::Numeric(12), {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (const auto& [node, good] : expectGood) {
        std::vector<ReadValueId> all;
        for (std::uint32_t a = 1; a <= 28; ++a)
            all.push_back({node, a, "", {}});
        const ReadResponse r = Read(c, all);
        ASSERT_EQ(r.results.size(), all.size());
        for (std::uint32_t a = 1; a <= 28; ++a) {
            const bool expected = std::find(good.begin(), good.end(), a) != good.end();
            EXPECT_EQ(IsGood(r.results[a - 1].status), expected) << node.ToString() << " attribute " << a << " "
                                                                  << StatusName(r.results[a - 1].status);
        }
        EXPECT_EQ(r.results[0].value, ua::Variant::Id(node));
    }
    const ReadResponse value = Read(c, {{NodeId(1, "Scale_COM1"), 14, "", {}}, {NodeId(1, "Scale_COM1"), 17, "", {}},
                                        {NodeId(1, "Ports/COM1/Errors"), 17, "", {}},
                                        {NodeId(1, "Ports/COM1"), 4, "", {}}});
    EXPECT_EQ(value.results[0].value, ua::Variant::Id(NodeId::Numeric(12)));
    EXPECT_EQ(value.results[1].value, ua::Variant::Byte(3));
    EXPECT_EQ(value.results[2].value, ua::Variant::Byte(1));
    EXPECT_EQ(value.results[3].value, ua::Variant::Text({"", "Scale (COM1)"}));

    // The Server object: structures, arrays and the limits it enforces.
    const ReadResponse srv = Read(c, {{NodeId::Numeric(id::NamespaceArray), kValue, "", {}},
                                      {NodeId::Numeric(id::ServerStatus), kValue, "", {}},
                                      {NodeId::Numeric(id::BuildInfo_ManufacturerName), kValue, "", {}},
                                      {NodeId::Numeric(id::MaxNodesPerRead), kValue, "", {}},
                                      {NodeId::Numeric(7612), kValue, "", {}}});
    EXPECT_EQ(srv.results[0].value, ua::Variant::Strings({"http://opcfoundation.org/UA/", "urn:Quorbel:Linvaro:Ports"}));
    ServerStatusDataType status;
    ASSERT_TRUE(FromExtension(std::get<ExtensionObject>(srv.results[1].value.values.at(0)), enc::ServerStatusDataType,
                              status));
    EXPECT_EQ(status.buildInfo.manufacturerName, "Quorbel");
    EXPECT_EQ(status.state, 0);
    EXPECT_EQ(Text(srv.results[2]), "Quorbel");
    EXPECT_EQ(srv.results[3].value, ua::Variant::UInt32(1000));
    EXPECT_EQ(srv.results[4].value.values.size(), 8u); // ServerState's EnumStrings

    // Index ranges, data encodings, time stamps, bad requests.
    const ReadResponse parts = Read(c, {{NodeId(1, "Scale_COM1"), kValue, "0:3", {}},
                                        {NodeId(1, "Scale_COM1"), kValue, "40", {}},
                                        {NodeId(1, "Scale_COM1"), kValue, "3:1", {}},
                                        {NodeId::Numeric(id::NamespaceArray), kValue, "1", {}},
                                        {NodeId::Numeric(id::ServerStatus), kValue, "", {0, "Default Binary"}},
                                        {NodeId::Numeric(id::ServerStatus), kValue, "", {0, "Default XML"}},
                                        {NodeId(1, "Scale_COM1"), kValue, "", {0, "Default Binary"}},
                                        {NodeId(1, "Scale_COM1"), 3, "0:1", {}},
                                        {NodeId(1, "Nothing"), kValue, "", {}}},
                                   TimestampsToReturn::Neither);
    EXPECT_EQ(Text(parts.results[0]), "12.5");
    EXPECT_EQ(parts.results[1].status, sc::BadIndexRangeNoData);
    EXPECT_EQ(parts.results[2].status, sc::BadIndexRangeInvalid);
    EXPECT_EQ(parts.results[3].value, ua::Variant::Strings({"urn:Quorbel:Linvaro:Ports"}));
    EXPECT_EQ(parts.results[4].status, sc::Good);
    EXPECT_EQ(parts.results[5].status, sc::BadDataEncodingUnsupported);
    EXPECT_EQ(parts.results[6].status, sc::BadDataEncodingInvalid);
    EXPECT_EQ(parts.results[7].status, sc::BadIndexRangeInvalid);
    EXPECT_EQ(parts.results[8].status, sc::BadNodeIdUnknown);
    EXPECT_EQ(parts.results[0].sourceTimestamp, 0);
    EXPECT_EQ(parts.results[0].serverTimestamp, 0);
    StatusCode s = sc::Good;
    Read(c, {{NodeId(1, "Scale_COM1"), kValue, "", {}}}, static_cast<TimestampsToReturn>(9), &s);
    EXPECT_EQ(s, sc::BadTimestampsToReturnInvalid);
    Read(c, {}, TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadNothingToDo);
    Read(c, std::vector<ReadValueId>(1001, {NodeId(1, "Scale_COM1"), kValue, "", {}}), TimestampsToReturn::Both, &s);
    EXPECT_EQ(s, sc::BadTooManyOperations);
    // Diagnostics on request: a text for each bad result.
    const ReadResponse diag = Read(c, {{NodeId(1, "Scale_COM1"), kValue, "", {}}, {NodeId(1, "Nothing"), kValue, "", {}}},
                                   TimestampsToReturn::Both, nullptr, 0x80 | 0x40);
    ASSERT_EQ(diag.diagnosticInfos.size(), 2u);
    EXPECT_FALSE(diag.diagnosticInfos[0].hasAdditionalInfo);
    EXPECT_EQ(diag.diagnosticInfos[1].additionalInfo, "BadNodeIdUnknown");
    ASSERT_GE(diag.diagnosticInfos[1].localizedText, 0);
    EXPECT_EQ(diag.header.stringTable.at(static_cast<std::size_t>(diag.diagnosticInfos[1].localizedText)),
              "BadNodeIdUnknown");
}

TEST_F(UaServices, WriteSendsTheTextThroughThePortAsAClientWriteDoes)
{
    Client& c = Connect();
    WriteRequest w;
    w.nodesToWrite = {WriteValue{NodeId(1, "Scale_COM1"), kValue, "", DataValue::Of(ua::Variant::String("TARE"))}};
    WriteResponse written;
    ASSERT_EQ(c.Call(enc::WriteRequest, w, enc::WriteResponse, written), sc::Good);
    ASSERT_EQ(written.results, (std::vector<StatusCode>{sc::Good}));
    EXPECT_EQ(ptys[0].read(6), "TARE\r\n");
    EXPECT_EQ(Text(ReadOne(c, NodeId(1, "Scale_COM1"))), "TARE");

    DataValue stamped = DataValue::Of(ua::Variant::String("X"));
    stamped.sourceTimestamp = Now();
    w.nodesToWrite = {
        WriteValue{NodeId(1, "Scale_COM1"), kValue, "", DataValue::Of(ua::Variant::Int32(5))},
        WriteValue{NodeId(1, "Scale_COM1"), kValue, "", stamped},
        WriteValue{NodeId(1, "Scale_COM1"), kValue, "0:1", DataValue::Of(ua::Variant::String("X"))},
        WriteValue{NodeId(1, "Scale_COM1"), 4, "", DataValue::Of(ua::Variant::Text({"", "X"}))},
        WriteValue{NodeId(1, "Ports/COM1/Errors"), kValue, "", DataValue::Of(ua::Variant::UInt32(0))},
        WriteValue{NodeId(1, "Ports/COM1"), kValue, "", DataValue::Of(ua::Variant::String("X"))},
        WriteValue{NodeId(1, "Nothing"), kValue, "", DataValue::Of(ua::Variant::String("X"))},
    };
    ASSERT_EQ(c.Call(enc::WriteRequest, w, enc::WriteResponse, written), sc::Good);
    EXPECT_EQ(written.results, (std::vector<StatusCode>{sc::BadTypeMismatch, sc::BadWriteNotSupported,
                                                        sc::BadWriteNotSupported, sc::BadNotWritable, sc::BadNotWritable,
                                                        sc::BadAttributeIdInvalid, sc::BadNodeIdUnknown}));
    EXPECT_EQ(ptys[0].pending(), 0);
}

TEST_F(UaServices, SubscriptionPublishesChangesKeepsAliveAndEndsWithoutPublishRequests)
{
    Client& c = Connect();
    CreateSubscriptionRequest cs;
    cs.requestedPublishingInterval = 1; // below the server's smallest
    cs.requestedMaxKeepAliveCount = 3;
    cs.requestedLifetimeCount = 2;      // less than three keep-alives
    CreateSubscriptionResponse sub;
    ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub), sc::Good);
    EXPECT_EQ(sub.revisedPublishingInterval, 10);
    EXPECT_EQ(sub.revisedMaxKeepAliveCount, 3u);
    EXPECT_EQ(sub.revisedLifetimeCount, 9u);

    CreateMonitoredItemsRequest cm;
    cm.subscriptionId = sub.subscriptionId;
    MonitoredItemCreateRequest value;
    value.itemToMonitor = {NodeId(1, "Scale_COM1"), kValue, "", {}};
    value.requestedParameters.clientHandle = 11;
    value.requestedParameters.samplingInterval = 0;
    value.requestedParameters.queueSize = 5;
    MonitoredItemCreateRequest strings = value;
    strings.itemToMonitor.nodeId = NodeId(1, "Ports/COM1/StringsReceived");
    strings.requestedParameters.clientHandle = 12;
    strings.requestedParameters.samplingInterval = -1;
    MonitoredItemCreateRequest missing = value;
    missing.itemToMonitor.nodeId = NodeId(1, "Ports/COM7/Errors");
    MonitoredItemCreateRequest badFilter = value;
    badFilter.requestedParameters.filter = ToExtension(enc::DataChangeFilter, DataChangeFilter{1, 1, 2.0});
    MonitoredItemCreateRequest events = value;
    events.requestedParameters.filter = ToExtension(enc::EventFilter, std::string());
    cm.itemsToCreate = {value, strings, missing, badFilter, events};
    CreateMonitoredItemsResponse items;
    ASSERT_EQ(c.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items), sc::Good);
    ASSERT_EQ(items.results.size(), 5u);
    EXPECT_EQ(items.results[0].statusCode, sc::Good);
    EXPECT_EQ(items.results[0].revisedSamplingInterval, 0); // a tag: every change
    EXPECT_EQ(items.results[0].revisedQueueSize, 5u);
    EXPECT_EQ(items.results[1].revisedSamplingInterval, 10); // the publishing interval
    EXPECT_EQ(items.results[2].statusCode, sc::BadNodeIdUnknown);
    EXPECT_EQ(items.results[3].statusCode, sc::BadFilterNotAllowed); // deadband on a string
    EXPECT_EQ(items.results[4].statusCode, sc::BadMonitoredItemFilterUnsupported);

    const auto publish = [&](std::vector<SubscriptionAcknowledgement> acks = {}) {
        PublishRequest p;
        p.subscriptionAcknowledgements = std::move(acks);
        return c.Send(enc::PublishRequest, p);
    };
    const auto answer = [&](PublishResponse& r) { return NextPublish(c, r); };
    const auto changes = [](const PublishResponse& r) {
        std::vector<std::pair<std::uint32_t, std::string>> out;
        for (const auto& n : Changes(r))
            out.emplace_back(n.clientHandle, n.value.value.type == BuiltIn::String
                                                 ? std::get<std::string>(n.value.value.values.at(0))
                                                 : std::to_string(std::get<std::uint64_t>(n.value.value.values.at(0))));
        return out;
    };
    // The initial values go with the first cycle.
    publish();
    PublishResponse r;
    EXPECT_EQ(answer(r), sc::BadTimeout); // not before the publishing interval
    Advance(10);
    ASSERT_EQ(answer(r), sc::Good);
    EXPECT_EQ(r.subscriptionId, sub.subscriptionId);
    EXPECT_EQ(r.notificationMessage.sequenceNumber, 1u);
    EXPECT_EQ(changes(r), (std::vector<std::pair<std::uint32_t, std::string>>{{11, ""}, {12, "0"}}));

    // A framed string: both items change; the ack of message 1 is answered.
    publish({{sub.subscriptionId, 1}, {sub.subscriptionId, 77}});
    Frame(0, "7.0 kg");
    Advance(10);
    ASSERT_EQ(answer(r), sc::Good);
    EXPECT_EQ(r.results, (std::vector<StatusCode>{sc::Good, sc::BadSequenceNumberUnknown}));
    EXPECT_EQ(r.notificationMessage.sequenceNumber, 2u);
    EXPECT_EQ(changes(r), (std::vector<std::pair<std::uint32_t, std::string>>{{11, "7.0 kg"}, {12, "1"}}));
    EXPECT_EQ(r.availableSequenceNumbers, (std::vector<std::uint32_t>{2}));

    // Republish of a kept message; of an acknowledged one.
    RepublishRequest rp{{}, sub.subscriptionId, 2};
    RepublishResponse again;
    ASSERT_EQ(c.Call(enc::RepublishRequest, rp, enc::RepublishResponse, again), sc::Good);
    EXPECT_EQ(again.notificationMessage.sequenceNumber, 2u);
    rp.retransmitSequenceNumber = 1;
    EXPECT_EQ(c.Call(enc::RepublishRequest, rp, enc::RepublishResponse, again), sc::BadMessageNotAvailable);

    // Nothing changes: a keep-alive after three intervals, carrying the next
    // sequence number without using it.
    publish();
    Advance(20);
    EXPECT_EQ(answer(r), sc::BadTimeout);
    Advance(10);
    ASSERT_EQ(answer(r), sc::Good);
    EXPECT_TRUE(r.notificationMessage.notificationData.empty());
    EXPECT_EQ(r.notificationMessage.sequenceNumber, 3u);

    // No Publish request for a lifetime (9 intervals): the subscription ends
    // and the next Publish request learns it.
    Advance(90);
    publish();
    ASSERT_EQ(answer(r), sc::Good);
    ASSERT_EQ(r.notificationMessage.notificationData.size(), 1u);
    StatusChangeNotification ended;
    ASSERT_TRUE(FromExtension(r.notificationMessage.notificationData[0], enc::StatusChangeNotification, ended));
    EXPECT_EQ(ended.status, sc::BadTimeout);
    publish();
    EXPECT_EQ(answer(r), sc::BadNoSubscription);
    EXPECT_EQ(server->MonitoredItemCount(), 0u);
}

TEST_F(UaServices, MonitoredItemsHonourQueuesTriggersDeadbandsAndModes)
{
    Client& c = Connect();
    CreateSubscriptionRequest cs;
    cs.requestedPublishingInterval = 100;
    CreateSubscriptionResponse sub;
    ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub), sc::Good);
    CreateMonitoredItemsRequest cm;
    cm.subscriptionId = sub.subscriptionId;
    cm.timestampsToReturn = TimestampsToReturn::Source;
    MonitoredItemCreateRequest oldest;
    oldest.itemToMonitor = {NodeId(1, "Scale_COM1"), kValue, "", {}};
    oldest.requestedParameters = {1, 10, {}, 2, true};
    MonitoredItemCreateRequest newest = oldest;
    newest.requestedParameters = {2, 10, {}, 2, false};
    MonitoredItemCreateRequest deadband;
    deadband.itemToMonitor = {NodeId(1, "Ports/COM1/StringsReceived"), kValue, "", {}};
    deadband.requestedParameters = {3, 10, ToExtension(enc::DataChangeFilter, DataChangeFilter{1, 1, 1.5}), 10, true};
    MonitoredItemCreateRequest timestamps = oldest;
    timestamps.requestedParameters = {4, 10, ToExtension(enc::DataChangeFilter, DataChangeFilter{2, 0, 0}), 10, true};
    MonitoredItemCreateRequest valueOnly = timestamps;
    valueOnly.requestedParameters = {5, 10, {}, 10, true};
    cm.itemsToCreate = {oldest, newest, deadband, timestamps, valueOnly};
    CreateMonitoredItemsResponse items;
    ASSERT_EQ(c.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items), sc::Good);
    for (const auto& i : items.results)
        ASSERT_EQ(i.statusCode, sc::Good) << StatusName(i.statusCode);

    // Strings 20 ms apart (inside one publishing interval): A A B C, each
    // framed in a later millisecond than the one before.
    for (const char* s : {"A", "A", "B", "C"}) {
        const std::int64_t before = UnixMsFromDateTime(Now());
        ASSERT_TRUE(WaitFor([&] { return UnixMsFromDateTime(Now()) > before; }));
        Frame(0, s);
        Advance(20);
    }
    PublishRequest p;
    c.Send(enc::PublishRequest, p);
    Advance(100);
    PublishResponse r;
    ASSERT_EQ(NextPublish(c, r), sc::Good);
    std::map<std::uint32_t, std::vector<DataValue>> byHandle;
    for (const auto& n : Changes(r))
        byHandle[n.clientHandle].push_back(n.value);
    const auto texts = [&](std::uint32_t h) {
        std::vector<std::string> out;
        for (const DataValue& d : byHandle[h])
            out.push_back(Text(d) + ((d.status & kOverflowBit) ? "+overflow" : ""));
        return out;
    };
    // Queue of 2 dropping the oldest: the overflow bit on the oldest kept.
    EXPECT_EQ(texts(1), (std::vector<std::string>{"B+overflow", "C"}));
    // Dropping the newest: the last value is replaced and flagged.
    EXPECT_EQ(texts(2), (std::vector<std::string>{"", "C+overflow"}));
    // StatusValueTimestamp sees the repeated "A"; the default trigger does not.
    EXPECT_EQ(texts(4), (std::vector<std::string>{"", "A", "A", "B", "C"}));
    EXPECT_EQ(texts(5), (std::vector<std::string>{"", "A", "B", "C"}));
    // Counter 0..4 with an absolute deadband of 1.5: 0, then 2, then 4.
    std::vector<ua::Variant> counts;
    for (const DataValue& d : byHandle[3])
        counts.push_back(d.value);
    EXPECT_EQ(counts, (std::vector<ua::Variant>{ua::Variant::UInt64(0), ua::Variant::UInt64(2), ua::Variant::UInt64(4)}));
    // Source time stamps only, as asked.
    EXPECT_NE(byHandle[5].back().sourceTimestamp, 0);
    EXPECT_EQ(byHandle[5].back().serverTimestamp, 0);

    // Disabled items report nothing; enabled again, their value of that time.
    SetMonitoringModeRequest mm;
    mm.subscriptionId = sub.subscriptionId;
    mm.monitoringMode = MonitoringMode::Disabled;
    mm.monitoredItemIds = {items.results[4].monitoredItemId, 999};
    StatusResultsResponse modes;
    ASSERT_EQ(c.Call(enc::SetMonitoringModeRequest, mm, enc::SetMonitoringModeResponse, modes), sc::Good);
    EXPECT_EQ(modes.results, (std::vector<StatusCode>{sc::Good, sc::BadMonitoredItemIdInvalid}));
    DeleteMonitoredItemsRequest dm;
    dm.subscriptionId = sub.subscriptionId;
    dm.monitoredItemIds = {items.results[0].monitoredItemId, items.results[1].monitoredItemId,
                           items.results[2].monitoredItemId, items.results[3].monitoredItemId};
    ASSERT_EQ(c.Call(enc::DeleteMonitoredItemsRequest, dm, enc::DeleteMonitoredItemsResponse, modes), sc::Good);
    Frame(0, "D");
    c.Send(enc::PublishRequest, p);
    Advance(100);
    EXPECT_EQ(NextPublish(c, r), sc::BadTimeout); // nothing to say, and no keep-alive due yet
    mm.monitoringMode = MonitoringMode::Reporting;
    mm.monitoredItemIds = {items.results[4].monitoredItemId};
    ASSERT_EQ(c.Call(enc::SetMonitoringModeRequest, mm, enc::SetMonitoringModeResponse, modes), sc::Good);
    Advance(100);
    ASSERT_EQ(NextPublish(c, r), sc::Good);
    const auto enabled = Changes(r);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(Text(enabled[0].value), "D");

    // Deleting the last subscription answers the waiting Publish request.
    c.Send(enc::PublishRequest, p);
    DeleteSubscriptionsRequest ds;
    ds.subscriptionIds = {sub.subscriptionId, sub.subscriptionId + 100};
    ASSERT_EQ(c.Call(enc::DeleteSubscriptionsRequest, ds, enc::DeleteSubscriptionsResponse, modes), sc::Good);
    EXPECT_EQ(modes.results, (std::vector<StatusCode>{sc::Good, sc::BadSubscriptionIdInvalid}));
    EXPECT_EQ(NextPublish(c, r), sc::BadNoSubscription);
}

TEST_F(UaServices, SettingsReloadRebuildsThePortsFolder)
{
    Client& c = Connect();
    CreateSubscriptionRequest cs;
    CreateSubscriptionResponse sub;
    ASSERT_EQ(c.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub), sc::Good);
    CreateMonitoredItemsRequest cm;
    cm.subscriptionId = sub.subscriptionId;
    MonitoredItemCreateRequest reader;
    reader.itemToMonitor = {NodeId(1, "Reader_COM2"), kValue, "", {}};
    reader.requestedParameters.clientHandle = 2;
    reader.requestedParameters.queueSize = 2;
    cm.itemsToCreate = {reader};
    CreateMonitoredItemsResponse items;
    ASSERT_EQ(c.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items), sc::Good);
    const DataValue version = ReadOne(c, NodeId(1, "Ports/NodeVersion"));

    // Reader goes, Printer comes.
    list->StopAll();
    Build({MakeSetting("Scale", "COM1"), MakeSetting("Printer", "COM3")});
    const auto ports = Browse(c, NodeId(1, "Ports"));
    std::vector<std::string> shown;
    for (const auto& p : ports)
        if (p.nodeClass == NodeClass::Object)
            shown.push_back(p.displayName.text);
    EXPECT_EQ(shown, (std::vector<std::string>{"Scale (COM1)", "Printer (COM3)"}));
    EXPECT_NE(ReadOne(c, NodeId(1, "Ports/NodeVersion")).value, version.value);
    EXPECT_EQ(ReadOne(c, NodeId(1, "Reader_COM2")).status, sc::BadNodeIdUnknown);
    EXPECT_EQ(Text(ReadOne(c, NodeId(1, "Ports/COM3/DeviceState"))), "Stopped");

    // The item on the removed Value tells its client so.
    PublishRequest p;
    c.Send(enc::PublishRequest, p);
    Advance(1000);
    PublishResponse r;
    ASSERT_EQ(NextPublish(c, r), sc::Good);
    const auto changes = Changes(r);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[1].value.status, sc::BadNodeIdUnknown);
}

TEST_F(UaServices, RemoteModeServesPortsWithoutValues)
{
    list->StopAll();
    Build({MakeSetting("Scale", "COM1")}, LinkMode::Remote);
    Client& c = Connect();
    EXPECT_EQ(Names(Browse(c, NodeId(1, "Ports/COM1"))),
              (std::vector<std::string>{"DeviceState", "StringsReceived", "BytesReceived", "BytesSent", "LastReceived",
                                        "Errors"}));
    EXPECT_EQ(ReadOne(c, NodeId(1, "Scale_COM1")).status, sc::BadNodeIdUnknown);
}

TEST_F(UaServices, TokensRenewMessagesGoInChunksAndPublishingIsSteered)
{
    // A renewed token: the old one serves until the client uses the new one.
    const auto read = [](Client& c) {
        ReadRequest r;
        r.nodesToRead = {ReadValueId{NodeId::Numeric(id::ServerStatus_State), 13, "", {}}};
        ReadResponse response;
        return c.Call(enc::ReadRequest, r, enc::ReadResponse, response);
    };
    LoopbackPipe* pipe = nullptr;
    Client& c = Connect(true, &pipe);
    ASSERT_TRUE(c.Renew(60000, 0)) << c.Error();
    c.UsePreviousToken(true);
    EXPECT_EQ(read(c), sc::Good);
    c.UsePreviousToken(false);
    EXPECT_EQ(read(c), sc::Good);
    c.UsePreviousToken(true);
    EXPECT_NE(read(c), sc::Good);
    EXPECT_TRUE(pipe->Closed());

    // A token not renewed in time ends its channel a quarter of its lifetime
    // after its end.
    LoopbackPipe* shortLived = nullptr;
    Client& s = Connect(false, &shortLived);
    ASSERT_TRUE(s.Renew(10000, 0));
    Advance(12400);
    EXPECT_FALSE(shortLived->Closed());
    Advance(200);
    EXPECT_TRUE(shortLived->Closed());

    // Chunks both ways: answers in chunks of the 8 KiB the client takes, a
    // request larger than one of the server's chunks.
    Client small;
    small.SetHelloLimits(0, 0, 8192);
    ASSERT_TRUE(small.Connect(std::make_unique<LoopbackPipe>(*server, clock), "opc.tcp://x", 0));
    ASSERT_TRUE(small.OpenSession(0));
    ReadRequest big;
    big.nodesToRead.assign(1000, ReadValueId{NodeId::Numeric(id::ServerStatus), 13, "", {}});
    ReadResponse many;
    ASSERT_EQ(small.Call(enc::ReadRequest, big, enc::ReadResponse, many), sc::Good);
    ASSERT_EQ(many.results.size(), 1000u);
    EXPECT_EQ(many.results[999].value.type, BuiltIn::ExtensionObject);
    WriteRequest w;
    w.nodesToWrite.assign(1000, WriteValue{NodeId(1, "Ports/COM1/Errors"), 13, "",
                                           DataValue::Of(ua::Variant::String(std::string(100, 'x')))});
    WriteResponse written;
    ASSERT_EQ(small.Call(enc::WriteRequest, w, enc::WriteResponse, written), sc::Good);
    EXPECT_EQ(written.results, std::vector<StatusCode>(1000, sc::BadNotWritable));

    // ModifySubscription revises; SetPublishingMode off leaves keep-alives
    // only; a Publish request's time-out hint bounds its wait.
    Client& p = Connect();
    CreateSubscriptionRequest cs;
    cs.requestedPublishingInterval = 50;
    CreateSubscriptionResponse sub;
    ASSERT_EQ(p.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub), sc::Good);
    ModifySubscriptionRequest ms;
    ms.subscriptionId = sub.subscriptionId;
    ms.requestedPublishingInterval = 20;
    ms.requestedMaxKeepAliveCount = 2;
    ms.requestedLifetimeCount = 100;
    ModifySubscriptionResponse modified;
    ASSERT_EQ(p.Call(enc::ModifySubscriptionRequest, ms, enc::ModifySubscriptionResponse, modified), sc::Good);
    EXPECT_EQ(modified.revisedPublishingInterval, 20);
    EXPECT_EQ(modified.revisedMaxKeepAliveCount, 2u);
    CreateMonitoredItemsRequest cm;
    cm.subscriptionId = sub.subscriptionId;
    MonitoredItemCreateRequest item;
    item.itemToMonitor = {NodeId(1, "Scale_COM1"), 13, "", {}};
    cm.itemsToCreate = {item};
    CreateMonitoredItemsResponse items;
    ASSERT_EQ(p.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items), sc::Good);
    SetPublishingModeRequest off;
    off.publishingEnabled = false;
    off.subscriptionIds = {sub.subscriptionId, 4242};
    StatusResultsResponse modes;
    ASSERT_EQ(p.Call(enc::SetPublishingModeRequest, off, enc::SetPublishingModeResponse, modes), sc::Good);
    EXPECT_EQ(modes.results, (std::vector<StatusCode>{sc::Good, sc::BadSubscriptionIdInvalid}));
    PublishRequest pr;
    p.Send(enc::PublishRequest, pr);
    Advance(20);
    PublishResponse r;
    ASSERT_EQ(NextPublish(p, r), sc::Good); // the first message: a keep-alive, though the initial value waits
    EXPECT_TRUE(Changes(r).empty());
    off.publishingEnabled = true;
    off.subscriptionIds = {sub.subscriptionId};
    ASSERT_EQ(p.Call(enc::SetPublishingModeRequest, off, enc::SetPublishingModeResponse, modes), sc::Good);
    p.Send(enc::PublishRequest, pr);
    Advance(20);
    ASSERT_EQ(NextPublish(p, r), sc::Good);
    EXPECT_EQ(Changes(r).size(), 1u);
    pr.header.timeoutHint = 30; // nothing changes and no keep-alive is due within it
    p.Send(enc::PublishRequest, pr);
    Advance(31);
    std::uint32_t id = 0, type = 0;
    std::string body;
    ASSERT_TRUE(p.Receive(id, type, body, 0));
    EXPECT_EQ(type, enc::ServiceFault);
    EXPECT_EQ(p.Decode(type, body, enc::PublishResponse, r), sc::BadTimeout);
}
