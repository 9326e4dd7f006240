// The edge node session as a state machine: what it publishes, in which
// order, with which seq and bdSeq, what it keeps offline and what commands do.
#include "EdgeSession.h"
#include "SparkplugTopic.h"

#include <gtest/gtest.h>

using namespace sparkplug;

namespace {

struct Sent {
    std::string topic;
    Payload payload;
    int qos;
};

// Records what the session asks for, decoded.
class Recorder : public SessionOutput {
public:
    void Publish(const std::string& topic, std::string payload, int qos) override
    {
        auto p = Decode(payload);
        ASSERT_TRUE(p) << topic;
        sent.push_back({topic, *p, qos});
    }
    void Log(const std::string& line) override { logs.push_back(line); }
    void WriteValue(int linkIndex, const std::string& bytes) override { writes.emplace_back(linkIndex, bytes); }
    void Reconnect() override { ++reconnects; }

    std::vector<std::string> types(std::size_t from = 0) const
    {
        std::vector<std::string> out;
        for (std::size_t i = from; i < sent.size(); ++i) {
            const auto t = ParseTopic(sent[i].topic);
            out.push_back(t->type + (t->device.empty() ? "" : ":" + t->device));
        }
        return out;
    }
    const Metric* metric(std::size_t message, const std::string& name) const
    {
        for (const Metric& m : sent.at(message).payload.metrics)
            if (m.name == name)
                return &m;
        return nullptr;
    }
    void clear() { sent.clear(), logs.clear(), writes.clear(); }

    std::vector<Sent> sent;
    std::vector<std::string> logs;
    std::vector<std::pair<int, std::string>> writes;
    int reconnects = 0;
};

DeviceInput port(int link, const char* description, PortState state, bool hasValue = true)
{
    DeviceInput in;
    in.linkIndex = link;
    in.description = description;
    in.port = "COM" + std::to_string(link + 1);
    in.state = state;
    in.hasValue = hasValue;
    in.counters.stringsReceived = 10u + static_cast<unsigned>(link);
    return in;
}

std::string command(const std::vector<Metric>& metrics)
{
    Payload p;
    p.timestamp = 1;
    p.metrics = metrics;
    return Encode(p);
}

SessionConfig config(std::size_t storeLimit = 100, std::string host = "")
{
    SessionConfig c;
    c.group = "Plant";
    c.node = "gw1";
    c.version = "2.1";
    c.storeLimit = storeLimit;
    c.primaryHost = std::move(host);
    return c;
}

std::uint64_t seqOf(const Sent& s) { return s.payload.seq.value_or(999); }

} // namespace

TEST(EdgeSession, BirthsInOrderThenDataWithSeqCountingAndWrapping)
{
    Recorder out;
    EdgeSession s(config(), out);
    s.SetPorts({port(0, "Scale/1", PortState::Running), port(1, "Stopped one", PortState::Stopped),
                port(2, "Dock", PortState::Running)},
               1000);
    EXPECT_TRUE(out.sent.empty()) << "nothing before the broker accepted the node";
    EXPECT_EQ(s.DeathTopic(), "spBv1.0/Plant/NDEATH/gw1");
    const auto will = Decode(s.DeathPayload());
    EXPECT_FALSE(will->seq.has_value());
    EXPECT_EQ(std::get<std::uint64_t>(will->metrics.at(0).value), 0u);

    s.Connected(2000);
    ASSERT_EQ(out.types(), (std::vector<std::string>{"NBIRTH", "DBIRTH:Scale_1", "DBIRTH:Dock"}));
    for (std::size_t i = 0; i < out.sent.size(); ++i) {
        EXPECT_EQ(seqOf(out.sent[i]), i);
        EXPECT_EQ(out.sent[i].qos, 0);
        EXPECT_EQ(out.sent[i].payload.timestamp, 2000u);
    }
    EXPECT_EQ(std::get<std::uint64_t>(out.metric(0, "bdSeq")->value), 0u);
    EXPECT_FALSE(std::get<bool>(out.metric(0, "Node Control/Rebirth")->value));
    EXPECT_EQ(std::get<std::uint64_t>(out.metric(0, "Ports Configured")->value), 3u);
    EXPECT_EQ(std::get<std::uint64_t>(out.metric(0, "Ports Running")->value), 2u);
    EXPECT_EQ(std::get<std::string>(out.metric(0, "Properties/Version")->value), "2.1");
    EXPECT_TRUE(out.metric(1, "Value")->isNull) << "no string yet";
    EXPECT_EQ(std::get<std::string>(out.metric(1, "DeviceState")->value), "Running");
    EXPECT_EQ(std::get<std::uint64_t>(out.metric(2, "StringsReceived")->value), 12u);
    for (const char* name : {"BytesReceived", "BytesSent", "Errors"})
        EXPECT_TRUE(out.metric(2, name)) << name;

    // Two strings in one pulse: one message, both values with their own time
    // stamps, and only the counters that changed.
    out.clear();
    s.ValueChanged(0, "W+1.0kg\r", 2100);
    s.ValueChanged(0, "W+1.5kg\r", 2105);
    PortCounters c;
    c.stringsReceived = 12;
    s.CountersSampled(0, c);
    s.ValueChanged(1, "ignored", 2106); // a stopped port's device is not born
    EXPECT_TRUE(s.HasPending());
    s.Flush(2110);
    EXPECT_FALSE(s.HasPending());
    ASSERT_EQ(out.types(), (std::vector<std::string>{"DDATA:Scale_1"}));
    EXPECT_EQ(seqOf(out.sent[0]), 3u);
    const auto& metrics = out.sent[0].payload.metrics;
    ASSERT_EQ(metrics.size(), 3u);
    EXPECT_EQ(std::get<std::string>(metrics[0].value), "W+1.0kg\r");
    EXPECT_EQ(metrics[0].timestamp, 2100u);
    EXPECT_EQ(metrics[1].timestamp, 2105u);
    EXPECT_EQ(metrics[2].name, "StringsReceived");
    s.Flush(2120);
    EXPECT_EQ(out.sent.size(), 1u) << "nothing changed, nothing sent";

    // seq runs 1..255 and wraps to 0 over data messages.
    for (int i = 0; i < 300; ++i) {
        s.ValueChanged(2, std::to_string(i), 3000 + i);
        s.Flush(3000 + i);
    }
    ASSERT_EQ(out.sent.size(), 301u);
    for (std::size_t i = 1; i < out.sent.size(); ++i)
        EXPECT_EQ(seqOf(out.sent[i]), (seqOf(out.sent[i - 1]) + 1) % 256);
}

TEST(EdgeSession, PortsStoppingLosingTheirDeviceOrReloadedDieAndAreBornAgain)
{
    Recorder out;
    EdgeSession s(config(), out);
    s.SetPorts({port(0, "Scale", PortState::Running), port(1, "Printer", PortState::Running, false)}, 1);
    s.Connected(2);
    EXPECT_FALSE(out.metric(2, "Value")) << "remote mode: diagnostics only";
    out.clear();

    s.ValueChanged(0, "last", 5);
    DeviceInput lost = port(0, "Scale", PortState::DeviceLost);
    s.PortChanged(lost, 6);
    EXPECT_EQ(out.types(), (std::vector<std::string>{"DDATA:Scale", "DDEATH:Scale", "NDATA"}))
        << "pending data goes out before the death";
    EXPECT_EQ(std::get<std::uint64_t>(out.metric(2, "Ports Running")->value), 1u);
    DeviceInput back = port(0, "Scale", PortState::Running);
    back.value = "last";
    back.valueMs = 5;
    s.PortChanged(back, 7);
    EXPECT_EQ(out.types(3), (std::vector<std::string>{"DBIRTH:Scale", "NDATA"}));
    EXPECT_EQ(std::get<std::string>(out.metric(3, "Value")->value), "last");
    EXPECT_EQ(out.metric(3, "Value")->timestamp, 5u) << "a birth keeps the value's own time";
    for (std::size_t i = 1; i < out.sent.size(); ++i)
        EXPECT_EQ(seqOf(out.sent[i]), seqOf(out.sent[i - 1]) + 1);

    // A reload: Printer goes, a second "Scale" comes (its id gets its port).
    out.clear();
    s.SetPorts({port(0, "Scale", PortState::Running), port(1, "Scale", PortState::Running)}, 8);
    EXPECT_EQ(out.types(), (std::vector<std::string>{"DDEATH:Printer", "DBIRTH:Scale_COM2"}));
    EXPECT_EQ(s.DeviceIdOf(1), "Scale_COM2");
}

TEST(EdgeSession, OutageValuesComeBackAsHistoryOldestFirstUpToTheBound)
{
    Recorder out;
    EdgeSession s(config(5), out);
    s.SetPorts({port(0, "Scale", PortState::Running), port(1, "Dock", PortState::Running)}, 1);
    // Attempts the broker never accepted keep the bdSeq of their will.
    s.ConnectionLost();
    EXPECT_EQ(s.BdSeq(), 0u);
    s.Connected(2);
    s.ValueChanged(0, "pending", 3); // waiting for the pulse when the line drops
    out.clear();
    s.ConnectionLost();
    EXPECT_EQ(s.BdSeq(), 1u) << "the next session gets the next bdSeq";
    EXPECT_EQ(std::get<std::uint64_t>(Decode(s.DeathPayload())->metrics[0].value), 1u);
    for (int i = 0; i < 7; ++i)
        s.ValueChanged(i % 2, "v" + std::to_string(i), 10 + i);
    s.Flush(20);
    EXPECT_TRUE(out.sent.empty()) << "nothing is published offline";
    EXPECT_EQ(s.StoredCount(), 5u);
    ASSERT_EQ(out.logs.size(), 1u) << "a full store is told once";
    EXPECT_NE(out.logs[0].find("full (5 values)"), std::string::npos);

    s.Connected(100);
    ASSERT_GE(out.sent.size(), 3u);
    EXPECT_EQ(std::get<std::uint64_t>(out.metric(0, "bdSeq")->value), 1u);
    EXPECT_EQ(seqOf(out.sent[0]), 0u);
    // The five newest of 8 values (pending + 7), oldest first, original times.
    std::vector<std::pair<std::string, std::uint64_t>> history;
    for (std::size_t i = 3; i < out.sent.size(); ++i) {
        EXPECT_EQ(out.sent[i].topic.find("spBv1.0/Plant/DDATA/gw1/"), 0u);
        EXPECT_EQ(seqOf(out.sent[i]), i);
        for (const Metric& m : out.sent[i].payload.metrics) {
            EXPECT_TRUE(m.historical);
            history.emplace_back(std::get<std::string>(m.value), m.timestamp);
        }
    }
    EXPECT_EQ(history, (std::vector<std::pair<std::string, std::uint64_t>>{
                           {"v2", 12}, {"v3", 13}, {"v4", 14}, {"v5", 15}, {"v6", 16}}));
    ASSERT_EQ(out.logs.size(), 2u);
    EXPECT_NE(out.logs[1].find("5 values kept while offline were published as historical; 3 were dropped"),
              std::string::npos)
        << out.logs[1];
    EXPECT_EQ(s.StoredCount(), 0u);
}

TEST(EdgeSession, CommandsRebirthAndWriteWhileBadCommandsAreLoggedOnceAndIgnored)
{
    Recorder out;
    EdgeSession s(config(), out);
    s.SetPorts({port(0, "Scale", PortState::Running), port(1, "Remote", PortState::Running, false)}, 1);
    s.Connected(2);
    s.ValueChanged(0, "unsent", 3);
    out.clear();

    s.MessageArrived("spBv1.0/Plant/NCMD/gw1", command({Metric::Bool("Node Control/Rebirth", true, 1)}), 50);
    EXPECT_EQ(out.types(), (std::vector<std::string>{"DDATA:Scale", "NBIRTH", "DBIRTH:Scale", "DBIRTH:Remote"}));
    EXPECT_EQ(seqOf(out.sent[1]), 0u);
    EXPECT_EQ(seqOf(out.sent[3]), 2u);
    EXPECT_EQ(out.logs, std::vector<std::string>{"MQTT: rebirth requested by a host"});

    out.clear();
    s.MessageArrived("spBv1.0/Plant/DCMD/gw1/Scale", command({Metric::Text("Value", "TARE\xB0", 1)}), 60);
    EXPECT_EQ(out.writes, (std::vector<std::pair<int, std::string>>{{0, "TARE\xB0"}}));

    struct Bad {
        std::string topic, payload, reason;
    };
    const std::vector<Bad> bad = {
        {"spBv1.0/Plant/NCMD/gw1", "\x0a\xff\xff", "not a Sparkplug B payload"},
        {"spBv1.0/Plant/NCMD/gw2", command({Metric::Bool("Node Control/Rebirth", true, 1)}), "another edge node"},
        {"spBv1.0/Other/DCMD/gw1/Scale", command({Metric::Text("Value", "x", 1)}), "another edge node"},
        {"spBv1.0/Plant/NCMD/gw1", command({Metric::UInt("Node Control/Rebirth", DataType::Int32, 1, 1)}),
         "Int32 where a Boolean is expected"},
        {"spBv1.0/Plant/NCMD/gw1", command({Metric::Bool("Node Control/Reboot", true, 1)}), "no such node metric"},
        {"spBv1.0/Plant/DCMD/gw1/Scale", command({Metric::UInt("Value", DataType::Int32, 5, 1)}),
         "Int32 where a String is expected"},
        {"spBv1.0/Plant/DCMD/gw1/Scale", command({Metric::Text("Tare", "1", 1)}), "no such writable metric"},
        {"spBv1.0/Plant/DCMD/gw1/Remote", command({Metric::Text("Value", "1", 1)}), "no such writable metric"},
        {"spBv1.0/Plant/DCMD/gw1/Nobody", command({Metric::Text("Value", "1", 1)}), "no such running device"},
        {"spBv1.0/Plant/DCMD/gw1/Scale", std::string(EdgeSession::kMaxCommandBytes + 1, 'x'), "larger than 65536"},
        {"spBv1.0/Plant/DCMD/gw1/a/b", command({}), "not a Sparkplug B topic"},
    };
    for (const Bad& b : bad) {
        out.clear();
        s.MessageArrived(b.topic, b.payload, 70);
        ASSERT_EQ(out.logs.size(), 1u) << b.topic << " " << b.reason;
        EXPECT_NE(out.logs[0].find(b.reason), std::string::npos) << out.logs[0];
        EXPECT_TRUE(out.sent.empty() && out.writes.empty()) << b.reason;
    }
    // A rebirth request of false does nothing.
    out.clear();
    s.MessageArrived("spBv1.0/Plant/NCMD/gw1", command({Metric::Bool("Node Control/Rebirth", false, 1)}), 80);
    EXPECT_TRUE(out.sent.empty() && out.logs.empty());
}

TEST(EdgeSession, WithAPrimaryHostTheNodePublishesOnlyWhileTheHostIsOnline)
{
    Recorder out;
    EdgeSession s(config(100, "scada"), out);
    EXPECT_EQ(s.Subscriptions(), (std::vector<std::string>{"spBv1.0/Plant/NCMD/gw1", "spBv1.0/Plant/DCMD/gw1/+",
                                                           "spBv1.0/STATE/scada"}));
    s.SetPorts({port(0, "Scale", PortState::Running)}, 1);
    s.Connected(2);
    EXPECT_EQ(s.CurrentPhase(), EdgeSession::Phase::WaitingForHost);
    s.ValueChanged(0, "early", 3);
    s.MessageArrived("spBv1.0/STATE/other", "{\"online\":true,\"timestamp\":1}", 4);
    s.MessageArrived("spBv1.0/Plant/NCMD/gw1", command({Metric::Bool("Node Control/Rebirth", true, 1)}), 4);
    EXPECT_TRUE(out.sent.empty());

    s.MessageArrived("spBv1.0/STATE/scada", "{\"online\" : true, \"timestamp\":5}", 5);
    EXPECT_EQ(out.types(), (std::vector<std::string>{"NBIRTH", "DBIRTH:Scale", "DDATA:Scale"}));
    EXPECT_TRUE(out.sent[2].payload.metrics.at(0).historical);

    s.MessageArrived("spBv1.0/STATE/scada", "{\"online\":false,\"timestamp\":6}", 6);
    EXPECT_EQ(out.reconnects, 1);
    out.clear();
    s.MessageArrived("spBv1.0/STATE/scada", "garbage", 7);
    EXPECT_EQ(out.logs.size(), 1u);
}
