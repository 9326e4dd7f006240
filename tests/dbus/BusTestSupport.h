#pragma once
// Tests on a private bus (dbus-run-session): the real server objects served
// by a BusServer on one connection of this process, and clients on other
// connections (the client library, raw messages, or a child process). The
// fixture extends the OPC fixture, so every test ends with its leak checks
// (live COM objects, task-allocator blocks, BSTRs, items, transactions).
#include "BusServer.h"
#include "RemoteSink.h"
#include "OpcClient.h"
#include "OpcTestSupport.h"
#include "Wire.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>

#include <functional>
#include <memory>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

// Runs the event loop until done() holds or the deadline passes.
inline bool WaitFor(const std::function<bool()>& done, int deadlineMs = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > deadlineMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

class BusTest : public OpcTest {
protected:
    void SetUp() override
    {
        OpcTest::SetUp();
        // No bus is a failure: these tests run under dbus-run-session.
        ASSERT_TRUE(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"))
            << "no session bus: run the tests under dbus-run-session";
        static int n = 0;
        ++n;
        serverName_ = QStringLiteral("test-server-%1").arg(n);
        clientName_ = QStringLiteral("test-client-%1").arg(n);
        QDBusConnection serverConnection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, serverName_);
        ASSERT_TRUE(serverConnection.isConnected()) << serverConnection.lastError().message().toStdString();
        IClassFactory* factory = nullptr;
        ASSERT_EQ(GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        factory->Release();
        server = std::make_unique<opcdbus::BusServer>(serverConnection, CLSID_DA2, factory);
        QString error;
        ASSERT_TRUE(server->Start(&error)) << error.toStdString();
        client = QDBusConnection::connectToBus(QDBusConnection::SessionBus, clientName_);
        ASSERT_TRUE(client.isConnected());
        opcclient::SetConnection(client);
    }
    void TearDown() override
    {
        ReleaseClients();
        if (server) {
            // Every release the client sent must have reached the server.
            EXPECT_TRUE(WaitFor([this] { return server->PathCount() == 0; })) << server->PathCount() << " paths left";
            server->Stop();
            server.reset();
        }
        EXPECT_EQ(opcclient::LiveProxies(), 0);
        EXPECT_TRUE(WaitFor([] { return opcclient::ExportedSinks() == 0; })) << "an exported sink was not released";
        QDBusConnection::disconnectFromBus(clientName_);
        QDBusConnection::disconnectFromBus(serverName_);
        OpcTest::TearDown();
    }
    // Drops what the test's clients hold (before the leak checks).
    virtual void ReleaseClients() {}

    // A raw call from the client connection to the server.
    QDBusMessage Call(const QString& path, const QString& iface, const QString& member, const QVariantList& args = {})
    {
        QDBusMessage m = QDBusMessage::createMethodCall(server->Connection().baseService(), path, iface, member);
        m.setArguments(args);
        return client.call(m, QDBus::BlockWithGui, 5000);
    }
    QString ServerUnique() const { return server->Connection().baseService(); }

    std::unique_ptr<opcdbus::BusServer> server;
    QDBusConnection client{QString()};

private:
    QString serverName_;
    QString clientName_;
};

inline QVariant U(quint32 v) { return QVariant::fromValue<uint>(v); }
inline QVariant I(qint32 v) { return QVariant::fromValue<int>(v); }
inline QString PathOf(const QVariant& v) { return v.value<QDBusObjectPath>().path(); }
inline QString Iid(REFIID iid) { return opcdbus::GuidText(iid); }
