#include "AppInit.h"

#include "UserFolders.h"

#include <QCryptographicHash>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

SingleInstance::SingleInstance(QObject* parent) : QObject(parent)
{
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
}

SingleInstance::~SingleInstance() { release(); }

void SingleInstance::release()
{
    // The socket goes before the locks: whoever takes the instance next
    // makes its own.
    server_.close();
    for (int fd : locks_)
        close(fd);
    locks_.clear();
}

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
    release();
    error_.clear();
    const std::string base = SocketName(MutexName(programPath)).toStdString();
    const std::vector<std::string> folders = userfolders::RuntimeFolders(true);
    if (folders.empty()) {
        error_ = "no private runtime folder for this user (/run/user/" + std::to_string(getuid()) + " and /tmp/linvaro-" +
                 std::to_string(getuid()) + " are missing or not this user's alone)";
        return false;
    }
    for (const std::string& folder : folders) {
        const std::string path = folder + "/" + base + ".lock";
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0600);
        struct stat st{};
        if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error_ = "cannot use the lock file " + path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
            if (fd >= 0)
                close(fd);
            release();
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                error_ = "cannot lock " + path + ": " + std::strerror(errno);
            close(fd);
            release(); // another copy holds it
            return false;
        }
        locks_.push_back(fd);
    }
    // Holding every lock, the socket name is ours: a file there was left by
    // a copy that ended without removing it.
    const QString socketPath = QString::fromStdString(folders.front() + "/" + base + ".sock");
    QLocalServer::removeServer(socketPath);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(socketPath)) {
        error_ = "cannot listen on " + socketPath.toStdString() + ": " + server_.errorString().toStdString();
        release();
        return false;
    }
    return true;
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
    const std::string base = SocketName(MutexName(programPath)).toStdString();
    for (const std::string& folder : userfolders::RuntimeFolders(false)) {
        QLocalSocket socket;
        socket.connectToServer(QString::fromStdString(folder + "/" + base + ".sock"));
        if (!socket.waitForConnected(timeoutMs))
            continue;
        socket.write(text.data(), static_cast<qint64>(text.size()));
        if (!socket.waitForBytesWritten(timeoutMs))
            return false;
        socket.disconnectFromServer();
        if (socket.state() != QLocalSocket::UnconnectedState)
            socket.waitForDisconnected(timeoutMs);
        return true;
    }
    return false;
}
