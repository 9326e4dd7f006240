#include "OpcServerWiring.h"

#include "MainController.h"
#include "OpcContext.h"
#include "ServIMPL.h"

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
    controller.opcPulse = [](double localNow) { OpcServerPulse(localNow); };
    controller.opcShutdownRequest = [] { RequestShutdownAll(); };
    controller.opcConnectedCount = [] { return ConnectedServerCount(); };
}

void DisconnectOpcServer(MainController& controller)
{
    DiscardAllServers();
    controller.opcPulse = nullptr;
    controller.opcShutdownRequest = nullptr;
    controller.opcConnectedCount = nullptr;
    OpcContext& context = TheOpcContext();
    if (context.tags == &controller.Tags())
        context.tags = nullptr;
    context.clientWrite = nullptr;
}
