#pragma once
// The OPC UA endpoint on the network: a listening TCP socket on the main
// thread, one non-blocking socket per client, the server core fed from
// them, the hub's signals, and one timer for what the core has to do next.
//
// The main thread never waits for a client: sockets are read as data
// arrives, at most one chunk (64 KiB) per event and client, and the rest
// in later turns of the event loop; writes are queued by Qt and a client
// that lets more than 32 MiB pile up is dropped. The costly work of
// secured channels and sessions (RSA, certificate checks, password hashes)
// runs on the endpoint's worker thread and its result comes back as an
// event of the main thread.
//
// Threads: main thread, and the worker for offloaded work. Lifetime: the
// hub must outlive the endpoint; the endpoint's connections to the hub go
// with it.
#include "Server.h"
#include "Worker.h"

#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <map>
#include <memory>

class QTcpSocket;
class PortHub;

namespace ua {

class Endpoint : public QObject {
    Q_OBJECT
public:
    Endpoint(PortHub& hub, ServerConfig config, QObject* parent = nullptr);
    ~Endpoint() override;

    // Starts listening; false with error set when the address is not one or
    // the port cannot be had.
    bool Listen(const QString& address, quint16 port, QString& error);
    quint16 Port() const { return listener_.serverPort(); }
    Server& Core() { return *server_; }
    int PeerCount() const { return static_cast<int>(peers_.size()); }
    // The most main-thread CPU time a peer's network event took so far (µs):
    // reading and acting on what one client sent.
    qint64 LongestEventUs() const { return longestEventUs_; }
    // The same for the timer (publishing, sampling, time-outs) and the hub's
    // signals.
    qint64 LongestTickUs() const { return longestTickUs_; }

private:
    struct Peer {
        QTcpSocket* socket = nullptr;
        std::uint32_t channel = 0;
    };

    void accept();
    void pump(std::uint32_t id);
    void closePeer(std::uint32_t id);
    void closeLater(std::uint32_t id);
    void rearm();
    void tick();
    static void measure(qint64 startNs, qint64& longest);

    std::unique_ptr<Server> server_;
    std::unique_ptr<Worker> worker_;
    QTcpServer listener_;
    std::map<std::uint32_t, Peer> peers_; // by channel id
    QTimer timer_;
    qint64 longestEventUs_ = 0;
    qint64 longestTickUs_ = 0;
};

} // namespace ua
