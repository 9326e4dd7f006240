#pragma once
// The Sparkplug B edge node of this program: the session state machine fed
// by the ports (through PortHub) and by the broker (through the Paho
// adapter), on the main thread. Paho's events are handed over by queued
// calls; publishing never waits for the broker, so ports and OPC clients
// carry on when the broker is slow or gone.
//
// Connection: one attempt at a time; after a failure or a loss the next
// attempt follows after 1 s, doubling to 60 s, reset by a success. Each
// connection the broker accepted is a session of its own (new bdSeq, full
// births). The activity log tells connected / lost / reconnected once per
// event, and a failing attempt's reason once per outage.
//
// Lifetime: the hub must outlive the node. Destroying the node ends the
// session gracefully (NDEATH, disconnect), waiting about a second at most.
// Main thread only.
#include "EdgeSession.h"
#include "MqttSettings.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

class MqttClient;
class PortHub;

class EdgeNode : public QObject, private SessionOutput {
    Q_OBJECT
public:
    static constexpr int kFirstRetryMs = 1000;
    static constexpr int kLastRetryMs = 60000;
    // DDATA goes out this long after the first change it carries.
    static constexpr int kPulseMs = 10;
    // Counters that change without a tag value (bytes sent, errors, remote
    // mode) are compared this often.
    static constexpr int kCounterSweepMs = 1000;

    using LogSink = std::function<void(const std::string& line)>;

    EdgeNode(PortHub& hub, MqttSettings settings, std::string version, LogSink log, QObject* parent = nullptr);
    ~EdgeNode() override;

    // Takes the ports as they are now and makes the first connection attempt.
    void Start();

    const EdgeSession& Session() const { return session_; }

private:
    // SessionOutput
    void Publish(const std::string& topic, std::string payload, int qos) override;
    void Log(const std::string& line) override;
    void WriteValue(int linkIndex, const std::string& portBytes) override;
    void Reconnect() override;

    void connect();
    void retryLater();
    void onConnected();
    void onConnectFailed(const std::string& reason);
    void onLost(const std::string& reason);
    void onMessage(const std::string& topic, const std::string& payload);
    void onTagChanged(int tagIndex);
    void onPortStateChanged(int linkIndex);
    void onPortsReloaded();
    void sweepCounters();
    void scheduleFlush();
    DeviceInput input(int linkIndex) const;

    PortHub& hub_;
    MqttSettings settings_;
    LogSink log_;
    EdgeSession session_;
    std::unique_ptr<MqttClient> client_;
    QTimer retryTimer_;
    QTimer flushTimer_;
    QTimer sweepTimer_;
    int retryMs_ = kFirstRetryMs;
    bool everConnected_ = false;
    bool failureLogged_ = false;
    bool attempting_ = false;
    std::uint64_t publishFailures_ = 0;
};
