#pragma once
// The program's OPC UA endpoint, from section "OPC UA" of Linvaro.ini:
//   Enabled  1 (default) or 0
//   Port     TCP port, default 4840
//   Listen   the address to listen on, default 127.0.0.1 (the loopback
//            interface); another address, or 0.0.0.0 for every interface,
//            opens the endpoint to the network, which the activity log warns
//            of while the endpoint has no security.
// The keys are read once, at start. A port that cannot be had is reported
// in the activity log and the rest of the program runs on.
//
// Lifetime: the endpoint must go before the controller (it holds the hub).
// Main thread only.
#include <memory>
#include <string>

namespace support {
struct GeneralApi;
}
namespace ua {
class Endpoint;
}
class MainController;

struct UaSettings {
    bool enabled = true;
    int port = 4840;   // 0 when the key holds no port number
    std::string listen = "127.0.0.1";
};

UaSettings ReadUaSettings(const support::GeneralApi& gn, const std::string& iniPath);

// The running endpoint, or null when it is disabled or cannot listen.
std::unique_ptr<ua::Endpoint> StartUaEndpoint(MainController& controller, const support::GeneralApi& gn);
// Ends it (every client connection with it), logging the longest time one
// client's network event and one timer event took on the main thread.
void StopUaEndpoint(MainController& controller, std::unique_ptr<ua::Endpoint>& endpoint);
