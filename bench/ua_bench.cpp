// The OPC UA endpoint of a real linvaro (headless, ports on pseudo-terminals,
// the endpoint on a free port), measured from clients in this process:
//
//   ua_bench latency PORTS STRINGS JSON
//       from the last byte of a CR-terminated string written to port 1 to
//       the data change in a client that monitors every port's tag
//       (publishing and sampling interval 10 ms); the other ports are fed
//       meanwhile at the byte rate of 115200 baud.
//   ua_bench sessions PORTS SESSIONS SECONDS RATE JSON
//       SESSIONS clients, each monitoring every port's tag (sampling 0: every
//       change, publishing 100 ms, queue 100), while every port gets RATE strings a
//       second: whether every change reached every client, linvaro's main
//       thread CPU, and memory per monitored item.
//   ua_bench read PORTS SECONDS JSON
//       Read requests of 1000 Value nodes each, one after the other.
//   ua_bench open PORTS COUNT JSON
//       COUNT times one after the other: a Basic256Sha256 SignAndEncrypt
//       channel and session opened and closed (client side time), with the
//       longest main-thread event of linvaro meanwhile.
//   ua_bench latency PORTS STRINGS JSON secure
//       latency as above, the subscriber on Basic256Sha256 SignAndEncrypt.
//
// Run under dbus-run-session (linvaro serves its OPC server on the bus too).
#include "Client.h"
#include "LinvaroProcess.h"
#include "SecurityPolicy.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace ua;

quint16 FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    quint16 port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Clients of the secured endpoint: a certificate of their own, trusted by
// linvaro before they connect, and the server's certificate from
// GetEndpoints.
struct SecureClients {
    bool on = false;
    std::shared_ptr<const LocalIdentity> own;
    std::shared_ptr<const crypto::Certificate> server;

    bool Prepare(const QString& home, quint16 port)
    {
        auto id = std::make_shared<LocalIdentity>();
        id->key = crypto::RsaKey::Generate(2048);
        crypto::CertificateRequest r;
        r.commonName = "ua_bench";
        r.applicationUri = "urn:linvaro:ua_bench";
        r.notBefore = std::time(nullptr) - 3600;
        r.notAfter = std::time(nullptr) + 24 * 3600;
        id->certificate = crypto::MakeCertificate(r, id->key, nullptr, id->key, 1);
        if (!id->certificate)
            return false;
        own = id;
        std::ofstream(home.toStdString() + "/pki/trusted/certs/ua_bench.der", std::ios::binary)
            << own->certificate->Der();
        std::vector<EndpointDescription> endpoints;
        std::string error;
        if (!Client::FindEndpoints("127.0.0.1", port, endpoints, error, 10000)) {
            std::fprintf(stderr, "GetEndpoints: %s\n", error.c_str());
            return false;
        }
        for (const auto& e : endpoints)
            if (e.securityPolicyUri == kSecurityPolicyBasic256Sha256)
                server = crypto::Certificate::FromDer(e.serverCertificate.data);
        return server != nullptr;
    }
    // Connect and OpenSession, secured when on.
    bool Open(Client& c, quint16 port) const
    {
        if (on)
            c.SetSecurity(FindPolicy(kSecurityPolicyBasic256Sha256), MessageSecurityMode::SignAndEncrypt, own, server);
        return c.Connect("127.0.0.1", port, 10000) && c.OpenSession(10000);
    }
};
SecureClients g_secure;

struct Linvaro {
    bench::LinvaroProcess process;
    quint16 port = 0;

    bool Start(int ports)
    {
        port = FreePort();
        process.extraIni = "[OPC UA]\nPort=" + std::to_string(port) + "\n";
        if (!process.AddPorts(ports, "Bench", "Load") || !process.Start())
            return false;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            Client probe;
            if (probe.Connect("127.0.0.1", port, 1000)) {
                probe.Close();
                return !g_secure.on || g_secure.Prepare(process.Home(), port);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::fprintf(stderr, "the OPC UA endpoint on port %u does not answer\n", port);
        return false;
    }
    double MainThreadCpu() const { return bench::ThreadCpuSeconds(process.Pid(), process.Pid()); }
    // Ends linvaro; its log's last word on the endpoint as JSON fields: the
    // longest a client's network event and a timer event took.
    std::string StopAndEventTimes()
    {
        process.Stop();
        std::ifstream log(process.LogPath().toStdString());
        std::string line, client = "null", timer = "null";
        const std::string key = "OPC UA endpoint closed; longest client event ";
        while (std::getline(log, line)) {
            const std::size_t at = line.find(key);
            if (at == std::string::npos)
                continue;
            std::istringstream in(line.substr(at + key.size()));
            std::string us, longest, word, event;
            in >> client >> us >> longest >> word >> event >> timer;
        }
        return ",\"longest_client_event_us\":" + client + ",\"longest_timer_event_us\":" + timer;
    }
};

// A client with one subscription on the Value of every port's tag, its
// notifications handed to a callback from its own thread.
class Subscriber {
public:
    using OnChange = std::function<void(std::uint32_t handle, const DataValue& value, Clock::time_point at)>;

    bool Open(quint16 port, int ports, double publishing, double sampling, std::uint32_t queue)
    {
        if (!g_secure.Open(client_, port))
            return Report(client_.Error());
        CreateSubscriptionRequest cs;
        cs.requestedPublishingInterval = publishing;
        cs.requestedMaxKeepAliveCount = 50;
        cs.requestedLifetimeCount = 1000;
        CreateSubscriptionResponse sub;
        if (IsBad(client_.Call(enc::CreateSubscriptionRequest, cs, enc::CreateSubscriptionResponse, sub)))
            return Report("CreateSubscription");
        subscription_ = sub.subscriptionId;
        ports_ = ports;
        sampling_ = sampling;
        queue_ = queue;
        return true;
    }
    bool Monitor()
    {
        CreateMonitoredItemsRequest cm;
        cm.subscriptionId = subscription_;
        for (int i = 0; i < ports_; ++i) {
            MonitoredItemCreateRequest item;
            item.itemToMonitor = {NodeId(1, (i == 0 ? "Bench" : "Load") + std::string("_COM") + std::to_string(i + 1)),
                                  13, "", {}};
            item.requestedParameters.clientHandle = static_cast<std::uint32_t>(i);
            item.requestedParameters.samplingInterval = sampling_;
            item.requestedParameters.queueSize = queue_;
            cm.itemsToCreate.push_back(item);
        }
        CreateMonitoredItemsResponse r;
        if (IsBad(client_.Call(enc::CreateMonitoredItemsRequest, cm, enc::CreateMonitoredItemsResponse, r)))
            return Report("CreateMonitoredItems");
        for (const auto& x : r.results)
            if (IsBad(x.statusCode))
                return Report(std::string("item: ") + StatusName(x.statusCode));
        return true;
    }
    // Publish requests kept in flight until stop is set.
    void Run(const std::atomic<bool>& stop, const OnChange& onChange)
    {
        std::vector<SubscriptionAcknowledgement> acks;
        for (int i = 0; i < 4; ++i) {
            PublishRequest p;
            client_.Send(enc::PublishRequest, p);
        }
        while (!stop) {
            std::uint32_t id = 0, type = 0;
            std::string body;
            if (!client_.Receive(id, type, body, 500))
                continue;
            const auto at = Clock::now();
            PublishResponse r;
            if (client_.Decode(type, body, enc::PublishResponse, r) != sc::Good)
                continue;
            if (!r.notificationMessage.notificationData.empty())
                acks.push_back({r.subscriptionId, r.notificationMessage.sequenceNumber});
            for (const ExtensionObject& x : r.notificationMessage.notificationData) {
                DataChangeNotification dc;
                if (FromExtension(x, enc::DataChangeNotification, dc, Client::Limits()))
                    for (const auto& n : dc.monitoredItems)
                        onChange(n.clientHandle, n.value, at);
            }
            PublishRequest p;
            p.subscriptionAcknowledgements = std::move(acks);
            acks.clear();
            client_.Send(enc::PublishRequest, p);
        }
    }
    Client& Raw() { return client_; }

private:
    bool Report(const std::string& what)
    {
        std::fprintf(stderr, "subscriber: %s\n", what.c_str());
        return false;
    }
    Client client_;
    std::uint32_t subscription_ = 0;
    int ports_ = 0;
    double sampling_ = 10;
    std::uint32_t queue_ = 1;
};

std::string Text(const DataValue& d)
{
    if (!d.hasValue || d.value.type != BuiltIn::String || d.value.values.empty())
        return {};
    return std::get<std::string>(d.value.values.front());
}

void WriteJson(const std::string& path, const std::string& json)
{
    std::printf("%s\n", json.c_str());
    if (!path.empty())
        std::ofstream(path) << json << "\n";
}

// The other ports, fed as ports_bench feeds them: 16-byte strings at the byte
// rate of 115200 baud, until stopped.
class LoadFeeder {
public:
    LoadFeeder(bench::LinvaroProcess& p) : p_(p)
    {
        thread_ = std::thread([this] {
            const auto start = Clock::now();
            std::vector<unsigned> sent(p_.ports.size(), 0);
            while (feeding_) {
                const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
                const auto due = static_cast<unsigned>(elapsed * 11520.0 / 16.0);
                for (std::size_t i = 1; i < p_.ports.size(); ++i) {
                    std::string burst;
                    while (sent[i] < due) {
                        char line[32];
                        std::snprintf(line, sizeof line, "L%010u kg \r", sent[i]++);
                        burst += line;
                    }
                    if (!burst.empty())
                        [[maybe_unused]] auto n = write(p_.ports[i].master, burst.data(), burst.size());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~LoadFeeder()
    {
        feeding_ = false;
        thread_.join();
    }

private:
    bench::LinvaroProcess& p_;
    std::atomic<bool> feeding_{true};
    std::thread thread_;
};

int Latency(int ports, int strings, const std::string& json)
{
    Linvaro linvaro;
    Subscriber sub;
    if (!linvaro.Start(ports) || !sub.Open(linvaro.port, ports, 10, 10, 10) || !sub.Monitor())
        return 1;
    std::mutex m;
    std::string last;
    Clock::time_point lastAt;
    std::atomic<bool> stop{false};
    std::thread receiver([&] {
        sub.Run(stop, [&](std::uint32_t handle, const DataValue& v, Clock::time_point at) {
            if (handle != 0)
                return;
            std::lock_guard<std::mutex> lock(m);
            last = Text(v);
            lastAt = at;
        });
    });
    std::vector<double> latencies;
    int missed = 0;
    double cpuPercent = 0;
    {
        LoadFeeder load(linvaro.process);
        const double cpu0 = linvaro.MainThreadCpu();
        const auto t0 = Clock::now();
        const int master = linvaro.process.ports[0].master;
        for (int i = 0; i < strings; ++i) {
            const std::string text = "S" + std::to_string(i);
            const std::string line = text + "\r";
            const auto sent = Clock::now();
            if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                break;
            bool seen = false;
            while (Clock::now() - sent < std::chrono::seconds(2)) {
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (last == text) {
                        latencies.push_back(std::chrono::duration<double, std::milli>(lastAt - sent).count());
                        seen = true;
                        break;
                    }
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            missed += seen ? 0 : 1;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        cpuPercent = 100.0 * (linvaro.MainThreadCpu() - cpu0) /
                     std::chrono::duration<double>(Clock::now() - t0).count();
    }
    stop = true;
    receiver.join();
    std::ostringstream j;
    j << "{\"ports\":" << ports << ",\"strings\":" << strings << ",\"delivered\":" << latencies.size()
      << ",\"missed\":" << missed << ",\"p50_ms\":" << Percentile(latencies, 0.5)
      << ",\"p99_ms\":" << Percentile(latencies, 0.99)
      << ",\"max_ms\":" << (latencies.empty() ? 0 : *std::max_element(latencies.begin(), latencies.end()))
      << ",\"linvaro_main_thread_cpu_percent\":" << cpuPercent << linvaro.StopAndEventTimes() << "}";
    WriteJson(json, j.str());
    return latencies.empty() ? 1 : 0;
}

int Sessions(int ports, int sessions, int seconds, int rate, const std::string& json)
{
    Linvaro linvaro;
    if (!linvaro.Start(ports))
        return 1;
    std::vector<std::unique_ptr<Subscriber>> subs;
    for (int i = 0; i < sessions; ++i) {
        subs.push_back(std::make_unique<Subscriber>());
        if (!subs.back()->Open(linvaro.port, ports, 100, 0, 100))
            return 1;
    }
    const long rssBefore = bench::ResidentKiB(linvaro.process.Pid());
    for (auto& s : subs)
        if (!s->Monitor())
            return 1;
    const long rssAfter = bench::ResidentKiB(linvaro.process.Pid());
    const double items = static_cast<double>(sessions) * ports;

    // What each client saw: per port, the strings in order.
    struct Seen {
        std::vector<int> next;   // the sequence number expected next, per port
        std::vector<int> out;    // changes out of order or skipped
        int delivered = 0;
    };
    std::vector<Seen> seen(static_cast<std::size_t>(sessions));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i) {
        Seen& s = seen[static_cast<std::size_t>(i)];
        s.next.assign(static_cast<std::size_t>(ports), 0);
        s.out.assign(static_cast<std::size_t>(ports), 0);
        threads.emplace_back([&, i] {
            subs[static_cast<std::size_t>(i)]->Run(stop, [&s](std::uint32_t handle, const DataValue& v,
                                                              Clock::time_point) {
                const std::string text = Text(v);
                if (text.empty() || text[0] != 'P' || handle >= s.next.size())
                    return; // the initial empty values
                const int n = std::atoi(text.c_str() + text.find('-') + 1);
                if (n != s.next[handle])
                    ++s.out[handle];
                s.next[handle] = n + 1;
                ++s.delivered;
            });
        });
    }
    // Every port gets `rate` strings a second, each one different.
    const double cpu0 = linvaro.MainThreadCpu();
    const auto t0 = Clock::now();
    int sentPerPort = 0;
    while (Clock::now() - t0 < std::chrono::seconds(seconds)) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
        const int due = static_cast<int>(elapsed * rate);
        for (; sentPerPort < due; ++sentPerPort)
            for (int p = 0; p < ports; ++p) {
                const std::string line = "P" + std::to_string(p) + "-" + std::to_string(sentPerPort) + "\r";
                [[maybe_unused]] auto n = write(linvaro.process.ports[static_cast<std::size_t>(p)].master, line.data(),
                                                line.size());
            }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const double fedSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpuPercent = 100.0 * (linvaro.MainThreadCpu() - cpu0) / fedSeconds;
    // The last changes need a publishing interval or two.
    const auto settle = Clock::now();
    const long expected = static_cast<long>(sentPerPort) * ports;
    while (Clock::now() - settle < std::chrono::seconds(15)) {
        bool all = true;
        for (const Seen& s : seen)
            all = all && s.delivered >= expected;
        if (all)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    long delivered = 0, outOfOrder = 0, complete = 0;
    for (const Seen& s : seen) {
        delivered += s.delivered;
        for (int o : s.out)
            outOfOrder += o;
        complete += s.delivered == expected ? 1 : 0;
    }
    std::ostringstream j;
    j << "{\"ports\":" << ports << ",\"sessions\":" << sessions << ",\"seconds\":" << fedSeconds
      << ",\"strings_per_port_per_s\":" << rate << ",\"changes_sent\":" << expected
      << ",\"notifications_expected\":" << expected * sessions << ",\"notifications_delivered\":" << delivered
      << ",\"skipped_or_out_of_order\":" << outOfOrder << ",\"sessions_complete\":" << complete
      << ",\"linvaro_main_thread_cpu_percent\":" << cpuPercent
      << ",\"rss_kib_before_items\":" << rssBefore << ",\"rss_kib_after_items\":" << rssAfter
      << ",\"rss_per_monitored_item_bytes\":" << (static_cast<double>(rssAfter - rssBefore) * 1024.0 / items);
    for (auto& s : subs)
        s->Raw().Close();
    j << linvaro.StopAndEventTimes() << "}";
    WriteJson(json, j.str());
    return complete == sessions ? 0 : 1;
}

int Read(int ports, int seconds, const std::string& json)
{
    Linvaro linvaro;
    Client c;
    if (!linvaro.Start(ports) || !c.Connect("127.0.0.1", linvaro.port, 10000) || !c.OpenSession(10000))
        return 1;
    ReadRequest r;
    for (int i = 0; i < 1000; ++i) {
        const int p = i % ports;
        r.nodesToRead.push_back({NodeId(1, (p == 0 ? "Bench" : "Load") + std::string("_COM") + std::to_string(p + 1)),
                                 13, "", {}});
    }
    std::vector<double> calls;
    const auto t0 = Clock::now();
    while (Clock::now() - t0 < std::chrono::seconds(seconds)) {
        const auto start = Clock::now();
        ReadResponse response;
        if (IsBad(c.Call(enc::ReadRequest, r, enc::ReadResponse, response)) || response.results.size() != 1000)
            return 1;
        calls.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    std::ostringstream j;
    j << "{\"ports\":" << ports << ",\"nodes_per_request\":1000,\"requests\":" << calls.size()
      << ",\"requests_per_s\":" << static_cast<double>(calls.size()) / elapsed
      << ",\"p50_ms\":" << Percentile(calls, 0.5) << ",\"p99_ms\":" << Percentile(calls, 0.99);
    c.Close();
    j << linvaro.StopAndEventTimes() << "}";
    WriteJson(json, j.str());
    return 0;
}

} // namespace

int Open(int ports, int count, const std::string& json)
{
    g_secure.on = true;
    Linvaro linvaro;
    if (!linvaro.Start(ports))
        return 1;
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        Client c;
        const auto t0 = Clock::now();
        if (!g_secure.Open(c, linvaro.port)) {
            std::fprintf(stderr, "open: %s\n", c.Error().c_str());
            break;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        c.Close();
    }
    std::ostringstream j;
    j << "{\"policy\":\"Basic256Sha256\",\"mode\":\"SignAndEncrypt\",\"opens\":" << times.size()
      << ",\"p50_ms\":" << Percentile(times, 0.5) << ",\"p99_ms\":" << Percentile(times, 0.99)
      << ",\"max_ms\":" << (times.empty() ? 0 : *std::max_element(times.begin(), times.end()))
      << linvaro.StopAndEventTimes() << "}";
    WriteJson(json, j.str());
    return static_cast<int>(times.size()) == count ? 0 : 1;
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    bench::RaiseDescriptorLimit();
    const std::vector<std::string> a(argv + 1, argv + argc);
    const auto num = [&](std::size_t i, int fallback) { return i < a.size() ? std::atoi(a[i].c_str()) : fallback; };
    const auto str = [&](std::size_t i) { return i < a.size() ? a[i] : std::string(); };
    if (!a.empty() && a[0] == "latency") {
        g_secure.on = str(4) == "secure";
        return Latency(num(1, 64), num(2, 1000), str(3));
    }
    if (!a.empty() && a[0] == "open")
        return Open(num(1, 1), num(2, 50), str(3));
    if (!a.empty() && a[0] == "sessions")
        return Sessions(num(1, 64), num(2, 100), num(3, 20), num(4, 10), str(5));
    if (!a.empty() && a[0] == "read")
        return Read(num(1, 64), num(2, 10), str(3));
    std::fprintf(stderr, "usage: ua_bench latency PORTS STRINGS JSON | sessions PORTS SESSIONS SECONDS RATE JSON |"
                         " read PORTS SECONDS JSON | open PORTS COUNT JSON\n");
    return 2;
}
