#pragma once
// ClientFlow: how much the server has sent to each client that the client
// has not yet taken off its connection, and what happens to callbacks when a
// client stops reading.
//
// How it is known: every callback is a D-Bus call sent without a reply
// expected; the bus keeps what the client has not read in the client's
// incoming queue, and nothing about that queue reaches the sender. So each
// channel counts the bytes of what it sent (the size of each message as the
// wire carries it, estimated from its arguments: see EstimateBytes), and
// after a burst of sends it sends the client one org.freedesktop.DBus.Peer
// .Ping, which every D-Bus library answers by itself when it reads it. The
// bus delivers one sender's messages in order, so the answer proves that
// the client has read everything sent before the ping: the bytes counted up
// to the ping are then taken off. At most one ping per client is in flight,
// and another goes only when more was sent since, so a healthy client costs
// one small round trip per burst (per pulse at most), and a frozen one
// keeps exactly one unanswered ping. A client whose library reads but whose
// program does not handle what it read (a GUI thread that hangs while its
// bus thread reads on) counts as reading: what piles up then sits in that
// client's memory, not in the bus or the server.
//
// The states (ISinkFlow): Open while the client's unread bytes are at most
// the bound; past it Congested: callbacks made then (completions of reads,
// writes, refreshes, cancels, shutdown requests) are kept in order and sent
// when the client has read enough to be under the bound again, and groups
// make no data changes for it (they keep their items' latest values). A
// client Congested for the stall time, or whose kept callbacks grow past
// four times the bound, is Dropped: one log line names it, what is kept for
// it is freed, and nothing more is sent to it (its groups let go of its
// sinks, as for a client that died).
//
// Ownership: the BusServer owns the flows; each RemoteSink shares its
// client's channel (std::shared_ptr), so a channel lives while a sink of
// its client does. Main thread only.
#include "SinkFlow.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace opcdbus {

struct FlowLimits {
    static constexpr qint64 kDefaultBoundBytes = 8 * 1024 * 1024;
    static constexpr int kDefaultStallMs = 60000;
    qint64 boundBytes = kDefaultBoundBytes; // unread bytes a client may have
    int stallMs = kDefaultStallMs;          // how long a client may stay past the bound
};

// The size of a method call on the wire: fixed header fields plus the
// marshalled arguments (strings as UTF-8, arrays with their alignment).
qint64 EstimateBytes(const QDBusMessage& call);

class ClientFlows;

class ClientChannel {
public:
    ClientChannel(ClientFlows& flows, const QString& client);

    // Sends a callback, or keeps it when the client is congested. Dropped
    // channels send nothing.
    void Send(const QDBusMessage& call);
    SinkFlowState State() const { return state_; }
    const QString& Client() const { return client_; }
    // Bytes sent that the client has not been seen to read.
    qint64 Unread() const { return sent_ - read_; }
    qint64 Sent() const { return sent_; }
    int Kept() const { return static_cast<int>(kept_.size()); }
    // The client left the bus: nothing more is sent or kept.
    void Gone();
    // While a call of the client is served in slices, its callbacks are
    // kept, in order, and sent after the call's answer.
    void Hold(bool hold);

private:
    friend class ClientFlows;
    void transmit(const QDBusMessage& call, qint64 bytes);
    void schedulePing();
    void ping();
    void pingAnswered(qint64 mark, bool answered);
    void drain();
    void congest();
    void checkStall();
    void drop();

    QPointer<ClientFlows> flows_; // null once the server's flows are gone
    QString client_;
    SinkFlowState state_ = SinkFlowState::Open;
    qint64 sent_ = 0;
    qint64 read_ = 0;
    bool pingInFlight_ = false;
    bool pingScheduled_ = false;
    bool gone_ = false;
    bool held_ = false;
    std::deque<std::pair<QDBusMessage, qint64>> kept_;
    qint64 keptBytes_ = 0;
    QElapsedTimer congestedSince_;
    qint64 pid_ = -1; // asked of the bus when the client first congests
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class ClientFlows : public QObject {
    Q_OBJECT
public:
    explicit ClientFlows(const QDBusConnection& connection, QObject* parent = nullptr);
    ~ClientFlows() override;

    void SetLimits(const FlowLimits& limits) { limits_ = limits; }
    const FlowLimits& Limits() const { return limits_; }
    // Where the line about a dropped client goes (default: the Qt log).
    void SetLog(std::function<void(const QString&)> log) { log_ = std::move(log); }

    // The channel of client (made on first use).
    std::shared_ptr<ClientChannel> Channel(const QString& client);
    // The channel of client when there is one.
    std::shared_ptr<ClientChannel> Find(const QString& client) const;
    // Clients that have a channel.
    QStringList Clients() const;
    void ClientLeft(const QString& client);

    QDBusConnection Connection() const { return connection_; }
    void Log(const QString& line);

private:
    QDBusConnection connection_;
    FlowLimits limits_;
    std::function<void(const QString&)> log_;
    std::map<QString, std::weak_ptr<ClientChannel>> channels_;
};

} // namespace opcdbus
