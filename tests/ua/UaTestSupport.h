#pragma once
// The OPC UA server core over real links on pseudo-terminals (COM1 "Scale",
// COM2 "Reader"), with a clock the test moves, and clients that talk to it
// in memory through the same client code the tools use.
#include "LinkFixture.h"
#include "LoopbackPipe.h"
#include "PortHub.h"

#include <QObject>

#include <memory>

// The Error message a closed channel sent last; Good when there was none.
inline ua::StatusCode LastError(const std::string& received)
{
    const std::size_t at = received.rfind("ERRF");
    if (at == std::string::npos)
        return ua::sc::Good;
    ua::Decoder d(std::string_view(received).substr(at + ua::kHeaderSize));
    return d.Get<ua::ErrorMessage>().error;
}

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
    ua::Client& Connect(bool session = true, ua::LoopbackPipe** pipeOut = nullptr)
    {
        auto pipe = std::make_unique<ua::LoopbackPipe>(*server, clock);
        ua::LoopbackPipe* raw = pipe.get();
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
