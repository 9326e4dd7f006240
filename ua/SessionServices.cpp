// CreateSession, ActivateSession and CloseSession, and the end of a session
// (closed, timed out).
#include "Server.h"

#include <algorithm>
#include <cstring>

namespace ua {

namespace {

// What ActivateSession checks off the main thread: the client's signature
// of the server's certificate and last nonce (on a secured channel), and
// the user identity token.
struct ActivationCheck {
    // Inputs, copied: the work runs on the worker thread.
    std::shared_ptr<ChannelSecurity> channel; // null under None
    std::shared_ptr<const LocalIdentity> own;
    std::shared_ptr<UserDirectory> users;
    bool anonymous = true;
    std::string serverNonce;
    SignatureData clientSignature;
    ExtensionObject token;
    // Outputs.
    StatusCode verdict = sc::Good;
    Identity identity;

    // Whether the work costs enough to belong on the worker.
    bool Costly() const
    {
        const bool anonymousToken = token.typeId.IsNull() || token.typeId == NodeId::Numeric(enc::AnonymousIdentityToken);
        return channel != nullptr || !anonymousToken;
    }

    void Run()
    {
        if (channel) {
            const crypto::Certificate* client = channel->RemoteCertificate();
            const std::string signedData = own->certificate->Der() + serverNonce;
            if (clientSignature.algorithm != kRsaSha256Uri ||
                !client->PublicKey().Verify(signedData, clientSignature.signature.data)) {
                verdict = sc::BadApplicationSignatureInvalid;
                return;
            }
        }
        verdict = checkToken();
    }

    StatusCode checkToken()
    {
        identity = Identity();
        // No token at all stands for an anonymous user.
        AnonymousIdentityToken anonymousToken;
        if ((token.typeId.IsNull() && token.encoding == ExtensionObject::None) ||
            FromExtension(token, enc::AnonymousIdentityToken, anonymousToken)) {
            if (!anonymousToken.policyId.empty() && anonymousToken.policyId != kAnonymousPolicyId)
                return sc::BadIdentityTokenInvalid;
            return anonymous ? sc::Good : sc::BadIdentityTokenRejected;
        }
        UserNameIdentityToken user;
        if (!FromExtension(token, enc::UserNameIdentityToken, user))
            return sc::BadIdentityTokenInvalid; // certificates and issued tokens are not offered
        if (!users || !own || user.policyId != kUserNamePolicyId)
            return sc::BadIdentityTokenInvalid; // no user names offered

        // The password comes encrypted with the server's key, behind its
        // length and followed by the server's last nonce.
        std::string plain;
        if (user.encryptionAlgorithm != kRsaOaepUri || !own->key.Decrypt(user.password.data, plain))
            return sc::BadIdentityTokenInvalid;
        std::uint32_t length = 0;
        if (plain.size() >= 4)
            std::memcpy(&length, plain.data(), 4);
        const bool fits = plain.size() >= 4 && length == plain.size() - 4 && length >= serverNonce.size() &&
                          crypto::SameBytes(std::string_view(plain).substr(plain.size() - serverNonce.size()),
                                            serverNonce);
        if (!fits) {
            crypto::Wipe(plain);
            return sc::BadIdentityTokenInvalid;
        }
        std::string password = plain.substr(4, length - serverNonce.size());
        crypto::Wipe(plain);
        UserRole role = UserRole::Read;
        const UserDirectory::Verdict v = users->Check(user.userName, password, role);
        crypto::Wipe(password);
        if (v == UserDirectory::Verdict::Unavailable)
            return sc::BadIdentityTokenRejected;
        if (v == UserDirectory::Verdict::Refused)
            return sc::BadUserAccessDenied;
        identity.type = UserTokenType::UserName;
        identity.userName = user.userName;
        identity.mayWrite = role == UserRole::ReadWrite;
        return sc::Good;
    }
};

} // namespace

bool Server::sessionsAllowed(const SecureChannel& channel) const
{
    const ChannelSecurity* security = channel.Security();
    return config_.sessionsWithoutSecurity || (security && security->Costly());
}

void Server::createSession(Call& call, CreateSessionRequest& r)
{
    if (!sessionsAllowed(call.channel)) {
        ++summary_.securityRejectedSessionCount;
        ++summary_.rejectedRequestsCount;
        fault(call, sc::BadSecurityPolicyRejected);
        return;
    }
    if (sessionAtLimit(call))
        return;
    const ChannelSecurity* security = call.channel.Security();
    if (!security || !security->Costly()) {
        sessionCreated(call, r, {});
        return;
    }
    // The client's certificate is the channel's, for the application the
    // request names; its nonce is the one the server signs.
    std::string chain;
    const auto sent = crypto::Certificate::FromDer(r.clientCertificate.data, &chain);
    StatusCode bad = sc::Good;
    if (!sent || sent->Thumbprint() != security->RemoteCertificate()->Thumbprint())
        bad = sc::BadCertificateInvalid;
    else if (r.clientDescription.applicationUri != sent->ApplicationUri())
        bad = sc::BadCertificateUriInvalid;
    else if (r.clientNonce.data.size() < 32)
        bad = sc::BadNonceInvalid;
    if (IsBad(bad)) {
        ++summary_.securityRejectedSessionCount;
        ++summary_.rejectedRequestsCount;
        fault(call, bad);
        // A certificate that does not fit its application ends the channel.
        if (bad != sc::BadNonceInvalid)
            call.channel.Close(bad, std::string("CreateSession: ") + StatusName(bad));
        return;
    }
    // Signing takes the worker.
    auto signature = std::make_shared<std::string>();
    auto request = std::make_shared<CreateSessionRequest>(std::move(r));
    const std::uint32_t channelId = call.channel.Id(), requestId = call.requestId;
    const RequestHeader header = call.header;
    const bool queued = call.channel.Offload(
        [signature, request, own = config_.security->own] {
            if (!own->key.Sign(request->clientCertificate.data + request->clientNonce.data, *signature))
                signature->clear();
        },
        [this, signature, request, channelId, requestId, header] {
            SecureChannel* channel = Channel(channelId);
            if (!channel)
                return;
            Call later{*channel, requestId, header, nullptr};
            if (signature->empty()) {
                fault(later, sc::BadInternalError);
                return;
            }
            if (!sessionAtLimit(later))
                sessionCreated(later, *request, *signature);
        });
    if (!queued)
        fault(call, sc::BadResourceUnavailable);
}

bool Server::sessionAtLimit(Call& call)
{
    if (sessions_.size() < static_cast<std::size_t>(limits::kMaxSessions))
        return false;
    ++summary_.rejectedSessionCount;
    ++summary_.rejectedRequestsCount;
    fault(call, sc::BadTooManySessions);
    return true;
}

void Server::sessionCreated(Call& call, CreateSessionRequest& r, const std::string& signature)
{
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
    s->serverNonce = crypto::Random(32);
    if (const ChannelSecurity* security = call.channel.Security()) {
        s->securityPolicyUri = security->PolicyUri();
        if (const crypto::Certificate* client = security->RemoteCertificate())
            s->clientThumbprint = client->Thumbprint();
    }

    CreateSessionResponse response;
    response.sessionId = s->sessionId;
    response.authenticationToken = s->authenticationToken;
    response.revisedSessionTimeout = s->timeoutMs;
    response.serverNonce.data = s->serverNonce;
    if (config_.security && config_.security->own)
        response.serverCertificate.data = config_.security->own->certificate->Der();
    if (!signature.empty())
        response.serverSignature = SignatureData{kRsaSha256Uri, Bytes{signature}};
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
    const ChannelSecurity* security = call.channel.Security();
    const bool secured = security && security->Costly();
    // A session stays with the security it was created under: the same
    // policy and client certificate on whatever channel carries it.
    const std::string thumbprint = secured ? security->RemoteCertificate()->Thumbprint() : std::string();
    const std::string policy = security ? security->PolicyUri() : kSecurityPolicyNone;
    if (!sessionsAllowed(call.channel) || s.securityPolicyUri != policy || s.clientThumbprint != thumbprint) {
        ++summary_.rejectedRequestsCount;
        if (!s.activated)
            ++summary_.securityRejectedSessionCount;
        fault(call, sc::BadSecurityChecksFailed);
        return;
    }
    auto check = std::make_shared<ActivationCheck>();
    if (secured)
        check->channel = call.channel.SharedSecurity();
    if (config_.security)
        check->own = config_.security->own;
    check->users = config_.users;
    check->anonymous = config_.anonymous;
    check->serverNonce = s.serverNonce;
    check->clientSignature = r.clientSignature;
    check->token = r.userIdentityToken;
    if (!check->Costly()) {
        check->Run();
        sessionActivated(call, r, check->verdict, check->identity);
        return;
    }
    auto request = std::make_shared<ActivateSessionRequest>(std::move(r));
    const std::uint32_t channelId = call.channel.Id(), requestId = call.requestId;
    const RequestHeader header = call.header;
    const NodeId token = s.authenticationToken;
    const bool queued = call.channel.Offload([check] { check->Run(); },
                                             [this, check, request, channelId, requestId, header, token] {
                                                 SecureChannel* channel = Channel(channelId);
                                                 const auto it = byToken_.find(token);
                                                 if (!channel)
                                                     return;
                                                 Call later{*channel, requestId, header, nullptr};
                                                 if (it == byToken_.end()) {
                                                     fault(later, sc::BadSessionIdInvalid);
                                                     return;
                                                 }
                                                 later.session = it->second;
                                                 sessionActivated(later, *request, check->verdict, check->identity);
                                             });
    if (!queued)
        fault(call, sc::BadResourceUnavailable);
}

void Server::sessionActivated(Call& call, ActivateSessionRequest& r, StatusCode verdict, const Identity& identity)
{
    Session& s = *call.session;
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
    s.serverNonce = crypto::Random(32);
    ActivateSessionResponse response;
    response.serverNonce.data = s.serverNonce;
    respond(call, enc::ActivateSessionResponse, response);
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
