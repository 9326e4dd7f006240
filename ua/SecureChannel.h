#pragma once
// The server end of one UA-TCP connection and its secure channel: Hello and
// Acknowledge, OpenSecureChannel (issue and renew of security tokens),
// MSG chunks assembled into requests, CloseSecureChannel, and responses cut
// into chunks the client can take. It holds no socket: bytes come in one
// chunk at a time through OnChunk and go out through ChannelIo.
//
// Faults close the channel (after an Error message where UA-TCP has one):
// an unknown message type, a chunk or message over the limits, a message
// before Hello or OpenSecureChannel, a wrong channel or token id, a
// sequence number out of order, an expired token, a signature that does
// not hold, a client certificate the server does not accept.
//
// Under an RSA policy the OpenSecureChannel's asymmetric work (decrypting,
// checking the signature and the client's certificate, then signing and
// encrypting the answer) goes to the worker through ChannelIo::offload.
// Meanwhile the channel takes no bytes (Need() is 0, so TCP holds the
// client back) and holds back what it would send, so that everything keeps
// its order; ChannelIo::resume says when it takes bytes again.
//
// Threads: one thread (the server's); offloaded work runs on the worker
// with its own copies and the channel's security (see SecurityPolicy.h).
#include "Limits.h"
#include "SecurityPolicy.h"
#include "Transport.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace ua {

class SecureChannel;

// Where a channel's bytes go and how it ends. close() must not destroy the
// channel from inside the call; the owner destroys it later.
struct ChannelIo {
    std::function<void(std::string&& bytes)> write;
    std::function<void()> close;
    // Runs work on the worker thread, then done on the channel's thread;
    // false when the worker takes no more (neither runs then). Without it,
    // both run at once, one after the other.
    std::function<bool(std::function<void()> work, std::function<void()> done)> offload;
    // The channel takes bytes again after a pause for offloaded work.
    std::function<void()> resume;
};

// The services behind the channel.
class ChannelHost {
public:
    virtual ~ChannelHost() = default;
    // A complete request: its body starts with the encoding id. The host
    // answers now or later through Respond (or never, for a request that
    // the channel's end makes moot).
    virtual void OnRequest(SecureChannel& channel, std::uint32_t requestId, std::string_view body) = 0;
    // Something an operator should read in the activity log.
    virtual void OnNote(const std::string& text) { (void)text; }
};

class SecureChannel {
public:
    enum class State { AwaitHello, AwaitOpen, Open, Closed };

    // `security` says what the channel offers besides None (null: None
    // alone); it must outlive the channel.
    SecureChannel(std::uint32_t channelId, ChannelHost& host, ChannelIo io, std::int64_t nowMs,
                  std::shared_ptr<const SecurityConfig> security = nullptr);
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    std::uint32_t Id() const { return id_; }
    State GetState() const { return state_; }
    const std::string& EndpointUrl() const { return endpointUrl_; }
    // The channel's security once its first OpenSecureChannel went through
    // (its policy, mode and the client's certificate).
    const ChannelSecurity* Security() const { return state_ == State::Open ? security_.get() : nullptr; }
    std::shared_ptr<ChannelSecurity> SharedSecurity() const { return security_; }
    // Runs work on the worker and done on this thread (see ChannelIo);
    // done does not run when the channel is gone by then.
    bool Offload(std::function<void()> work, std::function<void()> done);

    // Bytes the channel takes before it can act on the next chunk (0 once
    // closed). A caller that reads at most this much never has more than
    // one chunk of a peer in memory.
    std::size_t Need() const;
    // Takes up to Need() bytes; when they complete a chunk it is acted on
    // and chunkDone is set. `nowMs` is a monotonic clock. Returns the bytes
    // taken.
    std::size_t Feed(const char* data, std::size_t n, std::int64_t nowMs, bool& chunkDone);
    // One complete chunk. False when the channel is closed now.
    bool OnChunk(std::string chunk, std::int64_t nowMs);
    // A bad header: Error message, then close.
    void OnStreamFault(StatusCode status);
    // Sends a service response (body with its encoding id first). False
    // when it does not fit the client's limits (nothing was sent).
    bool Respond(std::uint32_t requestId, const std::string& body);
    // Ends the channel: an Error message first when status is bad.
    void Close(StatusCode status, const std::string& reason);
    // The time at which the channel has to be closed if nothing happens
    // (no Hello or no OpenSecureChannel yet, or the token expires).
    std::int64_t Deadline() const;
    // Closes the channel when its deadline has passed.
    void CheckDeadline(std::int64_t nowMs);
    // The largest response the client takes (0: no limit of its own).
    std::uint32_t MaxResponseSize() const;

private:
    struct Token {
        std::uint32_t id = 0;
        std::int64_t createdMs = 0;
        std::uint32_t lifetimeMs = 0;
    };
    struct Pending {
        std::string body;
        std::uint32_t chunks = 0;
    };

    bool onHello(const std::string& chunk);
    bool onOpen(std::string& chunk, std::int64_t nowMs);
    // The rest of an OpenSecureChannel once its chunk is checked.
    bool openChecked(const std::string& chunk, std::size_t securedFrom, std::int64_t nowMs);
    bool sendOpenResponse(std::uint32_t requestId, const std::string& body);
    void output(std::string&& bytes);
    void resume();
    bool onSymmetric(std::string& chunk, const ChunkHeader& h, std::int64_t nowMs);
    bool checkSequence(std::uint32_t sequenceNumber);
    bool fail(StatusCode status, const std::string& reason);
    bool sendChunks(const char* type3, std::uint32_t requestId, const std::string& body);
    bool tokenValid(const Token& t, std::int64_t nowMs) const;
    // The token this end secures its chunks with: the one before a renewal
    // until the client uses the new one.
    const Token& sendToken() const { return previous_.id != 0 ? previous_ : current_; }

    std::uint32_t id_;
    ChannelHost& host_;
    ChannelIo io_;
    State state_ = State::AwaitHello;
    std::int64_t startedMs_;
    std::string endpointUrl_;
    // Negotiated in Hello: what the client takes from us.
    std::uint32_t sendChunkSize_ = limits::kMinChunkSize;
    std::uint32_t clientMaxMessage_ = 0;
    std::uint32_t clientMaxChunks_ = 0;
    ChunkReader reader_{limits::kChunkSize};
    std::shared_ptr<const SecurityConfig> config_;
    std::shared_ptr<ChannelSecurity> security_;
    std::string senderCertificate_; // as the first OpenSecureChannel carried it
    // Offloaded work in flight: no bytes taken, output held back.
    bool busy_ = false;
    bool holding_ = false;
    std::string held_;
    // Offloaded work's way of telling whether the channel is still there.
    std::shared_ptr<char> alive_ = std::make_shared<char>(0);
    Token current_, previous_;
    std::uint32_t nextTokenId_ = 1;
    bool haveSequence_ = false;
    std::uint32_t lastSequence_ = 0;
    std::uint32_t sendSequence_ = 1;
    std::map<std::uint32_t, Pending> pending_; // requests in chunks, by request id
    std::size_t pendingBytes_ = 0;
};

} // namespace ua
