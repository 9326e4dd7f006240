#pragma once
// A client's connection to a server core in memory, without sockets: the
// tests, the fuzz target and anything else that wants the whole protocol
// path without the network.
#include "Client.h"
#include "Server.h"

namespace ua {

// The client's end of an in-memory connection to the server core: what the
// client sends goes into a channel of the server, what the channel writes
// is what the client reads. Nothing waits: a read of bytes that are not
// there is a time-out at once.
class LoopbackPipe final : public ClientPipe {
public:
    LoopbackPipe(Server& server, const std::int64_t& clock) : server_(server), clock_(clock)
    {
        ChannelIo io;
        io.write = [this](std::string&& bytes) { out_ += bytes; };
        io.close = [this] { closed_ = true; };
        channel_ = server_.OpenChannel(std::move(io));
        id_ = channel_ ? channel_->Id() : 0;
    }
    // The client goes: the connection drops, as a socket's would.
    ~LoopbackPipe() override { server_.DropChannel(id_); }

    bool Send(const std::string& bytes, std::string& error) override
    {
        if (!channel_) {
            error = "refused: too many channels";
            return false;
        }
        std::size_t offset = 0;
        while (offset < bytes.size() && !closed_ && channel_->Need() > 0) {
            bool chunkDone = false;
            offset += channel_->Feed(bytes.data() + offset, bytes.size() - offset, clock_, chunkDone);
        }
        if (closed_ && offset < bytes.size()) {
            error = "closed by the server";
            return false;
        }
        return true;
    }
    bool Read(std::size_t n, std::string& out, int, std::string& error) override
    {
        if (out_.size() < n) {
            error = closed_ ? "closed by the server" : "time-out";
            return false;
        }
        out = out_.substr(0, n);
        out_.erase(0, n);
        return true;
    }
    bool WaitClosed(int, std::string* received) override
    {
        if (received)
            *received += out_;
        out_.clear();
        return closed_;
    }
    bool Closed() const { return closed_; }
    std::uint32_t Id() const { return id_; }
    const std::string& Pending() const { return out_; }

private:
    Server& server_;
    const std::int64_t& clock_;
    SecureChannel* channel_ = nullptr;
    std::uint32_t id_ = 0;
    std::string out_;
    bool closed_ = false;
};

} // namespace ua
