// The OPC UA endpoint's message decoding and the services behind it, fed
// arbitrary bytes through the server core (no sockets). The first byte
// picks where the bytes go:
//   0: a connection's stream from its first byte (UA-TCP, secure channel)
//   1: one service request body on an open channel with an active session
//   2: chunks on an open channel with an active session
// then the clock moves on so time-outs and publishing run.
//
// What must hold for any input: no crash, leak or undefined behaviour (the
// sanitizers), and a well-behaved client is served afterwards.
#include "CommObjList.h"
#include "Globals.h"
#include "LoopbackPipe.h"
#include "MakeSetting.h"
#include "PortHub.h"
#include "RecordingHost.h"
#include "opcDAHeader.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Rig {
    Rig()
    {
        // Ports that exist in the settings but are not started: the
        // address space has their nodes, no device is opened.
        std::vector<TCommObjList::GridRow> rows;
        rows.emplace_back(1, MakeSetting("Scale", "COM1"));
        rows.emplace_back(2, MakeSetting("Reader", "COM2"));
        LinkConfig config;
        config.programFolder = "/nonexistent/";
        links.Rebuild(rows, config);
        hub = std::make_unique<PortHub>(links, &tags);
    }
    RecordingHost host;
    TTagTable tags;
    RemoteTagLibrary remote;
    TCommObjList links{host, &tags, &remote};
    std::unique_ptr<PortHub> hub;
};

void MustServe(ua::Server& server, const std::int64_t& clock)
{
    ua::Client good;
    if (!good.Connect(std::make_unique<ua::LoopbackPipe>(server, clock), "opc.tcp://fuzz", 0) || !good.OpenSession(0))
        std::abort();
    ua::ReadRequest r;
    r.nodesToRead = {ua::ReadValueId{ua::NodeId(1, "Scale_COM1"), 13, "", {}}};
    ua::ReadResponse response;
    if (good.Call(ua::enc::ReadRequest, r, ua::enc::ReadResponse, response) != ua::sc::Good ||
        response.results.size() != 1)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Rig rig;
    if (size < 1)
        return 0;
    std::int64_t clock = 1000;
    ua::Server server(rig.hub.get(), ua::ServerConfig{}, [&clock] { return clock; });
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    {
        ua::Client c;
        auto pipe = std::make_unique<ua::LoopbackPipe>(server, clock);
        switch (data[0] % 3) {
        case 0: {
            std::string error;
            pipe->Send(input, error);
            break;
        }
        case 1:
            if (c.Connect(std::move(pipe), "opc.tcp://fuzz", 0) && c.OpenSession(0))
                c.SendBody(input);
            break;
        default:
            if (c.Connect(std::move(pipe), "opc.tcp://fuzz", 0) && c.OpenSession(0))
                c.SendRaw(input);
            break;
        }
        for (int i = 0; i < 3; ++i) {
            clock += 4000;
            server.Tick();
        }
    }
    MustServe(server, clock);
    return 0;
}
