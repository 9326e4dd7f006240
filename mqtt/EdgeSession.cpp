#include "EdgeSession.h"

#include "SparkplugTopic.h"

#include <algorithm>
#include <set>

using sparkplug::DataType;
using sparkplug::Metric;
using sparkplug::Payload;

namespace {

constexpr const char* kRebirth = "Node Control/Rebirth";
constexpr const char* kValue = "Value";

std::uint64_t ms(std::int64_t t) { return t > 0 ? static_cast<std::uint64_t>(t) : 0; }

// Counts travel as UInt64: readers disagree on the field of a UInt32
// (int_value or long_value), none on the long_value of a UInt64.
void addCounters(std::vector<Metric>& metrics, const PortCounters& c, const PortCounters* before, std::uint64_t now)
{
    auto add = [&](const char* name, DataType type, std::uint64_t value, std::uint64_t old) {
        if (!before || value != old)
            metrics.push_back(Metric::UInt(name, type, value, now));
    };
    add("StringsReceived", DataType::UInt64, c.stringsReceived, before ? before->stringsReceived : 0);
    add("BytesReceived", DataType::UInt64, c.bytesReceived, before ? before->bytesReceived : 0);
    add("BytesSent", DataType::UInt64, c.bytesSent, before ? before->bytesSent : 0);
    add("Errors", DataType::UInt64, c.errors, before ? before->errors : 0);
}

bool sameCounters(const PortCounters& a, const PortCounters& b)
{
    return a.stringsReceived == b.stringsReceived && a.bytesReceived == b.bytesReceived &&
           a.bytesSent == b.bytesSent && a.errors == b.errors;
}

} // namespace

EdgeSession::EdgeSession(SessionConfig config, SessionOutput& out)
    : config_(std::move(config)), out_(out), store_(config_.storeLimit)
{
}

std::string EdgeSession::topic(const char* type, const std::string& device) const
{
    return sparkplug::TopicOf(config_.group, type, config_.node, device);
}

std::string EdgeSession::DeathTopic() const { return topic("NDEATH"); }

std::string EdgeSession::DeathPayload() const
{
    Payload p;
    p.metrics.push_back(Metric::UInt("bdSeq", DataType::UInt64, bdSeq_, 0));
    return sparkplug::Encode(p);
}

std::vector<std::string> EdgeSession::Subscriptions() const
{
    std::vector<std::string> filters{topic("NCMD"), topic("DCMD") + "/+"};
    if (!config_.primaryHost.empty())
        filters.push_back(sparkplug::StateTopicOf(config_.primaryHost));
    return filters;
}

std::uint64_t EdgeSession::nextSeq()
{
    seq_ = (seq_ + 1) % 256;
    return seq_;
}

EdgeSession::Device* EdgeSession::find(int linkIndex)
{
    for (Device& d : devices_)
        if (d.input.linkIndex == linkIndex)
            return &d;
    return nullptr;
}

EdgeSession::Device* EdgeSession::findById(const std::string& id)
{
    for (Device& d : devices_)
        if (d.id == id)
            return &d;
    return nullptr;
}

std::string EdgeSession::DeviceIdOf(int linkIndex) const
{
    for (const Device& d : devices_)
        if (d.input.linkIndex == linkIndex)
            return d.id;
    return {};
}

std::uint32_t EdgeSession::portsRunning() const
{
    return static_cast<std::uint32_t>(std::count_if(devices_.begin(), devices_.end(), [](const Device& d) {
        return d.input.state == PortState::Running;
    }));
}

void EdgeSession::Connected(std::int64_t nowMs)
{
    accepted_ = true;
    if (!config_.primaryHost.empty()) {
        phase_ = Phase::WaitingForHost;
        return;
    }
    phase_ = Phase::Online;
    publishBirths(nowMs);
    publishHistory(nowMs);
}

void EdgeSession::ConnectionLost()
{
    // What was waiting for the next pulse was never sent: it is history now.
    for (Device& d : devices_) {
        for (const auto& [text, changedMs] : d.pendingValues)
            keep(d, text, changedMs);
        d.pendingValues.clear();
        d.countersDirty = false;
        d.born = false;
    }
    phase_ = Phase::Offline;
    if (accepted_)
        bdSeq_ = (bdSeq_ + 1) % 256;
    accepted_ = false;
}

void EdgeSession::publishNodeBirth(std::int64_t nowMs)
{
    const std::uint64_t now = ms(nowMs);
    seq_ = 0;
    publishedConfigured_ = static_cast<std::uint32_t>(devices_.size());
    publishedRunning_ = portsRunning();
    Payload p;
    p.timestamp = now;
    p.seq = 0;
    p.metrics.push_back(Metric::UInt("bdSeq", DataType::UInt64, bdSeq_, now));
    p.metrics.push_back(Metric::Bool(kRebirth, false, now));
    p.metrics.push_back(Metric::Text("Properties/Version", config_.version, now));
    p.metrics.push_back(Metric::UInt("Ports Configured", DataType::UInt64, publishedConfigured_, now));
    p.metrics.push_back(Metric::UInt("Ports Running", DataType::UInt64, publishedRunning_, now));
    out_.Publish(topic("NBIRTH"), sparkplug::Encode(p), 0);
}

void EdgeSession::publishBirths(std::int64_t nowMs)
{
    publishNodeBirth(nowMs);
    for (Device& d : devices_) {
        d.born = false;
        if (d.input.state == PortState::Running)
            birth(d, nowMs);
    }
}

void EdgeSession::birth(Device& d, std::int64_t nowMs)
{
    const std::uint64_t now = ms(nowMs);
    Payload p;
    p.timestamp = now;
    p.seq = nextSeq();
    if (d.input.hasValue) {
        Metric value = Metric::Text(kValue, d.input.value, d.input.valueMs > 0 ? ms(d.input.valueMs) : now);
        // A tag that never had a value is null until its first string.
        value.isNull = d.input.valueMs == 0 && d.input.value.empty();
        p.metrics.push_back(std::move(value));
    }
    p.metrics.push_back(Metric::Text("DeviceState", PortStateText(d.input.state), now));
    addCounters(p.metrics, d.input.counters, nullptr, now);
    out_.Publish(topic("DBIRTH", d.id), sparkplug::Encode(p), 0);
    d.born = true;
    d.published = d.input.counters;
    d.pendingValues.clear();
    d.countersDirty = false;
}

void EdgeSession::death(Device& d, std::int64_t nowMs)
{
    // Values not yet sent go out before the device's death.
    publishData(d, nowMs);
    Payload p;
    p.timestamp = ms(nowMs);
    p.seq = nextSeq();
    out_.Publish(topic("DDEATH", d.id), sparkplug::Encode(p), 0);
    d.born = false;
}

void EdgeSession::publishData(Device& d, std::int64_t nowMs)
{
    if (!d.born || (d.pendingValues.empty() && !d.countersDirty))
        return;
    const std::uint64_t now = ms(nowMs);
    Payload p;
    p.timestamp = now;
    for (const auto& [text, changedMs] : d.pendingValues)
        p.metrics.push_back(Metric::Text(kValue, text, changedMs > 0 ? ms(changedMs) : now));
    addCounters(p.metrics, d.input.counters, &d.published, now);
    d.published = d.input.counters;
    d.pendingValues.clear();
    d.countersDirty = false;
    if (p.metrics.empty())
        return;
    p.seq = nextSeq();
    out_.Publish(topic("DDATA", d.id), sparkplug::Encode(p), 0);
}

void EdgeSession::publishNodeCounts(std::int64_t nowMs)
{
    if (phase_ != Phase::Online)
        return;
    const auto configured = static_cast<std::uint32_t>(devices_.size());
    const std::uint32_t running = portsRunning();
    if (configured == publishedConfigured_ && running == publishedRunning_)
        return;
    const std::uint64_t now = ms(nowMs);
    Payload p;
    p.timestamp = now;
    p.seq = nextSeq();
    if (configured != publishedConfigured_)
        p.metrics.push_back(Metric::UInt("Ports Configured", DataType::UInt64, configured, now));
    if (running != publishedRunning_)
        p.metrics.push_back(Metric::UInt("Ports Running", DataType::UInt64, running, now));
    publishedConfigured_ = configured;
    publishedRunning_ = running;
    out_.Publish(topic("NDATA"), sparkplug::Encode(p), 0);
}

void EdgeSession::publishHistory(std::int64_t nowMs)
{
    std::deque<StoredValue> kept = store_.TakeAll();
    std::uint64_t dropped = store_.TakeDropped();
    storeFullLogged_ = false;
    const std::size_t total = kept.size();
    std::size_t sent = 0;
    while (!kept.empty()) {
        // Consecutive values of one device share a message; the order over
        // all devices stays oldest first.
        Device* d = find(kept.front().linkIndex);
        const std::string id = kept.front().device;
        Payload p;
        p.timestamp = ms(nowMs);
        while (!kept.empty() && kept.front().device == id && p.metrics.size() < kHistoricalBatch) {
            Metric m = Metric::Text(kValue, kept.front().text, ms(kept.front().changedMs));
            m.historical = true;
            p.metrics.push_back(std::move(m));
            kept.pop_front();
        }
        if (!d || !d->born || d->id != id) {
            // The device is not alive in this session: a host could not
            // place the values.
            dropped += p.metrics.size();
            continue;
        }
        sent += p.metrics.size();
        p.seq = nextSeq();
        out_.Publish(topic("DDATA", id), sparkplug::Encode(p), 0);
    }
    if (total > 0 || dropped > 0)
        out_.Log("MQTT: " + std::to_string(sent) + " values kept while offline were published as historical" +
                 (dropped ? "; " + std::to_string(dropped) + " were dropped (store bound " +
                                std::to_string(store_.Limit()) + ", or their port is not running)"
                          : ""));
}

void EdgeSession::keep(const Device& d, const std::string& text, std::int64_t changedMs)
{
    if (store_.Push(StoredValue{d.input.linkIndex, d.id, text, changedMs}) && !storeFullLogged_) {
        storeFullLogged_ = true;
        out_.Log("MQTT: the offline store is full (" + std::to_string(store_.Limit()) +
                 " values); the oldest values are being dropped");
    }
}

void EdgeSession::SetPorts(const std::vector<DeviceInput>& ports, std::int64_t nowMs)
{
    // Ids from descriptions; a description used twice gets its port name.
    std::vector<std::string> ids;
    std::set<std::string> seen;
    for (const DeviceInput& in : ports) {
        std::string id = sparkplug::SanitizeId(in.description);
        if (seen.count(id))
            id += "_" + sparkplug::SanitizeId(in.port);
        seen.insert(id);
        ids.push_back(std::move(id));
    }
    const bool online = phase_ == Phase::Online;
    std::vector<Device> next;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        Device d;
        d.input = ports[i];
        d.id = ids[i];
        if (Device* old = findById(d.id); old && old->born && online) {
            d.born = true;
            d.published = old->published;
            d.pendingValues = std::move(old->pendingValues);
            d.countersDirty = true;
            old->born = false;
        }
        next.push_back(std::move(d));
    }
    if (online)
        for (Device& old : devices_)
            if (old.born)
                death(old, nowMs);
    devices_ = std::move(next);
    if (!online)
        return;
    for (Device& d : devices_) {
        if (d.born && d.input.state != PortState::Running)
            death(d, nowMs);
        else if (!d.born && d.input.state == PortState::Running)
            birth(d, nowMs);
    }
    publishNodeCounts(nowMs);
}

void EdgeSession::PortChanged(const DeviceInput& port, std::int64_t nowMs)
{
    Device* d = find(port.linkIndex);
    if (!d)
        return;
    d->input.state = port.state;
    d->input.counters = port.counters;
    d->input.value = port.value;
    d->input.valueMs = port.valueMs;
    if (phase_ != Phase::Online)
        return;
    if (d->born && port.state != PortState::Running)
        death(*d, nowMs);
    else if (!d->born && port.state == PortState::Running)
        birth(*d, nowMs);
    publishNodeCounts(nowMs);
}

void EdgeSession::ValueChanged(int linkIndex, const std::string& text, std::int64_t changedMs)
{
    Device* d = find(linkIndex);
    if (!d || !d->input.hasValue)
        return;
    d->input.value = text;
    d->input.valueMs = changedMs;
    if (phase_ == Phase::Online && d->born)
        d->pendingValues.emplace_back(text, changedMs);
    else if (phase_ != Phase::Online)
        keep(*d, text, changedMs);
}

void EdgeSession::CountersSampled(int linkIndex, const PortCounters& counters)
{
    Device* d = find(linkIndex);
    if (!d)
        return;
    d->input.counters = counters;
    if (d->born && !sameCounters(counters, d->published))
        d->countersDirty = true;
}

bool EdgeSession::HasPending() const
{
    return std::any_of(devices_.begin(), devices_.end(),
                       [](const Device& d) { return d.born && (!d.pendingValues.empty() || d.countersDirty); });
}

void EdgeSession::Flush(std::int64_t nowMs)
{
    if (phase_ != Phase::Online)
        return;
    for (Device& d : devices_)
        publishData(d, nowMs);
}

void EdgeSession::MessageArrived(const std::string& topicText, const std::string& payload, std::int64_t nowMs)
{
    if (payload.size() > kMaxCommandBytes) {
        out_.Log("MQTT: ignored a message of " + std::to_string(payload.size()) + " bytes on " + topicText +
                 ": larger than " + std::to_string(kMaxCommandBytes) + " bytes");
        return;
    }
    const auto t = sparkplug::ParseTopic(topicText);
    if (!t) {
        out_.Log("MQTT: ignored a message on " + topicText + ": not a Sparkplug B topic");
        return;
    }
    if (t->type == "STATE") {
        if (t->node == config_.primaryHost && !config_.primaryHost.empty())
            hostState(payload, nowMs);
        return;
    }
    if (t->group != config_.group || t->node != config_.node) {
        out_.Log("MQTT: ignored " + t->type + " on " + topicText + ": it is for another edge node");
        return;
    }
    if (t->type != "NCMD" && t->type != "DCMD")
        return;
    if (phase_ != Phase::Online) {
        out_.Log("MQTT: ignored " + t->type + " on " + topicText + ": the node is not online");
        return;
    }
    std::string error;
    const auto p = sparkplug::Decode(payload, &error);
    if (!p) {
        out_.Log("MQTT: ignored " + t->type + " on " + topicText + ": " + error);
        return;
    }
    if (t->type == "NCMD")
        nodeCommand(*p, nowMs);
    else
        deviceCommand(t->device, *p);
}

void EdgeSession::hostState(const std::string& payload, std::int64_t nowMs)
{
    // {"online":true|false,"timestamp":ms}; older hosts send ONLINE/OFFLINE.
    bool online = false;
    if (payload == "ONLINE") {
        online = true;
    } else if (payload != "OFFLINE") {
        const std::size_t key = payload.find("\"online\"");
        const std::size_t colon = key == std::string::npos ? key : payload.find(':', key);
        if (colon == std::string::npos) {
            out_.Log("MQTT: ignored the STATE of host " + config_.primaryHost + ": no \"online\" in it");
            return;
        }
        const std::size_t value = payload.find_first_not_of(" \t\r\n", colon + 1);
        online = value != std::string::npos && payload.compare(value, 4, "true") == 0;
    }
    if (online && phase_ == Phase::WaitingForHost) {
        out_.Log("MQTT: primary host " + config_.primaryHost + " is online");
        phase_ = Phase::Online;
        publishBirths(nowMs);
        publishHistory(nowMs);
    } else if (!online && phase_ == Phase::Online) {
        out_.Log("MQTT: primary host " + config_.primaryHost + " is offline; this session ends");
        out_.Reconnect();
    }
}

void EdgeSession::nodeCommand(const Payload& p, std::int64_t nowMs)
{
    bool rebirth = false;
    for (const Metric& m : p.metrics) {
        if (m.name != kRebirth) {
            out_.Log("MQTT: ignored NCMD metric \"" + m.name + "\": no such node metric");
            continue;
        }
        const bool* value = std::get_if<bool>(&m.value);
        if (m.datatype != static_cast<std::uint32_t>(DataType::Boolean) || !value) {
            out_.Log(std::string("MQTT: ignored NCMD metric \"") + kRebirth + "\": " +
                     sparkplug::DataTypeName(m.datatype) + " where a Boolean is expected");
            continue;
        }
        rebirth = rebirth || *value;
    }
    if (rebirth) {
        out_.Log("MQTT: rebirth requested by a host");
        for (Device& d : devices_)
            publishData(d, nowMs); // nothing changed is lost by the new births
        publishBirths(nowMs);
    }
}

void EdgeSession::deviceCommand(const std::string& deviceId, const Payload& p)
{
    Device* d = findById(deviceId);
    if (!d || !d->born) {
        out_.Log("MQTT: ignored DCMD for device \"" + deviceId + "\": no such running device");
        return;
    }
    for (const Metric& m : p.metrics) {
        if (m.name != kValue || !d->input.hasValue) {
            out_.Log("MQTT: ignored DCMD metric \"" + m.name + "\" of device \"" + deviceId +
                     "\": the device has no such writable metric");
            continue;
        }
        const std::string* text = std::get_if<std::string>(&m.value);
        const bool textType = m.datatype == static_cast<std::uint32_t>(DataType::String) ||
                              m.datatype == static_cast<std::uint32_t>(DataType::Text);
        if (!textType || !text || m.isNull) {
            out_.Log("MQTT: ignored DCMD metric \"Value\" of device \"" + deviceId + "\": " +
                     sparkplug::DataTypeName(m.datatype) + " where a String is expected");
            continue;
        }
        out_.WriteValue(d->input.linkIndex, sparkplug::Utf8ToBytes(*text));
    }
}
