#include "UaEndpointWiring.h"

#include "Endpoint.h"
#include "MainController.h"
#include "SupportLibraries.h"

#include <QDateTime>
#include <QHostAddress>
#include <QHostInfo>

#include <charconv>
#include <cstdio>

namespace {

constexpr const char* kSection = "OPC UA";

ua::DateTime BuildDate()
{
    // __DATE__ pads single-digit days with a space: "Dec  8 2025".
    const QString text = QString(__DATE__ " " __TIME__).simplified();
    const QDateTime t = QDateTime::fromString(text, "MMM d yyyy hh:mm:ss");
    return t.isValid() ? ua::DateTimeFromUnixMs(t.toMSecsSinceEpoch()) : 0;
}

} // namespace

UaSettings ReadUaSettings(const support::GeneralApi& gn, const std::string& iniPath)
{
    UaSettings s;
    if (!gn.GetInitSettingStr || !gn.GetInitSettingBool)
        return s;
    s.enabled = gn.GetInitSettingBool(kSection, "Enabled", iniPath.c_str(), true);
    const char* port = gn.GetInitSettingStr(kSection, "Port", iniPath.c_str(), "4840");
    const std::string portText = port ? port : "";
    int value = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
    s.port = (ec == std::errc() && end == portText.data() + portText.size() && value > 0 && value <= 65535) ? value : 0;
    const char* listen = gn.GetInitSettingStr(kSection, "Listen", iniPath.c_str(), "127.0.0.1");
    s.listen = listen && *listen ? listen : "127.0.0.1";
    return s;
}

std::unique_ptr<ua::Endpoint> StartUaEndpoint(MainController& controller, const support::GeneralApi& gn)
{
    const UaSettings settings = ReadUaSettings(gn, controller.Opts().programFolder + MainController::kIniFile);
    const auto report = [&controller](const std::string& text) {
        controller.Log(text);
        std::fprintf(stderr, "linvaro: %s\n", text.c_str());
    };
    if (!settings.enabled) {
        controller.Log("OPC UA endpoint disabled in Linvaro.ini.");
        return nullptr;
    }
    if (settings.port == 0) {
        report("OPC UA endpoint not started: key Port of section \"OPC UA\" holds no port number.");
        return nullptr;
    }
    const QString listen = QString::fromStdString(settings.listen);
    const QHostAddress address(listen);
    const bool anyInterface = address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6;
    const std::string hostName = QHostInfo::localHostName().toStdString();
    ua::ServerConfig config;
    config.applicationUri = "urn:" + hostName + ":Quorbel:Linvaro";
    config.softwareVersion = LINVARO_VERSION;
    config.buildNumber = LINVARO_VERSION;
    config.buildDate = BuildDate();
    config.host = anyInterface ? hostName : settings.listen;
    config.port = static_cast<std::uint16_t>(settings.port);
    auto endpoint = std::make_unique<ua::Endpoint>(controller.Hub(), config);
    QString error;
    const std::string where = settings.listen + ":" + std::to_string(settings.port);
    if (!endpoint->Listen(listen, static_cast<quint16>(settings.port), error)) {
        report("OPC UA endpoint cannot listen on " + where + ": " + error.toStdString());
        return nullptr;
    }
    controller.Log("OPC UA endpoint opc.tcp://" + where + " ready.");
    if (!address.isLoopback())
        report("Warning: the OPC UA endpoint listens on " + settings.listen +
               " without security: any client that reaches it can read and write the tags.");
    return endpoint;
}

void StopUaEndpoint(MainController& controller, std::unique_ptr<ua::Endpoint>& endpoint)
{
    if (!endpoint)
        return;
    controller.Log("OPC UA endpoint closed; longest client event " + std::to_string(endpoint->LongestEventUs()) +
                   " us, longest timer event " + std::to_string(endpoint->LongestTickUs()) + " us.");
    endpoint.reset();
}
