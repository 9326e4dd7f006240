#include "SecureChannel.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace ua {

namespace {

constexpr std::size_t kSymmetricHeaderSize = kHeaderSize + 4 + 4; // channel id, token id
constexpr std::size_t kSequenceHeaderSize = 8;
// Sequence numbers may wrap only past this value, to a value below 1024.
constexpr std::uint32_t kSequenceWrapFrom = 4294966271u;

DecodeLimits HeaderLimits()
{
    DecodeLimits l;
    l.maxStringLength = 1024;                         // policy URI
    l.maxByteStringLength = limits::kMaxByteStringLength; // certificates
    return l;
}

} // namespace

SecureChannel::SecureChannel(std::uint32_t channelId, ChannelHost& host, ChannelIo io, std::int64_t nowMs)
    : id_(channelId), host_(host), io_(std::move(io)), startedMs_(nowMs)
{
}

bool SecureChannel::fail(StatusCode status, const std::string& reason)
{
    Close(status, reason);
    return false;
}

void SecureChannel::Close(StatusCode status, const std::string& reason)
{
    if (state_ == State::Closed)
        return;
    if (IsBad(status) && io_.write)
        io_.write(Framed("ERR", ErrorMessage{status, reason}));
    state_ = State::Closed;
    pending_.clear();
    pendingBytes_ = 0;
    if (io_.close)
        io_.close();
}

void SecureChannel::OnStreamFault(StatusCode status)
{
    Close(status, status == sc::BadTcpMessageTooLarge ? "chunk too large" : "not a UA-TCP message");
}

std::int64_t SecureChannel::Deadline() const
{
    switch (state_) {
    case State::AwaitHello:
    case State::AwaitOpen:
        return startedMs_ + limits::kHelloTimeoutMs;
    case State::Open:
        // A token stays usable for a quarter of its lifetime past its end.
        return current_.createdMs + static_cast<std::int64_t>(current_.lifetimeMs) * 5 / 4;
    case State::Closed:
        break;
    }
    return std::numeric_limits<std::int64_t>::max();
}

void SecureChannel::CheckDeadline(std::int64_t nowMs)
{
    if (state_ == State::Closed || nowMs < Deadline())
        return;
    if (state_ == State::Open)
        Close(sc::BadSecureChannelClosed, "security token expired");
    else
        Close(sc::BadTimeout, state_ == State::AwaitHello ? "no Hello" : "no OpenSecureChannel");
}

std::uint32_t SecureChannel::MaxResponseSize() const { return clientMaxMessage_; }

bool SecureChannel::tokenValid(const Token& t, std::int64_t nowMs) const
{
    return t.id != 0 && nowMs < t.createdMs + static_cast<std::int64_t>(t.lifetimeMs) * 5 / 4;
}

bool SecureChannel::checkSequence(std::uint32_t sequenceNumber)
{
    if (haveSequence_) {
        const bool next = sequenceNumber == lastSequence_ + 1;
        const bool wrapped = lastSequence_ > kSequenceWrapFrom && sequenceNumber < 1024;
        if (!next && !wrapped)
            return false;
    }
    haveSequence_ = true;
    lastSequence_ = sequenceNumber;
    return true;
}

bool SecureChannel::OnChunk(std::string chunk, std::int64_t nowMs)
{
    if (state_ == State::Closed)
        return false;
    const ChunkHeader h = ParseHeader(chunk);
    switch (h.type) {
    case MessageType::Hello:
        if (state_ != State::AwaitHello || h.chunkType != 'F')
            return fail(sc::BadTcpMessageTypeInvalid, "unexpected Hello");
        return onHello(chunk);
    case MessageType::Open:
        if (state_ == State::AwaitHello)
            return fail(sc::BadTcpMessageTypeInvalid, "OpenSecureChannel before Hello");
        return onOpen(chunk, nowMs);
    case MessageType::Message:
    case MessageType::Close:
        if (state_ != State::Open)
            return fail(sc::BadTcpSecureChannelUnknown, "no secure channel open");
        return onSymmetric(chunk, h, nowMs);
    default:
        return fail(sc::BadTcpMessageTypeInvalid, "unexpected message type");
    }
}

bool SecureChannel::onHello(const std::string& chunk)
{
    DecodeLimits l;
    l.maxStringLength = limits::kMaxEndpointUrlLength;
    Decoder d(std::string_view(chunk).substr(kHeaderSize), l);
    HelloMessage hello = d.Get<HelloMessage>();
    if (d.Status() == sc::BadEncodingLimitsExceeded)
        return fail(sc::BadTcpEndpointUrlInvalid, "endpoint URL too long");
    if (!d.Ok() || d.Remaining() != 0)
        return fail(sc::BadTcpMessageTypeInvalid, "malformed Hello");
    if (hello.receiveBufferSize < limits::kMinChunkSize || hello.sendBufferSize < limits::kMinChunkSize)
        return fail(sc::BadTcpInternalError, "buffer sizes below 8192");
    endpointUrl_ = hello.endpointUrl;
    sendChunkSize_ = std::min(limits::kChunkSize, hello.receiveBufferSize);
    clientMaxMessage_ = hello.maxMessageSize;
    clientMaxChunks_ = hello.maxChunkCount;
    const std::uint32_t receiveSize = std::min(limits::kChunkSize, hello.sendBufferSize);
    reader_.SetMaxChunkSize(receiveSize);
    AcknowledgeMessage ack;
    ack.protocolVersion = 0;
    ack.receiveBufferSize = receiveSize;
    ack.sendBufferSize = sendChunkSize_;
    ack.maxMessageSize = limits::kMaxRequestMessage;
    ack.maxChunkCount = limits::kMaxRequestChunks;
    io_.write(Framed("ACK", ack));
    state_ = State::AwaitOpen;
    return true;
}

bool SecureChannel::onOpen(std::string& chunk, std::int64_t nowMs)
{
    if (ParseHeader(chunk).chunkType != 'F')
        return fail(sc::BadTcpMessageTypeInvalid, "OpenSecureChannel in chunks");
    Decoder d(std::string_view(chunk).substr(kHeaderSize), HeaderLimits());
    const auto channelId = d.Number<std::uint32_t>();
    AsymmetricHeader ah;
    ah.securityPolicyUri = d.String();
    ah.senderCertificate = d.ByteString();
    ah.receiverCertificateThumbprint = d.ByteString();
    if (!d.Ok())
        return fail(sc::BadTcpMessageTypeInvalid, "malformed security header");
    const std::size_t securedFrom = chunk.size() - d.Remaining();

    const bool renew = state_ == State::Open;
    if (!renew) {
        if (channelId != 0)
            return fail(sc::BadTcpSecureChannelUnknown, "unknown secure channel");
        StatusCode error = sc::Good;
        security_ = MakeChannelSecurity(ah, error);
        if (!security_)
            return fail(error, "security policy not supported");
    } else if (channelId != id_ || ah.securityPolicyUri != security_->PolicyUri()) {
        return fail(sc::BadSecurityChecksFailed, "renewal on another channel or policy");
    }
    if (const StatusCode s = security_->Unprotect(true, chunk, securedFrom); IsBad(s))
        return fail(s, "security checks failed");

    Decoder body(std::string_view(chunk).substr(securedFrom));
    const auto sequenceNumber = body.Number<std::uint32_t>();
    const auto requestId = body.Number<std::uint32_t>();
    const NodeId typeId = body.Get<NodeId>();
    OpenSecureChannelRequest request = body.Get<OpenSecureChannelRequest>();
    if (!body.Ok() || !(typeId == NodeId::Numeric(enc::OpenSecureChannelRequest)))
        return fail(sc::BadDecodingError, "malformed OpenSecureChannel request");
    if (!checkSequence(sequenceNumber))
        return fail(sc::BadSequenceNumberInvalid, "sequence number out of order");
    const bool wantsRenew = request.requestType == SecurityTokenRequestType::Renew;
    if (wantsRenew != renew || (request.requestType != SecurityTokenRequestType::Issue && !wantsRenew))
        return fail(sc::BadRequestTypeInvalid, renew ? "issue on an open channel" : "renew before issue");
    if (!security_->Accepts(request.securityMode))
        return fail(sc::BadSecurityModeRejected, "security mode not offered");

    Token token;
    token.id = nextTokenId_++;
    token.createdMs = nowMs;
    token.lifetimeMs = request.requestedLifetime == 0
                           ? limits::kDefaultTokenLifetimeMs
                           : std::clamp(request.requestedLifetime, limits::kMinTokenLifetimeMs,
                                        limits::kMaxTokenLifetimeMs);
    OpenSecureChannelResponse response;
    if (const StatusCode s = security_->NewToken(token.id, request.clientNonce.data, response.serverNonce.data);
        IsBad(s))
        return fail(s, "client nonce rejected");
    // The old token stays good until the client uses the new one.
    if (renew)
        previous_ = current_;
    current_ = token;
    state_ = State::Open;

    response.header.timestamp = Now();
    response.header.requestHandle = request.header.requestHandle;
    response.serverProtocolVersion = 0;
    response.securityToken.channelId = id_;
    response.securityToken.tokenId = token.id;
    response.securityToken.createdAt = response.header.timestamp;
    response.securityToken.revisedLifetime = token.lifetimeMs;
    std::string out;
    EncodeMessage(out, enc::OpenSecureChannelResponse, response);
    sendChunks("OPN", requestId, out, true);
    return state_ != State::Closed;
}

bool SecureChannel::onSymmetric(std::string& chunk, const ChunkHeader& h, std::int64_t nowMs)
{
    if (chunk.size() < kSymmetricHeaderSize + kSequenceHeaderSize)
        return fail(sc::BadTcpMessageTypeInvalid, "chunk too short");
    std::uint32_t channelId = 0, tokenId = 0;
    std::memcpy(&channelId, chunk.data() + kHeaderSize, 4);
    std::memcpy(&tokenId, chunk.data() + kHeaderSize + 4, 4);
    if (channelId != id_)
        return fail(sc::BadTcpSecureChannelUnknown, "wrong secure channel id");
    if (tokenId == current_.id && tokenValid(current_, nowMs)) {
        previous_ = Token(); // the client moved to the new token
    } else if (!(tokenId == previous_.id && tokenValid(previous_, nowMs))) {
        return fail(sc::BadSecureChannelTokenUnknown, "unknown or expired security token");
    }
    if (const StatusCode s = security_->Unprotect(false, chunk, kSymmetricHeaderSize); IsBad(s))
        return fail(s, "security checks failed");
    if (chunk.size() < kSymmetricHeaderSize + kSequenceHeaderSize)
        return fail(sc::BadTcpMessageTypeInvalid, "chunk too short");
    std::uint32_t sequenceNumber = 0, requestId = 0;
    std::memcpy(&sequenceNumber, chunk.data() + kSymmetricHeaderSize, 4);
    std::memcpy(&requestId, chunk.data() + kSymmetricHeaderSize + 4, 4);
    if (!checkSequence(sequenceNumber))
        return fail(sc::BadSequenceNumberInvalid, "sequence number out of order");

    if (h.type == MessageType::Close) {
        // The client ends the channel; no answer.
        Close(sc::Good, {});
        return false;
    }
    const std::string_view part = std::string_view(chunk).substr(kSymmetricHeaderSize + kSequenceHeaderSize);
    if (h.chunkType == 'A') {
        if (auto it = pending_.find(requestId); it != pending_.end()) {
            pendingBytes_ -= it->second.body.size();
            pending_.erase(it);
        }
        return true;
    }
    Pending& p = pending_[requestId];
    p.body.append(part);
    pendingBytes_ += part.size();
    ++p.chunks;
    if (pendingBytes_ > limits::kMaxRequestMessage || p.chunks > limits::kMaxRequestChunks)
        return fail(sc::BadTcpMessageTooLarge, "request message too large");
    if (h.chunkType != 'F')
        return true;
    std::string body = std::move(p.body);
    pendingBytes_ -= body.size();
    pending_.erase(requestId);
    host_.OnRequest(*this, requestId, body);
    return state_ != State::Closed;
}

bool SecureChannel::Respond(std::uint32_t requestId, const std::string& body)
{
    if (state_ != State::Open)
        return true; // nobody to answer; the request is moot
    return sendChunks("MSG", requestId, body, false);
}

bool SecureChannel::sendChunks(const char* type3, std::uint32_t requestId, const std::string& body, bool asymmetric)
{
    std::string securityHeader;
    {
        Encoder e(securityHeader);
        e.Number(id_);
        if (asymmetric) {
            const AsymmetricHeader ah = security_->ServerHeader();
            e.String(ah.securityPolicyUri);
            e.ByteString(ah.senderCertificate);
            e.ByteString(ah.receiverCertificateThumbprint);
        } else {
            e.Number(current_.id);
        }
    }
    const std::size_t headerSize = kHeaderSize + securityHeader.size() + kSequenceHeaderSize;
    const std::size_t maxBody = security_->MaxBodySize(asymmetric, sendChunkSize_, headerSize);
    if (maxBody == 0)
        return false;
    const std::size_t chunks = std::max<std::size_t>(1, (body.size() + maxBody - 1) / maxBody);
    if ((clientMaxChunks_ != 0 && chunks > clientMaxChunks_) ||
        (clientMaxMessage_ != 0 && body.size() > clientMaxMessage_))
        return false;
    std::string out;
    out.reserve(body.size() + chunks * (headerSize + 64));
    for (std::size_t i = 0; i < chunks; ++i) {
        const std::string_view part = std::string_view(body).substr(i * maxBody, maxBody);
        std::string chunk;
        chunk.reserve(headerSize + part.size() + 64);
        WriteHeader(chunk, type3, i + 1 == chunks ? 'F' : 'C', 0);
        chunk += securityHeader;
        const std::size_t securedFrom = chunk.size();
        Encoder e(chunk);
        e.Number(sendSequence_);
        sendSequence_ = sendSequence_ >= kSequenceWrapFrom ? 1 : sendSequence_ + 1;
        e.Number(requestId);
        chunk.append(part);
        security_->Protect(asymmetric, chunk, securedFrom);
        out += chunk;
    }
    io_.write(std::move(out));
    return true;
}

std::size_t SecureChannel::Need() const { return state_ == State::Closed ? 0 : reader_.Need(); }

std::size_t SecureChannel::Feed(const char* data, std::size_t n, std::int64_t nowMs, bool& chunkDone)
{
    chunkDone = false;
    if (state_ == State::Closed)
        return n;
    const std::size_t taken = reader_.Append(data, n);
    if (IsBad(reader_.Status())) {
        OnStreamFault(reader_.Status());
        return n;
    }
    if (reader_.HasChunk()) {
        chunkDone = true;
        std::string chunk = reader_.Take();
        // The first message of a connection must be a Hello.
        if (state_ == State::AwaitHello && ParseHeader(chunk).type != MessageType::Hello) {
            fail(sc::BadTcpMessageTypeInvalid, "expected Hello");
            return taken;
        }
        OnChunk(std::move(chunk), nowMs);
    }
    return taken;
}

} // namespace ua
