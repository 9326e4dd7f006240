// A client process whose sink never answers: it creates a server object on
// the bus, adds a group with one item, advises a sink, says "ready" and then
// never runs its event loop again. Started by the bus tests, which kill it.
#include "ComObject.h"
#include "OpcClient.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace {

class Sink final : public ComObject, public IOPCDataCallback {
public:
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                         HRESULT*) override { return S_OK; }
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override { return S_OK; }
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
    IOPCServer* server = nullptr;
    HRESULT hr = opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, reinterpret_cast<void**>(&server));
    if (FAILED(hr))
        return Fail("CreateInstance", hr);
    OPCHANDLE hGroup = 0;
    DWORD rate = 0;
    IOPCItemMgt* items = nullptr;
    hr = server->AddGroup(u"hung", 1, 10, 1, nullptr, nullptr, 0, &hGroup, &rate, IID_IOPCItemMgt,
                          reinterpret_cast<IUnknown**>(&items));
    if (FAILED(hr))
        return Fail("AddGroup", hr);
    std::u16string id = std::u16string(item, item + std::char_traits<char>::length(item));
    OPCITEMDEF def{};
    def.szItemID = id.data();
    def.bActive = 1;
    def.hClient = 7;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = items->AddItems(1, &def, &results, &errors);
    if (FAILED(hr))
        return Fail("AddItems", hr);
    IConnectionPointContainer* cpc = nullptr;
    IConnectionPoint* cp = nullptr;
    items->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
    if (!cpc || FAILED(hr = cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp)))
        return Fail("FindConnectionPoint", hr);
    DWORD cookie = 0;
    auto* sink = new Sink;
    sink->AddRef();
    if (FAILED(hr = cp->Advise(sink, &cookie)))
        return Fail("Advise", hr);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;)
        pause(); // never answers again
}
