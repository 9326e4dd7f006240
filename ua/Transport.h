#pragma once
// UA-TCP: the connection protocol under the secure channel. Every message
// starts with an 8-byte header (three letters of message type, one of chunk
// type, the size including the header). Hello and Acknowledge negotiate
// buffer and message sizes; Error ends a connection with a reason.
//
// ChunkReader takes a byte stream and hands out one complete chunk at a
// time; it asks for no more bytes than the chunk in hand still needs, so a
// caller that reads only Need() bytes never buffers more than one chunk.
#include "Binary.h"

#include <string>
#include <string_view>

namespace ua {

inline constexpr std::size_t kHeaderSize = 8;

enum class MessageType : std::uint8_t { Invalid, Hello, Acknowledge, Error, ReverseHello, Message, Open, Close };

struct ChunkHeader {
    MessageType type = MessageType::Invalid;
    char chunkType = 0; // 'F' final, 'C' intermediate, 'A' abort
    std::uint32_t size = 0;
};

// The header at the front of bytes (at least 8 of them).
ChunkHeader ParseHeader(std::string_view bytes);
void WriteHeader(std::string& out, const char* type3, char chunkType, std::uint32_t size);

struct HelloMessage {
    std::uint32_t protocolVersion = 0;
    std::uint32_t receiveBufferSize = 0;
    std::uint32_t sendBufferSize = 0;
    std::uint32_t maxMessageSize = 0;
    std::uint32_t maxChunkCount = 0;
    std::string endpointUrl;
};
template <class S> void Fields(S& s, HelloMessage& m)
{
    s(m.protocolVersion); s(m.receiveBufferSize); s(m.sendBufferSize); s(m.maxMessageSize); s(m.maxChunkCount);
    s(m.endpointUrl);
}

struct AcknowledgeMessage {
    std::uint32_t protocolVersion = 0;
    std::uint32_t receiveBufferSize = 0;
    std::uint32_t sendBufferSize = 0;
    std::uint32_t maxMessageSize = 0;
    std::uint32_t maxChunkCount = 0;
};
template <class S> void Fields(S& s, AcknowledgeMessage& m)
{
    s(m.protocolVersion); s(m.receiveBufferSize); s(m.sendBufferSize); s(m.maxMessageSize); s(m.maxChunkCount);
}

struct ErrorMessage {
    StatusCode error = sc::Good;
    std::string reason;
};
template <class S> void Fields(S& s, ErrorMessage& m) { s(m.error); s(m.reason); }

// A whole message of one chunk: header and body.
template <class T>
std::string Framed(const char* type3, const T& body)
{
    std::string payload;
    Encoder(payload).Put(body);
    std::string out;
    WriteHeader(out, type3, 'F', static_cast<std::uint32_t>(kHeaderSize + payload.size()));
    out += payload;
    return out;
}

class ChunkReader {
public:
    explicit ChunkReader(std::uint32_t maxChunkSize) : max_(maxChunkSize) {}

    // Bytes still missing from the header or the chunk in hand (0 when a
    // chunk is complete or the stream is bad).
    std::size_t Need() const;
    // Takes up to Need() bytes; returns how many it took.
    std::size_t Append(const char* data, std::size_t n);
    bool HasChunk() const { return status_ == sc::Good && buffer_.size() >= kHeaderSize && buffer_.size() == size_; }
    // Bad when a header is not UA-TCP or announces a size out of bounds.
    StatusCode Status() const { return status_; }
    // The complete chunk; the reader starts over.
    std::string Take();
    void SetMaxChunkSize(std::uint32_t max) { max_ = max; }

private:
    std::uint32_t max_;
    std::string buffer_;
    std::size_t size_ = 0; // announced size once the header is in
    StatusCode status_ = sc::Good;
};

} // namespace ua
