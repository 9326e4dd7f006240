#pragma once
// The service messages and the structures they carry, field by field in the
// order of their binary encoding. Each structure's Fields() drives both the
// encoder and the decoder (see Binary.h), so the server decodes requests and
// encodes responses with the same description a client uses the other way.
#include "Binary.h"
#include "NodeIds.h"

namespace ua {

// ---- common --------------------------------------------------------------

enum class MessageSecurityMode : std::int32_t { Invalid = 0, None = 1, Sign = 2, SignAndEncrypt = 3 };
enum class ApplicationType : std::int32_t { Server = 0, Client = 1, ClientAndServer = 2, DiscoveryServer = 3 };
enum class UserTokenType : std::int32_t { Anonymous = 0, UserName = 1, Certificate = 2, IssuedToken = 3 };
enum class TimestampsToReturn : std::int32_t { Source = 0, Server = 1, Both = 2, Neither = 3, Invalid = 4 };
enum class BrowseDirection : std::int32_t { Forward = 0, Inverse = 1, Both = 2, Invalid = 3 };
enum class MonitoringMode : std::int32_t { Disabled = 0, Sampling = 1, Reporting = 2 };
enum class SecurityTokenRequestType : std::int32_t { Issue = 0, Renew = 1 };

enum class NodeClass : std::int32_t {
    Unspecified = 0, Object = 1, Variable = 2, Method = 4, ObjectType = 8, VariableType = 16, ReferenceType = 32,
    DataType = 64, View = 128
};

enum class AttributeId : std::uint32_t {
    NodeId = 1, NodeClass, BrowseName, DisplayName, Description, WriteMask, UserWriteMask, IsAbstract, Symmetric,
    InverseName, ContainsNoLoops, EventNotifier, Value, DataType, ValueRank, ArrayDimensions, AccessLevel,
    UserAccessLevel, MinimumSamplingInterval, Historizing, Executable, UserExecutable, DataTypeDefinition,
    RolePermissions, UserRolePermissions, AccessRestrictions, AccessLevelEx
};

struct RequestHeader {
    NodeId authenticationToken;
    DateTime timestamp = 0;
    std::uint32_t requestHandle = 0;
    std::uint32_t returnDiagnostics = 0;
    std::string auditEntryId;
    std::uint32_t timeoutHint = 0;
    ExtensionObject additionalHeader;
};
template <class S> void Fields(S& s, RequestHeader& h)
{
    s(h.authenticationToken); s(h.timestamp); s(h.requestHandle); s(h.returnDiagnostics); s(h.auditEntryId);
    s(h.timeoutHint); s(h.additionalHeader);
}

struct ResponseHeader {
    DateTime timestamp = 0;
    std::uint32_t requestHandle = 0;
    StatusCode serviceResult = sc::Good;
    DiagnosticInfo serviceDiagnostics;
    std::vector<std::string> stringTable;
    ExtensionObject additionalHeader;
};
template <class S> void Fields(S& s, ResponseHeader& h)
{
    s(h.timestamp); s(h.requestHandle); s(h.serviceResult); s(h.serviceDiagnostics); s(h.stringTable);
    s(h.additionalHeader);
}

struct ServiceFault {
    ResponseHeader header;
};
template <class S> void Fields(S& s, ServiceFault& m) { s(m.header); }

// ---- secure channel --------------------------------------------------------

struct ChannelSecurityToken {
    std::uint32_t channelId = 0;
    std::uint32_t tokenId = 0;
    DateTime createdAt = 0;
    std::uint32_t revisedLifetime = 0; // ms
};
template <class S> void Fields(S& s, ChannelSecurityToken& t)
{
    s(t.channelId); s(t.tokenId); s(t.createdAt); s(t.revisedLifetime);
}

struct OpenSecureChannelRequest {
    RequestHeader header;
    std::uint32_t clientProtocolVersion = 0;
    SecurityTokenRequestType requestType = SecurityTokenRequestType::Issue;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    Bytes clientNonce;
    std::uint32_t requestedLifetime = 0;
};
template <class S> void Fields(S& s, OpenSecureChannelRequest& m)
{
    s(m.header); s(m.clientProtocolVersion); s(m.requestType); s(m.securityMode); s(m.clientNonce);
    s(m.requestedLifetime);
}

struct OpenSecureChannelResponse {
    ResponseHeader header;
    std::uint32_t serverProtocolVersion = 0;
    ChannelSecurityToken securityToken;
    Bytes serverNonce;
};
template <class S> void Fields(S& s, OpenSecureChannelResponse& m)
{
    s(m.header); s(m.serverProtocolVersion); s(m.securityToken); s(m.serverNonce);
}

struct CloseSecureChannelRequest {
    RequestHeader header;
};
template <class S> void Fields(S& s, CloseSecureChannelRequest& m) { s(m.header); }

// ---- discovery -------------------------------------------------------------

struct ApplicationDescription {
    std::string applicationUri;
    std::string productUri;
    LocalizedText applicationName;
    ApplicationType applicationType = ApplicationType::Server;
    std::string gatewayServerUri;
    std::string discoveryProfileUri;
    std::vector<std::string> discoveryUrls;
};
template <class S> void Fields(S& s, ApplicationDescription& a)
{
    s(a.applicationUri); s(a.productUri); s(a.applicationName); s(a.applicationType); s(a.gatewayServerUri);
    s(a.discoveryProfileUri); s(a.discoveryUrls);
}

struct UserTokenPolicy {
    std::string policyId;
    UserTokenType tokenType = UserTokenType::Anonymous;
    std::string issuedTokenType;
    std::string issuerEndpointUrl;
    std::string securityPolicyUri;
};
template <class S> void Fields(S& s, UserTokenPolicy& p)
{
    s(p.policyId); s(p.tokenType); s(p.issuedTokenType); s(p.issuerEndpointUrl); s(p.securityPolicyUri);
}

struct EndpointDescription {
    std::string endpointUrl;
    ApplicationDescription server;
    Bytes serverCertificate;
    MessageSecurityMode securityMode = MessageSecurityMode::None;
    std::string securityPolicyUri;
    std::vector<UserTokenPolicy> userIdentityTokens;
    std::string transportProfileUri;
    std::uint8_t securityLevel = 0;
};
template <class S> void Fields(S& s, EndpointDescription& e)
{
    s(e.endpointUrl); s(e.server); s(e.serverCertificate); s(e.securityMode); s(e.securityPolicyUri);
    s(e.userIdentityTokens); s(e.transportProfileUri); s(e.securityLevel);
}

struct FindServersRequest {
    RequestHeader header;
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> serverUris;
};
template <class S> void Fields(S& s, FindServersRequest& m)
{
    s(m.header); s(m.endpointUrl); s(m.localeIds); s(m.serverUris);
}

struct FindServersResponse {
    ResponseHeader header;
    std::vector<ApplicationDescription> servers;
};
template <class S> void Fields(S& s, FindServersResponse& m) { s(m.header); s(m.servers); }

struct GetEndpointsRequest {
    RequestHeader header;
    std::string endpointUrl;
    std::vector<std::string> localeIds;
    std::vector<std::string> profileUris;
};
template <class S> void Fields(S& s, GetEndpointsRequest& m)
{
    s(m.header); s(m.endpointUrl); s(m.localeIds); s(m.profileUris);
}

struct GetEndpointsResponse {
    ResponseHeader header;
    std::vector<EndpointDescription> endpoints;
};
template <class S> void Fields(S& s, GetEndpointsResponse& m) { s(m.header); s(m.endpoints); }

// ---- session ---------------------------------------------------------------

struct SignatureData {
    std::string algorithm;
    Bytes signature;
};
template <class S> void Fields(S& s, SignatureData& d) { s(d.algorithm); s(d.signature); }

struct SignedSoftwareCertificate {
    Bytes certificateData;
    Bytes signature;
};
template <class S> void Fields(S& s, SignedSoftwareCertificate& c) { s(c.certificateData); s(c.signature); }

struct CreateSessionRequest {
    RequestHeader header;
    ApplicationDescription clientDescription;
    std::string serverUri;
    std::string endpointUrl;
    std::string sessionName;
    Bytes clientNonce;
    Bytes clientCertificate;
    double requestedSessionTimeout = 0;
    std::uint32_t maxResponseMessageSize = 0;
};
template <class S> void Fields(S& s, CreateSessionRequest& m)
{
    s(m.header); s(m.clientDescription); s(m.serverUri); s(m.endpointUrl); s(m.sessionName); s(m.clientNonce);
    s(m.clientCertificate); s(m.requestedSessionTimeout); s(m.maxResponseMessageSize);
}

struct CreateSessionResponse {
    ResponseHeader header;
    NodeId sessionId;
    NodeId authenticationToken;
    double revisedSessionTimeout = 0;
    Bytes serverNonce;
    Bytes serverCertificate;
    std::vector<EndpointDescription> serverEndpoints;
    std::vector<SignedSoftwareCertificate> serverSoftwareCertificates;
    SignatureData serverSignature;
    std::uint32_t maxRequestMessageSize = 0;
};
template <class S> void Fields(S& s, CreateSessionResponse& m)
{
    s(m.header); s(m.sessionId); s(m.authenticationToken); s(m.revisedSessionTimeout); s(m.serverNonce);
    s(m.serverCertificate); s(m.serverEndpoints); s(m.serverSoftwareCertificates); s(m.serverSignature);
    s(m.maxRequestMessageSize);
}

struct ActivateSessionRequest {
    RequestHeader header;
    SignatureData clientSignature;
    std::vector<SignedSoftwareCertificate> clientSoftwareCertificates;
    std::vector<std::string> localeIds;
    ExtensionObject userIdentityToken;
    SignatureData userTokenSignature;
};
template <class S> void Fields(S& s, ActivateSessionRequest& m)
{
    s(m.header); s(m.clientSignature); s(m.clientSoftwareCertificates); s(m.localeIds); s(m.userIdentityToken);
    s(m.userTokenSignature);
}

struct ActivateSessionResponse {
    ResponseHeader header;
    Bytes serverNonce;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, ActivateSessionResponse& m)
{
    s(m.header); s(m.serverNonce); s(m.results); s(m.diagnosticInfos);
}

struct AnonymousIdentityToken {
    std::string policyId;
};
template <class S> void Fields(S& s, AnonymousIdentityToken& t) { s(t.policyId); }

struct UserNameIdentityToken {
    std::string policyId;
    std::string userName;
    Bytes password;
    std::string encryptionAlgorithm;
};
template <class S> void Fields(S& s, UserNameIdentityToken& t)
{
    s(t.policyId); s(t.userName); s(t.password); s(t.encryptionAlgorithm);
}

struct CloseSessionRequest {
    RequestHeader header;
    bool deleteSubscriptions = true;
};
template <class S> void Fields(S& s, CloseSessionRequest& m) { s(m.header); s(m.deleteSubscriptions); }

struct CloseSessionResponse {
    ResponseHeader header;
};
template <class S> void Fields(S& s, CloseSessionResponse& m) { s(m.header); }

// ---- view ------------------------------------------------------------------

struct ViewDescription {
    NodeId viewId;
    DateTime timestamp = 0;
    std::uint32_t viewVersion = 0;
};
template <class S> void Fields(S& s, ViewDescription& v) { s(v.viewId); s(v.timestamp); s(v.viewVersion); }

struct BrowseDescription {
    NodeId nodeId;
    BrowseDirection browseDirection = BrowseDirection::Forward;
    NodeId referenceTypeId;
    bool includeSubtypes = true;
    std::uint32_t nodeClassMask = 0;
    std::uint32_t resultMask = 0x3F;
};
template <class S> void Fields(S& s, BrowseDescription& b)
{
    s(b.nodeId); s(b.browseDirection); s(b.referenceTypeId); s(b.includeSubtypes); s(b.nodeClassMask);
    s(b.resultMask);
}

struct ReferenceDescription {
    NodeId referenceTypeId;
    bool isForward = true;
    ExpandedNodeId nodeId;
    QualifiedName browseName;
    LocalizedText displayName;
    NodeClass nodeClass = NodeClass::Unspecified;
    ExpandedNodeId typeDefinition;
};
template <class S> void Fields(S& s, ReferenceDescription& r)
{
    s(r.referenceTypeId); s(r.isForward); s(r.nodeId); s(r.browseName); s(r.displayName); s(r.nodeClass);
    s(r.typeDefinition);
}

struct BrowseResult {
    StatusCode statusCode = sc::Good;
    Bytes continuationPoint;
    std::vector<ReferenceDescription> references;
};
template <class S> void Fields(S& s, BrowseResult& r) { s(r.statusCode); s(r.continuationPoint); s(r.references); }

struct BrowseRequest {
    RequestHeader header;
    ViewDescription view;
    std::uint32_t requestedMaxReferencesPerNode = 0;
    std::vector<BrowseDescription> nodesToBrowse;
};
template <class S> void Fields(S& s, BrowseRequest& m)
{
    s(m.header); s(m.view); s(m.requestedMaxReferencesPerNode); s(m.nodesToBrowse);
}

struct BrowseResponse {
    ResponseHeader header;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, BrowseResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

struct BrowseNextRequest {
    RequestHeader header;
    bool releaseContinuationPoints = false;
    std::vector<Bytes> continuationPoints;
};
template <class S> void Fields(S& s, BrowseNextRequest& m)
{
    s(m.header); s(m.releaseContinuationPoints); s(m.continuationPoints);
}

struct BrowseNextResponse {
    ResponseHeader header;
    std::vector<BrowseResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, BrowseNextResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

struct RelativePathElement {
    NodeId referenceTypeId;
    bool isInverse = false;
    bool includeSubtypes = true;
    QualifiedName targetName;
};
template <class S> void Fields(S& s, RelativePathElement& e)
{
    s(e.referenceTypeId); s(e.isInverse); s(e.includeSubtypes); s(e.targetName);
}

struct RelativePath {
    std::vector<RelativePathElement> elements;
};
template <class S> void Fields(S& s, RelativePath& p) { s(p.elements); }

struct BrowsePath {
    NodeId startingNode;
    RelativePath relativePath;
};
template <class S> void Fields(S& s, BrowsePath& p) { s(p.startingNode); s(p.relativePath); }

struct BrowsePathTarget {
    ExpandedNodeId targetId;
    std::uint32_t remainingPathIndex = 0xFFFFFFFF;
};
template <class S> void Fields(S& s, BrowsePathTarget& t) { s(t.targetId); s(t.remainingPathIndex); }

struct BrowsePathResult {
    StatusCode statusCode = sc::Good;
    std::vector<BrowsePathTarget> targets;
};
template <class S> void Fields(S& s, BrowsePathResult& r) { s(r.statusCode); s(r.targets); }

struct TranslateBrowsePathsToNodeIdsRequest {
    RequestHeader header;
    std::vector<BrowsePath> browsePaths;
};
template <class S> void Fields(S& s, TranslateBrowsePathsToNodeIdsRequest& m) { s(m.header); s(m.browsePaths); }

struct TranslateBrowsePathsToNodeIdsResponse {
    ResponseHeader header;
    std::vector<BrowsePathResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, TranslateBrowsePathsToNodeIdsResponse& m)
{
    s(m.header); s(m.results); s(m.diagnosticInfos);
}

struct RegisterNodesRequest {
    RequestHeader header;
    std::vector<NodeId> nodesToRegister;
};
template <class S> void Fields(S& s, RegisterNodesRequest& m) { s(m.header); s(m.nodesToRegister); }

struct RegisterNodesResponse {
    ResponseHeader header;
    std::vector<NodeId> registeredNodeIds;
};
template <class S> void Fields(S& s, RegisterNodesResponse& m) { s(m.header); s(m.registeredNodeIds); }

struct UnregisterNodesRequest {
    RequestHeader header;
    std::vector<NodeId> nodesToUnregister;
};
template <class S> void Fields(S& s, UnregisterNodesRequest& m) { s(m.header); s(m.nodesToUnregister); }

struct UnregisterNodesResponse {
    ResponseHeader header;
};
template <class S> void Fields(S& s, UnregisterNodesResponse& m) { s(m.header); }

// ---- attribute -------------------------------------------------------------

struct ReadValueId {
    NodeId nodeId;
    std::uint32_t attributeId = static_cast<std::uint32_t>(AttributeId::Value);
    std::string indexRange;
    QualifiedName dataEncoding;
};
template <class S> void Fields(S& s, ReadValueId& r) { s(r.nodeId); s(r.attributeId); s(r.indexRange); s(r.dataEncoding); }

struct ReadRequest {
    RequestHeader header;
    double maxAge = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<ReadValueId> nodesToRead;
};
template <class S> void Fields(S& s, ReadRequest& m) { s(m.header); s(m.maxAge); s(m.timestampsToReturn); s(m.nodesToRead); }

struct ReadResponse {
    ResponseHeader header;
    std::vector<DataValue> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, ReadResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

struct WriteValue {
    NodeId nodeId;
    std::uint32_t attributeId = static_cast<std::uint32_t>(AttributeId::Value);
    std::string indexRange;
    DataValue value;
};
template <class S> void Fields(S& s, WriteValue& w) { s(w.nodeId); s(w.attributeId); s(w.indexRange); s(w.value); }

struct WriteRequest {
    RequestHeader header;
    std::vector<WriteValue> nodesToWrite;
};
template <class S> void Fields(S& s, WriteRequest& m) { s(m.header); s(m.nodesToWrite); }

struct WriteResponse {
    ResponseHeader header;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, WriteResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

// ---- subscription ----------------------------------------------------------

struct CreateSubscriptionRequest {
    RequestHeader header;
    double requestedPublishingInterval = 0;
    std::uint32_t requestedLifetimeCount = 0;
    std::uint32_t requestedMaxKeepAliveCount = 0;
    std::uint32_t maxNotificationsPerPublish = 0;
    bool publishingEnabled = true;
    std::uint8_t priority = 0;
};
template <class S> void Fields(S& s, CreateSubscriptionRequest& m)
{
    s(m.header); s(m.requestedPublishingInterval); s(m.requestedLifetimeCount); s(m.requestedMaxKeepAliveCount);
    s(m.maxNotificationsPerPublish); s(m.publishingEnabled); s(m.priority);
}

struct CreateSubscriptionResponse {
    ResponseHeader header;
    std::uint32_t subscriptionId = 0;
    double revisedPublishingInterval = 0;
    std::uint32_t revisedLifetimeCount = 0;
    std::uint32_t revisedMaxKeepAliveCount = 0;
};
template <class S> void Fields(S& s, CreateSubscriptionResponse& m)
{
    s(m.header); s(m.subscriptionId); s(m.revisedPublishingInterval); s(m.revisedLifetimeCount);
    s(m.revisedMaxKeepAliveCount);
}

struct ModifySubscriptionRequest {
    RequestHeader header;
    std::uint32_t subscriptionId = 0;
    double requestedPublishingInterval = 0;
    std::uint32_t requestedLifetimeCount = 0;
    std::uint32_t requestedMaxKeepAliveCount = 0;
    std::uint32_t maxNotificationsPerPublish = 0;
    std::uint8_t priority = 0;
};
template <class S> void Fields(S& s, ModifySubscriptionRequest& m)
{
    s(m.header); s(m.subscriptionId); s(m.requestedPublishingInterval); s(m.requestedLifetimeCount);
    s(m.requestedMaxKeepAliveCount); s(m.maxNotificationsPerPublish); s(m.priority);
}

struct ModifySubscriptionResponse {
    ResponseHeader header;
    double revisedPublishingInterval = 0;
    std::uint32_t revisedLifetimeCount = 0;
    std::uint32_t revisedMaxKeepAliveCount = 0;
};
template <class S> void Fields(S& s, ModifySubscriptionResponse& m)
{
    s(m.header); s(m.revisedPublishingInterval); s(m.revisedLifetimeCount); s(m.revisedMaxKeepAliveCount);
}

// The requests that name subscriptions or items by id and answer one status
// per id share this shape of response.
struct StatusResultsResponse {
    ResponseHeader header;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, StatusResultsResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

struct DeleteSubscriptionsRequest {
    RequestHeader header;
    std::vector<std::uint32_t> subscriptionIds;
};
template <class S> void Fields(S& s, DeleteSubscriptionsRequest& m) { s(m.header); s(m.subscriptionIds); }

struct SetPublishingModeRequest {
    RequestHeader header;
    bool publishingEnabled = true;
    std::vector<std::uint32_t> subscriptionIds;
};
template <class S> void Fields(S& s, SetPublishingModeRequest& m)
{
    s(m.header); s(m.publishingEnabled); s(m.subscriptionIds);
}

struct DataChangeFilter {
    std::int32_t trigger = 1; // 0 Status, 1 StatusValue, 2 StatusValueTimestamp
    std::uint32_t deadbandType = 0; // 0 None, 1 Absolute, 2 Percent
    double deadbandValue = 0;
};
template <class S> void Fields(S& s, DataChangeFilter& f) { s(f.trigger); s(f.deadbandType); s(f.deadbandValue); }

struct MonitoringParameters {
    std::uint32_t clientHandle = 0;
    double samplingInterval = 0;
    ExtensionObject filter;
    std::uint32_t queueSize = 1;
    bool discardOldest = true;
};
template <class S> void Fields(S& s, MonitoringParameters& p)
{
    s(p.clientHandle); s(p.samplingInterval); s(p.filter); s(p.queueSize); s(p.discardOldest);
}

struct MonitoredItemCreateRequest {
    ReadValueId itemToMonitor;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    MonitoringParameters requestedParameters;
};
template <class S> void Fields(S& s, MonitoredItemCreateRequest& r)
{
    s(r.itemToMonitor); s(r.monitoringMode); s(r.requestedParameters);
}

struct MonitoredItemCreateResult {
    StatusCode statusCode = sc::Good;
    std::uint32_t monitoredItemId = 0;
    double revisedSamplingInterval = 0;
    std::uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
};
template <class S> void Fields(S& s, MonitoredItemCreateResult& r)
{
    s(r.statusCode); s(r.monitoredItemId); s(r.revisedSamplingInterval); s(r.revisedQueueSize); s(r.filterResult);
}

struct CreateMonitoredItemsRequest {
    RequestHeader header;
    std::uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<MonitoredItemCreateRequest> itemsToCreate;
};
template <class S> void Fields(S& s, CreateMonitoredItemsRequest& m)
{
    s(m.header); s(m.subscriptionId); s(m.timestampsToReturn); s(m.itemsToCreate);
}

struct CreateMonitoredItemsResponse {
    ResponseHeader header;
    std::vector<MonitoredItemCreateResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, CreateMonitoredItemsResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

struct MonitoredItemModifyRequest {
    std::uint32_t monitoredItemId = 0;
    MonitoringParameters requestedParameters;
};
template <class S> void Fields(S& s, MonitoredItemModifyRequest& r) { s(r.monitoredItemId); s(r.requestedParameters); }

struct MonitoredItemModifyResult {
    StatusCode statusCode = sc::Good;
    double revisedSamplingInterval = 0;
    std::uint32_t revisedQueueSize = 0;
    ExtensionObject filterResult;
};
template <class S> void Fields(S& s, MonitoredItemModifyResult& r)
{
    s(r.statusCode); s(r.revisedSamplingInterval); s(r.revisedQueueSize); s(r.filterResult);
}

struct ModifyMonitoredItemsRequest {
    RequestHeader header;
    std::uint32_t subscriptionId = 0;
    TimestampsToReturn timestampsToReturn = TimestampsToReturn::Both;
    std::vector<MonitoredItemModifyRequest> itemsToModify;
};
template <class S> void Fields(S& s, ModifyMonitoredItemsRequest& m)
{
    s(m.header); s(m.subscriptionId); s(m.timestampsToReturn); s(m.itemsToModify);
}

struct ModifyMonitoredItemsResponse {
    ResponseHeader header;
    std::vector<MonitoredItemModifyResult> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, ModifyMonitoredItemsResponse& m) { s(m.header); s(m.results); s(m.diagnosticInfos); }

struct SetMonitoringModeRequest {
    RequestHeader header;
    std::uint32_t subscriptionId = 0;
    MonitoringMode monitoringMode = MonitoringMode::Reporting;
    std::vector<std::uint32_t> monitoredItemIds;
};
template <class S> void Fields(S& s, SetMonitoringModeRequest& m)
{
    s(m.header); s(m.subscriptionId); s(m.monitoringMode); s(m.monitoredItemIds);
}

struct DeleteMonitoredItemsRequest {
    RequestHeader header;
    std::uint32_t subscriptionId = 0;
    std::vector<std::uint32_t> monitoredItemIds;
};
template <class S> void Fields(S& s, DeleteMonitoredItemsRequest& m) { s(m.header); s(m.subscriptionId); s(m.monitoredItemIds); }

struct MonitoredItemNotification {
    std::uint32_t clientHandle = 0;
    DataValue value;
};
template <class S> void Fields(S& s, MonitoredItemNotification& n) { s(n.clientHandle); s(n.value); }

struct DataChangeNotification {
    std::vector<MonitoredItemNotification> monitoredItems;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, DataChangeNotification& n) { s(n.monitoredItems); s(n.diagnosticInfos); }

struct StatusChangeNotification {
    StatusCode status = sc::Good;
    DiagnosticInfo diagnosticInfo;
};
template <class S> void Fields(S& s, StatusChangeNotification& n) { s(n.status); s(n.diagnosticInfo); }

struct NotificationMessage {
    std::uint32_t sequenceNumber = 0;
    DateTime publishTime = 0;
    std::vector<ExtensionObject> notificationData;
};
template <class S> void Fields(S& s, NotificationMessage& n) { s(n.sequenceNumber); s(n.publishTime); s(n.notificationData); }

struct SubscriptionAcknowledgement {
    std::uint32_t subscriptionId = 0;
    std::uint32_t sequenceNumber = 0;
};
template <class S> void Fields(S& s, SubscriptionAcknowledgement& a) { s(a.subscriptionId); s(a.sequenceNumber); }

struct PublishRequest {
    RequestHeader header;
    std::vector<SubscriptionAcknowledgement> subscriptionAcknowledgements;
};
template <class S> void Fields(S& s, PublishRequest& m) { s(m.header); s(m.subscriptionAcknowledgements); }

struct PublishResponse {
    ResponseHeader header;
    std::uint32_t subscriptionId = 0;
    std::vector<std::uint32_t> availableSequenceNumbers;
    bool moreNotifications = false;
    NotificationMessage notificationMessage;
    std::vector<StatusCode> results;
    std::vector<DiagnosticInfo> diagnosticInfos;
};
template <class S> void Fields(S& s, PublishResponse& m)
{
    s(m.header); s(m.subscriptionId); s(m.availableSequenceNumbers); s(m.moreNotifications);
    s(m.notificationMessage); s(m.results); s(m.diagnosticInfos);
}

struct RepublishRequest {
    RequestHeader header;
    std::uint32_t subscriptionId = 0;
    std::uint32_t retransmitSequenceNumber = 0;
};
template <class S> void Fields(S& s, RepublishRequest& m) { s(m.header); s(m.subscriptionId); s(m.retransmitSequenceNumber); }

struct RepublishResponse {
    ResponseHeader header;
    NotificationMessage notificationMessage;
};
template <class S> void Fields(S& s, RepublishResponse& m) { s(m.header); s(m.notificationMessage); }

// ---- structures served as values ------------------------------------------

struct BuildInfo {
    std::string productUri;
    std::string manufacturerName;
    std::string productName;
    std::string softwareVersion;
    std::string buildNumber;
    DateTime buildDate = 0;
};
template <class S> void Fields(S& s, BuildInfo& b)
{
    s(b.productUri); s(b.manufacturerName); s(b.productName); s(b.softwareVersion); s(b.buildNumber); s(b.buildDate);
}

struct ServerStatusDataType {
    DateTime startTime = 0;
    DateTime currentTime = 0;
    std::int32_t state = 0; // ServerState: 0 Running
    BuildInfo buildInfo;
    std::uint32_t secondsTillShutdown = 0;
    LocalizedText shutdownReason;
};
template <class S> void Fields(S& s, ServerStatusDataType& st)
{
    s(st.startTime); s(st.currentTime); s(st.state); s(st.buildInfo); s(st.secondsTillShutdown); s(st.shutdownReason);
}

// ServerDiagnosticsSummaryDataType: twelve counters in this order.
struct ServerDiagnosticsSummary {
    std::uint32_t serverViewCount = 0;
    std::uint32_t currentSessionCount = 0;
    std::uint32_t cumulatedSessionCount = 0;
    std::uint32_t securityRejectedSessionCount = 0;
    std::uint32_t rejectedSessionCount = 0;
    std::uint32_t sessionTimeoutCount = 0;
    std::uint32_t sessionAbortCount = 0;
    std::uint32_t currentSubscriptionCount = 0;
    std::uint32_t cumulatedSubscriptionCount = 0;
    std::uint32_t publishingIntervalCount = 0;
    std::uint32_t securityRejectedRequestsCount = 0;
    std::uint32_t rejectedRequestsCount = 0;
};
template <class S> void Fields(S& s, ServerDiagnosticsSummary& d)
{
    s(d.serverViewCount); s(d.currentSessionCount); s(d.cumulatedSessionCount); s(d.securityRejectedSessionCount);
    s(d.rejectedSessionCount); s(d.sessionTimeoutCount); s(d.sessionAbortCount); s(d.currentSubscriptionCount);
    s(d.cumulatedSubscriptionCount); s(d.publishingIntervalCount); s(d.securityRejectedRequestsCount);
    s(d.rejectedRequestsCount);
}

// Encodes a message with its encoding id in front, as a service body travels.
template <class T>
void EncodeMessage(std::string& out, std::uint32_t encodingId, const T& message)
{
    Encoder e(out);
    e.Write(NodeId::Numeric(encodingId));
    e.Put(message);
}

} // namespace ua
