// Sparkplug B scale-out: GATEWAYS copies of the real linvaro, each with PORTS
// pseudo-terminal ports, publish into one mosquitto started here; every port
// gets RATE strings a second for SECONDS. A subscriber in this process
// decodes every DDATA with the project's codec and checks that every string
// arrived, timing each from the write on the port to its arrival.
//
//   mqtt_bench GATEWAYS PORTS SECONDS RATE [OUT.json]
//
// Figures: strings written / arrived / missing, latency p50/p99/max, each
// gateway's CPU (all threads) and resident memory, the broker's CPU.
#include "LinvaroProcess.h"
#include "SparkplugPayload.h"

#include <mqtt/async_client.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

int freePort()
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// A folder with its own copy of the program (a hard link, so that copies do
// not exclude each other) and links to the support libraries beside it.
bool ProgramCopy(const QString& folder)
{
    QDir().mkpath(folder);
    const QString source = QString::fromStdString(ProgramFolder());
    if (::link((source + "linvaro").toLocal8Bit().constData(), (folder + "/linvaro").toLocal8Bit().constData()) != 0 &&
        !QFile::copy(source + "linvaro", folder + "/linvaro"))
        return false;
    QFile::setPermissions(folder + "/linvaro", QFile::permissions(source + "linvaro"));
    for (const QString& lib : QDir(source).entryList({"*.so"}, QDir::Files))
        QFile::link(source + lib, folder + "/" + lib);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 5) {
        std::fprintf(stderr, "usage: mqtt_bench GATEWAYS PORTS SECONDS RATE [OUT.json]\n");
        return 2;
    }
    const int gateways = std::max(1, std::atoi(argv[1]));
    const int portsPer = std::max(1, std::atoi(argv[2]));
    const int seconds = std::max(1, std::atoi(argv[3]));
    const int rate = std::max(1, std::atoi(argv[4]));
    const std::string jsonPath = argc > 5 ? argv[5] : "";
    bench::RaiseDescriptorLimit();

    QTemporaryDir work;
    const int port = freePort();
    {
        QFile conf(work.path() + "/mosquitto.conf");
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("%1listener %2 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                  "max_connections -1\n")
                       .arg(geteuid() == 0 ? "user root\n" : "")
                       .arg(port)
                       .toUtf8());
    }
    QProcess broker;
    broker.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    broker.start("mosquitto", {"-c", work.path() + "/mosquitto.conf"});
    if (!broker.waitForStarted(10000)) {
        std::fprintf(stderr, "mosquitto does not start\n");
        return 1;
    }
    const std::string url = "tcp://127.0.0.1:" + std::to_string(port);

    // Sent times of string n of port p of gateway g, for the latency.
    const std::size_t total = static_cast<std::size_t>(gateways) * portsPer * seconds * rate;
    const std::size_t perPort = static_cast<std::size_t>(seconds) * rate;
    std::unique_ptr<std::atomic<std::int64_t>[]> sentAt(new std::atomic<std::int64_t>[total]);
    std::unique_ptr<std::atomic<int>[]> arrived(new std::atomic<int>[total]);
    for (std::size_t i = 0; i < total; ++i)
        sentAt[i] = 0, arrived[i] = 0;
    std::mutex latencyMutex;
    std::vector<double> latencies;
    std::atomic<long> births{0}, foreign{0};

    mqtt::async_client subscriber(url, "mqtt-bench-subscriber", mqtt::create_options(MQTTVERSION_3_1_1));
    subscriber.set_message_callback([&](mqtt::const_message_ptr msg) {
        const std::int64_t at = nowNs();
        if (msg->get_topic().find("/DBIRTH/") != std::string::npos) {
            ++births;
            return;
        }
        const auto p = sparkplug::Decode(msg->get_payload_str());
        if (!p)
            return;
        for (const sparkplug::Metric& m : p->metrics) {
            const std::string* text = std::get_if<std::string>(&m.value);
            unsigned g = 0, q = 0, n = 0;
            if (m.name != "Value" || !text || std::sscanf(text->c_str(), "G%2uP%3uN%7u", &g, &q, &n) != 3 ||
                g >= static_cast<unsigned>(gateways) || q >= static_cast<unsigned>(portsPer) || n >= perPort) {
                ++foreign;
                continue;
            }
            const std::size_t i = (static_cast<std::size_t>(g) * portsPer + q) * perPort + n;
            if (arrived[i]++ == 0 && sentAt[i] != 0) {
                std::lock_guard lock(latencyMutex);
                latencies.push_back(static_cast<double>(at - sentAt[i]) / 1e6);
            }
        }
    });
    bool connected = false;
    for (int attempt = 0; attempt < 50 && !connected; ++attempt) {
        try {
            mqtt::connect_options o;
            o.set_clean_session(true);
            subscriber.connect(o)->wait();
            subscriber.subscribe("spBv1.0/Bench/#", 0)->wait();
            connected = true;
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (!connected) {
        std::fprintf(stderr, "the subscriber cannot reach mosquitto on %s\n", url.c_str());
        return 1;
    }

    std::vector<std::unique_ptr<bench::LinvaroProcess>> gws;
    for (int g = 0; g < gateways; ++g) {
        auto gw = std::make_unique<bench::LinvaroProcess>();
        const QString folder = work.path() + QStringLiteral("/gw%1").arg(g);
        if (!ProgramCopy(folder) || !gw->AddPorts(portsPer, "P", "P")) {
            std::fprintf(stderr, "cannot prepare gateway %d\n", g);
            return 1;
        }
        gw->programFolder = folder.toStdString() + "/";
        gw->waitForBusName = g == 0;
        char node[16];
        std::snprintf(node, sizeof node, "gw%02d", g);
        gw->extraIni = "[MQTT]\nEnabled=1\nBroker=" + url + "\nGroup ID=Bench\nEdge Node ID=" + node + "\n";
        if (!gw->Start(120000))
            return 1;
        gws.push_back(std::move(gw));
    }
    const long expectedBirths = static_cast<long>(gateways) * portsPer;
    if (!bench::Wait([&] { return births >= expectedBirths; }, 60000)) {
        std::fprintf(stderr, "only %ld of %ld devices were born\n", births.load(), expectedBirths);
        return 1;
    }

    std::vector<double> cpuStart;
    for (auto& gw : gws)
        cpuStart.push_back(bench::ProcessCpuSeconds(gw->Pid()));
    const double brokerCpuStart = bench::ProcessCpuSeconds(broker.processId());
    const auto feedStart = Clock::now();
    std::atomic<long> written{0}, writeFailures{0};
    std::thread feeder([&] {
        const auto tick = std::chrono::nanoseconds(1000000000LL / rate);
        for (std::size_t n = 0; n < perPort; ++n) {
            std::this_thread::sleep_until(feedStart + tick * static_cast<long>(n));
            for (int g = 0; g < gateways; ++g)
                for (int q = 0; q < portsPer; ++q) {
                    char line[32];
                    const int len = std::snprintf(line, sizeof line, "G%02dP%03dN%07zu\r", g, q, n);
                    const std::size_t i = (static_cast<std::size_t>(g) * portsPer + q) * perPort + n;
                    sentAt[i] = nowNs();
                    if (write(gws[static_cast<std::size_t>(g)]->ports[static_cast<std::size_t>(q)].master, line,
                              static_cast<std::size_t>(len)) == len)
                        ++written;
                    else
                        ++writeFailures;
                }
        }
    });
    feeder.join();
    const double fedSeconds = std::chrono::duration<double>(Clock::now() - feedStart).count();
    std::vector<double> cpuPercent;
    std::vector<long> rssKiB;
    for (std::size_t g = 0; g < gws.size(); ++g) {
        cpuPercent.push_back(100.0 * (bench::ProcessCpuSeconds(gws[g]->Pid()) - cpuStart[g]) / fedSeconds);
        rssKiB.push_back(bench::ResidentKiB(gws[g]->Pid()));
    }
    const double brokerCpu = 100.0 * (bench::ProcessCpuSeconds(broker.processId()) - brokerCpuStart) / fedSeconds;
    const long brokerRss = bench::ResidentKiB(broker.processId());
    auto arrivedCount = [&] {
        long c = 0;
        for (std::size_t i = 0; i < total; ++i)
            c += arrived[i] > 0;
        return c;
    };
    // The last strings are on their way: at most 10 s more.
    bench::Wait([&] { return arrivedCount() >= written; }, 10000);
    const long got = arrivedCount();
    long duplicates = 0;
    for (std::size_t i = 0; i < total; ++i)
        duplicates += arrived[i] > 1 ? arrived[i] - 1 : 0;
    std::vector<double> lat;
    {
        std::lock_guard lock(latencyMutex);
        lat = latencies;
    }
    try {
        subscriber.disconnect()->wait_for(std::chrono::seconds(2));
    } catch (const std::exception&) {
    }
    gws.clear();
    broker.terminate();
    broker.waitForFinished(5000);

    const double cpuMean = std::accumulate(cpuPercent.begin(), cpuPercent.end(), 0.0) / cpuPercent.size();
    const double cpuMax = *std::max_element(cpuPercent.begin(), cpuPercent.end());
    const long rssMax = *std::max_element(rssKiB.begin(), rssKiB.end());
    const double p50 = Percentile(lat, 0.5), p99 = Percentile(lat, 0.99), max = Percentile(lat, 1.0);
    std::printf("%-44s %12s\n", "measure", "value");
    std::printf("%-44s %12d\n", "gateways x ports", gateways * portsPer);
    std::printf("%-44s %12.2f\n", "feed seconds", fedSeconds);
    std::printf("%-44s %12ld\n", "strings written", written.load());
    std::printf("%-44s %12ld\n", "strings arrived as DDATA Value", got);
    std::printf("%-44s %12ld\n", "strings missing", written - got);
    std::printf("%-44s %12ld\n", "duplicates", duplicates);
    std::printf("%-44s %12.2f\n", "port write to DDATA p50 ms", p50);
    std::printf("%-44s %12.2f\n", "port write to DDATA p99 ms", p99);
    std::printf("%-44s %12.2f\n", "port write to DDATA max ms", max);
    std::printf("%-44s %12.1f\n", "gateway CPU % (mean, all threads)", cpuMean);
    std::printf("%-44s %12.1f\n", "gateway CPU % (highest)", cpuMax);
    std::printf("%-44s %12ld\n", "gateway resident KiB (highest)", rssMax);
    std::printf("%-44s %12.1f\n", "broker CPU %", brokerCpu);
    std::printf("%-44s %12ld\n", "broker resident KiB", brokerRss);
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << "{\"gateways\":" << gateways << ",\"ports_per_gateway\":" << portsPer << ",\"rate\":" << rate
            << ",\"seconds\":" << fedSeconds << ",\"written\":" << written << ",\"arrived\":" << got
            << ",\"missing\":" << (written - got) << ",\"duplicates\":" << duplicates << ",\"write_failures\":"
            << writeFailures << ",\"p50_ms\":" << p50 << ",\"p99_ms\":" << p99 << ",\"max_ms\":" << max
            << ",\"gateway_cpu_percent_mean\":" << cpuMean << ",\"gateway_cpu_percent_max\":" << cpuMax
            << ",\"gateway_rss_kib_max\":" << rssMax << ",\"broker_cpu_percent\":" << brokerCpu
            << ",\"broker_rss_kib\":" << brokerRss << ",\"foreign_values\":" << foreign << "}\n";
    }
    return got == written && writeFailures == 0 ? 0 : 1;
}
