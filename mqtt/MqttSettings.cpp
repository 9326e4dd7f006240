#include "MqttSettings.h"

#include "SparkplugTopic.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>

namespace {

std::string text(const support::GeneralApi& gn, const char* key, const std::string& ini, const char* fallback = "")
{
    const char* value = gn.GetInitSettingStr(kMqttSection, key, ini.c_str(), fallback);
    return value ? value : "";
}

int number(const support::GeneralApi& gn, const char* key, const std::string& ini, int fallback, int min, int max)
{
    const std::string t = text(gn, key, ini);
    int value = 0;
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
    if (t.empty() || ec != std::errc() || end != t.data() + t.size())
        return fallback;
    return std::clamp(value, min, max);
}

} // namespace

std::string HostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "linvaro";
    return name;
}

MqttSettings ReadMqttSettings(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& ini)
{
    MqttSettings s;
    s.enabled = gn.GetInitSettingBool(kMqttSection, "Enabled", ini.c_str(), false);
    s.broker = text(gn, "Broker", ini, "tcp://localhost:1883");
    s.username = text(gn, "Username", ini);
    const std::string stored = text(gn, "Password", ini);
    if (!stored.empty() && sc.Decrypt) {
        const char* plain = sc.Decrypt(stored.c_str());
        s.password = plain ? plain : "";
    }
    s.caFile = text(gn, "CA File", ini);
    s.certificate = text(gn, "Certificate", ini);
    s.key = text(gn, "Key", ini);
    s.groupId = sparkplug::SanitizeId(text(gn, "Group ID", ini, "Linvaro"));
    const std::string node = text(gn, "Edge Node ID", ini);
    s.edgeNodeId = sparkplug::SanitizeId(node.empty() ? HostName() : node);
    const std::string host = text(gn, "Primary Host ID", ini);
    s.primaryHostId = host.empty() ? "" : sparkplug::SanitizeId(host);
    const std::string client = text(gn, "Client ID", ini);
    s.clientId = client.empty() ? s.edgeNodeId : client;
    s.keepAlive = number(gn, "Keep Alive", ini, 30, 5, 3600);
    s.storeLimit = number(gn, "Store Limit", ini, 10000, 0, 1000000);
    return s;
}

bool WriteMqttPassword(const support::GeneralApi& gn, const support::SecurityApi& sc, const std::string& iniPath,
                       const std::string& plain, std::string& error)
{
    // As for the settings password: an empty text means Encrypt failed.
    const char* cipher = sc.Encrypt ? sc.Encrypt(plain.c_str()) : nullptr;
    if (!cipher || !*cipher) {
        error = "The MQTT password cannot be encrypted; it was not changed.";
        return false;
    }
    gn.SetInitSettingStr(kMqttSection, "Password", cipher, iniPath.c_str());
    return true;
}
