#pragma once
// Connection points: how a client hands the server a sink to call back
// (IOPCShutdown on the server object, IOPCDataCallback on a group).
//
// The container and its points are parts of their owner object: their
// AddRef and Release go to the owner (the controlling unknown), so a client
// holding a point keeps the owner alive. Each point keeps a counted reference
// on every advised sink until Unadvise or until the container goes.
#include "ComObject.h"

#include <functional>
#include <memory>
#include <vector>

enum class ConnectionKind {
    Single, // a second Advise while one sink is connected: CONNECT_E_ADVISELIMIT
    Many,
};

// What the owner does around Advise and Unadvise (main thread).
struct ConnectionHooks {
    // Called before the sink is put into its slot.
    std::function<void(IUnknown* sink)> onAdvise;
    // Called before the slot is freed and the sink released.
    std::function<void(IUnknown* sink)> onUnadvise;
};

class TConnectionPointContainer;

class TConnectionPoint : public IConnectionPoint {
public:
    TConnectionPoint(TConnectionPointContainer& container, REFIID iid, ConnectionKind kind, ConnectionHooks hooks);
    ~TConnectionPoint();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetConnectionInterface(IID* pIID) override;
    HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    // Cookie = slot number + 1; the first free slot is reused.
    HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    HRESULT Unadvise(DWORD dwCookie) override;
    HRESULT EnumConnections(IEnumConnections** ppEnum) override;

    const IID& Iid() const { return iid_; }
    // Connected sinks in slot order (no references added).
    std::vector<IUnknown*> Sinks() const;
    // The cookie of the (first) connection of sink; 0 when not connected.
    DWORD CookieOf(const IUnknown* sink) const;
    // Releases every sink (the owner is going away).
    void ReleaseAll();

private:
    TConnectionPointContainer& container_;
    IID iid_;
    ConnectionKind kind_;
    ConnectionHooks hooks_;
    std::vector<IUnknown*> slots_; // null = free slot
};

class TConnectionPointContainer : public IConnectionPointContainer {
public:
    // owner: the controlling unknown; must outlive the container.
    explicit TConnectionPointContainer(IUnknown& owner);
    ~TConnectionPointContainer();

    TConnectionPoint& AddPoint(REFIID iid, ConnectionKind kind, ConnectionHooks hooks = {});

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_.AddRef(); }
    ULONG Release() override { return owner_.Release(); }
    HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    // CONNECT_E_NOCONNECTION (and *ppCP null) for an interface without a point.
    HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    IUnknown& Owner() { return owner_; }
    TConnectionPoint* Point(REFIID iid) const;

private:
    IUnknown& owner_;
    std::vector<std::unique_ptr<TConnectionPoint>> points_;
};
