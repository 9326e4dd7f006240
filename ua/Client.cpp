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

bool Client::Connect(std::unique_ptr<ClientPipe> pipe, const std::string& endpointUrl, int timeoutMs)
{
    Drop();
    pipe_ = std::move(pipe);
    endpointUrl_ = endpointUrl;
    sequence_ = 1;
    return handshake(timeoutMs);
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
    open.securityMode = MessageSecurityMode::None;
    open.requestedLifetime = lifetimeMs;
    std::string body;
    EncodeMessage(body, enc::OpenSecureChannelRequest, open);
    std::string opn;
    WriteHeader(opn, "OPN", 'F', 0);
    Encoder e(opn);
    e.Number(type == SecurityTokenRequestType::Issue ? std::uint32_t(0) : channelId_);
    e.String(kSecurityPolicyNone);
    e.ByteString({});
    e.ByteString({});
    e.Number(sequence_++);
    e.Number(++requestId_);
    opn += body;
    const auto size = static_cast<std::uint32_t>(opn.size());
    std::memcpy(opn.data() + 4, &size, 4);
    std::string chunk;
    if (!SendRaw(opn) || !readChunk(chunk, timeoutMs))
        return false;
    Decoder d(std::string_view(chunk).substr(kHeaderSize));
    d.Number<std::uint32_t>();
    d.String();
    d.ByteString();
    d.ByteString();
    d.Number<std::uint32_t>();
    d.Number<std::uint32_t>();
    const NodeId responseType = d.Get<NodeId>();
    const OpenSecureChannelResponse response = d.Get<OpenSecureChannelResponse>();
    if (!d.Ok() || !(responseType == NodeId::Numeric(enc::OpenSecureChannelResponse)))
        return fail("bad OpenSecureChannel response");
    channelId_ = response.securityToken.channelId;
    previousTokenId_ = tokenId_;
    tokenId_ = response.securityToken.tokenId;
    return true;
}

std::string Client::MakeChunk(char chunkType, std::string_view body, std::uint32_t requestId)
{
    constexpr std::size_t kOverhead = kHeaderSize + 8 + 8;
    std::string out;
    WriteHeader(out, "MSG", chunkType, static_cast<std::uint32_t>(kOverhead + body.size()));
    Encoder e(out);
    e.Number(channelId_);
    e.Number(usePrevious_ ? previousTokenId_ : tokenId_);
    e.Number(sequence_++);
    e.Number(requestId);
    out.append(body);
    return out;
}

std::uint32_t Client::SendBody(const std::string& body)
{
    if (!pipe_)
        return 0;
    const std::uint32_t id = ++requestId_;
    const std::size_t maxBody = sendChunkSize_ - (kHeaderSize + 8 + 8);
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

bool Client::OpenSession(int timeoutMs, double sessionTimeoutMs)
{
    CreateSessionRequest create;
    create.clientDescription.applicationUri = "urn:linvaro:ua-client";
    create.clientDescription.applicationName = {"", "linvaro-ua"};
    create.clientDescription.applicationType = ApplicationType::Client;
    create.endpointUrl = endpointUrl_;
    create.sessionName = "linvaro-ua";
    create.clientNonce.data = std::string(32, '\x5a');
    create.requestedSessionTimeout = sessionTimeoutMs;
    CreateSessionResponse created;
    StatusCode s = Call(enc::CreateSessionRequest, create, enc::CreateSessionResponse, created, timeoutMs);
    if (IsBad(s))
        return fail(std::string("CreateSession: ") + StatusName(s));
    token_ = created.authenticationToken;
    ActivateSessionRequest activate;
    activate.userIdentityToken = ToExtension(enc::AnonymousIdentityToken, AnonymousIdentityToken{"anonymous"});
    ActivateSessionResponse activated;
    s = Call(enc::ActivateSessionRequest, activate, enc::ActivateSessionResponse, activated, timeoutMs);
    if (IsBad(s))
        return fail(std::string("ActivateSession: ") + StatusName(s));
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
    std::string out;
    WriteHeader(out, "CLO", 'F', static_cast<std::uint32_t>(kHeaderSize + 16 + body.size()));
    Encoder e(out);
    e.Number(channelId_);
    e.Number(tokenId_);
    e.Number(sequence_++);
    e.Number(++requestId_);
    out += body;
    SendRaw(out);
    Drop();
}

} // namespace ua
