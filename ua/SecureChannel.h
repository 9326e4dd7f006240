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
// sequence number out of order, an expired token.
//
// Threads: one thread (the server's).
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
};

// The services behind the channel.
class ChannelHost {
public:
    virtual ~ChannelHost() = default;
    // A complete request: its body starts with the encoding id. The host
    // answers now or later through Respond (or never, for a request that
    // the channel's end makes moot).
    virtual void OnRequest(SecureChannel& channel, std::uint32_t requestId, std::string_view body) = 0;
};

class SecureChannel {
public:
    enum class State { AwaitHello, AwaitOpen, Open, Closed };

    SecureChannel(std::uint32_t channelId, ChannelHost& host, ChannelIo io, std::int64_t nowMs);
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    std::uint32_t Id() const { return id_; }
    State GetState() const { return state_; }
    const std::string& EndpointUrl() const { return endpointUrl_; }
    const ChannelSecurity* Security() const { return security_.get(); }

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
    bool onSymmetric(std::string& chunk, const ChunkHeader& h, std::int64_t nowMs);
    bool checkSequence(std::uint32_t sequenceNumber);
    bool fail(StatusCode status, const std::string& reason);
    bool sendChunks(const char* type3, std::uint32_t requestId, const std::string& body, bool asymmetric);
    bool tokenValid(const Token& t, std::int64_t nowMs) const;

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
    std::unique_ptr<ChannelSecurity> security_;
    Token current_, previous_;
    std::uint32_t nextTokenId_ = 1;
    bool haveSequence_ = false;
    std::uint32_t lastSequence_ = 0;
    std::uint32_t sendSequence_ = 1;
    std::map<std::uint32_t, Pending> pending_; // requests in chunks, by request id
    std::size_t pendingBytes_ = 0;
};

} // namespace ua
