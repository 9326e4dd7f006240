#pragma once
// Connects the in-process OPC server to the program's controller: the tag
// table becomes the server's address space, a client's synchronous write
// goes to the port of its tag, and the controller's pulse, shutdown request
// and connected-count hooks reach the table of live server objects.
//
// Lifetime: the controller must outlive the connection. Call
// DisconnectOpcServer before the controller is destroyed (program exit); it
// discards every server object first, so no client call can reach the tag
// table or the links afterwards. Main thread only.

#include <functional>
#include <string>

class MainController;
namespace opcdbus {
class BusServer;
}

void ConnectOpcServer(MainController& controller);
void DisconnectOpcServer(MainController& controller);

// What the bus server may keep for a client that stops reading, from section
// "OPC Server" of Linvaro.ini (read by iniValue(section, key), empty when
// missing): ClientBacklogBytes (default 8388608) and ClientStallSeconds
// (default 60); a value that is not a positive whole number keeps the
// default. A client dropped for not reading is named in the activity log.
void ConfigureOpcBus(opcdbus::BusServer& bus, MainController& controller,
                     const std::function<std::string(const char* section, const char* key)>& iniValue);
