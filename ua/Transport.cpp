#include "Transport.h"

#include <algorithm>
#include <cstring>

namespace ua {

ChunkHeader ParseHeader(std::string_view bytes)
{
    ChunkHeader h;
    if (bytes.size() < kHeaderSize)
        return h;
    const std::string_view type = bytes.substr(0, 3);
    if (type == "HEL")
        h.type = MessageType::Hello;
    else if (type == "ACK")
        h.type = MessageType::Acknowledge;
    else if (type == "ERR")
        h.type = MessageType::Error;
    else if (type == "RHE")
        h.type = MessageType::ReverseHello;
    else if (type == "MSG")
        h.type = MessageType::Message;
    else if (type == "OPN")
        h.type = MessageType::Open;
    else if (type == "CLO")
        h.type = MessageType::Close;
    h.chunkType = bytes[3];
    std::memcpy(&h.size, bytes.data() + 4, 4);
    return h;
}

void WriteHeader(std::string& out, const char* type3, char chunkType, std::uint32_t size)
{
    out.append(type3, 3);
    out.push_back(chunkType);
    Encoder(out).Number(size);
}

std::size_t ChunkReader::Need() const
{
    if (status_ != sc::Good)
        return 0;
    if (buffer_.size() < kHeaderSize)
        return kHeaderSize - buffer_.size();
    return size_ - buffer_.size();
}

std::size_t ChunkReader::Append(const char* data, std::size_t n)
{
    std::size_t taken = 0;
    while (taken < n && Need() > 0) {
        const std::size_t part = std::min(Need(), n - taken);
        buffer_.append(data + taken, part);
        taken += part;
        if (buffer_.size() == kHeaderSize) {
            const ChunkHeader h = ParseHeader(buffer_);
            const bool knownChunkType = h.chunkType == 'F' || h.chunkType == 'C' || h.chunkType == 'A';
            if (h.type == MessageType::Invalid || !knownChunkType)
                status_ = sc::BadTcpMessageTypeInvalid;
            else if (h.size < kHeaderSize || h.size > max_)
                status_ = sc::BadTcpMessageTooLarge;
            size_ = h.size;
            if (status_ != sc::Good)
                break;
        }
    }
    return taken;
}

std::string ChunkReader::Take()
{
    std::string chunk;
    chunk.swap(buffer_);
    size_ = 0;
    return chunk;
}

} // namespace ua
