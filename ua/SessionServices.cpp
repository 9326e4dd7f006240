// CreateSession, ActivateSession and CloseSession, and the end of a session
// (closed, timed out).
#include "Server.h"

#include <algorithm>

namespace ua {

void Server::createSession(Call& call, CreateSessionRequest& r)
{
    if (sessions_.size() >= static_cast<std::size_t>(limits::kMaxSessions)) {
        ++summary_.rejectedSessionCount;
        ++summary_.rejectedRequestsCount;
        fault(call, sc::BadTooManySessions);
        return;
    }
    auto s = std::make_unique<Session>();
    const std::uint32_t number = nextSession_++;
    s->sessionId = NodeId(1, "Session/" + std::to_string(number));
    s->authenticationToken.type = IdType::Opaque;
    s->authenticationToken.text = RandomBytes(32);
    s->name = r.sessionName;
    s->channelId = call.channel.Id();
    const double requested = r.requestedSessionTimeout > 0 ? r.requestedSessionTimeout : 60000;
    s->timeoutMs = std::clamp(requested, limits::kMinSessionTimeoutMs, limits::kMaxSessionTimeoutMs);
    s->lastActivityMs = now();
    s->maxResponseMessageSize = r.maxResponseMessageSize;

    CreateSessionResponse response;
    response.sessionId = s->sessionId;
    response.authenticationToken = s->authenticationToken;
    response.revisedSessionTimeout = s->timeoutMs;
    response.serverNonce.data = RandomBytes(32);
    response.serverEndpoints = Endpoints(r.endpointUrl.empty() ? call.channel.EndpointUrl() : r.endpointUrl);
    response.maxRequestMessageSize = limits::kMaxRequestMessage;
    byToken_[s->authenticationToken] = s.get();
    sessions_[number] = std::move(s);
    ++summary_.cumulatedSessionCount;
    call.session = sessions_[number].get();
    respond(call, enc::CreateSessionResponse, response);
}

void Server::activateSession(Call& call, ActivateSessionRequest& r)
{
    Session& s = *call.session;
    Identity identity;
    const StatusCode verdict = verifyIdentity(r.userIdentityToken, identity);
    if (IsBad(verdict)) {
        ++summary_.rejectedRequestsCount;
        if (!s.activated)
            ++summary_.securityRejectedSessionCount;
        fault(call, verdict);
        return;
    }
    // Activation on another channel moves the session there; Publish
    // requests queued on the old one cannot be answered any more.
    if (s.channelId != call.channel.Id()) {
        s.publishQueue.clear();
        s.channelId = call.channel.Id();
    }
    s.identity = identity;
    s.localeIds = r.localeIds;
    s.activated = true;
    ActivateSessionResponse response;
    response.serverNonce.data = RandomBytes(32);
    respond(call, enc::ActivateSessionResponse, response);
}

StatusCode Server::verifyIdentity(const ExtensionObject& token, Identity& identity) const
{
    identity = Identity();
    // No token at all stands for an anonymous user.
    if (token.typeId.IsNull() && token.encoding == ExtensionObject::None)
        return sc::Good;
    AnonymousIdentityToken anonymous;
    if (FromExtension(token, enc::AnonymousIdentityToken, anonymous)) {
        if (!anonymous.policyId.empty() && anonymous.policyId != kAnonymousPolicyId)
            return sc::BadIdentityTokenInvalid;
        return sc::Good;
    }
    // User names, certificates and issued tokens need an endpoint that
    // offers them; this one offers anonymous users only.
    return sc::BadIdentityTokenInvalid;
}

void Server::closeSession(Call& call, CloseSessionRequest& r)
{
    Session& s = *call.session;
    // Subscriptions cannot outlive their session here (there is no transfer),
    // whatever deleteSubscriptions says.
    (void)r.deleteSubscriptions;
    endSession(s, sc::BadSessionClosed);
    const auto it = std::find_if(sessions_.begin(), sessions_.end(),
                                 [&](const auto& entry) { return entry.second.get() == &s; });
    CloseSessionResponse response;
    call.session = nullptr;
    std::unique_ptr<Session> gone;
    if (it != sessions_.end()) {
        gone = std::move(it->second);
        sessions_.erase(it);
    }
    respond(call, enc::CloseSessionResponse, response);
}

void Server::endSession(Session& s, StatusCode reasonForPublishes)
{
    while (!s.publishQueue.empty()) {
        PendingPublish p = std::move(s.publishQueue.front());
        s.publishQueue.pop_front();
        if (SecureChannel* channel = Channel(p.channelId)) {
            Call c{*channel, p.requestId, p.header, nullptr};
            fault(c, reasonForPublishes);
        }
    }
    while (!s.subscriptions.empty())
        deleteSubscription(s, s.subscriptions.back()->Id());
    s.continuationPoints.clear();
    byToken_.erase(s.authenticationToken);
}

} // namespace ua
