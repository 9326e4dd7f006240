#pragma once
// A session: created on one secure channel, activated with a user identity,
// moved to another channel by a new ActivateSession, ended by CloseSession
// or by its time-out. It owns its subscriptions, its queued Publish
// requests and its browse continuation points.
//
// Threads: main thread; owned by the Server.
#include "Subscription.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ua {

// Who the client is: anonymous, or a user name checked against the users
// file, whose role says whether it may write.
inline constexpr const char* kAnonymousPolicyId = "anonymous";
inline constexpr const char* kUserNamePolicyId = "username";

struct Identity {
    UserTokenType type = UserTokenType::Anonymous;
    std::string userName;
    bool mayWrite = true;
};

struct PendingPublish {
    std::uint32_t channelId = 0;
    std::uint32_t requestId = 0;
    RequestHeader header;
    std::int64_t deadlineMs = 0; // from the request's time-out hint; 0 = none
    std::vector<StatusCode> ackResults;
};

struct Session {
    NodeId sessionId;
    NodeId authenticationToken;
    std::string name;
    std::uint32_t channelId = 0; // 0 while no channel carries it
    bool activated = false;
    double timeoutMs = 0;
    std::int64_t lastActivityMs = 0;
    std::uint32_t maxResponseMessageSize = 0; // 0: no limit of the client's
    Identity identity;
    std::vector<std::string> localeIds;
    // The last nonce handed to the client (CreateSession, ActivateSession):
    // what its next signature and encrypted password must carry.
    std::string serverNonce;
    // The security of the channel it was created on: a session moves only to
    // a channel of the same policy and client certificate.
    std::string securityPolicyUri = "http://opcfoundation.org/UA/SecurityPolicy#None";
    std::string clientThumbprint;

    // What a Browse could not return at once, by continuation point.
    struct ContinuationPoint {
        std::vector<ReferenceDescription> rest;
        std::uint32_t maxReferences = 0;
    };
    std::map<std::string, ContinuationPoint> continuationPoints;
    std::uint64_t nextContinuationPoint = 1;

    std::vector<std::unique_ptr<Subscription>> subscriptions;
    std::deque<PendingPublish> publishQueue;
    // Subscriptions that ended on their own (lifetime out) tell the client in
    // the next Publish response: subscription id and the message.
    std::deque<std::pair<std::uint32_t, NotificationMessage>> endedSubscriptions;

    Subscription* FindSubscription(std::uint32_t id) const
    {
        for (const auto& s : subscriptions)
            if (s->Id() == id)
                return s.get();
        return nullptr;
    }
};

} // namespace ua
