#include "ComObject.h"
#include "ConnectionPoint.h"
#include "Guid.h"
#include "TaskMem.h"

#include <gtest/gtest.h>

namespace {

constexpr IID IID_ITestSink = MakeGuid(0x12345678, 0x1234, 0x5678, 1, 2, 3, 4, 5, 6, 7, 8);

// A sink object a client would pass to Advise.
class Sink : public ComObject, public IUnknown {
public:
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            return ComAnswer(static_cast<IUnknown*>(this), ppv);
        return E_NOINTERFACE;
    }
};

// An owner with a container of two points, as a server object or group has.
class Owner : public ComObject, public IUnknown {
public:
    explicit Owner(ConnectionKind kind) : container(*this)
    {
        ConnectionHooks hooks;
        hooks.onAdvise = [this](IUnknown* s) { last = s; };
        hooks.onUnadvise = [this](IUnknown*) { last = nullptr; };
        container.AddPoint(IID_ITestSink, kind, hooks);
    }
    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv)
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown)
            return ComAnswer(static_cast<IUnknown*>(this), ppv);
        if (riid == IID_IConnectionPointContainer)
            return ComAnswer(static_cast<IConnectionPointContainer*>(&container), ppv);
        return E_NOINTERFACE;
    }
    TConnectionPointContainer container;
    IUnknown* last = nullptr;
};

class ComRuntime : public ::testing::Test {
protected:
    void SetUp() override
    {
        objectsAtStart = ComObject::LiveObjects();
        blocksAtStart = CoTaskMemLiveBlocks();
    }
    void TearDown() override
    {
        EXPECT_EQ(ComObject::LiveObjects(), objectsAtStart) << "a COM object leaked";
        EXPECT_EQ(CoTaskMemLiveBlocks(), blocksAtStart) << "a task allocator block leaked";
    }
    long objectsAtStart = 0;
    long blocksAtStart = 0;
};

} // namespace

TEST_F(ComRuntime, GuidTextRoundTripAndRejects)
{
    const GUID da2 = MakeGuid(0x6E39D8AB, 0x9993, 0x4038, 0xB4, 0xF0, 0x5E, 0xA9, 0xDE, 0xD4, 0xCF, 0xD8);
    EXPECT_EQ(GuidToString(da2), "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8}");
    ASSERT_TRUE(GuidFromString("{6e39d8ab-9993-4038-b4f0-5ea9ded4cfd8}"));
    EXPECT_TRUE(*GuidFromString("{6e39d8ab-9993-4038-b4f0-5ea9ded4cfd8}") == da2);
    EXPECT_TRUE(*GuidFromString("6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8") == da2);
    for (const char* bad : {"", "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8", "6E39D8AB99934038B4F05EA9DED4CFD8",
                            "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFDX}", "(6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8)"})
        EXPECT_FALSE(GuidFromString(bad)) << bad;
    EXPECT_EQ(GuidToString(IID_IConnectionPointContainer), "{B196B284-BAB4-101A-B69C-00AA00341D07}");
}

TEST_F(ComRuntime, TaskAllocatorStringsAndCounts)
{
    LPOLESTR s = CoTaskStrDupAnsi("Scale_COM3");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(CoTaskMemLiveBlocks(), blocksAtStart + 1);
    EXPECT_EQ(AnsiFromWide(s), "Scale_COM3");
    CoTaskMemFree(s);
    CoTaskMemFree(nullptr);
    EXPECT_EQ(AnsiFromWide(nullptr), "");
}

TEST_F(ComRuntime, ObjectDiesWithItsLastReference)
{
    auto* sink = new Sink;
    EXPECT_EQ(ComObject::LiveObjects(), objectsAtStart + 1);
    ComPtr<IUnknown> a(sink);
    {
        ComPtr<IUnknown> b = a;
        EXPECT_EQ(sink->RefCount(), 2u);
    }
    EXPECT_EQ(sink->RefCount(), 1u);
    a.reset();
    EXPECT_EQ(ComObject::LiveObjects(), objectsAtStart);
}

TEST_F(ComRuntime, DisconnectReleasesEveryClientReferenceAtOnce)
{
    auto* owner = new Owner(ConnectionKind::Many);
    ComPtr<IUnknown> server(owner); // the server's own reference
    IUnknown* raw = nullptr;
    ASSERT_EQ(owner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&raw)), S_OK);
    ClientRef<IUnknown> first(raw);
    ASSERT_EQ(owner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&raw)), S_OK);
    ClientRef<IUnknown> second(raw);
    EXPECT_EQ(owner->RefCount(), 3u);
    EXPECT_EQ(ExternalHolderCount(owner), 2);
    EXPECT_EQ(CoDisconnectObject(owner, 0), S_OK);
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(owner->RefCount(), 1u);
    EXPECT_EQ(ExternalHolderCount(owner), 0);
}

TEST_F(ComRuntime, DisconnectOfAnObjectOnlyClientsHoldDestroysIt)
{
    auto* owner = new Owner(ConnectionKind::Many);
    IUnknown* raw = nullptr;
    ASSERT_EQ(owner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&raw)), S_OK);
    ClientRef<IUnknown> client(raw);
    CoDisconnectObject(raw, 0);
    EXPECT_EQ(ComObject::LiveObjects(), objectsAtStart);
}

TEST_F(ComRuntime, SingleConnectionPointRefusesASecondSink)
{
    auto* owner = new Owner(ConnectionKind::Single);
    ComPtr<IUnknown> hold(owner);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(owner->container.FindConnectionPoint(IID_IUnknown, point.put()), CONNECT_E_NOCONNECTION);
    EXPECT_FALSE(point);
    ASSERT_EQ(owner->container.FindConnectionPoint(IID_ITestSink, point.put()), S_OK);
    ComPtr<IUnknown> s1(new Sink), s2(new Sink);
    DWORD c1 = 0, c2 = 99;
    EXPECT_EQ(point->Advise(s1.get(), &c1), S_OK);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(owner->last, s1.get());
    EXPECT_EQ(point->Advise(s2.get(), &c2), static_cast<HRESULT>(0x80040201));
    EXPECT_EQ(c2, 0u);
    EXPECT_EQ(point->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Unadvise(c1), S_OK);
    EXPECT_EQ(owner->last, nullptr);
    EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(point->Advise(s2.get(), &c2), S_OK) << "after Unadvise a new sink is accepted";
}

TEST_F(ComRuntime, ManyConnectionPointReusesFreeSlotsAndHoldsSinks)
{
    auto* owner = new Owner(ConnectionKind::Many);
    ComPtr<IUnknown> hold(owner);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(owner->container.FindConnectionPoint(IID_ITestSink, point.put()), S_OK);
    auto* sinkA = new Sink;
    ComPtr<IUnknown> a(sinkA), b(new Sink), c(new Sink);
    DWORD ca, cb, cc;
    ASSERT_EQ(point->Advise(a.get(), &ca), S_OK);
    ASSERT_EQ(point->Advise(b.get(), &cb), S_OK);
    EXPECT_EQ(sinkA->RefCount(), 2u) << "the point holds a reference on its sink";
    ASSERT_EQ(point->Unadvise(ca), S_OK);
    EXPECT_EQ(sinkA->RefCount(), 1u);
    ASSERT_EQ(point->Advise(c.get(), &cc), S_OK);
    EXPECT_EQ(cc, 1u) << "the first free slot is reused";
    EXPECT_EQ(cb, 2u);

    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.put()), S_OK);
    CONNECTDATA cd[3];
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(3, cd, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(cd[0].dwCookie, 1u);
    for (ULONG i = 0; i < fetched; ++i)
        cd[i].pUnk->Release();

    ComPtr<IConnectionPointContainer> back;
    ASSERT_EQ(point->GetConnectionPointContainer(back.put()), S_OK);
    EXPECT_EQ(back.get(), static_cast<IConnectionPointContainer*>(&owner->container));
    IID iid;
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(iid == IID_ITestSink);
}

TEST_F(ComRuntime, PointsKeepTheirOwnerAliveAndOwnerReleasesSinks)
{
    auto* owner = new Owner(ConnectionKind::Many);
    ComPtr<IUnknown> hold(owner);
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(owner->container.FindConnectionPoint(IID_ITestSink, point.put()), S_OK);
    auto* sink = new Sink;
    ComPtr<IUnknown> s(sink);
    DWORD cookie;
    ASSERT_EQ(point->Advise(s.get(), &cookie), S_OK);
    hold.reset();
    EXPECT_EQ(ComObject::LiveObjects(), objectsAtStart + 2) << "the client's point keeps the owner";
    point.reset(); // owner goes, never unadvised: the sink is released
    EXPECT_EQ(sink->RefCount(), 1u);

    ComPtr<IEnumConnectionPoints> none;
    auto* other = new Owner(ConnectionKind::Many);
    ComPtr<IUnknown> otherHold(other);
    ASSERT_EQ(other->container.EnumConnectionPoints(none.put()), S_OK);
    IConnectionPoint* p = nullptr;
    ULONG fetched = 0;
    EXPECT_EQ(none->Next(1, &p, &fetched), S_OK);
    ASSERT_EQ(fetched, 1u);
    p->Release();
}
