#include "OpcServerWiring.h"

#include "BusServer.h"
#include "MainController.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TagWatch.h"

#include <algorithm>
#include <charconv>
#include <memory>

namespace {

// The receiver of the hub's signals while the server is connected; its
// deletion cuts them.
std::unique_ptr<QObject> g_hubWatch;

// A port's tag is stale while the port waits for its lost device.
void TakePortState(const PortHub& hub, int linkIndex)
{
    const PortInfo port = hub.Port(linkIndex);
    if (port.tagIndex >= 0)
        OpcSetTagStale(port.tagIndex, port.state == PortState::DeviceLost);
}

} // namespace

void ConnectOpcServer(MainController& controller)
{
    OpcContext& context = TheOpcContext();
    context.tags = &controller.Tags();
    context.clientWrite = [&controller](int tagIndex, const std::string& text) {
        // Tags follow the ports by name, so the link of a tag is looked up
        // at each write; a tag whose port is gone keeps the text only.
        TCommObjList& links = controller.Links();
        const TCommObj* link = links.LinkOfTag(tagIndex);
        if (!link)
            return;
        for (int i = 0; i < links.Count(); ++i)
            if (links.At(i) == link) {
                links.ClientWrite(i, text);
                return;
            }
    };
    // Items are checked when their tag changed, not at every pulse: the hub
    // says which tag did, and which port lost or got back its device.
    PortHub& hub = controller.Hub();
    g_hubWatch = std::make_unique<QObject>();
    QObject::connect(&hub, &PortHub::tagChanged, g_hubWatch.get(), [](int tagIndex) { OpcTagChanged(tagIndex); });
    QObject::connect(&hub, &PortHub::portStateChanged, g_hubWatch.get(),
                     [&hub](int linkIndex) { TakePortState(hub, linkIndex); });
    QObject::connect(&hub, &PortHub::portsReloaded, g_hubWatch.get(), [&hub] {
        TheTagWatch().ClearStale();
        for (int i = 0; i < hub.PortCount(); ++i)
            TakePortState(hub, i);
    });
    controller.opcPulse = [](double localNow) { OpcServerPulse(localNow); };
    // A value stored between pulses goes out when its group's update is due,
    // not up to a pulse period later.
    controller.opcEarlyPulse = [](double localNow) { OpcServerEarlyPulse(localNow); };
    TheTagWatch().storedBetweenPulses = [&controller](bool awaited) {
        const std::int64_t ms = awaited ? 0 : OpcMsToNextUpdate();
        if (ms != TDA2::kNoUpdateDue)
            controller.Pulses().RequestEarly(ms);
    };
    controller.opcShutdownRequest = [] { RequestShutdownAll(); };
    controller.opcConnectedCount = [] { return ConnectedServerCount(); };
}

void DisconnectOpcServer(MainController& controller)
{
    DiscardAllServers();
    g_hubWatch.reset();
    TheTagWatch().ClearStale();
    controller.opcPulse = nullptr;
    controller.opcEarlyPulse = nullptr;
    TheTagWatch().storedBetweenPulses = nullptr;
    controller.opcShutdownRequest = nullptr;
    controller.opcConnectedCount = nullptr;
    OpcContext& context = TheOpcContext();
    if (context.tags == &controller.Tags())
        context.tags = nullptr;
    context.clientWrite = nullptr;
}

namespace {

// A positive whole number, or fallback.
long long PositiveOr(const std::string& text, long long fallback)
{
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0 ? value : fallback;
}

} // namespace

void ConfigureOpcBus(opcdbus::BusServer& bus, MainController& controller,
                     const std::function<std::string(const char* section, const char* key)>& iniValue)
{
    opcdbus::FlowLimits limits;
    limits.boundBytes = PositiveOr(iniValue("OPC Server", "ClientBacklogBytes"), limits.boundBytes);
    limits.stallMs = static_cast<int>(
        std::min<long long>(PositiveOr(iniValue("OPC Server", "ClientStallSeconds"), limits.stallMs / 1000), 86400) *
        1000);
    bus.Flows().SetLimits(limits);
    bus.Flows().SetLog([&controller](const QString& line) { controller.Log(line.toStdString()); });
}
