// linvaro-opc: a command-line OPC Data Access client over the session bus.
//
//   linvaro-opc list [10|20]                    servers of a category (default DA 2.0)
//   linvaro-opc status SERVER
//   linvaro-opc browse SERVER [FILTER]
//   linvaro-opc read SERVER ITEM...
//   linvaro-opc write SERVER ITEM TEXT
//   linvaro-opc watch SERVER ITEM... [--rate MS] [--seconds N]
//
// SERVER is a ProgID (such as Linvaro.DA2) or a class ID in braces.
#include "OPCenum.h"
#include "OpcClient.h"

#include "ComObject.h"
#include "Globals.h"
#include "TaskMem.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;

int Fail(const char* what, HRESULT hr)
{
    std::fprintf(stderr, "linvaro-opc: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 1;
}

std::string FileTimeText(const FILETIME& ft)
{
    const std::uint64_t units = FileTimeValue(ft);
    const qint64 msSince1970 = static_cast<qint64>(units / 10000) - 11644473600000LL;
    return QDateTime::fromMSecsSinceEpoch(msSince1970).toString("yyyy-MM-dd hh:mm:ss.zzz").toStdString();
}

std::string ValueText(const VARIANT& v)
{
    Variant copy;
    VariantCopy(copy.get(), &v);
    return copy.text();
}

HRESULT Connect(const std::string& server, ComPtr<IOPCServer>& out)
{
    if (auto clsid = GuidFromString(server))
        return opcclient::CreateInstance(*clsid, IID_IOPCServer, out.putVoid());
    return opcclient::CreateInstanceByProgId(server, IID_IOPCServer, out.putVoid());
}

// A group with the given items; handles[i] is the server handle of items[i]
// (0 when it could not be added, with the reason printed).
struct Group {
    ComPtr<IUnknown> unk;
    ComPtr<IOPCItemMgt> items;
    std::vector<OPCHANDLE> handles;
};

HRESULT MakeGroup(IOPCServer* server, const std::vector<std::string>& itemIds, DWORD rate, Group& g)
{
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    HRESULT hr = server->AddGroup(u"linvaro-opc", 1, rate, 1, nullptr, nullptr, LOCALE_SYSTEM_DEFAULT, &hGroup,
                                  &revised, IID_IOPCItemMgt, g.unk.put());
    if (FAILED(hr))
        return hr;
    hr = g.unk.As(IID_IOPCItemMgt, g.items);
    if (FAILED(hr))
        return hr;
    std::vector<std::u16string> ids;
    for (const auto& id : itemIds)
        ids.push_back(U16FromAnsi(id));
    std::vector<OPCITEMDEF> defs(itemIds.size());
    static OLECHAR empty[] = {0};
    for (std::size_t i = 0; i < defs.size(); ++i) {
        defs[i] = OPCITEMDEF{empty, ids[i].data(), 1, static_cast<OPCHANDLE>(i + 1), 0, nullptr, VT_EMPTY, 0};
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = g.items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    if (FAILED(hr))
        return hr;
    g.handles.assign(defs.size(), 0);
    for (std::size_t i = 0; i < defs.size(); ++i) {
        if (SUCCEEDED(errors[i]))
            g.handles[i] = results[i].hServer;
        else
            std::fprintf(stderr, "linvaro-opc: item %s: 0x%08X\n", itemIds[i].c_str(), static_cast<unsigned>(errors[i]));
        CoTaskMemFree(results[i].pBlob);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return S_OK;
}

// Prints every data change with its time stamp.
class PrintingSink : public ComObject, public IOPCDataCallback, public IOPCShutdown {
public:
    explicit PrintingSink(std::vector<std::string> names) : names_(std::move(names)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOPCDataCallback)
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        if (riid == IID_IOPCShutdown)
            return ComAnswer(static_cast<IOPCShutdown*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients, VARIANT* values,
                         WORD* qualities, FILETIME* stamps, HRESULT*) override
    {
        for (DWORD i = 0; i < count; ++i) {
            const std::size_t k = clients[i] >= 1 && clients[i] <= names_.size() ? clients[i] - 1 : 0;
            std::printf("%s  %s = \"%s\"  quality 0x%02X\n", FileTimeText(stamps[i]).c_str(), names_[k].c_str(),
                        ValueText(values[i]).c_str(), qualities[i]);
        }
        std::fflush(stdout);
        return S_OK;
    }
    HRESULT OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                           HRESULT*) override
    {
        return S_OK;
    }
    HRESULT OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    HRESULT ShutdownRequest(LPCWSTR reason) override
    {
        std::printf("server asks to shut down: %s\n", AnsiFromWide(reason).c_str());
        std::fflush(stdout);
        g_stop = 1;
        return S_OK;
    }

private:
    std::vector<std::string> names_;
};

HRESULT Advise(IUnknown* container, REFIID iid, IUnknown* sink, DWORD& cookie)
{
    ComPtr<IConnectionPointContainer> cpc;
    HRESULT hr = container->QueryInterface(IID_IConnectionPointContainer, cpc.putVoid());
    if (FAILED(hr))
        return hr;
    ComPtr<IConnectionPoint> cp;
    hr = cpc->FindConnectionPoint(iid, cp.put());
    if (FAILED(hr))
        return hr;
    return cp->Advise(sink, &cookie);
}

int List(int argc, char** argv)
{
    const CATID category = argc > 2 && std::strcmp(argv[2], "10") == 0 ? CATID_OPCDAServer10 : CATID_OPCDAServer20;
    TOPCServerList list("", {category});
    list.Refresh();
    for (int i = 0; i < list.Count(); ++i)
        std::printf("%s  %s  %s\n", list.At(i).name.c_str(), GuidToString(list.At(i).clsid).c_str(),
                    list.At(i).description.c_str());
    return 0;
}

int Status(IOPCServer* server)
{
    OPCSERVERSTATUS* s = nullptr;
    const HRESULT hr = server->GetStatus(&s);
    if (FAILED(hr))
        return Fail("GetStatus", hr);
    std::printf("state %u, groups %u, version %u.%u.%u, vendor \"%s\"\nstarted %s, now %s, last update %s\n",
                s->dwServerState, s->dwGroupCount, s->wMajorVersion, s->wMinorVersion, s->wBuildNumber,
                AnsiFromWide(s->szVendorInfo).c_str(), FileTimeText(s->ftStartTime).c_str(),
                FileTimeText(s->ftCurrentTime).c_str(), FileTimeText(s->ftLastUpdateTime).c_str());
    CoTaskMemFree(s->szVendorInfo);
    CoTaskMemFree(s);
    return 0;
}

int Browse(IOPCServer* server, const std::string& filter)
{
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.putVoid());
    if (FAILED(hr))
        return Fail("QueryInterface(IOPCBrowseServerAddressSpace)", hr);
    const std::u16string f = U16FromAnsi(filter);
    ComPtr<IEnumString> names;
    hr = browse->BrowseOPCItemIDs(OPC_FLAT, f.c_str(), VT_EMPTY, 0, names.put());
    if (FAILED(hr))
        return Fail("BrowseOPCItemIDs", hr);
    if (!names)
        return 0;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (names->Next(1, &name, &fetched) == S_OK && fetched == 1) {
        std::printf("%s\n", AnsiFromWide(name).c_str());
        CoTaskMemFree(name);
    }
    return 0;
}

int Read(IOPCServer* server, const std::vector<std::string>& ids)
{
    Group g;
    HRESULT hr = MakeGroup(server, ids, 1000, g);
    if (FAILED(hr))
        return Fail("AddGroup/AddItems", hr);
    ComPtr<IOPCSyncIO> io;
    hr = g.unk.As(IID_IOPCSyncIO, io);
    if (FAILED(hr))
        return Fail("QueryInterface(IOPCSyncIO)", hr);
    std::vector<OPCHANDLE> handles;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < ids.size(); ++i)
        if (g.handles[i]) {
            handles.push_back(g.handles[i]);
            names.push_back(ids[i]);
        }
    if (handles.empty())
        return 1;
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    hr = io->Read(OPC_DS_DEVICE, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
    if (FAILED(hr))
        return Fail("Read", hr);
    for (std::size_t i = 0; i < handles.size(); ++i) {
        if (SUCCEEDED(errors[i]))
            std::printf("%s = \"%s\"  quality 0x%02X  %s\n", names[i].c_str(), ValueText(states[i].vDataValue).c_str(),
                        states[i].wQuality, FileTimeText(states[i].ftTimeStamp).c_str());
        else
            std::printf("%s: error 0x%08X\n", names[i].c_str(), static_cast<unsigned>(errors[i]));
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return 0;
}

int Write(IOPCServer* server, const std::string& id, const std::string& text)
{
    Group g;
    HRESULT hr = MakeGroup(server, {id}, 1000, g);
    if (FAILED(hr) || !g.handles[0])
        return Fail("AddGroup/AddItems", FAILED(hr) ? hr : E_FAIL);
    ComPtr<IOPCSyncIO> io;
    hr = g.unk.As(IID_IOPCSyncIO, io);
    if (FAILED(hr))
        return Fail("QueryInterface(IOPCSyncIO)", hr);
    Variant value = Variant::fromText(text);
    HRESULT* errors = nullptr;
    hr = io->Write(1, g.handles.data(), value.get(), &errors);
    if (FAILED(hr))
        return Fail("Write", hr);
    const HRESULT itemResult = errors[0];
    CoTaskMemFree(errors);
    if (FAILED(itemResult))
        return Fail("Write of the item", itemResult);
    std::printf("wrote \"%s\" to %s\n", text.c_str(), id.c_str());
    return 0;
}

int Watch(IOPCServer* server, const std::vector<std::string>& ids, DWORD rate, int seconds)
{
    Group g;
    HRESULT hr = MakeGroup(server, ids, rate, g);
    if (FAILED(hr))
        return Fail("AddGroup/AddItems", hr);
    ComPtr<IUnknown> sink(static_cast<IOPCDataCallback*>(new PrintingSink(ids)));
    DWORD dataCookie = 0, shutdownCookie = 0;
    hr = Advise(g.unk.get(), IID_IOPCDataCallback, sink.get(), dataCookie);
    if (FAILED(hr))
        return Fail("Advise(IOPCDataCallback)", hr);
    Advise(server, IID_IOPCShutdown, sink.get(), shutdownCookie);
    std::printf("watching %zu item(s) at %u ms; Ctrl-C ends\n", ids.size(), rate);
    std::fflush(stdout);
    QElapsedTimer t;
    t.start();
    while (!g_stop && (seconds <= 0 || t.elapsed() < seconds * 1000LL))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: linvaro-opc list [10|20]\n"
                         "       linvaro-opc status SERVER\n"
                         "       linvaro-opc browse SERVER [FILTER]\n"
                         "       linvaro-opc read SERVER ITEM...\n"
                         "       linvaro-opc write SERVER ITEM TEXT\n"
                         "       linvaro-opc watch SERVER ITEM... [--rate MS] [--seconds N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    signal(SIGINT, [](int) { g_stop = 1; });
    signal(SIGTERM, [](int) { g_stop = 1; });
    if (argc < 2)
        return Usage();
    const std::string command = argv[1];
    if (command == "list")
        return List(argc, argv);
    if (argc < 3)
        return Usage();

    DWORD rate = 100;
    int seconds = 0;
    std::vector<std::string> args;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc)
            rate = static_cast<DWORD>(std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else
            args.emplace_back(argv[i]);
    }

    ComPtr<IOPCServer> server;
    const HRESULT hr = Connect(argv[2], server);
    if (FAILED(hr))
        return Fail("creating the server", hr);
    if (command == "status")
        return Status(server.get());
    if (command == "browse")
        return Browse(server.get(), args.empty() ? "" : args[0]);
    if (command == "read" && !args.empty())
        return Read(server.get(), args);
    if (command == "write" && args.size() == 2)
        return Write(server.get(), args[0], args[1]);
    if (command == "watch" && !args.empty())
        return Watch(server.get(), args, rate, seconds);
    return Usage();
}
