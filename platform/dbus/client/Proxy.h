#pragma once
// Internal to the client library: the proxy of one remote object and the
// base of its interface parts.
#include "ComObject.h"
#include "OPCDA.h"

#include <QDBusConnection>
#include <QString>
#include <QVariantList>

#include <map>
#include <memory>

namespace opcclient {

class ProxyCore;

// A part answers one COM interface of a proxy; its IUnknown is the proxy's.
class PartBase {
public:
    virtual ~PartBase() = default;
    // The interface pointer of this part (no reference added).
    virtual IUnknown* Interface() = 0;
};

template <typename I> class Part : public I, public PartBase {
public:
    explicit Part(ProxyCore& core) : core_(core) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    IUnknown* Interface() override { return static_cast<I*>(this); }

protected:
    ProxyCore& core_;
};

class ProxyCore final : public ComObject, public IUnknown {
public:
    // The proxy of (service, path) taking over one reference the server
    // counted for this client: a new proxy keeps it; an existing one gives
    // it back at once. Returned with one local reference.
    static ProxyCore* Adopt(const QDBusConnection& connection, const QString& service, const QString& path);

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return AddRefImpl(); }
    ULONG Release() override { return ReleaseImpl(); }

    // Calls iface.member; on success outs holds every out-argument and the
    // result is the method's HRESULT (outs[0]); a transport failure gives
    // its HRESULT and outs stays empty.
    HRESULT Invoke(const char* iface, const char* member, const QVariantList& args, QVariantList& outs);
    // Answers ppv with interface riid of the object at path of this proxy's
    // server, taking over the reference the server counted. "/" gives a null
    // pointer and S_OK.
    HRESULT AdoptPath(const QString& path, REFIID riid, void** ppv);
    // Marks riid as answered by the remote object (it handed the path out
    // for riid).
    void Known(REFIID riid) { known_[key(riid)] = true; }

    const QString& Service() const { return service_; }
    const QString& Path() const { return path_; }
    const QDBusConnection& Connection() const { return connection_; }

private:
    ProxyCore(const QDBusConnection& connection, const QString& service, const QString& path);
    ~ProxyCore() override;
    static QString key(REFIID riid);
    // The part for riid, made on first use; null when this library has no
    // proxy for that interface.
    PartBase* part(REFIID riid);
    void sendRelease(const QString& path);

    QDBusConnection connection_;
    QString service_;
    QString path_;
    std::map<QString, bool> known_;
    std::map<QString, std::unique_ptr<PartBase>> parts_;
};

template <typename I> HRESULT Part<I>::QueryInterface(REFIID riid, void** ppv)
{
    return core_.QueryInterface(riid, ppv);
}
template <typename I> ULONG Part<I>::AddRef() { return core_.AddRef(); }
template <typename I> ULONG Part<I>::Release() { return core_.Release(); }

// Makes the part for riid of core (Parts.cpp); null for an interface
// without a proxy.
std::unique_ptr<PartBase> MakePart(ProxyCore& core, REFIID riid);

// Exports a local sink on connection for the server service; returns its
// path (SinkExport.cpp).
QString ExportSink(const QDBusConnection& connection, const QString& service, IUnknown* sink);
// Drops one reference of an exported sink (when Advise failed in transport).
void DropSink(const QString& path);

} // namespace opcclient
