#include "UaEndpointWiring.h"

#include "Endpoint.h"
#include "MainController.h"
#include "Pki.h"
#include "SecretInput.h"
#include "SupportLibraries.h"

#include <QDateTime>
#include <QHostAddress>
#include <QHostInfo>
#include <QRegularExpression>

#include <charconv>
#include <cstdio>

namespace {

constexpr const char* kSection = "OPC UA";
constexpr const char* kUsersFile = "OpcUaUsers.txt";

ua::DateTime BuildDate()
{
    // __DATE__ pads single-digit days with a space: "Dec  8 2025".
    const QString text = QString(__DATE__ " " __TIME__).simplified();
    const QDateTime t = QDateTime::fromString(text, "MMM d yyyy hh:mm:ss");
    return t.isValid() ? ua::DateTimeFromUnixMs(t.toMSecsSinceEpoch()) : 0;
}

// A yes/no key whose default depends on where the endpoint listens: "" when
// the key is absent or holds neither.
int TriState(const support::GeneralApi& gn, const char* key, const std::string& iniPath)
{
    const char* v = gn.GetInitSettingStr(kSection, key, iniPath.c_str(), "");
    const QString text = QString::fromUtf8(v ? v : "").trimmed().toLower();
    if (text == "1" || text == "yes" || text == "true")
        return 1;
    if (text == "0" || text == "no" || text == "false")
        return 0;
    return -1;
}

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    for (const QString& part : QString::fromStdString(text).split(QRegularExpression("[,; ]+"), Qt::SkipEmptyParts))
        items.push_back(part.toStdString());
    return items;
}

bool IsLoopback(const std::string& listen)
{
    const QHostAddress address(QString::fromStdString(listen));
    return address.isLoopback();
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
    const bool loopback = IsLoopback(s.listen);
    const int none = TriState(gn, "AllowSecurityNone", iniPath);
    const int anonymous = TriState(gn, "AllowAnonymous", iniPath);
    s.allowNone = none < 0 ? loopback : none == 1;
    s.allowAnonymous = anonymous < 0 ? loopback : anonymous == 1;
    s.trustNewClients = gn.GetInitSettingBool(kSection, "TrustNewClients", iniPath.c_str(), false);
    const char* policies = gn.GetInitSettingStr(kSection, "SecurityPolicies", iniPath.c_str(),
                                                "Basic256Sha256, Aes128_Sha256_RsaOaep");
    s.policies.clear();
    for (const std::string& name : SplitList(policies ? policies : "")) {
        if (ua::FindPolicy(name))
            s.policies.push_back(name);
        else
            s.unknownPolicies.push_back(name);
    }
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
    config.sessionsWithoutSecurity = settings.allowNone;
    config.anonymous = settings.allowAnonymous;
    config.log = [&controller](const std::string& text) { controller.Log(text); };
    for (const std::string& name : settings.unknownPolicies)
        report("OPC UA: security policy \"" + name + "\" of Linvaro.ini is not known; it is left out.");
    if (!settings.policies.empty()) {
        const std::string pki = controller.Opts().programFolder + "pki/";
        ua::crypto::CertificateRequest request;
        request.commonName = "Linvaro@" + hostName;
        request.organization = "Quorbel";
        request.applicationUri = config.applicationUri;
        request.dnsNames = {hostName, "localhost"};
        if (!anyInterface && !settings.listen.empty())
            request.ipAddresses.push_back(settings.listen);
        std::string note, error;
        ua::CertificateStore::Options options;
        options.trustNewClients = settings.trustNewClients;
        auto store = std::make_shared<ua::CertificateStore>(pki, options);
        std::shared_ptr<const ua::LocalIdentity> own;
        if (!store->MakeFolders(error) || !(own = ua::CertificateStore::LoadOrCreateOwn(pki, request, note, error))) {
            report("OPC UA endpoint offers no security: " + error);
        } else {
            if (!note.empty())
                controller.Log(note);
            auto security = std::make_shared<ua::SecurityConfig>();
            security->own = own;
            for (const std::string& name : settings.policies)
                security->policies.push_back(ua::FindPolicy(name));
            // The store is used on the endpoint's worker thread alone.
            security->validate = [store](const ua::crypto::Certificate& leaf, const std::string& chain) {
                return store->Validate(leaf, chain);
            };
            config.security = security;
            config.users = std::make_shared<ua::UserDirectory>(controller.Opts().programFolder + kUsersFile);
        }
    }
    if (!config.security && !settings.allowNone) {
        report("OPC UA endpoint not started: it has no security policy, and Linvaro.ini does not allow "
               "AllowSecurityNone.");
        return nullptr;
    }
    auto endpoint = std::make_unique<ua::Endpoint>(controller.Hub(), config);
    QString error;
    const std::string where = settings.listen + ":" + std::to_string(settings.port);
    if (!endpoint->Listen(listen, static_cast<quint16>(settings.port), error)) {
        report("OPC UA endpoint cannot listen on " + where + ": " + error.toStdString());
        return nullptr;
    }
    controller.Log("OPC UA endpoint opc.tcp://" + where + " ready.");
    if (!address.isLoopback()) {
        if (settings.allowNone)
            report("Warning: the OPC UA endpoint listens on " + settings.listen +
                   " and allows SecurityPolicy None (AllowSecurityNone=1): anyone on the network can see its "
                   "traffic.");
        if (settings.allowAnonymous)
            report("Warning: the OPC UA endpoint listens on " + settings.listen +
                   " and allows anonymous users (AllowAnonymous=1): any client that reaches it can read and "
                   "write the tags.");
    }
    return endpoint;
}

int AddUaUserFromInput(const std::string& home, const std::string& name, const std::string& roleText)
{
    ua::UserRole role = ua::UserRole::Read;
    if (!ua::ParseRole(roleText, role)) {
        std::fprintf(stderr, "linvaro: the role is \"read\" or \"write\", not \"%s\"\n", roleText.c_str());
        return 2;
    }
    if (!ua::UserDirectory::ValidName(name)) {
        std::fprintf(stderr, "linvaro: \"%s\" is not a user name (1 to 64 bytes, no control characters)\n",
                     name.c_str());
        return 2;
    }
    std::string password;
    const bool read = ReadSecretLine("Password of OPC UA user " + name + ": ", password);
    if (!read || password.empty()) {
        std::fprintf(stderr, "linvaro: no password given; nothing changed\n");
        return 1;
    }
    std::string error;
    const std::string path = home + kUsersFile;
    const bool added = ua::UserDirectory::Add(path, name, password, role, error);
    ua::crypto::Wipe(password);
    if (!added) {
        std::fprintf(stderr, "linvaro: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "linvaro: OPC UA user %s (%s) stored in %s\n", name.c_str(), ua::RoleName(role), path.c_str());
    return 0;
}

void StopUaEndpoint(MainController& controller, std::unique_ptr<ua::Endpoint>& endpoint)
{
    if (!endpoint)
        return;
    controller.Log("OPC UA endpoint closed; longest client event " + std::to_string(endpoint->LongestEventUs()) +
                   " us, longest timer event " + std::to_string(endpoint->LongestTickUs()) + " us.");
    endpoint.reset();
}
