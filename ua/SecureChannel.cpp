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

SecureChannel::SecureChannel(std::uint32_t channelId, ChannelHost& host, ChannelIo io, std::int64_t nowMs,
                             std::shared_ptr<const SecurityConfig> security)
    : id_(channelId), host_(host), io_(std::move(io)), startedMs_(nowMs), config_(std::move(security))
{
}

bool SecureChannel::Offload(std::function<void()> work, std::function<void()> done)
{
    std::weak_ptr<char> alive = alive_;
    auto guarded = [alive, done = std::move(done)] {
        if (alive.lock())
            done();
    };
    if (io_.offload)
        return io_.offload(std::move(work), std::move(guarded));
    work();
    guarded();
    return true;
}

void SecureChannel::output(std::string&& bytes)
{
    if (holding_)
        held_ += bytes;
    else if (io_.write)
        io_.write(std::move(bytes));
}

void SecureChannel::resume()
{
    if (state_ != State::Closed && io_.resume)
        io_.resume();
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
    held_.clear();
    holding_ = false;
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
        security_ = MakeChannelSecurity(ah, config_.get(), error);
        if (!security_)
            return fail(error, error == sc::BadSecurityPolicyRejected ? "security policy not offered"
                                                                      : "client certificate not usable");
        senderCertificate_ = ah.senderCertificate;
    } else if (channelId != id_ || ah.securityPolicyUri != security_->PolicyUri() ||
               (security_->Costly() && ah.senderCertificate != senderCertificate_)) {
        return fail(sc::BadSecurityChecksFailed, "renewal on another channel, policy or certificate");
    }
    if (!security_->Costly()) {
        if (const StatusCode s = security_->UnprotectOpen(chunk, securedFrom); IsBad(s))
            return fail(s, "security checks failed");
        return openChecked(chunk, securedFrom, nowMs);
    }

    // RSA work off the main thread: decrypt, check the signature, and on
    // the first open the client's certificate.
    struct Job {
        std::string chunk;
        StatusCode status = sc::Good;
        CertificateVerdict verdict;
    };
    auto job = std::make_shared<Job>();
    job->chunk = std::move(chunk);
    busy_ = true;
    const bool queued = Offload(
        [job, security = security_, config = config_, securedFrom, renew] {
            job->status = security->UnprotectOpen(job->chunk, securedFrom);
            if (IsGood(job->status) && !renew && config && config->validate)
                job->verdict = config->validate(*security->RemoteCertificate(), security->RemoteChain());
        },
        [this, job, securedFrom, nowMs] {
            busy_ = false;
            if (state_ == State::Closed)
                return;
            if (!job->verdict.note.empty())
                host_.OnNote(job->verdict.note);
            if (IsBad(job->status)) {
                fail(job->status, "security checks failed");
                return;
            }
            if (IsBad(job->verdict.status)) {
                fail(job->verdict.status, std::string("client certificate rejected: ") + StatusName(job->verdict.status));
                return;
            }
            if (openChecked(job->chunk, securedFrom, nowMs) && !busy_)
                resume();
        });
    if (!queued) {
        busy_ = false;
        return fail(sc::BadTcpServerTooBusy, "too many connections opening at once");
    }
    return state_ != State::Closed;
}

bool SecureChannel::openChecked(const std::string& chunk, std::size_t securedFrom, std::int64_t nowMs)
{
    const bool renew = state_ == State::Open;
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
    if (!security_->Accept(request.securityMode) ||
        (security_->Costly() && !(config_ && config_->Offers(security_->PolicyUri(), request.securityMode))))
        return fail(sc::BadSecurityModeRejected, "security mode not offered");

    Token token;
    token.id = nextTokenId_++;
    token.createdMs = nowMs;
    token.lifetimeMs = request.requestedLifetime == 0
                           ? limits::kDefaultTokenLifetimeMs
                           : std::clamp(request.requestedLifetime, limits::kMinTokenLifetimeMs,
                                        limits::kMaxTokenLifetimeMs);
    OpenSecureChannelResponse response;
    const std::size_t nonceLength = security_->NonceLength();
    if (nonceLength != 0) {
        if (request.clientNonce.data.size() != nonceLength)
            return fail(sc::BadNonceInvalid, "client nonce of the wrong length");
        response.serverNonce.data = crypto::Random(nonceLength);
        if (response.serverNonce.data.size() != nonceLength)
            return fail(sc::BadInternalError, "no random numbers");
    }
    if (const StatusCode s = security_->DeriveKeys(token.id, request.clientNonce.data, response.serverNonce.data);
        IsBad(s))
        return fail(s, "client nonce rejected");
    // The old token stays good until the client uses the new one.
    if (renew) {
        if (previous_.id != 0)
            security_->ForgetToken(previous_.id);
        previous_ = current_;
    }
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
    return sendOpenResponse(requestId, out);
}

bool SecureChannel::sendOpenResponse(std::uint32_t requestId, const std::string& body)
{
    std::string chunk;
    WriteHeader(chunk, "OPN", 'F', 0);
    {
        Encoder e(chunk);
        e.Number(id_);
        const AsymmetricHeader ah = security_->LocalHeader();
        e.String(ah.securityPolicyUri);
        e.ByteString(ah.senderCertificate);
        e.ByteString(ah.receiverCertificateThumbprint);
    }
    const std::size_t securedFrom = chunk.size();
    if (body.size() > security_->MaxOpenBodySize(sendChunkSize_, securedFrom + kSequenceHeaderSize))
        return fail(sc::BadTcpMessageTooLarge, "OpenSecureChannel response does not fit a chunk");
    {
        Encoder e(chunk);
        e.Number(sendSequence_);
        sendSequence_ = sendSequence_ >= kSequenceWrapFrom ? 1 : sendSequence_ + 1;
        e.Number(requestId);
    }
    chunk += body;
    if (!security_->Costly()) {
        security_->ProtectOpen(chunk, securedFrom);
        output(std::move(chunk));
        return state_ != State::Closed;
    }
    // Signing and encrypting go to the worker; what the channel sends
    // meanwhile waits behind the answer.
    struct Job {
        std::string chunk;
        bool ok = false;
    };
    auto job = std::make_shared<Job>();
    job->chunk = std::move(chunk);
    busy_ = true;
    holding_ = true;
    const bool queued = Offload([job, security = security_,
                                 securedFrom] { job->ok = security->ProtectOpen(job->chunk, securedFrom); },
                                [this, job] {
                                    busy_ = false;
                                    holding_ = false;
                                    if (state_ == State::Closed)
                                        return;
                                    if (!job->ok) {
                                        fail(sc::BadInternalError, "cannot sign the OpenSecureChannel response");
                                        return;
                                    }
                                    std::string out = std::move(job->chunk);
                                    out += held_;
                                    held_.clear();
                                    io_.write(std::move(out));
                                    resume();
                                });
    if (!queued) {
        busy_ = false;
        holding_ = false;
        return fail(sc::BadTcpServerTooBusy, "too many connections opening at once");
    }
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
        // The client moved to the new token: so does this end.
        if (previous_.id != 0) {
            security_->ForgetToken(previous_.id);
            previous_ = Token();
        }
    } else if (!(tokenId == previous_.id && tokenValid(previous_, nowMs))) {
        return fail(sc::BadSecureChannelTokenUnknown, "unknown or expired security token");
    }
    if (const StatusCode s = security_->Unprotect(chunk); IsBad(s))
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
    return sendChunks("MSG", requestId, body);
}

bool SecureChannel::sendChunks(const char* type3, std::uint32_t requestId, const std::string& body)
{
    std::string securityHeader;
    {
        Encoder e(securityHeader);
        e.Number(id_);
        e.Number(sendToken().id);
    }
    const std::size_t headerSize = kHeaderSize + securityHeader.size() + kSequenceHeaderSize;
    const std::size_t maxBody = security_->MaxBodySize(sendChunkSize_, headerSize);
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
        Encoder e(chunk);
        e.Number(sendSequence_);
        sendSequence_ = sendSequence_ >= kSequenceWrapFrom ? 1 : sendSequence_ + 1;
        e.Number(requestId);
        chunk.append(part);
        if (!security_->Protect(chunk))
            return false;
        out += chunk;
    }
    output(std::move(out));
    return true;
}

std::size_t SecureChannel::Need() const { return state_ == State::Closed || busy_ ? 0 : reader_.Need(); }

std::size_t SecureChannel::Feed(const char* data, std::size_t n, std::int64_t nowMs, bool& chunkDone)
{
    chunkDone = false;
    if (state_ == State::Closed)
        return n;
    if (busy_)
        return 0;
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
