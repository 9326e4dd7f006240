#include "EdgeNode.h"

#include "MqttClient.h"
#include "PortHub.h"

#include <QDateTime>

#include <algorithm>

namespace {

std::int64_t nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

SessionConfig configOf(const MqttSettings& s, std::string version)
{
    SessionConfig c;
    c.group = s.groupId;
    c.node = s.edgeNodeId;
    c.primaryHost = s.primaryHostId;
    c.version = std::move(version);
    c.storeLimit = static_cast<std::size_t>(std::max(0, s.storeLimit));
    return c;
}

} // namespace

EdgeNode::EdgeNode(PortHub& hub, MqttSettings settings, std::string version, LogSink log, QObject* parent)
    : QObject(parent), hub_(hub), settings_(std::move(settings)), log_(std::move(log)),
      session_(configOf(settings_, std::move(version)), *this)
{
    retryTimer_.setSingleShot(true);
    QObject::connect(&retryTimer_, &QTimer::timeout, this, &EdgeNode::connect);
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(kPulseMs);
    QObject::connect(&flushTimer_, &QTimer::timeout, this, [this] {
        // The link counts a string after storing it: counters are read at
        // the pulse, so a value and its count share a message.
        for (int i = 0; i < hub_.PortCount(); ++i)
            session_.CountersSampled(i, hub_.Counters(i));
        session_.Flush(nowMs());
    });
    sweepTimer_.setInterval(kCounterSweepMs);
    QObject::connect(&sweepTimer_, &QTimer::timeout, this, &EdgeNode::sweepCounters);
    QObject::connect(&hub_, &PortHub::tagChanged, this, &EdgeNode::onTagChanged);
    QObject::connect(&hub_, &PortHub::portStateChanged, this, &EdgeNode::onPortStateChanged);
    QObject::connect(&hub_, &PortHub::portsReloaded, this, &EdgeNode::onPortsReloaded);

    // Paho's threads reach the main thread only through these queued calls;
    // a call still queued when the node is gone is dropped with it.
    MqttClient::Events events;
    events.connected = [this] { QMetaObject::invokeMethod(this, [this] { onConnected(); }, Qt::QueuedConnection); };
    events.connectFailed = [this](const std::string& reason) {
        QMetaObject::invokeMethod(this, [this, reason] { onConnectFailed(reason); }, Qt::QueuedConnection);
    };
    events.lost = [this](const std::string& reason) {
        QMetaObject::invokeMethod(this, [this, reason] { onLost(reason); }, Qt::QueuedConnection);
    };
    events.message = [this](const std::string& topic, const std::string& payload) {
        QMetaObject::invokeMethod(this, [this, topic, payload] { onMessage(topic, payload); }, Qt::QueuedConnection);
    };
    client_ = std::make_unique<MqttClient>(settings_, std::move(events));
}

EdgeNode::~EdgeNode()
{
    if (session_.CurrentPhase() != EdgeSession::Phase::Offline)
        client_->SetGoodbye(session_.DeathTopic(), session_.DeathPayload());
    client_.reset();
}

void EdgeNode::Start()
{
    onPortsReloaded();
    sweepTimer_.start();
    log_("MQTT: edge node " + settings_.groupId + "/" + settings_.edgeNodeId + " connecting to " + settings_.broker);
    connect();
}

DeviceInput EdgeNode::input(int linkIndex) const
{
    const PortInfo info = hub_.Port(linkIndex);
    DeviceInput in;
    in.linkIndex = info.linkIndex;
    in.description = info.description;
    in.port = info.port;
    in.state = info.state;
    in.counters = info.counters;
    in.hasValue = info.tagIndex >= 0;
    TagValue tag;
    if (in.hasValue && hub_.Tag(info.tagIndex, tag)) {
        in.value = tag.text;
        in.valueMs = tag.changedMs;
    }
    return in;
}

void EdgeNode::connect()
{
    if (attempting_ || client_->IsConnected())
        return;
    attempting_ = true;
    client_->Connect(session_.DeathTopic(), session_.DeathPayload(), session_.Subscriptions());
}

void EdgeNode::retryLater()
{
    retryTimer_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kLastRetryMs);
}

void EdgeNode::onConnected()
{
    attempting_ = false;
    retryMs_ = kFirstRetryMs;
    failureLogged_ = false;
    publishFailures_ = 0;
    log_(std::string("MQTT: ") + (everConnected_ ? "reconnected to " : "connected to ") + settings_.broker +
         " (bdSeq " + std::to_string(session_.BdSeq()) + ")" +
         (settings_.primaryHostId.empty() ? "" : "; waiting for primary host " + settings_.primaryHostId));
    everConnected_ = true;
    session_.Connected(nowMs());
}

void EdgeNode::onConnectFailed(const std::string& reason)
{
    attempting_ = false;
    if (!failureLogged_) {
        failureLogged_ = true;
        log_("MQTT: cannot connect to " + settings_.broker + ": " + reason +
             "; retrying every 1 s to 60 s, values are kept meanwhile");
    }
    retryLater();
}

void EdgeNode::onLost(const std::string& reason)
{
    attempting_ = false;
    if (session_.CurrentPhase() == EdgeSession::Phase::Offline && !everConnected_)
        return;
    log_("MQTT: connection to " + settings_.broker + " lost: " + reason);
    failureLogged_ = false;
    session_.ConnectionLost();
    retryMs_ = kFirstRetryMs;
    retryLater();
}

void EdgeNode::onMessage(const std::string& topic, const std::string& payload)
{
    session_.MessageArrived(topic, payload, nowMs());
    scheduleFlush();
}

void EdgeNode::onTagChanged(int tagIndex)
{
    const int link = hub_.LinkOfTag(tagIndex);
    TagValue tag;
    if (link < 0 || !hub_.Tag(tagIndex, tag))
        return;
    session_.ValueChanged(link, tag.text, tag.changedMs);
    scheduleFlush();
}

void EdgeNode::onPortStateChanged(int linkIndex) { session_.PortChanged(input(linkIndex), nowMs()); }

void EdgeNode::onPortsReloaded()
{
    std::vector<DeviceInput> ports;
    for (int i = 0; i < hub_.PortCount(); ++i)
        ports.push_back(input(i));
    session_.SetPorts(ports, nowMs());
}

void EdgeNode::sweepCounters()
{
    for (int i = 0; i < hub_.PortCount(); ++i)
        session_.CountersSampled(i, hub_.Counters(i));
    scheduleFlush();
}

void EdgeNode::scheduleFlush()
{
    if (!flushTimer_.isActive() && session_.HasPending())
        flushTimer_.start();
}

void EdgeNode::Publish(const std::string& topic, std::string payload, int qos)
{
    // A message Paho refuses is lost with the connection it was meant for;
    // the loss event follows and the next session births everything anew.
    if (!client_->Publish(topic, payload, qos) && publishFailures_++ == 0)
        log_("MQTT: a message to " + topic + " could not be sent; the connection is going");
}

void EdgeNode::Log(const std::string& line) { log_(line); }

void EdgeNode::WriteValue(int linkIndex, const std::string& portBytes)
{
    const PortInfo info = hub_.Port(linkIndex);
    if (info.tagIndex >= 0)
        hub_.WriteTag(info.tagIndex, portBytes);
}

void EdgeNode::Reconnect() { client_->Disconnect(session_.DeathTopic(), session_.DeathPayload()); }
