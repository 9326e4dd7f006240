#include "Client.h"

#include "SecurityPolicy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace ua {

namespace {

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr std::uint32_t kBufferSize = 65535;
constexpr const char* kAnonymousPolicyIdOfClient = "anonymous";

class SocketPipe final : public ClientPipe {
public:
    explicit SocketPipe(int fd) : fd_(fd) {}
    ~SocketPipe() override { ::close(fd_); }

    bool Send(const std::string& bytes, std::string& error) override
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 1000);
                continue;
            }
            if (n <= 0) {
                error = std::string("send: ") + std::strerror(errno);
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool Read(std::size_t n, std::string& out, int timeoutMs, std::string& error) override
    {
        const std::int64_t deadline = NowMs() + timeoutMs;
        out.resize(n);
        std::size_t got = 0;
        while (got < n) {
            const std::int64_t left = deadline - NowMs();
            if (left <= 0) {
                error = "time-out";
                return false;
            }
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, static_cast<int>(left));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0) {
                error = r == 0 ? "time-out" : std::strerror(errno);
                return false;
            }
            const ssize_t k = ::recv(fd_, out.data() + got, n - got, 0);
            if (k < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (k <= 0) {
                error = k == 0 ? "closed by the server" : std::strerror(errno);
                return false;
            }
            got += static_cast<std::size_t>(k);
        }
        return true;
    }

    bool WaitClosed(int timeoutMs, std::string* received) override
    {
        const std::int64_t deadline = NowMs() + timeoutMs;
        char buffer[4096];
        for (;;) {
            const std::int64_t left = deadline - NowMs();
            if (left <= 0)
                return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            const ssize_t k = ::recv(fd_, buffer, sizeof buffer, 0);
            if (k == 0 || (k < 0 && errno != EINTR && errno != EAGAIN))
                return true;
            if (k > 0 && received)
                received->append(buffer, static_cast<std::size_t>(k));
        }
    }

private:
    int fd_;
};

} // namespace

Client::~Client() { Drop(); }

DecodeLimits Client::Limits()
{
    DecodeLimits l;
    l.maxArrayLength = 1u << 20;
    l.maxStringLength = 1u << 24;
    l.maxByteStringLength = 1u << 24;
    return l;
}

bool Client::fail(const std::string& why)
{
    error_ = why;
    return false;
}

void Client::Drop()
{
    pipe_.reset();
    session_ = false;
}

bool Client::SendRaw(const std::string& bytes)
{
    if (!pipe_)
        return fail("not connected");
    return pipe_->Send(bytes, error_);
}

bool Client::readExact(std::size_t n, std::string& out, int timeoutMs)
{
    if (!pipe_)
        return fail("not connected");
    return pipe_->Read(n, out, timeoutMs, error_);
}

bool Client::readChunk(std::string& chunk, int timeoutMs)
{
    std::string header;
    if (!readExact(kHeaderSize, header, timeoutMs))
        return false;
    const ChunkHeader h = ParseHeader(header);
    if (h.type == MessageType::Invalid || h.size < kHeaderSize || h.size > (1u << 24))
        return fail("bad chunk header");
    std::string rest;
    if (!readExact(h.size - kHeaderSize, rest, timeoutMs))
        return false;
    chunk = header + rest;
    if (h.type == MessageType::Error) {
        Decoder d(std::string_view(chunk).substr(kHeaderSize));
        const ErrorMessage e = d.Get<ErrorMessage>();
        return fail(std::string("server error ") + StatusName(e.error) + ": " + e.reason);
    }
    return true;
}

bool Client::WaitClosed(int timeoutMs, std::string* received)
{
    return pipe_ && pipe_->WaitClosed(timeoutMs, received);
}

bool Client::Connect(const std::string& host, std::uint16_t port, int timeoutMs)
{
    Drop();
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return fail("cannot resolve " + host);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int rc = fd < 0 ? -1 : ::connect(fd, found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    if (rc < 0 && errno != EINPROGRESS) {
        const std::string why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return fail("connect: " + why);
    }
    pollfd p{fd, POLLOUT, 0};
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::poll(&p, 1, timeoutMs) != 1 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
        soError != 0) {
        ::close(fd);
        return fail("connect: " + std::string(soError ? std::strerror(soError) : "time-out"));
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return Connect(std::make_unique<SocketPipe>(fd), "opc.tcp://" + host + ":" + std::to_string(port), timeoutMs);
}

void Client::SetSecurity(const PolicyParams* policy, MessageSecurityMode mode, std::shared_ptr<const LocalIdentity> own,
                         std::shared_ptr<const crypto::Certificate> server)
{
    policy_ = policy;
    mode_ = policy ? mode : MessageSecurityMode::None;
    own_ = std::move(own);
    server_ = std::move(server);
}

bool Client::Connect(std::unique_ptr<ClientPipe> pipe, const std::string& endpointUrl, int timeoutMs)
{
    Drop();
    if (policy_) {
        security_ = MakeClientSecurity(*policy_, own_, server_);
        if (!security_ || !security_->Accept(mode_))
            return fail("the client's or the server's certificate does not fit the policy");
    } else {
        security_ = MakeNoSecurity();
    }
    pipe_ = std::move(pipe);
    endpointUrl_ = endpointUrl;
    sequence_ = 1;
    tokenId_ = previousTokenId_ = 0;
    return handshake(timeoutMs);
}

bool Client::FindEndpoints(const std::string& host, std::uint16_t port, std::vector<EndpointDescription>& endpoints,
                           std::string& error, int timeoutMs)
{
    Client c;
    GetEndpointsRequest request;
    GetEndpointsResponse response;
    if (!c.Connect(host, port, timeoutMs)) {
        error = c.Error();
        return false;
    }
    request.endpointUrl = c.endpointUrl_;
    const StatusCode s = c.Call(enc::GetEndpointsRequest, request, enc::GetEndpointsResponse, response, timeoutMs);
    c.Close();
    if (IsBad(s)) {
        error = std::string("GetEndpoints: ") + StatusName(s);
        return false;
    }
    endpoints = std::move(response.endpoints);
    return true;
}

bool Client::handshake(int timeoutMs)
{
    HelloMessage hello;
    hello.receiveBufferSize = helloReceiveBuffer_;
    hello.sendBufferSize = kBufferSize;
    hello.endpointUrl = endpointUrl_;
    hello.maxMessageSize = helloMaxMessage_;
    hello.maxChunkCount = helloMaxChunks_;
    std::string chunk;
    if (!SendRaw(Framed("HEL", hello)) || !readChunk(chunk, timeoutMs))
        return false;
    Decoder ack(std::string_view(chunk).substr(kHeaderSize));
    const AcknowledgeMessage a = ack.Get<AcknowledgeMessage>();
    if (ParseHeader(chunk).type != MessageType::Acknowledge || !ack.Ok())
        return fail("no Acknowledge");
    sendChunkSize_ = a.receiveBufferSize;

    return openChannel(SecurityTokenRequestType::Issue, 600000, timeoutMs);
}

bool Client::Renew(std::uint32_t lifetimeMs, int timeoutMs)
{
    return openChannel(SecurityTokenRequestType::Renew, lifetimeMs, timeoutMs);
}

bool Client::openChannel(SecurityTokenRequestType type, std::uint32_t lifetimeMs, int timeoutMs)
{
    OpenSecureChannelRequest open;
    open.header.timestamp = Now();
    open.header.requestHandle = ++handle_;
    open.requestType = type;
    open.securityMode = mode_;
    open.clientNonce.data = crypto::Random(security_->NonceLength());
    open.requestedLifetime = lifetimeMs;
    std::string body;
    EncodeMessage(body, enc::OpenSecureChannelRequest, open);
    std::string opn;
    WriteHeader(opn, "OPN", 'F', 0);
    Encoder e(opn);
    e.Number(type == SecurityTokenRequestType::Issue ? std::uint32_t(0) : channelId_);
    const AsymmetricHeader mine = security_->LocalHeader();
    e.String(mine.securityPolicyUri);
    e.ByteString(mine.senderCertificate);
    e.ByteString(mine.receiverCertificateThumbprint);
    const std::size_t securedFrom = opn.size();
    e.Number(sequence_++);
    e.Number(++requestId_);
    opn += body;
    if (!security_->ProtectOpen(opn, securedFrom))
        return fail("cannot secure the OpenSecureChannel request");
    std::string chunk;
    if (!SendRaw(opn) || !readChunk(chunk, timeoutMs))
        return false;
    if (ParseHeader(chunk).type != MessageType::Open)
        return fail("no OpenSecureChannel response");
    Decoder d(std::string_view(chunk).substr(kHeaderSize), Limits());
    d.Number<std::uint32_t>();
    d.String();
    d.ByteString();
    d.ByteString();
    if (!d.Ok())
        return fail("bad OpenSecureChannel response");
    const std::size_t theirsFrom = chunk.size() - d.Remaining();
    if (IsBad(security_->UnprotectOpen(chunk, theirsFrom)))
        return fail("the OpenSecureChannel response fails the security checks");
    Decoder r(std::string_view(chunk).substr(theirsFrom), Limits());
    r.Number<std::uint32_t>();
    r.Number<std::uint32_t>();
    const NodeId responseType = r.Get<NodeId>();
    const OpenSecureChannelResponse response = r.Get<OpenSecureChannelResponse>();
    if (!r.Ok() || !(responseType == NodeId::Numeric(enc::OpenSecureChannelResponse)))
        return fail("bad OpenSecureChannel response");
    if (IsBad(security_->DeriveKeys(response.securityToken.tokenId, open.clientNonce.data, response.serverNonce.data)))
        return fail("the server's nonce does not fit the policy");
    channelId_ = response.securityToken.channelId;
    // The server may still answer with the token before this one; older
    // ones are gone.
    if (previousTokenId_ != 0)
        security_->ForgetToken(previousTokenId_);
    previousTokenId_ = tokenId_;
    tokenId_ = response.securityToken.tokenId;
    return true;
}

std::string Client::makeChunk(const char* type3, char chunkType, std::string_view body, std::uint32_t requestId)
{
    std::string out;
    WriteHeader(out, type3, chunkType, 0);
    Encoder e(out);
    e.Number(channelId_);
    e.Number(usePrevious_ ? previousTokenId_ : tokenId_);
    e.Number(sequence_++);
    e.Number(requestId);
    out.append(body);
    security_->Protect(out);
    return out;
}

std::string Client::MakeChunk(char chunkType, std::string_view body, std::uint32_t requestId)
{
    return makeChunk("MSG", chunkType, body, requestId);
}

std::uint32_t Client::SendBody(const std::string& body)
{
    if (!pipe_)
        return 0;
    const std::uint32_t id = ++requestId_;
    const std::size_t maxBody = security_->MaxBodySize(sendChunkSize_, kHeaderSize + 8 + 8);
    if (maxBody == 0)
        return 0;
    std::string out;
    std::size_t offset = 0;
    do {
        const std::size_t part = std::min(maxBody, body.size() - offset);
        const bool last = offset + part == body.size();
        out += MakeChunk(last ? 'F' : 'C', std::string_view(body).substr(offset, part), id);
        offset += part;
    } while (offset < body.size());
    return SendRaw(out) ? id : 0;
}

bool Client::Receive(std::uint32_t& requestId, std::uint32_t& typeId, std::string& body, int timeoutMs)
{
    std::string message;
    for (;;) {
        std::string chunk;
        if (!readChunk(chunk, timeoutMs))
            return false;
        const ChunkHeader h = ParseHeader(chunk);
        if (h.type != MessageType::Message || chunk.size() < 24)
            return fail("unexpected message");
        if (IsBad(security_->Unprotect(chunk)) || chunk.size() < 24)
            return fail("a response fails the security checks");
        std::memcpy(&requestId, chunk.data() + 20, 4);
        message.append(chunk, 24, std::string::npos);
        if (h.chunkType == 'F')
            break;
        if (h.chunkType == 'A')
            return fail("response aborted");
    }
    Decoder d(message, Limits());
    const NodeId type = d.Get<NodeId>();
    if (!d.Ok())
        return fail("bad response");
    typeId = type.numeric;
    body = message.substr(message.size() - d.Remaining());
    return true;
}

ExtensionObject Client::userToken(const std::string& serverCertificate, const std::string& serverNonce)
{
    if (userName_.empty())
        return ToExtension(enc::AnonymousIdentityToken, AnonymousIdentityToken{kAnonymousPolicyIdOfClient});
    // The password, behind its length and followed by the server's nonce,
    // encrypted with the server's key (RSA-OAEP, as both RSA policies do).
    UserNameIdentityToken user;
    user.policyId = "username";
    user.userName = userName_;
    const auto server = crypto::Certificate::FromDer(serverCertificate);
    std::string plain(4, '\0');
    const auto length = static_cast<std::uint32_t>(password_.size() + serverNonce.size());
    std::memcpy(plain.data(), &length, 4);
    plain += password_;
    plain += serverNonce;
    if (server && server->PublicKey().Encrypt(plain, user.password.data))
        user.encryptionAlgorithm = kRsaOaepUri;
    crypto::Wipe(plain);
    return ToExtension(enc::UserNameIdentityToken, user);
}

bool Client::OpenSession(int timeoutMs, double sessionTimeoutMs)
{
    result_ = sc::Good;
    const bool secured = policy_ != nullptr;
    CreateSessionRequest create;
    create.clientDescription.applicationUri =
        !applicationUri_.empty()                                 ? applicationUri_
        : secured && !own_->certificate->ApplicationUri().empty() ? own_->certificate->ApplicationUri()
                                                                  : "urn:linvaro:ua-client";
    create.clientDescription.applicationName = {"", "linvaro-ua"};
    create.clientDescription.applicationType = ApplicationType::Client;
    create.endpointUrl = endpointUrl_;
    create.sessionName = "linvaro-ua";
    create.clientNonce.data = crypto::Random(32);
    if (secured)
        create.clientCertificate.data = own_->certificate->Der();
    create.requestedSessionTimeout = sessionTimeoutMs;
    CreateSessionResponse created;
    result_ = Call(enc::CreateSessionRequest, create, enc::CreateSessionResponse, created, timeoutMs);
    if (IsBad(result_))
        return fail(std::string("CreateSession: ") + StatusName(result_));
    // The server proves it holds its key: it signed our certificate and nonce.
    if (secured && (created.serverSignature.algorithm != kRsaSha256Uri ||
                    !server_->PublicKey().Verify(create.clientCertificate.data + create.clientNonce.data,
                                                 created.serverSignature.signature.data)))
        return fail("CreateSession: the server's signature does not hold");
    token_ = created.authenticationToken;
    ActivateSessionRequest activate;
    if (secured) {
        activate.clientSignature.algorithm = kRsaSha256Uri;
        own_->key.Sign(created.serverCertificate.data + created.serverNonce.data, activate.clientSignature.signature.data);
    }
    activate.userIdentityToken = userToken(created.serverCertificate.data, created.serverNonce.data);
    ActivateSessionResponse activated;
    result_ = Call(enc::ActivateSessionRequest, activate, enc::ActivateSessionResponse, activated, timeoutMs);
    if (IsBad(result_))
        return fail(std::string("ActivateSession: ") + StatusName(result_));
    session_ = true;
    return true;
}

void Client::Close()
{
    if (!pipe_)
        return;
    if (session_) {
        CloseSessionRequest close;
        CloseSessionResponse closed;
        Call(enc::CloseSessionRequest, close, enc::CloseSessionResponse, closed, 2000);
        session_ = false;
    }
    CloseSecureChannelRequest clo;
    clo.header.requestHandle = ++handle_;
    std::string body;
    EncodeMessage(body, enc::CloseSecureChannelRequest, clo);
    SendRaw(makeChunk("CLO", 'F', body, ++requestId_));
    Drop();
}

} // namespace ua
