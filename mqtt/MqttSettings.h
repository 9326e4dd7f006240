#pragma once
// The edge node's settings: section "MQTT" of Linvaro.ini, read through the
// general support library like the system settings. The broker password is
// stored encrypted by the security library, exactly as the settings password.
#include "SupportLibraries.h"

#include <string>

struct MqttSettings {
    bool enabled = false;        // "Enabled"
    std::string broker;          // "Broker": tcp://host:1883 or ssl://host:8883
    std::string clientId;        // "Client ID"; default: the edge node id
    std::string username;        // "Username"
    std::string password;        // "Password" (stored encrypted), plain in memory only
    std::string caFile;          // "CA File": trusted authorities for the broker's certificate
    std::string certificate;     // "Certificate": this node's client certificate (PEM)
    std::string key;             // "Key": its private key (PEM)
    std::string groupId = "Linvaro"; // "Group ID"
    std::string edgeNodeId;      // "Edge Node ID"; default: the host name
    std::string primaryHostId;   // "Primary Host ID": publish only while that host is online
    int keepAlive = 30;          // "Keep Alive", seconds (5 .. 3600)
    int storeLimit = 10000;      // "Store Limit": values kept while the broker is unreachable (0 .. 1000000)
};

inline constexpr const char* kMqttSection = "MQTT";

// Reads every key; ids that cannot be topic levels are made usable (their
// '+', '#', '/' replaced), numbers outside their range are clamped, and a
// number that is not one keeps its default.
MqttSettings ReadMqttSettings(const support::GeneralApi& gn, const support::SecurityApi& sc,
                              const std::string& iniPath);

// Stores plain as the encrypted "Password" of section "MQTT". False with
// error set when it cannot be encrypted (nothing is written then).
bool WriteMqttPassword(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& iniPath,
                       const std::string& plain, std::string& error);

// This machine's host name ("linvaro" when it has none).
std::string HostName();
