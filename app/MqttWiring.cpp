#include "MqttWiring.h"

#include "EdgeNode.h"
#include "MainController.h"
#include "MqttSettings.h"
#include "SecretInput.h"

#include <cstdio>

namespace {
// The program version, as the About box shows it.
constexpr const char* kProgramVersion = "2.1";
} // namespace

std::unique_ptr<EdgeNode> StartMqttEdgeNode(MainController& controller, const support::SupportLibraries& libs)
{
    if (!libs.generalLoaded())
        return nullptr;
    const std::string ini = controller.Opts().programFolder + MainController::kIniFile;
    MqttSettings settings = ReadMqttSettings(libs.gn, libs.sc, ini);
    if (!settings.enabled)
        return nullptr;
    ActivityLog& log = controller.Activity();
    auto node = std::make_unique<EdgeNode>(controller.Hub(), std::move(settings), kProgramVersion,
                                           [&log](const std::string& line) { log.Log(line); });
    node->Start();
    return node;
}

int SetMqttPasswordFromInput(const std::string& home, const support::SupportLibraries& libs)
{
    if (!libs.generalLoaded() || !libs.securityLoaded()) {
        std::fprintf(stderr, "linvaro: the support libraries are needed to store the MQTT password\n");
        return 1;
    }
    std::string password;
    const bool read = ReadSecretLine("MQTT broker password: ", password);
    if (!read) {
        std::fprintf(stderr, "linvaro: no password given; nothing changed\n");
        return 1;
    }
    std::string error;
    const std::string ini = home + MainController::kIniFile;
    if (!WriteMqttPassword(libs.gn, libs.sc, ini, password, error)) {
        std::fprintf(stderr, "linvaro: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "linvaro: the MQTT password is stored encrypted in %s\n", ini.c_str());
    return 0;
}
