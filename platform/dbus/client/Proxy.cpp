#include "Proxy.h"

#include "Interfaces.h"
#include "OpcClient.h"
#include "RegistryStore.h"
#include "Wire.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <map>
#include <optional>

namespace opcclient {

using opcdbus::GuidText;

namespace {

const QString kRoot = QStringLiteral("/");

std::optional<QDBusConnection>& ChosenConnection()
{
    static std::optional<QDBusConnection> c;
    return c;
}

// Live proxies by (service, path): a remote object has one proxy.
std::map<std::pair<QString, QString>, ProxyCore*>& Proxies()
{
    static std::map<std::pair<QString, QString>, ProxyCore*> all;
    return all;
}

HRESULT TransportError(const QDBusMessage& reply)
{
    const QString name = reply.errorName();
    if (name == QLatin1String(opcdbus::kErrorUnknownObject))
        return RPC_E_DISCONNECTED_CODE;
    if (name == QLatin1String(opcdbus::kErrorInvalidArgs))
        return E_INVALIDARG;
    if (name == QLatin1String(opcdbus::kErrorUnknownInterface))
        return E_NOINTERFACE;
    if (name == QLatin1String(opcdbus::kErrorUnknownMethod))
        return E_NOTIMPL;
    return RPC_S_SERVER_UNAVAILABLE_CODE; // ServiceUnknown, NoReply, Disconnected, ...
}

// Sends call and waits for its reply in a local event loop, so that sinks
// of this thread are served meanwhile. The wait is our own rather than
// QDBusConnection::call's: under a steady stream of calls that one was seen
// to stay blocked for good although the reply had arrived and its time-out
// had passed. Here the loop also looks at the call itself every few
// milliseconds and ends at the time-out whatever happens to signals.
QDBusMessage CallAndWait(const QDBusConnection& connection, const QDBusMessage& call, int timeoutMs)
{
    QDBusPendingCall pending = connection.asyncCall(call, timeoutMs);
    if (!pending.isFinished()) {
        QEventLoop loop;
        QDBusPendingCallWatcher watcher(pending);
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        QElapsedTimer waited;
        waited.start();
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (pending.isFinished() || waited.elapsed() > timeoutMs)
                loop.quit();
        });
        check.start(5);
        if (!pending.isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    if (!pending.isFinished())
        return QDBusMessage::createError(QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                                         QStringLiteral("no reply within the call time-out"));
    return pending.reply();
}

} // namespace

int g_callTimeoutMs = kCallTimeoutMs;

void SetCallTimeoutMs(int ms) { g_callTimeoutMs = ms > 0 ? ms : kCallTimeoutMs; }
int CallTimeoutMs() { return g_callTimeoutMs; }

void SetConnection(const QDBusConnection& connection) { ChosenConnection() = connection; }

QDBusConnection Connection()
{
    if (!ChosenConnection())
        ChosenConnection() = QDBusConnection::sessionBus();
    return *ChosenConnection();
}

int LiveProxies() { return static_cast<int>(Proxies().size()); }

ProxyCore::ProxyCore(const QDBusConnection& connection, const QString& service, const QString& path)
    : connection_(connection), service_(service), path_(path)
{
    Proxies()[{service_, path_}] = this;
}

ProxyCore::~ProxyCore()
{
    Proxies().erase({service_, path_});
    parts_.clear();
    sendRelease(path_);
}

void ProxyCore::sendRelease(const QString& path)
{
    QDBusMessage release = QDBusMessage::createMethodCall(service_, path, QStringLiteral("opc.IUnknown"),
                                                          QStringLiteral("Release"));
    release.setAutoStartService(false);
    connection_.send(release); // no reply awaited
}

ProxyCore* ProxyCore::Adopt(const QDBusConnection& connection, const QString& service, const QString& path)
{
    auto it = Proxies().find({service, path});
    if (it != Proxies().end()) {
        it->second->AddRef();
        it->second->sendRelease(path); // the proxy keeps exactly one remote reference
        return it->second;
    }
    auto* core = new ProxyCore(connection, service, path);
    core->AddRef();
    return core;
}

QString ProxyCore::key(REFIID riid) { return GuidText(riid); }

PartBase* ProxyCore::part(REFIID riid)
{
    const QString k = key(riid);
    auto it = parts_.find(k);
    if (it != parts_.end())
        return it->second.get();
    auto made = MakePart(*this, riid);
    if (!made)
        return nullptr;
    return (parts_[k] = std::move(made)).get();
}

HRESULT ProxyCore::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown) {
        AddRef();
        *ppv = static_cast<IUnknown*>(this);
        return S_OK;
    }
    const QString k = key(riid);
    auto known = known_.find(k);
    if (known == known_.end()) {
        QVariantList outs;
        const HRESULT hr = Invoke("opc.IUnknown", "QueryInterface", {k}, outs);
        if (outs.isEmpty())
            return hr; // transport failure: nothing learnt
        const QString path = outs.at(1).value<QDBusObjectPath>().path();
        if (SUCCEEDED(hr) && path != kRoot && path != path_) {
            // Another identity would break the object's identity rule: the
            // server never does this; treat the answer as a refusal.
            sendRelease(path);
            known_[k] = false;
            return E_NOINTERFACE;
        }
        if (SUCCEEDED(hr) && path == path_)
            sendRelease(path_); // one remote reference per proxy
        known = known_.emplace(k, SUCCEEDED(hr) && path == path_).first;
        if (FAILED(hr))
            return hr;
    }
    if (!known->second)
        return E_NOINTERFACE;
    PartBase* p = part(riid);
    if (!p)
        return E_NOINTERFACE; // answered remotely, but this library has no proxy for it
    AddRef();
    *ppv = p->Interface();
    return S_OK;
}

HRESULT ProxyCore::Invoke(const char* iface, const char* member, const QVariantList& args, QVariantList& outs)
{
    outs.clear();
    opcdbus::RegisterWireTypes();
    const auto* info = opcdbus::FindInterface(QLatin1String(iface));
    const auto* method = info ? info->Method(QLatin1String(member)) : nullptr;
    if (!method)
        return E_NOTIMPL;
    QDBusMessage call = QDBusMessage::createMethodCall(service_, path_, QLatin1String(iface), QLatin1String(member));
    call.setArguments(args);
    call.setAutoStartService(false);
    const QDBusMessage reply = CallAndWait(connection_, call, CallTimeoutMs());
    if (reply.type() != QDBusMessage::ReplyMessage)
        return TransportError(reply);
    if (reply.signature() != method->outSignature)
        return RPC_E_INVALID_DATA_CODE;
    outs = reply.arguments();
    return outs.at(0).toInt();
}

HRESULT ProxyCore::AdoptPath(const QString& path, REFIID riid, void** ppv)
{
    *ppv = nullptr;
    if (path == kRoot)
        return S_OK;
    ProxyCore* core = Adopt(connection_, service_, path);
    core->Known(riid);
    const HRESULT hr = core->QueryInterface(riid, ppv);
    core->Release();
    return hr;
}

// ------------------------------------------------------------ creation

HRESULT CreateInstance(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    opcdbus::RegisterWireTypes();
    QDBusConnection connection = Connection();
    if (!connection.isConnected())
        return RPC_S_SERVER_UNAVAILABLE_CODE;
    QDBusMessage call = QDBusMessage::createMethodCall(opcdbus::WellKnownName(clsid), kRoot,
                                                       QStringLiteral("opc.IClassFactory"),
                                                       QStringLiteral("CreateInstance"));
    call << GuidText(riid);
    call.setAutoStartService(true); // D-Bus activation starts the program
    const QDBusMessage reply = CallAndWait(connection, call, CallTimeoutMs());
    if (reply.type() != QDBusMessage::ReplyMessage) {
        if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown"))
            return REGDB_E_CLASSNOTREG;
        return TransportError(reply);
    }
    if (reply.signature() != QLatin1String("io"))
        return RPC_E_INVALID_DATA_CODE;
    const HRESULT hr = reply.arguments().at(0).toInt();
    const QString path = reply.arguments().at(1).value<QDBusObjectPath>().path();
    if (FAILED(hr))
        return hr;
    if (path == kRoot)
        return E_NOINTERFACE;
    // Later calls go to the unique name that answered, so that a restarted
    // server is never mistaken for this one.
    ProxyCore* core = ProxyCore::Adopt(connection, reply.service(), path);
    core->Known(riid);
    const HRESULT q = core->QueryInterface(riid, ppv);
    core->Release();
    return q;
}

HRESULT CreateInstanceByProgId(const std::string& progId, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    const auto clsid = registry::ClsidFromProgId(progId);
    if (!clsid)
        return CO_E_CLASSSTRING;
    return CreateInstance(*clsid, riid, ppv);
}

} // namespace opcclient
