#include "AppInit.h"

#include <QCryptographicHash>
#include <QLocalSocket>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>

SingleInstance::SingleInstance(QObject* parent) : QObject(parent)
{
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance() { server_.close(); }

std::string SingleInstance::MutexName(const std::string& programPath)
{
    std::string name = "APPLICATION-" + programPath;
    std::replace(name.begin(), name.end(), '\\', '_');
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name;
}

QString SingleInstance::SocketName(const std::string& mutexName)
{
    const QByteArray hash =
        QCryptographicHash::hash(QByteArray::fromStdString(mutexName), QCryptographicHash::Sha1).toHex().left(20);
    return QStringLiteral("linvaro-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

bool SingleInstance::Acquire(const std::string& programPath)
{
    const QString name = SocketName(MutexName(programPath));
    {
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(1000)) {
            probe.disconnectFromServer();
            return false; // another copy answers
        }
    }
    // Nobody answers: a socket file left by a copy that crashed is stale.
    QLocalServer::removeServer(name);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    return server_.listen(name);
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer] {
            // A sender has no business sending more than a short message.
            if (buffer->size() < 4096)
                buffer->append(socket->readAll().left(4096 - buffer->size()));
            else
                socket->readAll();
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, buffer] {
            buffer->append(socket->readAll().left(std::max<qsizetype>(0, 4096 - buffer->size())));
            socket->deleteLater();
            if (!buffer->isEmpty())
                emit textReceived(buffer->toStdString());
        });
    }
}

bool SingleInstance::SendText(const std::string& programPath, const std::string& text, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(SocketName(MutexName(programPath)));
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(text.data(), static_cast<qint64>(text.size()));
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(timeoutMs);
    return true;
}
