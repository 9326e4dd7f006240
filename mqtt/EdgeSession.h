#pragma once
// The Sparkplug B edge node session, as a state machine fed by events: the
// transport's (connected, lost, a message arrived) and the ports' (loaded,
// state changed, value changed, counters sampled, the pulse). It decides what
// is published, in which order and with which seq/bdSeq, what is kept while
// offline, and what a command does; it does no I/O and knows no thread or
// clock (every call is given the time), so it is tested without a broker.
//
// Devices: one per port link, born while the port runs (DBIRTH), dead when it
// stops or loses its device (DDEATH). Metrics: Value (the tag's text; not in
// remote mode), DeviceState, StringsReceived, BytesReceived, BytesSent,
// Errors. Node: bdSeq, Node Control/Rebirth, Properties/Version, Ports
// Configured, Ports Running.
//
// bdSeq: every session the broker accepted gets the next one (0..255); an
// attempt the broker never accepted keeps it, so the death certificate a host
// last saw and the next birth differ by one.
//
// Threads: one thread (the main thread); the output is called synchronously
// from within the event calls and must not block.
#include "PortHub.h"
#include "SparkplugPayload.h"
#include "StoreAndForward.h"

#include <cstdint>
#include <string>
#include <vector>

// What a session asks of the world. Calls come from inside the event calls.
class SessionOutput {
public:
    virtual ~SessionOutput() = default;
    // Send without waiting for the broker (qos 0 or 1, never retained).
    virtual void Publish(const std::string& topic, std::string payload, int qos) = 0;
    // One line for the activity log.
    virtual void Log(const std::string& line) = 0;
    // A host wrote a device's Value: the text goes to the port of that link
    // as an OPC DA synchronous write (tag value, port with its suffix).
    virtual void WriteValue(int linkIndex, const std::string& portBytes) = 0;
    // The primary host went offline: end this session gracefully and connect
    // anew (the next session waits for the host's STATE online).
    virtual void Reconnect() = 0;
};

// A port as the session sees it.
struct DeviceInput {
    int linkIndex = -1;
    std::string description;
    std::string port;
    bool hasValue = true; // false in remote mode: no Value metric
    std::string value;
    std::int64_t valueMs = 0;
    PortState state = PortState::Stopped;
    PortCounters counters;
};

struct SessionConfig {
    std::string group = "Linvaro";
    std::string node;
    std::string primaryHost; // empty: publish as soon as connected
    std::string version;
    std::size_t storeLimit = 10000;
};

class EdgeSession {
public:
    // Commands larger than this are not decoded.
    static constexpr std::size_t kMaxCommandBytes = 64 * 1024;
    // Historical values per DDATA message.
    static constexpr std::size_t kHistoricalBatch = 256;

    EdgeSession(SessionConfig config, SessionOutput& out);

    // The will of the next connection (NDEATH with its bdSeq, QoS 1) and the
    // same message for a graceful end of the current session.
    std::string DeathTopic() const;
    std::string DeathPayload() const;
    std::uint64_t BdSeq() const { return bdSeq_; }
    // Topic filters this node listens to: its NCMD, its devices' DCMD, and
    // the primary host's STATE.
    std::vector<std::string> Subscriptions() const;

    enum class Phase { Offline, WaitingForHost, Online };
    Phase CurrentPhase() const { return phase_; }

    // Transport events.
    void Connected(std::int64_t nowMs);
    void ConnectionLost();
    void MessageArrived(const std::string& topic, const std::string& payload, std::int64_t nowMs);

    // Port events.
    void SetPorts(const std::vector<DeviceInput>& ports, std::int64_t nowMs);
    void PortChanged(const DeviceInput& port, std::int64_t nowMs);
    void ValueChanged(int linkIndex, const std::string& text, std::int64_t changedMs);
    void CountersSampled(int linkIndex, const PortCounters& counters);
    // The pulse: one DDATA per device with what changed since the last one.
    void Flush(std::int64_t nowMs);
    bool HasPending() const;

    std::size_t StoredCount() const { return store_.Size(); }
    // The device id of a link; empty when there is none.
    std::string DeviceIdOf(int linkIndex) const;

private:
    struct Device {
        DeviceInput input;
        std::string id;
        bool born = false;
        PortCounters published;
        std::vector<std::pair<std::string, std::int64_t>> pendingValues;
        bool countersDirty = false;
    };

    Device* find(int linkIndex);
    Device* findById(const std::string& id);
    std::uint64_t nextSeq();
    std::string topic(const char* type, const std::string& device = {}) const;
    void publishBirths(std::int64_t nowMs);
    void publishNodeBirth(std::int64_t nowMs);
    void birth(Device& d, std::int64_t nowMs);
    void death(Device& d, std::int64_t nowMs);
    void publishData(Device& d, std::int64_t nowMs);
    void publishHistory(std::int64_t nowMs);
    void publishNodeCounts(std::int64_t nowMs);
    void keep(const Device& d, const std::string& text, std::int64_t changedMs);
    void hostState(const std::string& payload, std::int64_t nowMs);
    void nodeCommand(const sparkplug::Payload& p, std::int64_t nowMs);
    void deviceCommand(const std::string& deviceId, const sparkplug::Payload& p);
    std::uint32_t portsRunning() const;

    SessionConfig config_;
    SessionOutput& out_;
    Phase phase_ = Phase::Offline;
    bool accepted_ = false; // the broker accepted the current bdSeq's connection
    std::uint64_t bdSeq_ = 0;
    std::uint64_t seq_ = 0;
    std::vector<Device> devices_;
    std::uint32_t publishedConfigured_ = 0, publishedRunning_ = 0;
    StoreAndForward store_;
    bool storeFullLogged_ = false;
};
