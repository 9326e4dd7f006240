#include "Endpoint.h"

#include "PortHub.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>

#include <chrono>
#include <ctime>
#include <limits>

namespace ua {

namespace {

std::int64_t SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The main thread's own CPU time: what an event costs it, without the time
// the machine gave to other processes meanwhile.
qint64 ThreadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<qint64>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A closing peer gets this long to take its Error message.
constexpr int kLingerMs = 2000;

} // namespace

Endpoint::Endpoint(PortHub& hub, ServerConfig config, QObject* parent)
    : QObject(parent), server_(std::make_unique<Server>(&hub, std::move(config), SteadyMs))
{
    // What the worker finishes comes back as an event of the main thread,
    // measured as a client event.
    worker_ = std::make_unique<Worker>(
        [this](std::function<void()> done) {
            QMetaObject::invokeMethod(this, [this, done = std::move(done)] {
                const qint64 start = ThreadCpuNs();
                done();
                rearm();
                measure(start, longestEventUs_);
            }, Qt::QueuedConnection);
        },
        limits::kMaxOffloadedJobs);
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Endpoint::tick);
    connect(&listener_, &QTcpServer::newConnection, this, &Endpoint::accept);
    connect(&hub, &PortHub::tagChanged, this, [this](int tag) {
        const qint64 start = ThreadCpuNs();
        server_->TagChanged(tag);
        rearm();
        measure(start, longestTickUs_);
    });
    connect(&hub, &PortHub::portStateChanged, this, [this](int link) {
        server_->PortStateChanged(link);
        rearm();
    });
    connect(&hub, &PortHub::portsReloaded, this, [this] {
        server_->PortsReloaded();
        rearm();
    });
}

Endpoint::~Endpoint()
{
    // The worker first: no offloaded work outlives the channels it serves.
    worker_.reset();
    timer_.stop();
    listener_.close();
    for (auto& [id, peer] : peers_) {
        peer.socket->disconnect(this);
        peer.socket->abort();
        delete peer.socket;
    }
    peers_.clear();
    server_.reset();
}

bool Endpoint::Listen(const QString& address, quint16 port, QString& error)
{
    QHostAddress host;
    if (!host.setAddress(address)) {
        error = "\"" + address + "\" is not an IP address";
        return false;
    }
    if (!listener_.listen(host, port)) {
        error = listener_.errorString();
        return false;
    }
    return true;
}

void Endpoint::measure(qint64 startNs, qint64& longest)
{
    longest = std::max(longest, (ThreadCpuNs() - startNs) / 1000);
}

void Endpoint::accept()
{
    while (QTcpSocket* socket = listener_.nextPendingConnection()) {
        // Qt takes no more from the kernel than one chunk ahead: a peer that
        // sends faster than it is served is held back by TCP.
        socket->setReadBufferSize(limits::kChunkSize);
        auto id = std::make_shared<std::uint32_t>(0);
        ChannelIo io;
        QPointer<QTcpSocket> guard(socket);
        io.write = [this, guard, id](std::string&& bytes) {
            if (!guard)
                return;
            if (static_cast<quint64>(guard->bytesToWrite()) + bytes.size() > limits::kMaxPendingOutput) {
                closeLater(*id);
                return;
            }
            guard->write(bytes.data(), static_cast<qint64>(bytes.size()));
        };
        io.close = [this, id] { closeLater(*id); };
        io.offload = [this](std::function<void()> work, std::function<void()> done) {
            return worker_->Submit(std::move(work), std::move(done));
        };
        // Bytes that waited in the socket while the channel was busy.
        io.resume = [this, id] {
            const std::uint32_t key = *id;
            QMetaObject::invokeMethod(this, [this, key] { pump(key); }, Qt::QueuedConnection);
        };
        SecureChannel* channel = server_->OpenChannel(std::move(io));
        if (!channel) {
            const std::string busy = Framed("ERR", ErrorMessage{sc::BadTcpServerTooBusy, "too many connections"});
            socket->write(busy.data(), static_cast<qint64>(busy.size()));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(kLingerMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
            continue;
        }
        *id = channel->Id();
        peers_[*id] = Peer{socket, *id};
        const std::uint32_t key = *id;
        connect(socket, &QTcpSocket::readyRead, this, [this, key] { pump(key); });
        connect(socket, &QTcpSocket::disconnected, this, [this, key] { closeLater(key); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, key] { closeLater(key); });
    }
    rearm();
}

void Endpoint::pump(std::uint32_t id)
{
    const auto it = peers_.find(id);
    if (it == peers_.end())
        return;
    QTcpSocket* socket = it->second.socket;
    SecureChannel* channel = server_->Channel(id);
    if (!channel)
        return;
    const qint64 start = ThreadCpuNs();
    bool chunkDone = false;
    // One chunk per event: a client with much to say waits for its next turn
    // behind everyone else.
    while (!chunkDone && channel->Need() > 0 && socket->bytesAvailable() > 0) {
        const qint64 n = std::min<qint64>(static_cast<qint64>(channel->Need()), socket->bytesAvailable());
        const QByteArray data = socket->read(n);
        if (data.isEmpty())
            break;
        channel->Feed(data.constData(), static_cast<std::size_t>(data.size()), SteadyMs(), chunkDone);
    }
    if (chunkDone && channel->Need() > 0 && socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, [this, id] { pump(id); }, Qt::QueuedConnection);
    rearm();
    measure(start, longestEventUs_);
}

void Endpoint::closeLater(std::uint32_t id)
{
    // Never from inside the channel's own calls: the channel goes on the
    // next turn of the event loop.
    QMetaObject::invokeMethod(this, [this, id] { closePeer(id); }, Qt::QueuedConnection);
}

void Endpoint::closePeer(std::uint32_t id)
{
    const auto it = peers_.find(id);
    if (it == peers_.end())
        return;
    QTcpSocket* socket = it->second.socket;
    peers_.erase(it);
    server_->DropChannel(id);
    socket->disconnect(this);
    // What is queued (an Error message) goes first, for a short while.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kLingerMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->disconnectFromHost();
    rearm();
}

void Endpoint::rearm()
{
    const std::int64_t deadline = server_->NextDeadline();
    if (deadline == std::numeric_limits<std::int64_t>::max()) {
        timer_.stop();
        return;
    }
    const std::int64_t wait = std::max<std::int64_t>(0, deadline - SteadyMs());
    // Past an hour the timer is re-armed on the way anyway.
    timer_.start(static_cast<int>(std::min<std::int64_t>(wait, 3600000)));
}

void Endpoint::tick()
{
    const qint64 start = ThreadCpuNs();
    server_->Tick();
    rearm();
    measure(start, longestTickUs_);
}

} // namespace ua
