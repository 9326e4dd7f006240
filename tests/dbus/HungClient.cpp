// A client process that misbehaves on purpose, run as a child by the bus
// tests and the hostile end-to-end cases:
//
//   dbus_hung_client [item=Scale_COM1] [mode=hang] [groups=1] [rate-ms=10]
//
// It creates a server object on the bus, adds `groups` active groups of one
// item each (client handle = the group's number), advises a data-change
// sink on each, says "ready" and then, by mode:
//   hang   its main thread never runs again: its sink answers nothing, not
//          even the query for its interface (its bus thread still reads);
//   stop   it stops itself (SIGSTOP) before it reads anything more: the
//          whole process reads nothing until SIGCONT, then serves;
//   serve  it serves at once;
//   mute   its sink never answers the server's query for its interface:
//          the main thread stops for good inside that query (having said
//          "ready" there), during the first Advise.
// Serving, it prints "data <group>=<value>" for every value a data change
// brings, and "read <transaction>" for every read completion.
#include "ComObject.h"
#include "OpcClient.h"
#include "TaskMem.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

bool g_mute = false;

class Sink final : public ComObject, public IOPCDataCallback {
public:
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (g_mute && riid == IID_IOPCDataCallback) {
            std::printf("ready\n");
            std::fflush(stdout);
            for (;;)
                pause(); // the query stays unanswered
        }
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT OnDataChange(DWORD, OPCHANDLE hGroup, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT* values, WORD*,
                         FILETIME*, HRESULT*) override
    {
        for (DWORD i = 0; i < count; ++i) {
            const std::string text = values[i].vt == VT_BSTR ? AnsiFromBstr(values[i].bstrVal) : std::string("?");
            std::printf("data %u=%s\n", static_cast<unsigned>(hGroup), text.c_str());
        }
        std::fflush(stdout);
        return S_OK;
    }
    HRESULT OnReadComplete(DWORD transId, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override
    {
        std::printf("read %u\n", static_cast<unsigned>(transId));
        std::fflush(stdout);
        return S_OK;
    }
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
};

int Fail(const char* step, HRESULT hr)
{
    std::printf("failed %s %08x\n", step, static_cast<unsigned>(hr));
    std::fflush(stdout);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const char* item = argc > 1 ? argv[1] : "Scale_COM1";
    const std::string mode = argc > 2 ? argv[2] : "hang";
    const int groups = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    const DWORD rate = argc > 4 ? static_cast<DWORD>(std::atoi(argv[4])) : 10;
    g_mute = mode == "mute";
    IOPCServer* server = nullptr;
    HRESULT hr = opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, reinterpret_cast<void**>(&server));
    if (FAILED(hr))
        return Fail("CreateInstance", hr);
    auto* sink = new Sink;
    sink->AddRef();
    std::u16string id = std::u16string(item, item + std::strlen(item));
    for (int g = 1; g <= groups; ++g) {
        OPCHANDLE hGroup = 0;
        DWORD revised = 0;
        IOPCItemMgt* items = nullptr;
        const std::string name = "hung" + std::to_string(g);
        const std::u16string wide(name.begin(), name.end());
        hr = server->AddGroup(wide.c_str(), 1, rate, static_cast<OPCHANDLE>(g), nullptr, nullptr, 0, &hGroup, &revised,
                              IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(&items));
        if (FAILED(hr))
            return Fail("AddGroup", hr);
        OPCITEMDEF def{};
        def.szItemID = id.data();
        def.bActive = 1;
        def.hClient = static_cast<OPCHANDLE>(g);
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        hr = items->AddItems(1, &def, &results, &errors);
        if (FAILED(hr))
            return Fail("AddItems", hr);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        IConnectionPointContainer* cpc = nullptr;
        IConnectionPoint* cp = nullptr;
        items->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        if (!cpc || FAILED(hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp)))
            return Fail("FindConnectionPoint", hr);
        DWORD cookie = 0;
        if (FAILED(hr = cp->Advise(sink, &cookie)))
            return Fail("Advise", hr);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    if (mode == "hang") {
        for (;;)
            pause(); // never answers again
    }
    if (mode == "stop")
        raise(SIGSTOP); // reads nothing more until continued
    return app.exec();
}
