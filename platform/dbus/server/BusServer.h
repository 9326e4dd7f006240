#pragma once
// BusServer: serves one COM class and every object it hands out on one D-Bus
// connection, under the class's well-known name.
//
// Object paths: "/" is the class object (opc.IClassFactory). Every object a
// client receives gets a path "/obj/<n>" of its own for that client: the
// same object identity given to the same client always has the same path;
// another client gets another path, and a call on a path from any
// connection but its client's is answered as an unknown object. Numbers are
// never reused, so a stale path never reaches a newer object.
//
// References: a path holds one COM reference on its object while the
// client's count for it is above 0. Every time a path is handed to the
// client (an out-parameter, QueryInterface) the count grows by one;
// opc.IUnknown.AddRef/Release adjust it. The path goes, and its COM
// reference with it, when the count reaches 0, when the client leaves the
// bus (every path of that client at once, newest first), when the object is
// disconnected (CoDisconnectObject: each path is an ExternalHolder), or at
// Stop.
//
// Calls: every method call is checked against the interface description
// (docs/dbus/*.xml) before any argument is read: unknown interface, method or
// object, or a signature other than the described one, get a D-Bus error
// reply. Values that pass the signature but make no sense (counts that
// differ from their arrays, bad VARIANT type codes, optional pointers with
// more than one element) give the method's HRESULT E_INVALIDARG, with every
// out-argument zero or empty, and the COM object is not called.
//
// Large requests (see Adaptors.h) are served in slices from the event loop;
// while one is in progress, the same client's later messages wait, in
// order, and its callbacks are held, so the client sees what a single call
// would have given it; other clients are served meanwhile. A large answer is
// marshalled and sent by a worker thread.
//
// Sinks: a client's sink passed to Advise is wrapped in a local COM object
// (RemoteSink) that forwards the callbacks as D-Bus calls sent without
// waiting for a reply, through the client's channel of Flows(), which bounds
// what a client that stops reading may have unread (ClientFlow.h).
//
// Threads: the main thread only (the COM objects' apartment); the object is
// registered on the connection from that thread, so Qt delivers the calls
// there.
#include "ClientFlow.h"
#include "ComObject.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QString>
#include <QVariantList>

#include <deque>
#include <map>
#include <memory>
#include <utility>

class QDBusServiceWatcher;

namespace opcdbus {

struct MethodInfo;
struct InterfaceInfo;
class SlicedCall;

class BusServer : public QDBusVirtualObject {
    Q_OBJECT
public:
    // factory: the class object (its reference count is not used; it must
    // outlive this server).
    BusServer(const QDBusConnection& connection, REFCLSID clsid, IClassFactory* factory);
    ~BusServer() override;

    // Registers the objects and claims the well-known name of the class.
    // False (and why) when the connection is not up, the path is taken or
    // another connection owns the name; nothing stays registered then.
    bool Start(QString* error);
    // Releases every reference every client holds, gives up the name and the
    // objects. Calls that arrive later get no answer from this server.
    void Stop();
    bool Serving() const { return serving_; }
    // Stop also closes the connection (for a connection made for this server).
    void OwnConnection() { ownsConnection_ = true; }

    QDBusConnection Connection() const { return connection_; }
    const QString& ServiceName() const { return serviceName_; }

    // What each client has not yet read of its callbacks, and its limits.
    ClientFlows& Flows() { return flows_; }

    // For tests and the console: paths alive, per client or in all.
    int PathCount() const { return static_cast<int>(paths_.size()); }
    int PathCount(const QString& client) const;
    // The client's count on path, or 0.
    quint32 ReferenceCount(const QString& path) const;

    // --- Used by the adaptors (main thread).
    // Gives the client a path for the object adopted points to, taking over
    // the one reference adopted carries (released at once when the client
    // already has a path for that object). A null pointer gives "/".
    QString Export(const QString& client, IUnknown* adopted);
    // A client left the bus (or the server is stopping): drop all its paths.
    void ClientLeft(const QString& client);

    // QDBusVirtualObject
    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    struct Stub;
    friend struct Stub;

    void dispatch(const QDBusMessage& message);
    void sendError(const QDBusMessage& message, const char* name, const QString& text);
    void replyUnknown(const QDBusMessage& message);
    void sendReply(const QDBusMessage& message, const MethodInfo& method, const QVariantList& outs);
    void callUnknown(const QDBusMessage& message, Stub* stub);
    QString introspectionOf(const QString& path, const QString& client) const;
    // Removes a path from every table and unregisters it as a holder; the
    // stub (and its COM reference) is handed to the caller.
    std::unique_ptr<Stub> detach(const QString& path);
    void watch(const QString& client);
    // Calls served in slices.
    struct InProgress {
        QDBusMessage message;
        const MethodInfo* method = nullptr;
        std::unique_ptr<SlicedCall> call;
        std::deque<QDBusMessage> waiting; // the client's later messages
        quint64 serial = 0;               // tells this call from a later one of the client
        bool answering = false;           // the answer is being sent by a worker
        InProgress();
        ~InProgress();
        InProgress(InProgress&&) noexcept;
        InProgress& operator=(InProgress&&) noexcept;
    };
    void startSliced(const QDBusMessage& message, const MethodInfo& method, std::unique_ptr<SlicedCall> call);
    void step(const QString& client, quint64 serial);
    void answered(const QString& client, quint64 serial);

    QDBusConnection connection_;
    CLSID clsid_;
    IClassFactory* factory_;
    QString serviceName_;
    bool serving_ = false;
    bool registered_ = false;
    bool ownsConnection_ = false;
    quint64 nextId_ = 1;
    std::map<QString, std::unique_ptr<Stub>> paths_;
    std::map<std::pair<QString, IUnknown*>, QString> byIdentity_;
    QDBusServiceWatcher* watcher_ = nullptr;
    ClientFlows flows_;
    std::map<QString, InProgress> inProgress_;
    quint64 nextSerial_ = 1;
};

// The program's OPC class (CLSID_DA2) served on its own connection to the
// session bus. nullptr (and why) when the bus is not reachable or the name
// is taken.
std::unique_ptr<BusServer> ServeOpcServerClass(QString* error);

} // namespace opcdbus
