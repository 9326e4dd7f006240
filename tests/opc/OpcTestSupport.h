#pragma once
// In-process OPC clients for the server object tests: a fixture with a real
// tag table, a fake clock and a leak check, sinks that record every
// callback, and client-side holders of a server and its groups that behave
// like references held through the marshaling layer (ClientRef).
#include "AsyncUnit.h"
#include "Bstr.h"
#include "ComObject.h"
#include "Globals.h"
#include "GroupUnit.h"
#include "ItemsUnit.h"
#include "OPCDA.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TagWatch.h"
#include "TaskMem.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// ------------------------------------------------------------ recorded calls

// A VARIANT as "<type>:<value>" from its typed field (no conversion).
inline std::string Describe(const VARIANT& v)
{
    switch (v.vt) {
    case VT_EMPTY: return "EMPTY";
    case VT_BSTR: return "BSTR:" + AnsiFromBstr(v.bstrVal);
    case VT_I2: return "I2:" + std::to_string(v.iVal);
    case VT_I4: return "I4:" + std::to_string(v.lVal);
    case VT_R8: return "R8:" + std::to_string(v.dblVal);
    case VT_BOOL: return "BOOL:" + std::to_string(v.boolVal);
    default: return "vt" + std::to_string(v.vt);
    }
}

struct Entry {
    OPCHANDLE client = 0;
    std::string value; // Describe()
    WORD quality = 0;
    std::uint64_t stamp = 0;
    HRESULT error = S_OK;
};

struct Call {
    std::string kind; // "data", "read", "write", "cancel"
    DWORD transId = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<Entry> entries;

    std::vector<std::string> Values() const
    {
        std::vector<std::string> v;
        for (const auto& e : entries)
            v.push_back(e.value);
        return v;
    }
    std::vector<OPCHANDLE> Clients() const
    {
        std::vector<OPCHANDLE> v;
        for (const auto& e : entries)
            v.push_back(e.client);
        return v;
    }
};

// "<kind>:<group>:<transId>" of every callback of every sink, in call order.
inline std::vector<std::string>& Journal()
{
    static std::vector<std::string> journal;
    return journal;
}

// An IOPCDataCallback sink that records every call. offerCallback false:
// the sink answers only IUnknown (a client without the interface).
class TestDataSink final : public ComObject, public IOPCDataCallback {
public:
    explicit TestDataSink(bool offerCallback = true) : offer_(offerCallback) {}
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        ++queries;
        if (riid == IID_IUnknown || (offer_ && riid == IID_IOPCDataCallback))
            return ComAnswer(static_cast<IOPCDataCallback*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT OnDataChange(DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q,
                         FILETIME* ts, HRESULT* e) override
    {
        return record("data", t, g, mq, me, n, h, v, q, ts, e);
    }
    HRESULT OnReadComplete(DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q,
                           FILETIME* ts, HRESULT* e) override
    {
        return record("read", t, g, mq, me, n, h, v, q, ts, e);
    }
    HRESULT OnWriteComplete(DWORD t, OPCHANDLE g, HRESULT me, DWORD n, OPCHANDLE* h, HRESULT* e) override
    {
        return record("write", t, g, S_OK, me, n, h, nullptr, nullptr, nullptr, e);
    }
    HRESULT OnCancelComplete(DWORD t, OPCHANDLE g) override
    {
        return record("cancel", t, g, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr);
    }

    // Calls of one kind.
    std::vector<Call> Of(const std::string& kind) const
    {
        std::vector<Call> out;
        for (const auto& c : calls)
            if (c.kind == kind)
                out.push_back(c);
        return out;
    }

    std::vector<Call> calls;
    int queries = 0;
    // Client code run inside each callback, before its arrays are read.
    std::function<void(const Call&)> during;

private:
    HRESULT record(const char* kind, DWORD t, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n, OPCHANDLE* h,
                   VARIANT* v, WORD* q, FILETIME* ts, HRESULT* e)
    {
        Call c{kind, t, g, mq, me, {}};
        // The client's own code runs first, so that what is recorded is what
        // the arrays still hold after it (they must stay valid for the whole
        // call, whatever the client does meanwhile).
        if (during)
            during(c);
        for (DWORD i = 0; i < n; ++i) {
            Entry x;
            x.client = h[i];
            x.error = e[i];
            if (v) {
                x.value = Describe(v[i]);
                x.quality = q[i];
                x.stamp = FileTimeValue(ts[i]);
            }
            c.entries.push_back(x);
        }
        calls.push_back(c);
        Journal().push_back(std::string(kind) + ":" + std::to_string(g) + ":" + std::to_string(t));
        return S_OK;
    }
    bool offer_;
};

// An IOPCShutdown sink (or, offerShutdown false, a sink without it).
class TestShutdownSink final : public ComObject, public IOPCShutdown {
public:
    explicit TestShutdownSink(bool offerShutdown = true) : offer_(offerShutdown) {}
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || (offer_ && riid == IID_IOPCShutdown))
            return ComAnswer(static_cast<IOPCShutdown*>(this), ppv);
        return E_NOINTERFACE;
    }
    HRESULT ShutdownRequest(LPCWSTR reason) override
    {
        reasons.push_back(AnsiFromWide(reason));
        if (during)
            during();
        return S_OK;
    }
    std::vector<std::string> reasons;
    std::function<void()> during;

private:
    bool offer_;
};

// ------------------------------------------------------------ client side

inline std::u16string W(const std::string& s) { return U16FromAnsi(s); }

// A client's view of one group: every interface held through the
// marshaling layer, so that a forced RemoveGroup drops them all.
struct ClientGroup {
    ClientRef<IUnknown> unk;
    ClientRef<IOPCItemMgt> items;
    ClientRef<IOPCGroupStateMgt> state;
    ClientRef<IOPCSyncIO> sync;
    ClientRef<IOPCAsyncIO2> async;
    ClientRef<IConnectionPointContainer> points;
    OPCHANDLE handle = 0;
    DWORD revisedRate = 0;
    HRESULT added = E_FAIL;

    void Bind(IUnknown* adopted)
    {
        unk.adopt(adopted);
        if (!adopted)
            return;
        Query(IID_IOPCItemMgt, items);
        Query(IID_IOPCGroupStateMgt, state);
        Query(IID_IOPCSyncIO, sync);
        Query(IID_IOPCAsyncIO2, async);
        Query(IID_IConnectionPointContainer, points);
    }
    void Release()
    {
        points.reset();
        async.reset();
        sync.reset();
        state.reset();
        items.reset();
        unk.reset();
    }
    TOPCGroup* Object() const { return static_cast<TOPCGroup*>(static_cast<IOPCItemMgt*>(items.get())); }

    // Adds items by name (active, VT_EMPTY unless given); returns the errors
    // and fills server handles (0 for failed entries).
    std::vector<HRESULT> Add(const std::vector<std::string>& names, std::vector<OPCHANDLE>& servers,
                             VARTYPE vt = VT_EMPTY, BOOL active = TRUE, OPCHANDLE firstClient = 100)
    {
        std::vector<std::u16string> ids;
        for (const auto& n : names)
            ids.push_back(W(n));
        std::vector<OPCITEMDEF> defs(names.size());
        for (std::size_t i = 0; i < names.size(); ++i) {
            defs[i].szItemID = const_cast<LPWSTR>(ids[i].c_str());
            defs[i].bActive = active;
            defs[i].hClient = firstClient + static_cast<OPCHANDLE>(i);
            defs[i].vtRequestedDataType = vt;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
        std::vector<HRESULT> out;
        servers.clear();
        if (FAILED(hr)) {
            ADD_FAILURE() << "AddItems failed: " << std::hex << hr;
            return out;
        }
        for (std::size_t i = 0; i < names.size(); ++i) {
            out.push_back(errors[i]);
            servers.push_back(results[i].hServer);
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return out;
    }
    // Advises sink on the data callback point; returns the cookie.
    DWORD Advise(IUnknown* sink)
    {
        IConnectionPoint* cp = nullptr;
        EXPECT_EQ(points->FindConnectionPoint(IID_IOPCDataCallback, &cp), S_OK);
        DWORD cookie = 0;
        EXPECT_EQ(cp->Advise(sink, &cookie), S_OK);
        cp->Release();
        return cookie;
    }
    HRESULT Unadvise(DWORD cookie)
    {
        IConnectionPoint* cp = nullptr;
        points->FindConnectionPoint(IID_IOPCDataCallback, &cp);
        const HRESULT hr = cp->Unadvise(cookie);
        cp->Release();
        return hr;
    }
    HRESULT SetActive(BOOL active)
    {
        return state->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr);
    }

private:
    template <typename I> void Query(REFIID iid, ClientRef<I>& ref)
    {
        void* p = nullptr;
        ASSERT_EQ(unk->QueryInterface(iid, &p), S_OK);
        ref.adopt(static_cast<I*>(p));
    }
};

// A client connected to one server object through the class object.
struct Client {
    ClientRef<IOPCServer> server;

    HRESULT Connect()
    {
        IClassFactory* factory = nullptr;
        HRESULT hr = GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr))
            return hr;
        IOPCServer* s = nullptr;
        hr = factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&s));
        factory->Release();
        server.adopt(s);
        return hr;
    }
    TDA2* Object() const { return static_cast<TDA2*>(server.get()); }

    // AddGroup with the usual arguments; g receives the group.
    HRESULT AddGroup(ClientGroup& g, const std::string& name, BOOL active = TRUE, DWORD rate = 10,
                     OPCHANDLE clientHandle = 1, FLOAT* deadband = nullptr, LONG* bias = nullptr)
    {
        const std::u16string wide = W(name);
        IUnknown* unk = nullptr;
        g.added = server->AddGroup(wide.c_str(), active, rate, clientHandle, bias, deadband, 0x409, &g.handle,
                                   &g.revisedRate, IID_IOPCItemMgt, &unk);
        g.Bind(unk);
        return g.added;
    }
};

// ---------------------------------------------------------------- fixture

class OpcTest : public ::testing::Test {
protected:
    static constexpr double kStart = 45000.5; // a local date-time (2023-03-15 12:00)
    static constexpr LONG kBias = -60;
    static constexpr double kPulse = 10.0 / 86400000.0; // 10 ms in days

    void SetUp() override
    {
        saved_ = TheOpcContext();
        TheOpcCounters() = OpcCounters{};
        Journal().clear();
        tags.BindTag("Scale_COM1");
        tags.BindTag("Scale_COM2");
        tags.BindTag("Pump_COM3");
        // The address space tells the server which tag changed.
        tags.onTextChanged = [](std::size_t index) { OpcTagChanged(static_cast<int>(index)); };
        TheTagWatch().ClearStale();
        OpcContext& c = TheOpcContext();
        c.tags = &tags;
        c.localNow = [this] { return now; };
        c.tickCount = [this] { return tick; };
        c.timeZoneBias = [] { return kBias; };
        c.clientWrite = [this](int index, const std::string& text) { clientWrites.emplace_back(index, text); };
        c.consoleRefresh = [this] { ++consoleRefreshes; };
        objects_ = ComObject::LiveObjects();
        blocks_ = CoTaskMemLiveBlocks();
        strings_ = LiveBstrCount();
        items_ = TOPCItem::LiveItems();
        transactions_ = TAsyncIO2::LiveTransactions();
    }
    void TearDown() override
    {
        CoTaskMemFailAfter(-1);
        EXPECT_EQ(ConnectedServerCount(), 0) << "a server object outlived its client";
        EXPECT_EQ(ComObject::LiveObjects(), objects_) << "a COM object leaked";
        EXPECT_EQ(TOPCItem::LiveItems(), items_) << "an item leaked";
        EXPECT_EQ(TAsyncIO2::LiveTransactions(), transactions_) << "a transaction leaked";
        EXPECT_EQ(CoTaskMemLiveBlocks(), blocks_) << "a task allocator block leaked";
        EXPECT_EQ(LiveBstrCount(), strings_) << "a BSTR leaked";
        TheOpcContext() = saved_;
    }

    void SetText(int tag, const std::string& text) { tags.SetText(static_cast<std::size_t>(tag), text); }
    const std::string& Text(int tag) { return tags.Value(static_cast<std::size_t>(tag)).textValue; }
    // n OPC server pulses, 10 ms apart.
    void Pulse(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            now += kPulse;
            OpcServerPulse(now);
        }
    }
    static std::uint64_t Stamp(double localTime) { return LocalTimeToFileTime(localTime); }

    TTagTable tags;
    double now = kStart;
    std::uint32_t tick = 4321;
    std::vector<std::pair<int, std::string>> clientWrites;
    int consoleRefreshes = 0;

private:
    OpcContext saved_;
    long objects_ = 0;
    long blocks_ = 0;
    std::size_t strings_ = 0;
    long items_ = 0;
    long transactions_ = 0;
};

// A sink made for one test: one reference, released at scope end.
template <typename T, typename... A> ComPtr<T> MakeSink(A&&... args)
{
    return ComPtr<T>(new T(std::forward<A>(args)...));
}
