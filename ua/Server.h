#pragma once
// The OPC UA server without its sockets: secure channels, sessions,
// subscriptions and the services, over the address space built from the
// PortHub. The endpoint (Endpoint.h) feeds it bytes and hub signals and
// calls Tick when NextDeadline comes; a test or a fuzzer can drive it
// alone, with a clock of its own.
//
// Every call returns without waiting: a Publish request that cannot be
// answered yet is queued and answered from Tick or a later event. The work
// of one call is bounded by the operation limits (Limits.h).
//
// Threads: main thread only (it reads and writes the hub).
// Lifetime: the hub must outlive the server.
#include "AddressSpace.h"
#include "SecureChannel.h"
#include "Session.h"
#include "Users.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

class PortHub;

namespace ua {

struct ServerConfig {
    std::string applicationUri = "urn:localhost:Quorbel:Linvaro";
    std::string productUri = "urn:Quorbel:Linvaro";
    std::string applicationName = "Quorbel Linvaro";
    std::string manufacturerName = "Quorbel";
    std::string productName = "Linvaro";
    std::string softwareVersion = "0.1";
    std::string buildNumber = "0";
    DateTime buildDate = 0;
    std::string namespaceUri = "urn:Quorbel:Linvaro:Ports";
    // Host and port of the endpoint URLs the server hands out when the
    // client named none.
    std::string host = "127.0.0.1";
    std::uint16_t port = 4840;

    // Security: the policies and modes the channels offer besides None, the
    // server's certificate and how clients' certificates are checked (null:
    // None alone, as on the loopback interface before there was more).
    std::shared_ptr<const SecurityConfig> security;
    // Sessions on channels without security. Off, such a channel still
    // serves FindServers and GetEndpoints, which clients use to find the
    // secured endpoints.
    bool sessionsWithoutSecurity = true;
    bool anonymous = true;
    // The users file (null: no user names). Used on the worker only.
    std::shared_ptr<UserDirectory> users;
    // Lines for the activity log (certificates stored or trusted).
    std::function<void(const std::string&)> log;
};

class Server final : public ChannelHost {
public:
    // A monotonic clock in ms.
    using Clock = std::function<std::int64_t()>;

    Server(PortHub* hub, ServerConfig config, Clock clock = {});
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // A channel for a new connection; null when the server has as many as it
    // takes. The channel lives until DropChannel.
    SecureChannel* OpenChannel(ChannelIo io);
    // The connection is gone: its sessions stay (until they time out or a
    // client activates them on another channel), its queued Publish
    // requests go. Must not be called from inside the channel's own calls.
    void DropChannel(std::uint32_t channelId);
    SecureChannel* Channel(std::uint32_t channelId) const;
    std::size_t ChannelCount() const { return channels_.size(); }

    void OnRequest(SecureChannel& channel, std::uint32_t requestId, std::string_view body) override;
    void OnNote(const std::string& text) override;

    // Does what is due now (samples, publishing cycles, time-outs).
    void Tick();
    // When Tick has something to do next (monotonic ms).
    std::int64_t NextDeadline() const;

    // The hub's signals.
    void TagChanged(int tagIndex);
    void PortStateChanged(int linkIndex);
    void PortsReloaded();

    const ServerConfig& Config() const { return config_; }
    const AddressSpace& Space() const { return space_; }
    const ServerDiagnosticsSummary& Summary() const { return summary_; }
    std::size_t SessionCount() const { return sessions_.size(); }
    std::size_t MonitoredItemCount() const { return itemCount_; }
    // The endpoint descriptions offered for a URL the client used.
    std::vector<EndpointDescription> Endpoints(const std::string& clientUrl) const;
    ApplicationDescription Description(const std::string& clientUrl) const;

private:
    // One request in progress.
    struct Call {
        SecureChannel& channel;
        std::uint32_t requestId;
        RequestHeader header;
        Session* session = nullptr;
    };

    std::int64_t now() const { return clock_(); }
    // One session's part of a tick; false when the session timed out (it is
    // ended, the caller removes it).
    bool tickSession(Session& s, std::int64_t t);
    template <class Request, class Serve>
    void serve(Call& call, Decoder& d, bool needsSession, Serve&& serveIt);
    template <class Response>
    void respond(Call& call, std::uint32_t encodingId, Response& response);
    void respondBody(Call& call, const std::string& body);
    void fault(Call& call, StatusCode status);
    // Fills diagnosticInfos for bad results when the client asked for them.
    void diagnose(Call& call, ResponseHeader& header, std::vector<DiagnosticInfo>& infos,
                  const std::vector<StatusCode>& results);
    StatusCode checkSession(Call& call, bool otherChannelAllowed, bool needsActivation);
    // Checks an operation count: Good, Bad_NothingToDo or Bad_TooManyOperations.
    static StatusCode checkCount(std::size_t count, std::uint32_t max);

    // Discovery.
    void findServers(Call& call, FindServersRequest& r);
    void getEndpoints(Call& call, GetEndpointsRequest& r);
    // Session.
    void createSession(Call& call, CreateSessionRequest& r);
    void sessionCreated(Call& call, CreateSessionRequest& r, const std::string& signature);
    // Faults the call (Bad_TooManySessions) when no session can be added.
    bool sessionAtLimit(Call& call);
    void activateSession(Call& call, ActivateSessionRequest& r);
    void sessionActivated(Call& call, ActivateSessionRequest& r, StatusCode verdict, const Identity& identity);
    void closeSession(Call& call, CloseSessionRequest& r);
    // Whether the channel's security lets sessions run on it.
    bool sessionsAllowed(const SecureChannel& channel) const;
    void endSession(Session& session, StatusCode reasonForPublishes);
    // View.
    void browse(Call& call, BrowseRequest& r);
    void browseNext(Call& call, BrowseNextRequest& r);
    void translate(Call& call, TranslateBrowsePathsToNodeIdsRequest& r);
    void registerNodes(Call& call, RegisterNodesRequest& r);
    void unregisterNodes(Call& call, UnregisterNodesRequest& r);
    BrowseResult browseOne(Session& session, const BrowseDescription& d, std::uint32_t maxRefs);
    BrowseResult page(Session& session, std::vector<ReferenceDescription> refs, std::uint32_t maxRefs);
    // Attribute.
    void read(Call& call, ReadRequest& r);
    void write(Call& call, WriteRequest& r);
    DataValue readAttribute(int node, const ReadValueId& what, TimestampsToReturn ts, const Session* session) const;
    StatusCode writeOne(const WriteValue& w, const Session& session);
    std::uint8_t userAccessLevel(const Node& node, const Session* session) const;
    Variant serverValue(std::uint32_t id) const;
    // Subscriptions.
    void createSubscription(Call& call, CreateSubscriptionRequest& r);
    void modifySubscription(Call& call, ModifySubscriptionRequest& r);
    void deleteSubscriptions(Call& call, DeleteSubscriptionsRequest& r);
    void setPublishingMode(Call& call, SetPublishingModeRequest& r);
    void createMonitoredItems(Call& call, CreateMonitoredItemsRequest& r);
    void modifyMonitoredItems(Call& call, ModifyMonitoredItemsRequest& r);
    void deleteMonitoredItems(Call& call, DeleteMonitoredItemsRequest& r);
    void setMonitoringMode(Call& call, SetMonitoringModeRequest& r);
    void publish(Call& call, PublishRequest& r);
    void republish(Call& call, RepublishRequest& r);
    void reviseSubscription(Subscription& s, double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                            std::uint32_t maxNotifications, std::uint8_t priority);
    Subscription* itemCall(Call& call, std::uint32_t subscriptionId, std::size_t items,
                           const TimestampsToReturn* timestamps);
    StatusCode applyParameters(MonitoredItem& item, const MonitoringParameters& p, bool creating);
    void sample(MonitoredItem& item, std::int64_t nowMs);
    void sampleDue(Subscription& s, std::int64_t nowMs);
    void publishCycle(Session& session, Subscription& s, std::int64_t nowMs);
    // Answers the oldest queued Publish request of a session from s (data or
    // keep-alive). False when no request is queued.
    bool sendPublish(Session& session, Subscription& s);
    bool sendEnded(Session& session);
    void servePendingPublishes(Session& session);
    void deleteSubscription(Session& session, std::uint32_t id);
    void index(MonitoredItem& item);
    void unindex(MonitoredItem& item);
    void resolve(MonitoredItem& item);

    PortHub* hub_;
    ServerConfig config_;
    Clock clock_;
    DateTime startTime_;
    AddressSpace space_;
    ServerDiagnosticsSummary summary_;

    std::map<std::uint32_t, std::unique_ptr<SecureChannel>> channels_;
    std::uint32_t nextChannelId_ = 1;
    std::map<std::uint32_t, std::unique_ptr<Session>> sessions_; // by session number
    std::unordered_map<NodeId, Session*, NodeIdHash> byToken_;
    std::uint32_t nextSession_ = 1;
    std::uint32_t tickCursor_ = 0; // the session the next tick starts with
    std::uint32_t nextSubscription_ = 1;
    std::uint32_t nextItem_ = 1;
    std::size_t itemCount_ = 0;
    // Event-driven items by the tag whose changes they sample.
    std::vector<std::vector<MonitoredItem*>> itemsByTag_;
    // Items per subscription's next sample time: kept in the subscription.
    std::unordered_map<std::uint32_t, std::int64_t> sampleDue_;
};

template <class Response>
void Server::respond(Call& call, std::uint32_t encodingId, Response& response)
{
    response.header.timestamp = Now();
    response.header.requestHandle = call.header.requestHandle;
    std::string body;
    EncodeMessage(body, encodingId, response);
    respondBody(call, body);
}

// A random byte string (nonces, tokens).
std::string RandomBytes(std::size_t n);

} // namespace ua
