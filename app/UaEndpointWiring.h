#pragma once
// The program's OPC UA endpoint, from section "OPC UA" of Linvaro.ini:
//   Enabled  1 (default) or 0
//   Port     TCP port, default 4840
//   Listen   the address to listen on, default 127.0.0.1 (the loopback
//            interface); another address, or 0.0.0.0 for every interface,
//            opens the endpoint to the network.
//   SecurityPolicies   the secured policies offered, each with the modes
//            Sign and SignAndEncrypt: "Basic256Sha256, Aes128_Sha256_RsaOaep"
//            (default), a part of it, or empty for none
//   AllowSecurityNone  channels and sessions without security; default 1 on
//            the loopback interface, 0 elsewhere
//   AllowAnonymous     sessions without a user name; the same defaults
//   TrustNewClients    0 (default); 1 trusts a client certificate at its
//            first connection (for commissioning)
// None or Anonymous allowed off the loopback interface is warned of in the
// activity log at every start. The certificates are in <home>/pki, the
// users in <home>/OpcUaUsers.txt (see ua/Pki.h, ua/Users.h).
// The keys are read once, at start. A port that cannot be had is reported
// in the activity log and the rest of the program runs on.
//
// Lifetime: the endpoint must go before the controller (it holds the hub).
// Main thread only.
#include <memory>
#include <string>
#include <vector>

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
    std::vector<std::string> policies{"Basic256Sha256", "Aes128_Sha256_RsaOaep"};
    bool allowNone = true;
    bool allowAnonymous = true;
    bool trustNewClients = false;
    // Policy names the key held that are not known (logged).
    std::vector<std::string> unknownPolicies;
};

UaSettings ReadUaSettings(const support::GeneralApi& gn, const std::string& iniPath);

// The running endpoint, or null when it is disabled or cannot listen.
std::unique_ptr<ua::Endpoint> StartUaEndpoint(MainController& controller, const support::GeneralApi& gn);
// Ends it (every client connection with it), logging the longest time one
// client's network event and one timer event took on the main thread.
// `linvaro --add-ua-user NAME [read|write]`: asks for the password (read
// from standard input without echo on a terminal, as a line otherwise) and
// stores the user in the home folder's users file. The exit code.
int AddUaUserFromInput(const std::string& home, const std::string& name, const std::string& role);
void StopUaEndpoint(MainController& controller, std::unique_ptr<ua::Endpoint>& endpoint);
