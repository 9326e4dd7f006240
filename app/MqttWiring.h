#pragma once
// The Sparkplug B edge node wired into the program: started from section
// "MQTT" of Linvaro.ini when it is enabled, fed by the controller's PortHub,
// logging to the activity log. Main thread only; the node must go before the
// controller (destroying it ends the MQTT session gracefully).
#include <memory>
#include <string>

class EdgeNode;
class MainController;
namespace support {
class SupportLibraries;
}

// nullptr when the section does not enable the node.
std::unique_ptr<EdgeNode> StartMqttEdgeNode(MainController& controller, const support::SupportLibraries& libs);

// linvaro --set-mqtt-password: reads one line (the broker password; without
// echo on a terminal) from standard input and stores it encrypted in the
// folder's Linvaro.ini. Returns the process exit code.
int SetMqttPasswordFromInput(const std::string& home, const support::SupportLibraries& libs);
