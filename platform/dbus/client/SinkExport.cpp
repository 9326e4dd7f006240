// The client's sinks on its own connection: "/sink/<n>", one path per sink
// handed to a server, answering opc.IUnknown, opc.IOPCDataCallback and
// opc.IOPCShutdown for that server only.
#include "Interfaces.h"
#include "OpcClient.h"
#include "Proxy.h"
#include "TaskMem.h"
#include "Wire.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVirtualObject>

#include <map>
#include <memory>
#include <vector>

namespace opcclient {

using namespace opcdbus;

namespace {

const QString kSinkRoot = QStringLiteral("/sink");
extern quint64 g_nextSink;

class SinkExports final : public QDBusVirtualObject {
public:
    explicit SinkExports(const QDBusConnection& connection) : connection_(connection)
    {
        RegisterWireTypes();
        registered_ = connection_.registerVirtualObject(kSinkRoot, this, QDBusConnection::SubPath);
        watcher_.setConnection(connection_);
        watcher_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        QObject::connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
                         [this](const QString& server) { serverLeft(server); });
    }
    ~SinkExports() override
    {
        if (registered_)
            connection_.unregisterObject(kSinkRoot, QDBusConnection::UnregisterTree);
    }

    QString Export(const QString& server, IUnknown* sink)
    {
        const QString path = kSinkRoot + QLatin1Char('/') + QString::number(g_nextSink++);
        sinks_[path] = Entry{server, ComPtr<IUnknown>(sink), 1};
        if (!watcher_.watchedServices().contains(server))
            watcher_.addWatchedService(server);
        return path;
    }
    void Drop(const QString& path)
    {
        auto it = sinks_.find(path);
        if (it == sinks_.end() || --it->second.count > 0)
            return;
        ComPtr<IUnknown> sink = std::move(it->second.sink);
        sinks_.erase(it); // released after it left the table
    }
    int Count() const { return static_cast<int>(sinks_.size()); }

    QString introspect(const QString&) const override
    {
        QString xml;
        for (const char* name : {"opc.IUnknown", "opc.IOPCDataCallback", "opc.IOPCShutdown"})
            xml += FindInterface(QLatin1String(name))->xml + QLatin1Char('\n');
        return xml;
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection&) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage)
            return false;
        if (message.interface() == QLatin1String("org.freedesktop.DBus.Introspectable"))
            return false; // Qt answers with introspect()
        auto it = sinks_.find(message.path());
        if (it == sinks_.end() || it->second.server != message.service())
            return error(message, kErrorUnknownObject, QStringLiteral("no such sink"));
        const InterfaceInfo* info = FindInterface(message.interface());
        const bool offered = info && (info->name == QLatin1String("opc.IUnknown") ||
                                      info->name == QLatin1String("opc.IOPCDataCallback") ||
                                      info->name == QLatin1String("opc.IOPCShutdown"));
        if (!offered)
            return error(message, kErrorUnknownInterface, QStringLiteral("a sink answers no %1").arg(message.interface()));
        const MethodInfo* method = info->Method(message.member());
        if (!method)
            return error(message, kErrorUnknownMethod, message.member());
        if (message.signature() != method->inSignature)
            return error(message, kErrorInvalidArgs, QStringLiteral("expected (%1)").arg(method->inSignature));
        ComPtr<IUnknown> sink = it->second.sink; // the call may drop the entry
        const QString path = message.path();
        QVariantList outs = dispatch(message, info->name, path, sink.get());
        if (message.isReplyRequired())
            connection_.send(message.createReply(outs));
        return true;
    }

private:
    struct Entry {
        QString server;
        ComPtr<IUnknown> sink;
        quint32 count = 0;
    };

    bool error(const QDBusMessage& m, const char* name, const QString& text)
    {
        if (m.isReplyRequired())
            connection_.send(m.createErrorReply(QLatin1String(name), text));
        return true;
    }

    QVariantList dispatch(const QDBusMessage& m, const QString& iface, const QString& path, IUnknown* sink)
    {
        const QVariantList a = m.arguments();
        const QString member = m.member();
        auto hr = [](HRESULT h) { return QVariant::fromValue<int>(h); };
        if (iface == QLatin1String("opc.IUnknown")) {
            auto it = sinks_.find(path);
            if (member == QLatin1String("QueryInterface")) {
                const auto iid = GuidFromText(a.at(0).toString());
                void* p = nullptr;
                const HRESULT r = iid ? sink->QueryInterface(*iid, &p) : E_INVALIDARG;
                if (SUCCEEDED(r) && p) {
                    static_cast<IUnknown*>(p)->Release(); // the path holds the sink
                    ++it->second.count;
                    return {hr(r), QVariant::fromValue(QDBusObjectPath(path))};
                }
                return {hr(FAILED(r) ? r : E_NOINTERFACE), QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))};
            }
            if (member == QLatin1String("AddRef"))
                return {QVariant::fromValue<uint>(++it->second.count)};
            const quint32 left = it->second.count - 1;
            Drop(path);
            return {QVariant::fromValue<uint>(left)};
        }
        if (iface == QLatin1String("opc.IOPCShutdown")) {
            ComPtr<IOPCShutdown> s;
            if (FAILED(sink->QueryInterface(IID_IOPCShutdown, s.putVoid())))
                return {hr(E_NOINTERFACE)};
            const std::u16string reason = WideOf(a.at(0).toString());
            return {hr(s->ShutdownRequest(reason.c_str()))};
        }
        ComPtr<IOPCDataCallback> cb;
        if (FAILED(sink->QueryInterface(IID_IOPCDataCallback, cb.putVoid())))
            return {hr(E_NOINTERFACE)};
        if (member == QLatin1String("OnCancelComplete"))
            return {hr(cb->OnCancelComplete(a.at(0).toUInt(), a.at(1).toUInt()))};
        if (member == QLatin1String("OnWriteComplete")) {
            const DWORD n = a.at(3).toUInt();
            QList<uint> handles = ListArg<uint>(a.at(4));
            QList<int> errors = ListArg<int>(a.at(5));
            if (handles.size() != static_cast<qsizetype>(n) || errors.size() != static_cast<qsizetype>(n))
                return {hr(E_INVALIDARG)};
            return {hr(cb->OnWriteComplete(a.at(0).toUInt(), a.at(1).toUInt(), a.at(2).toInt(), n,
                                           n ? handles.data() : nullptr, n ? errors.data() : nullptr))};
        }
        // OnDataChange, OnReadComplete
        const DWORD n = a.at(4).toUInt();
        QList<uint> handles = ListArg<uint>(a.at(5));
        const QList<WireVariant> wire = ListArg<WireVariant>(a.at(6));
        QList<ushort> qualities = ListArg<ushort>(a.at(7));
        const QList<qulonglong> stamps = ListArg<qulonglong>(a.at(8));
        QList<int> errors = ListArg<int>(a.at(9));
        const auto sized = [n](qsizetype s) { return s == static_cast<qsizetype>(n); };
        if (!sized(handles.size()) || !sized(wire.size()) || !sized(qualities.size()) || !sized(stamps.size()) ||
            !sized(errors.size()))
            return {hr(E_INVALIDARG)};
        std::vector<VARIANT> values(n);
        std::vector<FILETIME> times(n);
        bool ok = true;
        for (DWORD i = 0; i < n; ++i) {
            VariantInit(&values[i]);
            times[i] = FileTimeFrom(stamps[static_cast<qsizetype>(i)]);
            if (ok && FAILED(VariantFromWire(wire[static_cast<qsizetype>(i)], &values[i])))
                ok = false;
        }
        HRESULT r = E_INVALIDARG;
        if (ok) {
            auto call = member == QLatin1String("OnReadComplete") ? &IOPCDataCallback::OnReadComplete
                                                                  : &IOPCDataCallback::OnDataChange;
            r = (cb.get()->*call)(a.at(0).toUInt(), a.at(1).toUInt(), a.at(2).toInt(), a.at(3).toInt(), n,
                                  n ? handles.data() : nullptr, n ? values.data() : nullptr,
                                  n ? qualities.data() : nullptr, n ? times.data() : nullptr,
                                  n ? errors.data() : nullptr);
        }
        for (auto& v : values)
            VariantClear(&v);
        return {hr(r)};
    }

    void serverLeft(const QString& server)
    {
        std::vector<ComPtr<IUnknown>> gone;
        for (auto it = sinks_.begin(); it != sinks_.end();) {
            if (it->second.server == server) {
                gone.push_back(std::move(it->second.sink));
                it = sinks_.erase(it);
            } else {
                ++it;
            }
        }
        watcher_.removeWatchedService(server);
    }

    QDBusConnection connection_;
    bool registered_ = false;
    std::map<QString, Entry> sinks_;
    QDBusServiceWatcher watcher_;
};

// Kept until the process ends (never destroyed after the application
// object is gone).
std::map<QString, std::unique_ptr<SinkExports>>& Exports()
{
    static auto* all = new std::map<QString, std::unique_ptr<SinkExports>>;
    return *all;
}

// Sink numbers are unique in the process, whatever the connection.
quint64 g_nextSink = 1;

} // namespace

QString ExportSink(const QDBusConnection& connection, const QString& service, IUnknown* sink)
{
    auto& slot = Exports()[connection.name()];
    if (!slot)
        slot = std::make_unique<SinkExports>(connection);
    return slot->Export(service, sink);
}

void DropSink(const QString& path)
{
    for (auto& [name, e] : Exports())
        e->Drop(path);
}

int ExportedSinks()
{
    int n = 0;
    for (auto& [name, e] : Exports())
        n += e->Count();
    return n;
}

} // namespace opcclient
