#include "Server.h"

#include "PortHub.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <type_traits>

namespace ua {

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
// The main thread's time one tick may take before it leaves the rest for
// the next turn of the event loop.
constexpr std::chrono::microseconds kTickBudget{500};

std::int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

DecodeLimits RequestLimits()
{
    DecodeLimits l;
    l.maxArrayLength = limits::kMaxArrayLength;
    l.maxStringLength = limits::kMaxStringLength;
    l.maxByteStringLength = limits::kMaxByteStringLength;
    l.maxDepth = limits::kMaxNesting;
    return l;
}

// Diagnostics a client may ask for in returnDiagnostics.
constexpr std::uint32_t kServiceLocalizedText = 0x02, kServiceAdditionalInfo = 0x04;
constexpr std::uint32_t kOperationLocalizedText = 0x40, kOperationAdditionalInfo = 0x80;

int StringIndex(std::vector<std::string>& table, const std::string& text)
{
    const auto it = std::find(table.begin(), table.end(), text);
    if (it != table.end())
        return static_cast<int>(it - table.begin());
    table.push_back(text);
    return static_cast<int>(table.size() - 1);
}

} // namespace

std::string RandomBytes(std::size_t n) { return crypto::Random(n); }

Server::Server(PortHub* hub, ServerConfig config, Clock clock)
    : hub_(hub), config_(std::move(config)), clock_(clock ? std::move(clock) : Clock(SteadyMs)), startTime_(Now()),
      space_(hub, config_.namespaceUri, [this](std::uint32_t id) { return serverValue(id); })
{
    itemsByTag_.resize(static_cast<std::size_t>(hub_ ? std::max(hub_->TagCount(), 0) : 0));
}

Server::~Server()
{
    // Channels first: their closing reaches no session any more.
    channels_.clear();
    sessions_.clear();
}

// ---- channels ----------------------------------------------------------------

SecureChannel* Server::OpenChannel(ChannelIo io)
{
    if (channels_.size() >= static_cast<std::size_t>(limits::kMaxSecureChannels))
        return nullptr;
    std::uint32_t id = nextChannelId_++;
    if (nextChannelId_ == 0)
        nextChannelId_ = 1;
    auto channel = std::make_unique<SecureChannel>(id, *this, std::move(io), now(), config_.security);
    SecureChannel* raw = channel.get();
    channels_[id] = std::move(channel);
    return raw;
}

void Server::DropChannel(std::uint32_t channelId)
{
    const auto it = channels_.find(channelId);
    if (it == channels_.end())
        return;
    for (auto& [number, session] : sessions_) {
        if (session->channelId != channelId)
            continue;
        session->channelId = 0;
        // Answers to these could only go to the channel that is gone.
        session->publishQueue.clear();
    }
    channels_.erase(it);
}

SecureChannel* Server::Channel(std::uint32_t channelId) const
{
    const auto it = channels_.find(channelId);
    return it == channels_.end() ? nullptr : it->second.get();
}

void Server::OnNote(const std::string& text)
{
    if (config_.log)
        config_.log(text);
}

// ---- dispatch ----------------------------------------------------------------

template <class Request, class ServeIt>
void Server::serve(Call& call, Decoder& d, bool needsSession, ServeIt&& serveIt)
{
    Request request = d.Get<Request>();
    if (!d.Ok()) {
        call.channel.Close(d.Status(), "malformed request");
        return;
    }
    call.header = request.header;
    if (needsSession) {
        constexpr bool activating = std::is_same_v<Request, ActivateSessionRequest>;
        constexpr bool closing = std::is_same_v<Request, CloseSessionRequest>;
        const StatusCode s = checkSession(call, activating, !activating && !closing);
        if (IsBad(s)) {
            ++summary_.rejectedRequestsCount;
            fault(call, s);
            return;
        }
    }
    serveIt(request);
}

StatusCode Server::checkSession(Call& call, bool otherChannelAllowed, bool needsActivation)
{
    const auto it = byToken_.find(call.header.authenticationToken);
    if (it == byToken_.end())
        return sc::BadSessionIdInvalid;
    Session& s = *it->second;
    if (!otherChannelAllowed && s.channelId != call.channel.Id())
        return sc::BadSecureChannelIdInvalid;
    if (needsActivation && !s.activated)
        return sc::BadSessionNotActivated;
    s.lastActivityMs = now();
    call.session = &s;
    return sc::Good;
}

void Server::OnRequest(SecureChannel& channel, std::uint32_t requestId, std::string_view body)
{
    Decoder d(body, RequestLimits());
    const NodeId type = d.Get<NodeId>();
    Call call{channel, requestId, {}, nullptr};
    if (!d.Ok() || type.ns != 0 || type.type != IdType::Numeric) {
        channel.Close(sc::BadDecodingError, "malformed message");
        return;
    }
    switch (type.numeric) {
    case enc::FindServersRequest:
        return serve<FindServersRequest>(call, d, false, [&](auto& r) { findServers(call, r); });
    case enc::GetEndpointsRequest:
        return serve<GetEndpointsRequest>(call, d, false, [&](auto& r) { getEndpoints(call, r); });
    case enc::CreateSessionRequest:
        return serve<CreateSessionRequest>(call, d, false, [&](auto& r) { createSession(call, r); });
    case enc::ActivateSessionRequest:
        return serve<ActivateSessionRequest>(call, d, true, [&](auto& r) { activateSession(call, r); });
    case enc::CloseSessionRequest:
        return serve<CloseSessionRequest>(call, d, true, [&](auto& r) { closeSession(call, r); });
    case enc::BrowseRequest:
        return serve<BrowseRequest>(call, d, true, [&](auto& r) { browse(call, r); });
    case enc::BrowseNextRequest:
        return serve<BrowseNextRequest>(call, d, true, [&](auto& r) { browseNext(call, r); });
    case enc::TranslateBrowsePathsToNodeIdsRequest:
        return serve<TranslateBrowsePathsToNodeIdsRequest>(call, d, true, [&](auto& r) { translate(call, r); });
    case enc::RegisterNodesRequest:
        return serve<RegisterNodesRequest>(call, d, true, [&](auto& r) { registerNodes(call, r); });
    case enc::UnregisterNodesRequest:
        return serve<UnregisterNodesRequest>(call, d, true, [&](auto& r) { unregisterNodes(call, r); });
    case enc::ReadRequest:
        return serve<ReadRequest>(call, d, true, [&](auto& r) { read(call, r); });
    case enc::WriteRequest:
        return serve<WriteRequest>(call, d, true, [&](auto& r) { write(call, r); });
    case enc::CreateSubscriptionRequest:
        return serve<CreateSubscriptionRequest>(call, d, true, [&](auto& r) { createSubscription(call, r); });
    case enc::ModifySubscriptionRequest:
        return serve<ModifySubscriptionRequest>(call, d, true, [&](auto& r) { modifySubscription(call, r); });
    case enc::DeleteSubscriptionsRequest:
        return serve<DeleteSubscriptionsRequest>(call, d, true, [&](auto& r) { deleteSubscriptions(call, r); });
    case enc::SetPublishingModeRequest:
        return serve<SetPublishingModeRequest>(call, d, true, [&](auto& r) { setPublishingMode(call, r); });
    case enc::CreateMonitoredItemsRequest:
        return serve<CreateMonitoredItemsRequest>(call, d, true, [&](auto& r) { createMonitoredItems(call, r); });
    case enc::ModifyMonitoredItemsRequest:
        return serve<ModifyMonitoredItemsRequest>(call, d, true, [&](auto& r) { modifyMonitoredItems(call, r); });
    case enc::DeleteMonitoredItemsRequest:
        return serve<DeleteMonitoredItemsRequest>(call, d, true, [&](auto& r) { deleteMonitoredItems(call, r); });
    case enc::SetMonitoringModeRequest:
        return serve<SetMonitoringModeRequest>(call, d, true, [&](auto& r) { setMonitoringMode(call, r); });
    case enc::PublishRequest:
        return serve<PublishRequest>(call, d, true, [&](auto& r) { publish(call, r); });
    case enc::RepublishRequest:
        return serve<RepublishRequest>(call, d, true, [&](auto& r) { republish(call, r); });
    default:
        break;
    }
    // A service of the standard that this server does not offer gets a
    // fault; anything else is not an OPC UA request at all.
    if (!std::binary_search(std::begin(kServiceRequestEncodings), std::end(kServiceRequestEncodings), type.numeric)) {
        channel.Close(sc::BadDecodingError, "unknown encoding id");
        return;
    }
    call.header = d.Get<RequestHeader>();
    if (!d.Ok()) {
        channel.Close(d.Status(), "malformed request header");
        return;
    }
    ++summary_.rejectedRequestsCount;
    fault(call, sc::BadServiceUnsupported);
}

void Server::respondBody(Call& call, const std::string& body)
{
    std::size_t limit = limits::kMaxResponseMessage;
    if (call.session && call.session->maxResponseMessageSize != 0)
        limit = std::min<std::size_t>(limit, call.session->maxResponseMessageSize);
    if (body.size() > limit || !call.channel.Respond(call.requestId, body))
        fault(call, sc::BadResponseTooLarge);
}

void Server::fault(Call& call, StatusCode status)
{
    ServiceFault f;
    f.header.timestamp = Now();
    f.header.requestHandle = call.header.requestHandle;
    f.header.serviceResult = status;
    const std::uint32_t mask = call.header.returnDiagnostics;
    if (mask & kServiceLocalizedText)
        f.header.serviceDiagnostics.localizedText = StringIndex(f.header.stringTable, StatusName(status));
    if (mask & kServiceAdditionalInfo) {
        f.header.serviceDiagnostics.hasAdditionalInfo = true;
        f.header.serviceDiagnostics.additionalInfo = StatusName(status);
    }
    std::string body;
    EncodeMessage(body, enc::ServiceFault, f);
    call.channel.Respond(call.requestId, body);
}

void Server::diagnose(Call& call, ResponseHeader& header, std::vector<DiagnosticInfo>& infos,
                      const std::vector<StatusCode>& results)
{
    infos.clear();
    const std::uint32_t mask = call.header.returnDiagnostics & (kOperationLocalizedText | kOperationAdditionalInfo);
    if (mask == 0 || std::none_of(results.begin(), results.end(), IsBad))
        return;
    infos.resize(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (!IsBad(results[i]))
            continue;
        if (mask & kOperationLocalizedText)
            infos[i].localizedText = StringIndex(header.stringTable, StatusName(results[i]));
        if (mask & kOperationAdditionalInfo) {
            infos[i].hasAdditionalInfo = true;
            infos[i].additionalInfo = StatusName(results[i]);
        }
    }
}

StatusCode Server::checkCount(std::size_t count, std::uint32_t max)
{
    if (count == 0)
        return sc::BadNothingToDo;
    return count > max ? sc::BadTooManyOperations : sc::Good;
}

// ---- time ----------------------------------------------------------------------

void Server::Tick()
{
    const auto started = std::chrono::steady_clock::now();
    const std::int64_t t = now();
    for (auto& [id, channel] : channels_)
        channel->CheckDeadline(t);
    // Sessions in turn from where the last tick ran out of time, so that a
    // busy tick ends early and the rest go first on the next one (which is
    // due at once: their deadlines have passed).
    std::vector<std::uint32_t> order;
    order.reserve(sessions_.size());
    for (auto it = sessions_.lower_bound(tickCursor_); it != sessions_.end(); ++it)
        order.push_back(it->first);
    for (auto it = sessions_.begin(); it != sessions_.end() && it->first < tickCursor_; ++it)
        order.push_back(it->first);
    tickCursor_ = 0;
    for (std::uint32_t number : order) {
        const auto it = sessions_.find(number);
        if (it == sessions_.end())
            continue;
        if (!tickSession(*it->second, t))
            sessions_.erase(it);
        if (std::chrono::steady_clock::now() - started > kTickBudget) {
            tickCursor_ = number + 1;
            return;
        }
    }
}

bool Server::tickSession(Session& s, std::int64_t t)
{
    // A client waiting on its Publish requests is there.
    if (!s.publishQueue.empty())
        s.lastActivityMs = t;
    if (t - s.lastActivityMs > static_cast<std::int64_t>(s.timeoutMs)) {
        ++summary_.sessionTimeoutCount;
        endSession(s, sc::BadSessionClosed);
        return false;
    }
    while (!s.publishQueue.empty()) {
        auto late = std::find_if(s.publishQueue.begin(), s.publishQueue.end(), [t](const PendingPublish& p) {
            return p.deadlineMs != 0 && t >= p.deadlineMs;
        });
        if (late == s.publishQueue.end())
            break;
        PendingPublish p = std::move(*late);
        s.publishQueue.erase(late);
        if (SecureChannel* channel = Channel(p.channelId)) {
            Call call{*channel, p.requestId, p.header, &s};
            fault(call, sc::BadTimeout);
        }
    }
    for (std::size_t i = 0; i < s.subscriptions.size();) {
        Subscription& sub = *s.subscriptions[i];
        const std::uint32_t id = sub.Id();
        if (sampleDue_[id] <= t)
            sampleDue(sub, t);
        if (t >= sub.nextPublishMs)
            publishCycle(s, sub, t);
        if (i < s.subscriptions.size() && s.subscriptions[i]->Id() == id)
            ++i; // else it expired and went
    }
    return true;
}

std::int64_t Server::NextDeadline() const
{
    std::int64_t next = kNever;
    for (const auto& [id, channel] : channels_)
        next = std::min(next, channel->Deadline());
    for (const auto& [number, s] : sessions_) {
        if (s->publishQueue.empty())
            next = std::min(next, s->lastActivityMs + static_cast<std::int64_t>(s->timeoutMs) + 1);
        for (const PendingPublish& p : s->publishQueue)
            if (p.deadlineMs != 0)
                next = std::min(next, p.deadlineMs);
        for (const auto& sub : s->subscriptions) {
            next = std::min(next, sub->nextPublishMs);
            const auto due = sampleDue_.find(sub->Id());
            if (due != sampleDue_.end())
                next = std::min(next, due->second);
        }
    }
    return next;
}

// ---- the hub's signals -----------------------------------------------------------

void Server::TagChanged(int tagIndex)
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= itemsByTag_.size())
        return;
    const std::int64_t t = now();
    for (MonitoredItem* item : itemsByTag_[static_cast<std::size_t>(tagIndex)]) {
        if (item->mode == MonitoringMode::Disabled)
            continue;
        const auto interval = static_cast<std::int64_t>(item->samplingInterval);
        if (t - item->lastSampleMs >= interval) {
            sample(*item, t);
        } else if (!item->samplePending) {
            // Changed again inside the interval: sampled at its end.
            item->samplePending = true;
            item->nextSampleMs = item->lastSampleMs + interval;
            auto& due = sampleDue_[item->subscription];
            due = std::min(due, item->nextSampleMs);
        }
    }
}

void Server::PortStateChanged(int linkIndex)
{
    // A lost device changes the status of its tag's Value.
    if (hub_)
        TagChanged(hub_->Port(linkIndex).tagIndex);
}

void Server::PortsReloaded()
{
    space_.Rebuild();
    itemsByTag_.assign(static_cast<std::size_t>(hub_ ? std::max(hub_->TagCount(), 0) : 0), {});
    const std::int64_t t = now();
    for (auto& [number, s] : sessions_)
        for (auto& sub : s->subscriptions) {
            for (auto& [id, item] : sub->items) {
                resolve(*item);
                index(*item);
                // Nodes that went report Bad_NodeIdUnknown; ports that came
                // back report their values again.
                if (item->mode != MonitoringMode::Disabled)
                    sample(*item, t);
            }
            sampleDue_[sub->Id()] = sub->NextSampleDue();
        }
}

// ---- values of the Server object ---------------------------------------------------

Variant Server::serverValue(std::uint32_t nodeId) const
{
    BuildInfo build{config_.productUri, config_.manufacturerName, config_.productName, config_.softwareVersion,
                    config_.buildNumber, config_.buildDate};
    switch (nodeId) {
    case id::ServerArray:
        return Variant::Strings({config_.applicationUri});
    case id::NamespaceArray:
        return Variant::Strings({"http://opcfoundation.org/UA/", config_.namespaceUri});
    case id::ServerStatus: {
        ServerStatusDataType status;
        status.startTime = startTime_;
        status.currentTime = Now();
        status.state = 0; // Running
        status.buildInfo = build;
        return Variant::Extension(ToExtension(enc::ServerStatusDataType, status));
    }
    case id::ServerStatus_StartTime:
        return Variant::Time(startTime_);
    case id::ServerStatus_CurrentTime:
        return Variant::Time(Now());
    case id::ServerStatus_State:
        return Variant::Int32(0);
    case id::ServerStatus_BuildInfo:
        return Variant::Extension(ToExtension(enc::BuildInfo, build));
    case id::BuildInfo_ProductUri:
        return Variant::String(build.productUri);
    case id::BuildInfo_ManufacturerName:
        return Variant::String(build.manufacturerName);
    case id::BuildInfo_ProductName:
        return Variant::String(build.productName);
    case id::BuildInfo_SoftwareVersion:
        return Variant::String(build.softwareVersion);
    case id::BuildInfo_BuildNumber:
        return Variant::String(build.buildNumber);
    case id::BuildInfo_BuildDate:
        return Variant::Time(build.buildDate);
    case id::ServerStatus_SecondsTillShutdown:
        return Variant::UInt32(0);
    case id::ServerStatus_ShutdownReason:
        return Variant::Text({});
    case id::ServiceLevel:
        return Variant::Byte(255);
    case id::Auditing:
        return Variant::Bool(false);
    case id::ServerProfileArray:
        return Variant::Strings({"http://opcfoundation.org/UA-Profile/Server/MicroEmbeddedDevice2017"});
    case id::LocaleIdArray:
        return Variant::Strings({"en"});
    case id::MinSupportedSampleRate:
        return Variant::Double(limits::kMinSamplingIntervalMs);
    case id::MaxBrowseContinuationPoints:
        return Variant::UInt16(limits::kMaxBrowseContinuationPoints);
    case id::MaxQueryContinuationPoints:
    case id::MaxHistoryContinuationPoints:
        return Variant::UInt16(0);
    case id::SoftwareCertificates:
        return Variant::Array(BuiltIn::ExtensionObject, {});
    case id::MaxArrayLength:
        return Variant::UInt32(limits::kMaxArrayLength);
    case id::MaxStringLength:
        return Variant::UInt32(limits::kMaxStringLength);
    case id::MaxByteStringLength:
        return Variant::UInt32(limits::kMaxByteStringLength);
    case id::MaxNodesPerRead:
        return Variant::UInt32(limits::kMaxNodesPerRead);
    case id::MaxNodesPerWrite:
        return Variant::UInt32(limits::kMaxNodesPerWrite);
    case id::MaxNodesPerBrowse:
        return Variant::UInt32(limits::kMaxNodesPerBrowse);
    case id::MaxNodesPerRegisterNodes:
        return Variant::UInt32(limits::kMaxNodesPerRegisterNodes);
    case id::MaxNodesPerTranslateBrowsePathsToNodeIds:
        return Variant::UInt32(limits::kMaxNodesPerTranslate);
    case id::MaxMonitoredItemsPerCall:
        return Variant::UInt32(limits::kMaxMonitoredItemsPerCall);
    case id::EnabledFlag:
        return Variant::Bool(true);
    case id::RedundancySupport:
        return Variant::Int32(0); // None
    default:
        break;
    }
    ServerDiagnosticsSummary d = summary_;
    d.currentSessionCount = static_cast<std::uint32_t>(sessions_.size());
    std::uint32_t subscriptions = 0;
    for (const auto& [number, s] : sessions_)
        subscriptions += static_cast<std::uint32_t>(s->subscriptions.size());
    d.currentSubscriptionCount = subscriptions;
    switch (nodeId) {
    case id::ServerDiagnosticsSummary:
        return Variant::Extension(ToExtension(enc::ServerDiagnosticsSummaryDataType, d));
    case id::Summary_ServerViewCount:
        return Variant::UInt32(d.serverViewCount);
    case id::Summary_CurrentSessionCount:
        return Variant::UInt32(d.currentSessionCount);
    case id::Summary_CumulatedSessionCount:
        return Variant::UInt32(d.cumulatedSessionCount);
    case id::Summary_SecurityRejectedSessionCount:
        return Variant::UInt32(d.securityRejectedSessionCount);
    case id::Summary_RejectedSessionCount:
        return Variant::UInt32(d.rejectedSessionCount);
    case id::Summary_SessionTimeoutCount:
        return Variant::UInt32(d.sessionTimeoutCount);
    case id::Summary_SessionAbortCount:
        return Variant::UInt32(d.sessionAbortCount);
    case id::Summary_PublishingIntervalCount:
        return Variant::UInt32(d.publishingIntervalCount);
    case id::Summary_CurrentSubscriptionCount:
        return Variant::UInt32(d.currentSubscriptionCount);
    case id::Summary_CumulatedSubscriptionCount:
        return Variant::UInt32(d.cumulatedSubscriptionCount);
    case id::Summary_SecurityRejectedRequestsCount:
        return Variant::UInt32(d.securityRejectedRequestsCount);
    case id::Summary_RejectedRequestsCount:
        return Variant::UInt32(d.rejectedRequestsCount);
    default:
        break;
    }
    return {};
}

} // namespace ua
