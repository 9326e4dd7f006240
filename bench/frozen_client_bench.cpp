// A frozen client beside a healthy one, for SECONDS (default 300): a client
// process with 100 groups at 10 ms on a port's tag stops reading (SIGSTOP)
// while a real linvaro (default per-client bound 8 MB, stall time 60 s
// unless given) keeps getting a new value on that port every 10 ms. This
// process is the healthy client: one group at 10 ms on the same tag, whose
// every value's delay from the write to OnDataChange is measured, and a
// probe thread asking for the server's status every 20 ms. Every second the
// bus's own statistics tell how much it holds for the frozen client, and
// /proc how much memory linvaro holds.
//
//   frozen_client_bench [seconds=300] [json-file] [bound-bytes] [stall-seconds]   (under dbus-run-session)
#include "LinvaroProcess.h"
#include "OpcClient.h"
#include "StatusProbe.h"

#include "ComObject.h"
#include "DataChangeSink.h"
#include "TaskMem.h"

#include <QDBusMessage>
#include <QDBusObjectPath>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class LatencySink : public DataChangeSink {
public:
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT* values, WORD*,
                         FILETIME*, HRESULT*) override
    {
        for (DWORD i = 0; i < count; ++i)
            if (values[i].vt == VT_BSTR)
                arrived[AnsiFromBstr(values[i].bstrVal).substr(0, 9)] = Clock::now();
        return S_OK;
    }
    std::map<std::string, Clock::time_point> arrived;
};

// An active group at 10 ms on the port's tag F_COM1 with sink advised; null
// when a step failed.
ComPtr<IUnknown> WatchingGroup(IOPCServer& server, const std::u16string& name, OPCHANDLE clientGroup, IUnknown& sink)
{
    OPCHANDLE h = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> group;
    ComPtr<IOPCItemMgt> items;
    if (FAILED(server.AddGroup(name.c_str(), 1, 10, clientGroup, nullptr, nullptr, 0, &h, &revised, IID_IOPCItemMgt,
                               group.put())) ||
        FAILED(group.As(IID_IOPCItemMgt, items)))
        return nullptr;
    static OLECHAR empty[] = {0};
    std::u16string id = u"F_COM1";
    OPCITEMDEF def{empty, id.data(), 1, 1, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    items->AddItems(1, &def, &results, &errors);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IConnectionPointContainer> cpc;
    ComPtr<IConnectionPoint> cp;
    DWORD cookie = 0;
    if (FAILED(group.As(IID_IConnectionPointContainer, cpc)) ||
        FAILED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())) || FAILED(cp->Advise(&sink, &cookie)))
        return nullptr;
    return group;
}

// The frozen client (this program run with --frozen): groups, sinks, then
// it stops itself.
int Frozen(int groups)
{
    ComPtr<IOPCServer> server;
    if (FAILED(opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, server.putVoid())))
        return 1;
    auto* sinkObject = new LatencySink;
    ComPtr<IUnknown> sink(static_cast<IOPCDataCallback*>(sinkObject));
    std::vector<ComPtr<IUnknown>> held;
    for (int g = 0; g < groups; ++g) {
        const std::u16string name = u"frozen" + std::u16string(1, static_cast<char16_t>(u'A' + g % 26)) +
                                    std::u16string(1, static_cast<char16_t>(u'A' + g / 26));
        held.push_back(WatchingGroup(*server.get(), name, static_cast<OPCHANDLE>(g), *sink.get()));
        if (!held.back())
            return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    raise(SIGSTOP);
    return 0;
}

// (bytes the bus holds for a connection, the most it held).
std::pair<long long, long long> Queued(const QString& name)
{
    QDBusMessage m = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                    "org.freedesktop.DBus.Debug.Stats", "GetConnectionStats");
    m << name;
    const QDBusMessage r = QDBusConnection::sessionBus().call(m, QDBus::Block, 2000);
    if (r.type() != QDBusMessage::ReplyMessage || r.arguments().isEmpty())
        return {-1, -1};
    const QVariantMap stats = qdbus_cast<QVariantMap>(r.arguments().first());
    return {stats.value("OutgoingBytes").toLongLong(), stats.value("PeakOutgoingBytes").toLongLong()};
}

QString NameOfPid(qint64 pid)
{
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    for (const QString& name : bus->registeredServiceNames().value())
        if (name.startsWith(':') && bus->servicePid(name).value() == static_cast<uint>(pid))
            return name;
    return {};
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--frozen") == 0)
        return Frozen(100);
    const int seconds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    const std::string jsonPath = argc > 2 ? argv[2] : "";
    const long long bound = argc > 3 ? std::atoll(argv[3]) : 0;
    const int stall = argc > 4 ? std::atoi(argv[4]) : 0;

    bench::LinvaroProcess linvaro;
    if (bound > 0 || stall > 0) {
        linvaro.extraIni = "[OPC Server]\n";
        if (bound > 0)
            linvaro.extraIni += "ClientBacklogBytes=" + std::to_string(bound) + "\n";
        if (stall > 0)
            linvaro.extraIni += "ClientStallSeconds=" + std::to_string(stall) + "\n";
    }
    if (!linvaro.AddPorts(1, "F", "F") || !linvaro.Start())
        return 1;
    const int master = linvaro.ports[0].master;

    // The healthy client.
    ComPtr<IOPCServer> server;
    if (FAILED(opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, server.putVoid())))
        return 1;
    auto* sinkObject = new LatencySink;
    ComPtr<IUnknown> sink(static_cast<IOPCDataCallback*>(sinkObject));
    const ComPtr<IUnknown> group = WatchingGroup(*server.get(), u"healthy", 1, *sink.get());
    if (!group)
        return 1;

    // The frozen client.
    QProcess frozen;
    frozen.start(QCoreApplication::applicationFilePath(), {"--frozen"});
    if (!frozen.waitForStarted(5000) || !bench::Wait([&] { return frozen.readAllStandardOutput().contains("ready"); },
                                                     60000))
        return 1;
    const QString frozenName = NameOfPid(frozen.processId());

    bench::StatusProbe probe(20);
    probe.Start();

    // A new value every 10 ms; samples every second.
    std::vector<std::pair<std::string, Clock::time_point>> written;
    long long peakQueued = 0, lastQueued = 0;
    long rssStart = bench::ResidentKiB(linvaro.Pid()), rssMax = rssStart;
    double droppedAfter = -1;
    const auto start = Clock::now();
    auto nextSample = start;
    int n = 0;
    QFile log(linvaro.LogPath());
    QByteArray logText;
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        char value[32];
        std::snprintf(value, sizeof value, "V%08d", ++n);
        const std::string line = std::string(value) + std::string(200, 'x') + "\r";
        written.emplace_back(value, Clock::now());
        if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            break;
        bench::Wait([] { return false; }, 10);
        if (Clock::now() >= nextSample) {
            nextSample += std::chrono::seconds(1);
            const auto [now, peak] = Queued(frozenName);
            lastQueued = now;
            peakQueued = std::max(peakQueued, peak);
            rssMax = std::max(rssMax, bench::ResidentKiB(linvaro.Pid()));
            if (droppedAfter < 0) {
                if (!log.isOpen())
                    log.open(QIODevice::ReadOnly);
                logText += log.readAll();
                if (logText.contains("OPC client " + frozenName.toUtf8()))
                    droppedAfter = std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
    }
    bench::Wait([] { return false; }, 500);
    probe.Stop();
    const long rssEnd = bench::ResidentKiB(linvaro.Pid());

    std::vector<double> delays;
    int missed = 0;
    for (const auto& [value, at] : written) {
        const auto it = sinkObject->arrived.find(value);
        if (it == sinkObject->arrived.end())
            ++missed; // superseded within a period, or lost
        else
            delays.push_back(std::chrono::duration<double, std::milli>(it->second - at).count());
    }
    const double p50 = Percentile(delays, 0.5), p99 = Percentile(delays, 0.99);
    const double maxDelay = delays.empty() ? 0 : *std::max_element(delays.begin(), delays.end());
    std::printf("%d s, a value every 10 ms; frozen client %s with 100 groups at 10 ms\n", seconds,
                qPrintable(frozenName));
    std::printf("bus held for the frozen client: at most %lld bytes, %lld at the end\n", peakQueued, lastQueued);
    std::printf("frozen client dropped after %.0f s\n", droppedAfter);
    std::printf("healthy client: %zu of %zu values, delay p50 %.1f ms, p99 %.1f ms, max %.1f ms; %d superseded\n",
                delays.size(), written.size(), p50, p99, maxDelay, missed);
    std::printf("GetStatus: %d calls, longest %.1f ms\n", probe.Calls(), probe.MaxMs());
    std::printf("linvaro resident memory: %ld KiB at the start, at most %ld, %ld at the end\n", rssStart, rssMax,
                rssEnd);
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << "{\"seconds\": " << seconds << ", \"peak_queued_bytes\": " << peakQueued
            << ", \"queued_bytes_at_end\": " << lastQueued << ", \"dropped_after_s\": " << droppedAfter
            << ", \"healthy_values\": " << delays.size() << ", \"written\": " << written.size()
            << ", \"delay_p50_ms\": " << p50 << ", \"delay_p99_ms\": " << p99 << ", \"delay_max_ms\": " << maxDelay
            << ", \"status_calls\": " << probe.Calls() << ", \"status_max_ms\": " << probe.MaxMs()
            << ", \"rss_start_kib\": " << rssStart << ", \"rss_max_kib\": " << rssMax << ", \"rss_end_kib\": " << rssEnd
            << "}\n";
    }
    ::kill(static_cast<pid_t>(frozen.processId()), SIGCONT);
    frozen.kill();
    frozen.waitForFinished(5000);
    return 0;
}
