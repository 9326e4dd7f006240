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
    // One endpoint: SecurityPolicy None with anonymous users. Policies with
    // keys add their endpoints here.
    EndpointDescription e;
    e.server = Description(clientUrl);
    e.endpointUrl = e.server.discoveryUrls.front();
    e.securityMode = MessageSecurityMode::None;
    e.securityPolicyUri = kSecurityPolicyNone;
    UserTokenPolicy anonymous;
    anonymous.policyId = kAnonymousPolicyId;
    anonymous.tokenType = UserTokenType::Anonymous;
    e.userIdentityTokens = {anonymous};
    e.transportProfileUri = kTransportProfile;
    e.securityLevel = 0;
    return {e};
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
