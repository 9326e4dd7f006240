#include "ClientFlow.h"

#include "Wire.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcClientFlow, "linvaro.dbus.flow")

namespace opcdbus {

namespace {

// Long enough never to end the wait for a client that is merely slow; an
// unanswered ping is simply sent again.
constexpr int kPingTimeoutMs = 30000;
// Kept callbacks may grow to this many times the bound before the client is
// dropped without waiting for the stall time.
constexpr qint64 kKeptFactor = 4;

qint64 Align(qint64 n, qint64 to) { return (n + to - 1) / to * to; }

// UTF-8 bytes of a text, counted without making them.
qint64 Utf8Length(const QString& s)
{
    qint64 n = 0;
    for (const QChar c : s) {
        const char16_t u = c.unicode();
        n += u < 0x80 ? 1 : u < 0x800 ? 2 : (c.isSurrogate() ? 2 : 3);
    }
    return n;
}

qint64 StringBytes(const QString& s) { return 4 + Utf8Length(s) + 1; }

// One value of a VARIANT on the wire: its signature and the value itself.
qint64 WireValueBytes(const QVariant& v)
{
    switch (v.metaType().id()) {
    case QMetaType::QString:
        return 3 + Align(StringBytes(v.toString()), 4);
    case QMetaType::Double:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return 3 + 8 + 4;
    case QMetaType::QByteArray:
        return 4 + 4 + v.toByteArray().size();
    case QMetaType::QStringList: {
        qint64 n = 4 + 4;
        for (const QString& t : v.toStringList())
            n += Align(StringBytes(t), 4);
        return n;
    }
    default:
        return 3 + 4;
    }
}

qint64 ArgumentBytes(const QVariant& a)
{
    const int type = a.metaType().id();
    switch (type) {
    case QMetaType::UInt:
    case QMetaType::Int:
    case QMetaType::Bool:
        return 4;
    case QMetaType::UShort:
    case QMetaType::Short:
        return 2;
    case QMetaType::UChar:
        return 1;
    case QMetaType::ULongLong:
    case QMetaType::LongLong:
    case QMetaType::Double:
        return 8;
    case QMetaType::QString:
        return StringBytes(a.toString());
    default:
        break;
    }
    if (type == qMetaTypeId<QList<uint>>())
        return 4 + 4 * a.value<QList<uint>>().size();
    if (type == qMetaTypeId<QList<int>>())
        return 4 + 4 * a.value<QList<int>>().size();
    if (type == qMetaTypeId<QList<ushort>>())
        return 4 + 2 * a.value<QList<ushort>>().size();
    if (type == qMetaTypeId<QList<qulonglong>>())
        return 8 + 8 * a.value<QList<qulonglong>>().size();
    if (type == qMetaTypeId<QList<WireVariant>>()) {
        qint64 n = 8;
        for (const WireVariant& w : a.value<QList<WireVariant>>())
            n += Align(2 + WireValueBytes(w.value), 8);
        return n;
    }
    if (type == qMetaTypeId<QDBusObjectPath>())
        return StringBytes(a.value<QDBusObjectPath>().path());
    return 8;
}

} // namespace

qint64 EstimateBytes(const QDBusMessage& call)
{
    // The fixed header, then the header fields (path, interface, member,
    // destination, signature, and the sender the bus adds), each aligned.
    qint64 n = 16;
    for (const QString& field : {call.path(), call.interface(), call.member(), call.service()})
        n += Align(4 + StringBytes(field), 8);
    n += Align(4 + 1 + call.signature().size() + 1, 8);
    n += Align(4 + StringBytes(QStringLiteral(":1.0000")), 8);
    n = Align(n, 8);
    for (const QVariant& a : call.arguments())
        n = Align(n, 4) + ArgumentBytes(a);
    return n;
}

// ------------------------------------------------------------ ClientChannel

ClientChannel::ClientChannel(ClientFlows& flows, const QString& client) : flows_(&flows), client_(client) {}

void ClientChannel::Send(const QDBusMessage& call)
{
    if (gone_ || state_ == SinkFlowState::Dropped || !flows_)
        return;
    const qint64 bytes = EstimateBytes(call);
    const bool over = Unread() > flows_->Limits().boundBytes;
    if (held_ || state_ == SinkFlowState::Congested || over) {
        // Kept in order behind what is kept already. Held for a call in
        // progress is no congestion: the client reads.
        if (state_ == SinkFlowState::Congested || over)
            congest();
        kept_.emplace_back(call, bytes);
        keptBytes_ += bytes;
        if (keptBytes_ > kKeptFactor * flows_->Limits().boundBytes)
            drop();
        return;
    }
    transmit(call, bytes);
    if (Unread() > flows_->Limits().boundBytes)
        congest();
}

void ClientChannel::transmit(const QDBusMessage& call, qint64 bytes)
{
    if (!flows_ || !flows_->Connection().send(call))
        return;
    sent_ += bytes;
    schedulePing();
}

void ClientChannel::schedulePing()
{
    if (pingInFlight_ || pingScheduled_ || gone_ || !flows_)
        return;
    pingScheduled_ = true;
    // After the sends of this turn of the event loop (a pulse): one ping
    // covers all of them.
    QTimer::singleShot(0, flows_.data(), [alive = std::weak_ptr<bool>(alive_), this] {
        if (alive.lock())
            ping();
    });
}

void ClientChannel::ping()
{
    pingScheduled_ = false;
    if (gone_ || pingInFlight_ || state_ == SinkFlowState::Dropped || read_ >= sent_ || !flows_)
        return;
    QDBusMessage ping =
        QDBusMessage::createMethodCall(client_, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"),
                                       QStringLiteral("Ping"));
    ping.setAutoStartService(false);
    pingInFlight_ = true;
    const qint64 mark = sent_;
    auto* watcher = new QDBusPendingCallWatcher(flows_->Connection().asyncCall(ping, kPingTimeoutMs), flows_.data());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                     [alive = std::weak_ptr<bool>(alive_), this, mark](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         if (!alive.lock())
                             return;
                         const QDBusMessage reply = w->reply();
                         // Any answer from the client itself means it read
                         // the ping; a time-out or the bus's word does not.
                         const bool fromClient =
                             reply.type() == QDBusMessage::ReplyMessage ||
                             (reply.type() == QDBusMessage::ErrorMessage &&
                              !reply.errorName().startsWith(QLatin1String("org.freedesktop.DBus.Error.NoReply")) &&
                              !reply.errorName().startsWith(QLatin1String("org.freedesktop.DBus.Error.Timeout")) &&
                              !reply.errorName().startsWith(QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")) &&
                              !reply.errorName().startsWith(QLatin1String("org.freedesktop.DBus.Error.Disconnected")));
                         pingAnswered(mark, fromClient);
                     });
}

void ClientChannel::pingAnswered(qint64 mark, bool answered)
{
    pingInFlight_ = false;
    if (gone_ || state_ == SinkFlowState::Dropped)
        return;
    if (answered && mark > read_)
        read_ = mark;
    drain();
    if (read_ < sent_)
        schedulePing();
}

void ClientChannel::Hold(bool hold)
{
    held_ = hold;
    if (!held_)
        drain();
}

void ClientChannel::drain()
{
    if (!flows_ || held_)
        return;
    const qint64 bound = flows_->Limits().boundBytes;
    while (!kept_.empty() && Unread() <= bound) {
        auto [call, bytes] = std::move(kept_.front());
        kept_.pop_front();
        keptBytes_ -= bytes;
        transmit(call, bytes);
    }
    if (kept_.empty() && Unread() <= bound && state_ == SinkFlowState::Congested)
        state_ = SinkFlowState::Open;
}

void ClientChannel::congest()
{
    if (state_ != SinkFlowState::Open || !flows_)
        return;
    state_ = SinkFlowState::Congested;
    congestedSince_.start();
    QTimer::singleShot(flows_->Limits().stallMs, flows_.data(), [alive = std::weak_ptr<bool>(alive_), this] {
        if (alive.lock())
            checkStall();
    });
    if (pid_ < 0) {
        // For the log line, should the client be dropped: the bus answers.
        auto* watcher = new QDBusPendingCallWatcher(
            flows_->Connection().interface()->asyncCall(QStringLiteral("GetConnectionUnixProcessID"), client_), flows_.data());
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished,
                         [alive = std::weak_ptr<bool>(alive_), this](QDBusPendingCallWatcher* w) {
                             w->deleteLater();
                             const QDBusMessage reply = w->reply();
                             if (alive.lock() && reply.type() == QDBusMessage::ReplyMessage &&
                                 !reply.arguments().isEmpty())
                                 pid_ = reply.arguments().first().toLongLong();
                         });
    }
}

void ClientChannel::checkStall()
{
    if (state_ != SinkFlowState::Congested || !flows_)
        return;
    const qint64 left = flows_->Limits().stallMs - congestedSince_.elapsed();
    if (left > 0) {
        // It drained and congested again meanwhile: its own time counts.
        QTimer::singleShot(static_cast<int>(left), flows_.data(), [alive = std::weak_ptr<bool>(alive_), this] {
            if (alive.lock())
                checkStall();
        });
        return;
    }
    drop();
}

void ClientChannel::drop()
{
    if (state_ == SinkFlowState::Dropped)
        return;
    state_ = SinkFlowState::Dropped;
    const double unreadMb = static_cast<double>(Unread()) / (1024.0 * 1024.0);
    const QString who = pid_ >= 0 ? QStringLiteral("%1 (process %2)").arg(client_).arg(pid_) : client_;
    if (flows_)
        flows_->Log(QStringLiteral("OPC client %1 has not read %2 MB of callbacks for %3 s: its callbacks are dropped.")
                   .arg(who)
                   .arg(unreadMb, 0, 'f', 1)
                   .arg(congestedSince_.elapsed() / 1000));
    kept_.clear();
    keptBytes_ = 0;
}

void ClientChannel::Gone()
{
    gone_ = true;
    kept_.clear();
    keptBytes_ = 0;
}

// ------------------------------------------------------------ ClientFlows

ClientFlows::ClientFlows(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), connection_(connection)
{
    RegisterWireTypes();
}

ClientFlows::~ClientFlows() = default;

std::shared_ptr<ClientChannel> ClientFlows::Channel(const QString& client)
{
    if (auto known = Find(client))
        return known;
    auto channel = std::make_shared<ClientChannel>(*this, client);
    channels_[client] = channel;
    return channel;
}

std::shared_ptr<ClientChannel> ClientFlows::Find(const QString& client) const
{
    const auto it = channels_.find(client);
    return it == channels_.end() ? nullptr : it->second.lock();
}

QStringList ClientFlows::Clients() const
{
    QStringList out;
    for (const auto& [client, channel] : channels_)
        if (!channel.expired())
            out.push_back(client);
    return out;
}

void ClientFlows::ClientLeft(const QString& client)
{
    const auto it = channels_.find(client);
    if (it == channels_.end())
        return;
    if (auto channel = it->second.lock())
        channel->Gone();
    channels_.erase(it);
}

void ClientFlows::Log(const QString& line)
{
    if (log_)
        log_(line);
    else
        qCWarning(lcClientFlow).noquote() << line;
}

} // namespace opcdbus
