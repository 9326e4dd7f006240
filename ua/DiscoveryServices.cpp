// FindServers and GetEndpoints: who this server is and how to reach it.
#include "Server.h"

#include <algorithm>

namespace ua {

namespace {

constexpr const char* kTransportProfile = "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary";

// The host the client used (so that the URLs we hand out work from where it
// stands), else the configured one.
std::string HostOf(const std::string& url, const std::string& fallback)
{
    const std::string scheme = "opc.tcp://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        return fallback;
    std::string rest = url.substr(scheme.size());
    rest = rest.substr(0, rest.find('/'));
    if (!rest.empty() && rest.front() == '[') // [IPv6]:port
        return rest.substr(0, rest.find(']') + 1);
    rest = rest.substr(0, rest.rfind(':'));
    return rest.empty() ? fallback : rest;
}

} // namespace

ApplicationDescription Server::Description(const std::string& clientUrl) const
{
    ApplicationDescription d;
    d.applicationUri = config_.applicationUri;
    d.productUri = config_.productUri;
    d.applicationName = {"en", config_.applicationName};
    d.applicationType = ApplicationType::Server;
    d.discoveryUrls = {"opc.tcp://" + HostOf(clientUrl, config_.host) + ":" + std::to_string(config_.port)};
    return d;
}

std::vector<EndpointDescription> Server::Endpoints(const std::string& clientUrl) const
{
    const SecurityConfig* security = config_.security.get();
    const bool secured = security && security->own && !security->policies.empty();
    const ApplicationDescription server = Description(clientUrl);
    std::vector<EndpointDescription> list;
    // Passwords always travel encrypted: under None with the first RSA
    // policy (the client takes the server's certificate from here).
    const auto add = [&](const char* policy, MessageSecurityMode mode, std::uint8_t level, const char* passwords) {
        EndpointDescription e;
        e.server = server;
        e.endpointUrl = server.discoveryUrls.front();
        if (security && security->own)
            e.serverCertificate.data = security->own->certificate->Der();
        e.securityMode = mode;
        e.securityPolicyUri = policy;
        if (config_.anonymous) {
            UserTokenPolicy anonymous;
            anonymous.policyId = kAnonymousPolicyId;
            anonymous.tokenType = UserTokenType::Anonymous;
            e.userIdentityTokens.push_back(anonymous);
        }
        if (config_.users && secured) {
            UserTokenPolicy user;
            user.policyId = kUserNamePolicyId;
            user.tokenType = UserTokenType::UserName;
            user.securityPolicyUri = passwords;
            e.userIdentityTokens.push_back(user);
        }
        e.transportProfileUri = kTransportProfile;
        e.securityLevel = level;
        list.push_back(std::move(e));
    };
    if (config_.sessionsWithoutSecurity)
        add(kSecurityPolicyNone, MessageSecurityMode::None, 0, secured ? security->policies.front()->uri : "");
    if (secured) {
        // Encryption ranks above signing alone; the newer policy above the
        // older one.
        for (MessageSecurityMode mode : security->modes)
            for (std::size_t i = 0; i < security->policies.size(); ++i) {
                const PolicyParams* p = security->policies[i];
                const auto rank = static_cast<std::uint8_t>(p == FindPolicy(kSecurityPolicyAes128Sha256RsaOaep));
                add(p->uri, mode, static_cast<std::uint8_t>((mode == MessageSecurityMode::SignAndEncrypt ? 20 : 10) + rank),
                    p->uri);
            }
    }
    return list;
}

void Server::findServers(Call& call, FindServersRequest& r)
{
    FindServersResponse response;
    const bool wanted = r.serverUris.empty() || std::find(r.serverUris.begin(), r.serverUris.end(),
                                                          config_.applicationUri) != r.serverUris.end();
    if (wanted)
        response.servers = {Description(r.endpointUrl.empty() ? call.channel.EndpointUrl() : r.endpointUrl)};
    respond(call, enc::FindServersResponse, response);
}

void Server::getEndpoints(Call& call, GetEndpointsRequest& r)
{
    GetEndpointsResponse response;
    const bool wanted = r.profileUris.empty() ||
                        std::find(r.profileUris.begin(), r.profileUris.end(), kTransportProfile) != r.profileUris.end();
    if (wanted)
        response.endpoints = Endpoints(r.endpointUrl.empty() ? call.channel.EndpointUrl() : r.endpointUrl);
    respond(call, enc::GetEndpointsResponse, response);
}

} // namespace ua
