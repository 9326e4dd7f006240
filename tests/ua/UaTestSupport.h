#pragma once
// The OPC UA server core over real links on pseudo-terminals (COM1 "Scale",
// COM2 "Reader"), with a clock the test moves, and clients that talk to it
// in memory through the same client code the tools use.
#include "Client.h"
#include "LinkFixture.h"
#include "PortHub.h"
#include "Server.h"

#include <QObject>

#include <memory>

// The client's end of an in-memory connection to the server core: what the
// client sends goes into a channel of the server, what the channel writes
// is what the client reads. Nothing waits: a read of bytes that are not
// there is a time-out at once.
class MemoryPipe final : public ua::ClientPipe {
public:
    MemoryPipe(ua::Server& server, const std::int64_t& clock) : server_(server), clock_(clock)
    {
        ua::ChannelIo io;
        io.write = [this](std::string&& bytes) { out_ += bytes; };
        io.close = [this] { closed_ = true; };
        channel_ = server_.OpenChannel(std::move(io));
        id_ = channel_ ? channel_->Id() : 0;
    }
    // The client goes: the connection drops, as a socket's would.
    ~MemoryPipe() override { server_.DropChannel(id_); }

    bool Send(const std::string& bytes, std::string& error) override
    {
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
    ua::Server& server_;
    const std::int64_t& clock_;
    ua::SecureChannel* channel_ = nullptr;
    std::uint32_t id_ = 0;
    std::string out_;
    bool closed_ = false;
};

class UaServerFixture : public LinkFixture {
protected:
    void SetUp() override
    {
        LinkFixture::SetUp();
        hub = std::make_unique<PortHub>(*list, &tags);
        TPortSetting scale = MakeSetting("Scale", "COM1");
        scale[psAUTO_SUFFIX] = "\r\n";
        Build({scale, MakeSetting("Reader", "COM2")});
        list->StartAll();
        server = std::make_unique<ua::Server>(hub.get(), ua::ServerConfig{}, [this] { return clock; });
        QObject::connect(hub.get(), &PortHub::tagChanged, [this](int i) { server->TagChanged(i); });
        QObject::connect(hub.get(), &PortHub::portStateChanged, [this](int i) { server->PortStateChanged(i); });
        QObject::connect(hub.get(), &PortHub::portsReloaded, [this] { server->PortsReloaded(); });
    }
    void TearDown() override
    {
        clients.clear();
        QObject::disconnect(hub.get(), nullptr, nullptr, nullptr);
        server.reset();
        list->StopAll();
        hub.reset();
        LinkFixture::TearDown();
    }

    // A client with an open channel (and, by default, an active session).
    ua::Client& Connect(bool session = true, MemoryPipe** pipeOut = nullptr)
    {
        auto pipe = std::make_unique<MemoryPipe>(*server, clock);
        MemoryPipe* raw = pipe.get();
        clients.push_back(std::make_unique<ua::Client>());
        ua::Client& c = *clients.back();
        EXPECT_TRUE(c.Connect(std::move(pipe), "opc.tcp://localhost:4840", 0)) << c.Error();
        if (session) {
            EXPECT_TRUE(c.OpenSession(0)) << c.Error();
        }
        if (pipeOut)
            *pipeOut = raw;
        return c;
    }
    // Moves the clock and lets the server do what is due.
    void Advance(std::int64_t ms)
    {
        const std::int64_t end = clock + ms;
        while (clock < end) {
            clock = std::min(end, std::max(clock + 1, std::min(end, server->NextDeadline())));
            server->Tick();
        }
    }
    // A string framed on a port, seen by the tag table.
    void Frame(int port, const std::string& text)
    {
        const std::uint64_t before = hub->Port(port).counters.stringsReceived;
        ASSERT_TRUE(ptys[static_cast<std::size_t>(port)].write(text + "\r"));
        ASSERT_TRUE(WaitFor([&] { return hub->Port(port).counters.stringsReceived > before; }));
    }

    std::int64_t clock = 1000000;
    std::unique_ptr<PortHub> hub;
    std::unique_ptr<ua::Server> server;
    std::vector<std::unique_ptr<ua::Client>> clients;
};
