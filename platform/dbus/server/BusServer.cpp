#include "BusServer.h"

#include "Adaptors.h"
#include "Interfaces.h"
#include "OPCDA.h"
#include "ServIMPL.h"
#include "Wire.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QLoggingCategory>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <vector>

Q_LOGGING_CATEGORY(lcBusServer, "linvaro.dbus.server")

namespace opcdbus {

namespace {

const QString kRoot = QStringLiteral("/");
const QString kObjectPrefix = QStringLiteral("/obj/");
const QString kIntrospectable = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString kPeer = QStringLiteral("org.freedesktop.DBus.Peer");
const QString kIUnknown = QStringLiteral("opc.IUnknown");
const QString kIClassFactory = QStringLiteral("opc.IClassFactory");

QString Number(const QString& path) { return path.mid(kObjectPrefix.size()); }

} // namespace

// One path: one client's hold on one object.
struct BusServer::Stub final : ExternalHolder {
    BusServer* server = nullptr;
    QString path;
    QString client;
    quint64 id = 0;
    IUnknown* identity = nullptr;
    ComPtr<IUnknown> object; // the one COM reference of the path
    quint32 count = 0;

    // CoDisconnectObject: the client loses the path.
    void DisconnectHolder() override
    {
        auto self = server->detach(path); // self is this; released at scope end
    }
};

BusServer::BusServer(const QDBusConnection& connection, REFCLSID clsid, IClassFactory* factory)
    : connection_(connection), clsid_(clsid), factory_(factory), serviceName_(WellKnownName(clsid)),
      flows_(connection)
{
    RegisterWireTypes();
}

BusServer::~BusServer() { Stop(); }

BusServer::InProgress::InProgress() = default;
BusServer::InProgress::~InProgress() = default;
BusServer::InProgress::InProgress(InProgress&&) noexcept = default;
BusServer::InProgress& BusServer::InProgress::operator=(InProgress&&) noexcept = default;

bool BusServer::Start(QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        Stop();
        return false;
    };
    if (!connection_.isConnected())
        return fail(QStringLiteral("not connected to the bus: %1").arg(connection_.lastError().message()));
    if (!connection_.registerVirtualObject(kRoot, this, QDBusConnection::SubPath))
        return fail(QStringLiteral("the object path / is already served on this connection"));
    registered_ = true;
    watcher_ = new QDBusServiceWatcher(this);
    watcher_->setConnection(connection_);
    watcher_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& name) { ClientLeft(name); });
    const auto reply = connection_.interface()->registerService(serviceName_, QDBusConnectionInterface::DontQueueService,
                                                                 QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered)
        return fail(QStringLiteral("cannot own the bus name %1: %2")
                        .arg(serviceName_, reply.isValid() ? QStringLiteral("owned by another connection")
                                                           : reply.error().message()));
    serving_ = true;
    return true;
}

void BusServer::Stop()
{
    const bool wasServing = serving_;
    serving_ = false;
    inProgress_.clear(); // their targets learn the requests are over
    // Every client's references go, newest first within each client.
    std::vector<QString> clients;
    for (const auto& [path, stub] : paths_)
        if (std::find(clients.begin(), clients.end(), stub->client) == clients.end())
            clients.push_back(stub->client);
    for (const auto& c : clients)
        ClientLeft(c);
    if (wasServing && connection_.isConnected())
        connection_.interface()->unregisterService(serviceName_);
    if (registered_) {
        connection_.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
        registered_ = false;
    }
    delete watcher_;
    watcher_ = nullptr;
    if (ownsConnection_) {
        ownsConnection_ = false;
        QDBusConnection::disconnectFromBus(connection_.name());
    }
}

int BusServer::PathCount(const QString& client) const
{
    return static_cast<int>(std::count_if(paths_.begin(), paths_.end(),
                                          [&](const auto& p) { return p.second->client == client; }));
}

quint32 BusServer::ReferenceCount(const QString& path) const
{
    auto it = paths_.find(path);
    return it == paths_.end() ? 0 : it->second->count;
}

QString BusServer::Export(const QString& client, IUnknown* adopted)
{
    if (!adopted)
        return kRoot;
    IUnknown* identity = ComIdentity(adopted);
    auto known = byIdentity_.find({client, identity});
    if (known != byIdentity_.end()) {
        Stub& stub = *paths_.at(known->second);
        ++stub.count;
        adopted->Release(); // the path already holds its reference
        return stub.path;
    }
    auto stub = std::make_unique<Stub>();
    stub->server = this;
    stub->id = nextId_++;
    stub->path = kObjectPrefix + QString::number(stub->id);
    stub->client = client;
    stub->identity = identity;
    stub->object = ComPtr<IUnknown>(adopted, false);
    stub->count = 1;
    RegisterExternalHolder(identity, stub.get());
    byIdentity_[{client, identity}] = stub->path;
    const QString path = stub->path;
    paths_[path] = std::move(stub);
    watch(client);
    return path;
}

std::unique_ptr<BusServer::Stub> BusServer::detach(const QString& path)
{
    auto it = paths_.find(path);
    if (it == paths_.end())
        return nullptr;
    std::unique_ptr<Stub> stub = std::move(it->second);
    paths_.erase(it);
    byIdentity_.erase({stub->client, stub->identity});
    UnregisterExternalHolder(stub->identity, stub.get());
    return stub;
}

void BusServer::ClientLeft(const QString& client)
{
    std::vector<Stub*> mine;
    for (const auto& [path, stub] : paths_)
        if (stub->client == client)
            mine.push_back(stub.get());
    // Newest first: groups and enumerators go before the server that made
    // them, as a client releasing them in order would.
    std::sort(mine.begin(), mine.end(), [](const Stub* a, const Stub* b) { return a->id > b->id; });
    std::vector<std::unique_ptr<Stub>> held;
    for (Stub* s : mine)
        held.push_back(detach(s->path));
    // Releasing may destroy objects that disconnect others; those paths are
    // already out of every table.
    for (auto& s : held)
        s.reset();
    inProgress_.erase(client);
    flows_.ClientLeft(client);
    if (watcher_)
        watcher_->removeWatchedService(client);
}

void BusServer::watch(const QString& client)
{
    if (!watcher_ || watcher_->watchedServices().contains(client))
        return;
    watcher_->addWatchedService(client);
    // The client may have gone before the watch was in place: ask the bus
    // (the bus answers, not the client, so this never waits on a client).
    QDBusPendingCallWatcher* check =
        new QDBusPendingCallWatcher(connection_.interface()->asyncCall(QStringLiteral("NameHasOwner"), client), this);
    connect(check, &QDBusPendingCallWatcher::finished, this, [this, client](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
            !reply.arguments().first().toBool())
            ClientLeft(client);
    });
}

// ------------------------------------------------------------------ calls

bool BusServer::handleMessage(const QDBusMessage& message, const QDBusConnection&)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    if (!serving_) {
        sendError(message, kErrorUnknownObject, QStringLiteral("not serving"));
        return true;
    }
    if (auto it = inProgress_.find(message.service()); it != inProgress_.end()) {
        it->second.waiting.push_back(message); // after the client's call in progress
        return true;
    }
    dispatch(message);
    return true;
}

void BusServer::startSliced(const QDBusMessage& message, const MethodInfo& method, std::unique_ptr<SlicedCall> call)
{
    const QString client = message.service();
    InProgress& p = inProgress_[client];
    p.message = message;
    p.method = &method;
    p.call = std::move(call);
    p.serial = nextSerial_++;
    if (auto channel = flows_.Find(client))
        channel->Hold(true);
    QTimer::singleShot(0, this, [this, client, serial = p.serial] { step(client, serial); });
}

void BusServer::step(const QString& client, quint64 serial)
{
    auto it = inProgress_.find(client);
    if (it == inProgress_.end() || it->second.serial != serial || it->second.answering)
        return;
    InProgress& p = it->second;
    if (!p.call->Step(QDeadlineTimer(kSliceBudgetMs))) {
        // Back to the event loop: the ports, the pulse and other clients.
        QTimer::singleShot(0, this, [this, client, serial] { step(client, serial); });
        return;
    }
    const QVariantList outs = p.call->Outs();
    const QString sig = SignatureOfArgs(outs);
    if (sig != p.method->outSignature || !p.message.isReplyRequired()) {
        sendReply(p.message, *p.method, outs); // the fault is reported there
        answered(client, serial);
        return;
    }
    // Marshalling a large answer would hold the main thread as long as the
    // slices spared it: a worker thread does it. The client's next messages
    // and callbacks wait until the answer is on its way.
    p.answering = true;
    QDBusMessage reply = p.message.createReply(outs);
    QDBusConnection connection = connection_;
    QPointer<BusServer> self(this);
    QThreadPool::globalInstance()->start([connection, reply, self, client, serial]() mutable {
        connection.send(reply);
        reply = QDBusMessage();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, client, serial] {
                if (self)
                    self->answered(client, serial);
            },
            Qt::QueuedConnection);
    });
}

void BusServer::answered(const QString& client, quint64 serial)
{
    auto it = inProgress_.find(client);
    if (it == inProgress_.end() || it->second.serial != serial)
        return;
    std::deque<QDBusMessage> waiting = std::move(it->second.waiting);
    inProgress_.erase(it); // the target learns the request is over
    if (auto channel = flows_.Find(client))
        channel->Hold(false);
    while (!waiting.empty() && serving_) {
        if (auto again = inProgress_.find(client); again != inProgress_.end()) {
            // The client's next call is served in slices too: the rest waits.
            for (auto& m : waiting)
                again->second.waiting.push_back(std::move(m));
            return;
        }
        const QDBusMessage m = std::move(waiting.front());
        waiting.pop_front();
        dispatch(m);
    }
}

void BusServer::sendError(const QDBusMessage& message, const char* name, const QString& text)
{
    // A call sent without a reply expected (a client's final Release) gets none.
    if (message.isReplyRequired())
        connection_.send(message.createErrorReply(QLatin1String(name), text));
}

void BusServer::replyUnknown(const QDBusMessage& message)
{
    sendError(message, kErrorUnknownObject, QStringLiteral("no object %1 for this connection").arg(message.path()));
}

void BusServer::sendReply(const QDBusMessage& message, const MethodInfo& method, const QVariantList& outs)
{
    const QString sig = SignatureOfArgs(outs);
    if (sig != method.outSignature) {
        // An adaptor out of step with its description: a fault of ours.
        qCCritical(lcBusServer) << message.interface() << message.member() << "answered" << sig << "instead of"
                                << method.outSignature;
        sendError(message, kErrorFailed, QStringLiteral("internal error"));
        return;
    }
    if (message.isReplyRequired())
        connection_.send(message.createReply(outs));
}

void BusServer::dispatch(const QDBusMessage& message)
{
    const QString path = message.path();
    const QString client = message.service();
    const QString iface = message.interface();
    const QString member = message.member();

    Stub* stub = nullptr;
    if (path != kRoot) {
        auto it = paths_.find(path);
        if (it == paths_.end() || it->second->client != client)
            return replyUnknown(message);
        stub = it->second.get();
    }
    if (iface == kIntrospectable && member == QLatin1String("Introspect")) {
        connection_.send(message.createReply(introspectionOf(path, client)));
        return;
    }
    if (iface == kPeer && member == QLatin1String("Ping")) {
        connection_.send(message.createReply());
        return;
    }
    const InterfaceInfo* info = FindInterface(iface);
    if (!info) {
        sendError(message, kErrorUnknownInterface, QStringLiteral("no interface '%1' (the interface is required)").arg(iface));
        return;
    }
    const MethodInfo* method = info->Method(member);
    if (!method) {
        sendError(message, kErrorUnknownMethod, QStringLiteral("no method %1 in %2").arg(member, iface));
        return;
    }
    if (message.signature() != method->inSignature) {
        sendError(message, kErrorInvalidArgs,
                  QStringLiteral("%1.%2 takes (%3), not (%4)").arg(iface, member, method->inSignature, message.signature()));
        return;
    }
    if (iface == kIUnknown)
        return callUnknown(message, stub);

    // The COM interface the call goes to, with a reference for its length.
    ComPtr<IUnknown> target;
    if (!stub) {
        if (iface != kIClassFactory)
            return sendError(message, kErrorUnknownInterface, QStringLiteral("the class object has only opc.IClassFactory"));
        target = ComPtr<IUnknown>(factory_);
    } else {
        IUnknown* p = nullptr;
        if (FAILED(stub->object->QueryInterface(info->iid, reinterpret_cast<void**>(&p))) || !p)
            return sendError(message, kErrorUnknownInterface, QStringLiteral("the object does not answer %1").arg(iface));
        target = ComPtr<IUnknown>(p, false);
    }
    const Adaptor adaptor = FindAdaptor(iface, member);
    if (!adaptor) {
        sendError(message, kErrorUnknownMethod, QStringLiteral("%1.%2 is not served here").arg(iface, member));
        return;
    }
    const QVariantList args = message.arguments();
    CallContext call{*this, message, client, *method, args, target.get()};
    // From here on the stub may go (the call may disconnect its object):
    // only the reference in target is used.
    const QVariantList outs = adaptor(call);
    if (call.sliced)
        return startSliced(message, *method, std::move(call.sliced));
    sendReply(message, *method, outs);
}

void BusServer::callUnknown(const QDBusMessage& message, Stub* stub)
{
    const InterfaceInfo* info = FindInterface(kIUnknown);
    const MethodInfo& method = *info->Method(message.member());
    const QString member = message.member();
    const QString client = message.service();
    if (member == QLatin1String("QueryInterface")) {
        const auto iid = GuidFromText(message.arguments().value(0).toString());
        if (!iid)
            return sendReply(message, method, ZeroOuts(method.outSignature, E_INVALIDARG));
        if (!stub) {
            const bool ok = *iid == IID_IUnknown || *iid == IID_IClassFactory;
            return sendReply(message, method, {QVariant::fromValue<int>(ok ? S_OK : E_NOINTERFACE),
                                               QVariant::fromValue(QDBusObjectPath(kRoot))});
        }
        IUnknown* p = nullptr;
        ComPtr<IUnknown> keep = stub->object;
        const HRESULT hr = keep->QueryInterface(*iid, reinterpret_cast<void**>(&p));
        const QString path = SUCCEEDED(hr) && p ? Export(client, p) : kRoot;
        return sendReply(message, method, {QVariant::fromValue<int>(hr), QVariant::fromValue(QDBusObjectPath(path))});
    }
    if (!stub) // the class object is not counted
        return sendReply(message, method, {QVariant::fromValue<uint>(1)});
    if (member == QLatin1String("AddRef"))
        return sendReply(message, method, {QVariant::fromValue<uint>(++stub->count)});
    // Release
    const quint32 left = --stub->count;
    if (left == 0)
        detach(stub->path).reset();
    sendReply(message, method, {QVariant::fromValue<uint>(left)});
}

// ------------------------------------------------------------ introspection

QString BusServer::introspectionOf(const QString& path, const QString& client) const
{
    QString xml = QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n");
    xml += QStringLiteral("  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
                          "    <method name=\"Introspect\"><arg name=\"xml\" type=\"s\" direction=\"out\"/></method>\n"
                          "  </interface>\n");
    if (path == kRoot) {
        xml += FindInterface(kIUnknown)->xml + QLatin1Char('\n');
        xml += FindInterface(kIClassFactory)->xml + QLatin1Char('\n');
        xml += QStringLiteral("  <node name=\"obj\"/>\n");
    } else if (path == QLatin1String("/obj")) {
        for (const auto& [p, stub] : paths_)
            if (stub->client == client)
                xml += QStringLiteral("  <node name=\"%1\"/>\n").arg(Number(p));
    } else if (auto it = paths_.find(path); it != paths_.end()) {
        for (const auto& info : AllInterfaces()) {
            if (info.name == kIClassFactory)
                continue;
            void* p = nullptr;
            if (info.name == kIUnknown ||
                (SUCCEEDED(it->second->object->QueryInterface(info.iid, &p)) && p)) {
                if (p)
                    static_cast<IUnknown*>(p)->Release();
                xml += info.xml + QLatin1Char('\n');
            }
        }
    }
    xml += QStringLiteral("</node>\n");
    return xml;
}

QString BusServer::introspect(const QString& path) const { return introspectionOf(path, QString()); }

// ------------------------------------------------------------ the program's class

std::unique_ptr<BusServer> ServeOpcServerClass(QString* error)
{
    QDBusConnection connection =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("linvaro-opc-server"));
    if (!connection.isConnected()) {
        if (error)
            *error = QStringLiteral("the session bus is not reachable: %1").arg(connection.lastError().message());
        QDBusConnection::disconnectFromBus(QStringLiteral("linvaro-opc-server"));
        return nullptr;
    }
    IClassFactory* factory = nullptr;
    if (FAILED(GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        if (error)
            *error = QStringLiteral("the OPC server class is not available");
        QDBusConnection::disconnectFromBus(QStringLiteral("linvaro-opc-server"));
        return nullptr;
    }
    factory->Release(); // the class object lives as long as the process
    auto server = std::make_unique<BusServer>(connection, CLSID_DA2, factory);
    server->OwnConnection();
    if (!server->Start(error))
        return nullptr; // Start stopped it, which closed the connection
    return server;
}

} // namespace opcdbus
