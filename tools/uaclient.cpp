// linvaro-ua: a command-line OPC UA client for linvaro's endpoint (and any
// OPC UA server with SecurityPolicy None and anonymous users).
//
//   linvaro-ua [--url opc.tcp://HOST:PORT] endpoints
//   linvaro-ua [--url ...] browse [NODE] [--depth N]   the tree below NODE (default the Ports folder),
//                                                      with the value of each variable
//   linvaro-ua [--url ...] read NODE...
//   linvaro-ua [--url ...] write NODE TEXT
//   linvaro-ua [--url ...] watch NODE... [--seconds N]  data changes, as they come
//
// NODE is a NodeId in the usual text form: i=2258, ns=1;s=Scale_COM1.
#include "Client.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace ua;

namespace {

constexpr int kTimeoutMs = 10000;

bool ParseNodeId(const std::string& text, NodeId& out)
{
    std::string rest = text;
    std::uint16_t ns = 0;
    if (rest.rfind("ns=", 0) == 0) {
        const std::size_t semi = rest.find(';');
        if (semi == std::string::npos)
            return false;
        ns = static_cast<std::uint16_t>(std::stoul(rest.substr(3, semi - 3)));
        rest = rest.substr(semi + 1);
    }
    if (rest.rfind("i=", 0) == 0) {
        out = NodeId(ns, static_cast<std::uint32_t>(std::stoul(rest.substr(2))));
        return true;
    }
    if (rest.rfind("s=", 0) == 0) {
        out = NodeId(ns, rest.substr(2));
        return true;
    }
    return false;
}

std::string Time(DateTime t)
{
    if (t == 0)
        return "-";
    const std::int64_t ms = UnixMsFromDateTime(t);
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    char buffer[64];
    std::tm tm{};
    localtime_r(&s, &tm);
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &tm);
    return std::string(buffer) + "." + std::to_string(1000 + ms % 1000).substr(1);
}

std::string Text(const Variant& v)
{
    if (v.IsNull())
        return "(null)";
    std::string out;
    for (std::size_t i = 0; i < v.values.size(); ++i) {
        if (i)
            out += ", ";
        std::visit(
            [&out, &v](const auto& x) {
                using T = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<T, std::string>)
                    out += "\"" + x + "\"";
                else if constexpr (std::is_same_v<T, bool>)
                    out += x ? "true" : "false";
                else if constexpr (std::is_same_v<T, std::int64_t>)
                    out += v.type == BuiltIn::DateTime ? Time(x) : std::to_string(x);
                else if constexpr (std::is_arithmetic_v<T>)
                    out += std::to_string(x);
                else if constexpr (std::is_same_v<T, LocalizedText>)
                    out += "\"" + x.text + "\"";
                else if constexpr (std::is_same_v<T, QualifiedName>)
                    out += std::to_string(x.ns) + ":" + x.name;
                else if constexpr (std::is_same_v<T, NodeId>)
                    out += x.ToString();
                else
                    out += "<structure>";
            },
            v.values[i]);
    }
    return v.isArray ? "[" + out + "]" : out;
}

std::string Show(const DataValue& d)
{
    std::string s = d.hasValue ? Text(d.value) : "(no value)";
    s += "  " + std::string(IsGood(d.status) ? "Good" : StatusName(d.status));
    if (d.sourceTimestamp)
        s += "  source " + Time(d.sourceTimestamp);
    if (d.serverTimestamp)
        s += "  server " + Time(d.serverTimestamp);
    return s;
}

int Fail(const std::string& what)
{
    std::fprintf(stderr, "linvaro-ua: %s\n", what.c_str());
    return 1;
}

bool Read(Client& c, const std::vector<NodeId>& nodes, std::vector<DataValue>& out)
{
    ReadRequest r;
    for (const NodeId& n : nodes)
        r.nodesToRead.push_back({n, 13, "", {}});
    ReadResponse response;
    const StatusCode s = c.Call(enc::ReadRequest, r, enc::ReadResponse, response, kTimeoutMs);
    if (IsBad(s) || response.results.size() != nodes.size())
        return false;
    out = std::move(response.results);
    return true;
}

void Browse(Client& c, const NodeId& node, const std::string& indent, int depth)
{
    BrowseRequest r;
    BrowseDescription d;
    d.nodeId = node;
    d.referenceTypeId = NodeId::Numeric(id::HierarchicalReferences);
    r.nodesToBrowse = {d};
    BrowseResponse response;
    if (IsBad(c.Call(enc::BrowseRequest, r, enc::BrowseResponse, response, kTimeoutMs)) || response.results.empty())
        return;
    for (const ReferenceDescription& ref : response.results[0].references) {
        std::string line = indent + ref.displayName.text + "  [" + ref.nodeId.id.ToString() + "]";
        if (ref.nodeClass == NodeClass::Variable) {
            std::vector<DataValue> v;
            if (Read(c, {ref.nodeId.id}, v))
                line += " = " + Show(v[0]);
        }
        std::printf("%s\n", line.c_str());
        if (depth > 1 && ref.nodeClass == NodeClass::Object)
            Browse(c, ref.nodeId.id, indent + "  ", depth - 1);
    }
}

int Watch(Client& c, const std::vector<NodeId>& nodes, int seconds)
{
    CreateSubscriptionRequest cs;
    cs.requestedPublishingInterval = 100;
    cs.requestedMaxKeepAliveCount = 10;
    cs.requestedLifetimeCount = 100;
    CreateSubscriptionResponse sub;
    if (IsBad(c.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub, kTimeoutMs)))
        return Fail("CreateSubscription failed");
    CreateMonitoredItemsRequest cm;
    cm.subscriptionId = sub.subscriptionId;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        MonitoredItemCreateRequest item;
        item.itemToMonitor = {nodes[i], 13, "", {}};
        item.requestedParameters.clientHandle = static_cast<std::uint32_t>(i);
        item.requestedParameters.samplingInterval = 10;
        item.requestedParameters.queueSize = 100;
        cm.itemsToCreate.push_back(item);
    }
    CreateMonitoredItemsResponse items;
    if (IsBad(c.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, items, kTimeoutMs)))
        return Fail("CreateMonitoredItems failed");
    for (std::size_t i = 0; i < items.results.size(); ++i)
        if (IsBad(items.results[i].statusCode))
            std::fprintf(stderr, "linvaro-ua: %s: %s\n", nodes[i].ToString().c_str(), StatusName(items.results[i].statusCode));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<SubscriptionAcknowledgement> acks;
    while (seconds <= 0 || std::chrono::steady_clock::now() < end) {
        PublishRequest p;
        p.subscriptionAcknowledgements = std::move(acks);
        acks.clear();
        PublishResponse r;
        const StatusCode s = c.Call(enc::PublishRequest, p, enc::PublishResponse, r, kTimeoutMs);
        if (IsBad(s))
            return Fail(std::string("Publish: ") + StatusName(s));
        if (!r.notificationMessage.notificationData.empty())
            acks.push_back({r.subscriptionId, r.notificationMessage.sequenceNumber});
        for (const ExtensionObject& x : r.notificationMessage.notificationData) {
            DataChangeNotification dc;
            if (!FromExtension(x, enc::DataChangeNotification, dc, Client::Limits()))
                continue;
            for (const MonitoredItemNotification& n : dc.monitoredItems)
                if (n.clientHandle < nodes.size())
                    std::printf("%s = %s\n", nodes[n.clientHandle].ToString().c_str(), Show(n.value).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string url = "opc.tcp://127.0.0.1:4840";
    std::vector<std::string> args;
    int depth = 3, seconds = 0;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--url") && i + 1 < argc)
            url = argv[++i];
        else if (!std::strcmp(argv[i], "--depth") && i + 1 < argc)
            depth = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atoi(argv[++i]);
        else
            args.emplace_back(argv[i]);
    }
    if (args.empty()) {
        std::fprintf(stderr, "usage: linvaro-ua [--url opc.tcp://HOST:PORT] endpoints | browse [NODE] [--depth N] |"
                             " read NODE... | write NODE TEXT | watch NODE... [--seconds N]\n");
        return 2;
    }
    const std::string scheme = "opc.tcp://";
    if (url.rfind(scheme, 0) != 0)
        return Fail("the URL must start with opc.tcp://");
    std::string hostPort = url.substr(scheme.size());
    hostPort = hostPort.substr(0, hostPort.find('/'));
    const std::size_t colon = hostPort.rfind(':');
    const std::string host = colon == std::string::npos ? hostPort : hostPort.substr(0, colon);
    const auto port = static_cast<std::uint16_t>(colon == std::string::npos ? 4840 : std::stoi(hostPort.substr(colon + 1)));

    Client c;
    if (!c.Connect(host, port, kTimeoutMs))
        return Fail(url + ": " + c.Error());
    const std::string command = args[0];
    std::vector<NodeId> nodes;
    for (std::size_t i = 1; i < args.size(); ++i) {
        NodeId n;
        if (command == "write" && i == 2)
            break;
        if (!ParseNodeId(args[i], n))
            return Fail("not a NodeId: " + args[i]);
        nodes.push_back(n);
    }
    if (command == "endpoints") {
        GetEndpointsRequest r;
        r.endpointUrl = url;
        GetEndpointsResponse response;
        if (IsBad(c.Call(enc::GetEndpointsRequest, r, enc::GetEndpointsResponse, response, kTimeoutMs)))
            return Fail("GetEndpoints failed");
        for (const EndpointDescription& e : response.endpoints)
            std::printf("%s  %s  %s\n", e.endpointUrl.c_str(), e.securityPolicyUri.c_str(),
                        e.server.applicationName.text.c_str());
        c.Close();
        return 0;
    }
    if (!c.OpenSession(kTimeoutMs))
        return Fail(c.Error());
    int rc = 0;
    if (command == "browse") {
        const NodeId start = nodes.empty() ? NodeId(1, "Ports") : nodes[0];
        Browse(c, start, "", depth);
    } else if (command == "read" && !nodes.empty()) {
        std::vector<DataValue> values;
        if (!Read(c, nodes, values))
            rc = Fail("Read failed");
        for (std::size_t i = 0; i < values.size(); ++i)
            std::printf("%s = %s\n", nodes[i].ToString().c_str(), Show(values[i]).c_str());
    } else if (command == "write" && nodes.size() == 1 && args.size() == 3) {
        WriteRequest w;
        w.nodesToWrite = {WriteValue{nodes[0], 13, "", DataValue::Of(Variant::String(args[2]))}};
        WriteResponse response;
        const StatusCode s = c.Call(enc::WriteRequest, w, enc::WriteResponse, response, kTimeoutMs);
        const StatusCode result = IsBad(s) || response.results.empty() ? s : response.results[0];
        std::printf("%s\n", IsGood(result) ? "Good" : StatusName(result));
        rc = IsGood(result) ? 0 : 1;
    } else if (command == "watch" && !nodes.empty()) {
        rc = Watch(c, nodes, seconds);
    } else {
        rc = Fail("unknown command or missing arguments: " + command);
    }
    c.Close();
    return rc;
}
