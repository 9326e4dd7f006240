// linvaro-opc-sim: a simulated OPC DA 2.0 server on the session bus, for
// trying out remote mode (and any OPC client) without a controller. Its tags
// are declared on the command line or in a file; string tags also answer
// per-character items Name[1] .. Name[256].
//
//   linvaro-opc-sim [--tag NAME:TYPE[=VALUE]]... [--tags FILE] [--quiet]
//   linvaro-opc-sim --unregister
//
// TYPE is string, bool or int. Without declarations it serves the four tags
// of one remote-mode port: RecvString, RecvFlag (int), SentString and
// SentFlag (int). At start it registers its ProgID (Linvaro.SimServer.1) in
// the registry store and in the OPC DA 2.0 category, prints one line when it
// serves, and then one line per value a client writes, until SIGINT or
// SIGTERM.
#include "SimAddressSpace.h"

#include "BusServer.h"
#include "Guid.h"
#include "OPCDA.h"
#include "OpcContext.h"
#include "RegistryStore.h"
#include "ServIMPL.h"
#include "TagWatch.h"
#include "Wire.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr CLSID CLSID_SimServer =
    MakeGuid(0x28A9C555, 0x4DEA, 0x4E51, 0x9A, 0x7F, 0x8F, 0x2F, 0x26, 0xFE, 0x93, 0x49);
constexpr const char* kProgId = "Linvaro.SimServer.1";
constexpr const char* kIndependentProgId = "Linvaro.SimServer";
constexpr const char* kDescription = "Linvaro Simulated OPC Server";

int g_signalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = write(g_signalPipe[1], &c, 1);
}

std::string ClassKey() { return "CLSID\\" + GuidToString(CLSID_SimServer); }

bool Register()
{
    bool ok = registry::SetDefault(ClassKey(), kDescription) &&
              registry::SetDefault(ClassKey() + "\\ProgID", kProgId);
    for (const char* prog : {kProgId, kIndependentProgId})
        ok = registry::SetDefault(prog, kDescription) &&
             registry::SetDefault(std::string(prog) + "\\CLSID", GuidToString(CLSID_SimServer)) &&
             registry::SetDefault(std::string(prog) + "\\OPC", "") && ok;
    // The category is shared with every OPC server: its description stays
    // as the first one wrote it.
    const std::string category = "Component Categories\\" + GuidToString(CATID_OPCDAServer20);
    if (!registry::KeyExists(category))
        ok = registry::RegisterCategory(CATID_OPCDAServer20, "OPC Data Access Servers Version 2.0") && ok;
    return registry::RegisterClassImplCategory(CLSID_SimServer, CATID_OPCDAServer20) && ok;
}

void Unregister()
{
    registry::UnRegisterClassImplCategory(CLSID_SimServer, CATID_OPCDAServer20);
    for (const char* prog : {kProgId, kIndependentProgId}) {
        registry::DeleteKey(std::string(prog) + "\\OPC");
        registry::DeleteKey(std::string(prog) + "\\CLSID");
        registry::DeleteKey(prog);
    }
    registry::DeleteKey(ClassKey() + "\\ProgID");
    registry::DeleteKey(ClassKey() + "\\Implemented Categories");
    registry::DeleteKey(ClassKey());
}

int Usage()
{
    std::fprintf(stderr, "usage: linvaro-opc-sim [--tag NAME:TYPE[=VALUE]]... [--tags FILE] [--quiet]\n"
                         "       linvaro-opc-sim --unregister\n"
                         "TYPE: string, bool or int\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<SimTagSpec> specs;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        std::string error;
        if (std::strcmp(a, "--unregister") == 0) {
            Unregister();
            return 0;
        } else if (std::strcmp(a, "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(a, "--tag") == 0 && i + 1 < argc) {
            auto spec = ParseTagSpec(argv[++i], error);
            if (!spec) {
                std::fprintf(stderr, "linvaro-opc-sim: %s\n", error.c_str());
                return 2;
            }
            specs.push_back(std::move(*spec));
        } else if (std::strcmp(a, "--tags") == 0 && i + 1 < argc) {
            if (!ReadTagFile(argv[++i], specs, error)) {
                std::fprintf(stderr, "linvaro-opc-sim: %s\n", error.c_str());
                return 2;
            }
        } else {
            return Usage();
        }
    }
    if (specs.empty())
        specs = {{"RecvString", VT_BSTR, ""}, {"RecvFlag", VT_I4, "0"}, {"SentString", VT_BSTR, ""},
                 {"SentFlag", VT_I4, "0"}};

    TTagTable tags;
    SimAddressSpace space(tags);
    for (const SimTagSpec& spec : specs) {
        std::string error;
        if (!space.Add(spec, error)) {
            std::fprintf(stderr, "linvaro-opc-sim: %s\n", error.c_str());
            return 2;
        }
    }

    OpcContext& context = TheOpcContext();
    context.tags = &tags;
    tags.onTextChanged = [](std::size_t index) { OpcTagChanged(static_cast<int>(index)); };
    context.valueStored = [&](int index) {
        space.Stored(index);
        if (!quiet) {
            const TTagEntry& e = tags.Entry(static_cast<std::size_t>(index));
            std::printf("%s = %s\n", e.name.c_str(), tags.Value(static_cast<std::size_t>(index)).textValue.c_str());
            std::fflush(stdout);
        }
    };

    if (!Register())
        std::fprintf(stderr, "linvaro-opc-sim: could not register %s in %s\n", kProgId, registry::Root().c_str());

    QDBusConnection connection =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("linvaro-opc-sim"));
    if (!connection.isConnected()) {
        std::fprintf(stderr, "linvaro-opc-sim: the session bus is not reachable\n");
        return 1;
    }
    IClassFactory* factory = nullptr;
    if (FAILED(GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        std::fprintf(stderr, "linvaro-opc-sim: no server class\n");
        return 1;
    }
    factory->Release(); // the class object lives as long as the process
    auto server = std::make_unique<opcdbus::BusServer>(connection, CLSID_SimServer, factory);
    QString error;
    if (!server->Start(&error)) {
        std::fprintf(stderr, "linvaro-opc-sim: cannot serve: %s\n", qPrintable(error));
        return 1;
    }

    QTimer pulse;
    QObject::connect(&pulse, &QTimer::timeout, [] { OpcServerPulse(SystemLocalNow()); });
    pulse.start(10);

    std::unique_ptr<QSocketNotifier> notifier;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [] { QCoreApplication::quit(); });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigaction(SIGTERM, &sa, nullptr);
        sigaction(SIGINT, &sa, nullptr);
    }

    std::printf("Serving %s as %s with %zu tags.\n", kProgId, qPrintable(server->ServiceName()),
                space.DeclaredCount());
    std::fflush(stdout);
    const int rc = app.exec();

    pulse.stop();
    server->Stop();
    DiscardAllServers();
    context.valueStored = nullptr;
    context.tags = nullptr;
    return rc;
}
