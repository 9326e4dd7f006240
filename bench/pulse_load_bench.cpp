// The OPC server pulse under load, in one process as in linvaro: PORTS
// pseudo-terminal ports, each fed STRINGS strings a second, their links
// storing into the tag table, and the OPC server on that table with 31
// server objects of GROUPS groups each, every group active at RATE ms with
// one item on every port's tag and a data-change sink. The pulse runs on a
// 10 ms timer on the main thread, as in the program. Measured: the time
// between two updates of each group (target: at most rate + 10 ms), and the
// main thread's CPU time over the run (target: under 50 % of a core).
//
//   pulse_load_bench [seconds=30] [json-file] [groups-per-server=100] [ports=64] [strings-per-s=20] [rate-ms=100]
//   (PULSE_REGULAR_ONLY=1 in the environment: regular pulses only, no early ones)
#include "BenchGroups.h"
#include "BenchPorts.h"
#include "DataChangeSink.h"
#include "Globals.h"
#include "OPCDA.h"
#include "OpcContext.h"
#include "PulseTimer.h"
#include "ServIMPL.h"
#include "TagWatch.h"
#include "TaskMem.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Records when each update of its group came; reads every value once, as a
// client would.
class TimingSink final : public DataChangeSink {
public:
    explicit TimingSink(const QElapsedTimer& clock) : clock_(clock) {}
    HRESULT OnDataChange(DWORD transId, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q,
                         FILETIME*, HRESULT*) override
    {
        for (DWORD i = 0; i < n; ++i)
            checksum += h[i] + q[i] + (v[i].vt == VT_BSTR ? SysStringLen(v[i].bstrVal) : 0);
        if (transId == 0)
            updates.push_back(clock_.nsecsElapsed() / 1000);
        values += n;
        return S_OK;
    }
    std::vector<qint64> updates; // microseconds
    unsigned long long values = 0;
    unsigned long long checksum = 0;

private:
    const QElapsedTimer& clock_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 30;
    const std::string jsonPath = argc > 2 ? argv[2] : "";
    const int groupsPerServer = argc > 3 ? std::atoi(argv[3]) : 100;
    const int ports = argc > 4 ? std::atoi(argv[4]) : 64;
    const double stringsPerSecond = argc > 5 ? std::atof(argv[5]) : 20.0;
    const DWORD rate = argc > 6 ? static_cast<DWORD>(std::atoi(argv[6])) : 100;

    bench::PtyPorts pty;
    TTagTable tags;
    if (!pty.Open(ports) || !pty.StartLinks(tags))
        return 1;
    const std::vector<int>& masters = pty.masters;

    // The server on the tag table, told of every stored value.
    OpcContext& context = TheOpcContext();
    context.tags = &tags;
    tags.onTextChanged = [](std::size_t index) { OpcTagChanged(static_cast<int>(index)); };
    QElapsedTimer clock;
    clock.start();
    IClassFactory* factory = nullptr;
    if (FAILED(GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return 1;
    std::vector<std::u16string> ids;
    std::vector<std::u16string*> idRefs;
    for (int p = 0; p < ports; ++p) {
        const std::string tag = "Port" + std::to_string(p + 1) + "_COM" + std::to_string(p + 1);
        ids.emplace_back(tag.begin(), tag.end());
    }
    for (auto& id : ids)
        idRefs.push_back(&id);
    std::vector<IOPCServer*> servers;
    std::vector<IUnknown*> groups;
    std::vector<TimingSink*> sinks;
    for (int s = 0; s < TDA2::kSlots; ++s) {
        IOPCServer* server = nullptr;
        if (FAILED(factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server))))
            return 1;
        servers.push_back(server);
        for (int g = 0; g < groupsPerServer; ++g) {
            auto* sink = new TimingSink(clock);
            sink->AddRef();
            sinks.push_back(sink);
            const std::u16string name = u"g" + std::u16string(1, static_cast<char16_t>(u'A' + g % 26)) +
                                        std::u16string(1, static_cast<char16_t>(u'A' + g / 26));
            IUnknown* group = bench::AddAdvisedGroup(*server, name, rate, static_cast<OPCHANDLE>(g), idRefs,
                                                     *static_cast<IOPCDataCallback*>(sink));
            if (!group)
                return 1;
            groups.push_back(group);
        }
    }
    factory->Release();

    // Strings at the given rate on every port, each port's start spread
    // over the period.
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const auto start = std::chrono::steady_clock::now();
        std::vector<unsigned> sent(static_cast<std::size_t>(ports), 0);
        while (feeding) {
            const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            for (int p = 0; p < ports; ++p) {
                const double offset = static_cast<double>(p) / ports / stringsPerSecond;
                const auto due = static_cast<unsigned>(std::max(0.0, (t - offset) * stringsPerSecond));
                auto& n = sent[static_cast<std::size_t>(p)];
                while (n < due) {
                    char line[32];
                    std::snprintf(line, sizeof line, "P%02d %08u kg\r", p + 1, n++);
                    [[maybe_unused]] ssize_t w = write(masters[static_cast<std::size_t>(p)], line, std::strlen(line));
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // The program's pulse: every 10 ms on the main thread, and early pulses
    // for values whose group's update is due, wired as in the program.
    PulseTimer pulse;
    QObject::connect(&pulse, &PulseTimer::pulse, [] { OpcServerPulse(SystemLocalNow()); });
    QObject::connect(&pulse, &PulseTimer::earlyPulse, [] { OpcServerEarlyPulse(SystemLocalNow()); });
    if (!getenv("PULSE_REGULAR_ONLY"))
        TheTagWatch().storedBetweenPulses = [&pulse](bool awaited) {
            const std::int64_t ms = awaited ? 0 : OpcMsToNextUpdate();
            if (ms != TDA2::kNoUpdateDue)
                pulse.RequestEarly(ms);
        };
    pulse.start();
    // A warm-up of two seconds, then the measured run.
    const qint64 warmUpUs = 2000000;
    qint64 measureFromUs = 0;
    double cpuStart = 0;
    QTimer::singleShot(2000, [&] {
        measureFromUs = clock.nsecsElapsed() / 1000;
        cpuStart = ThreadCpuSeconds();
    });
    QTimer::singleShot(static_cast<int>(warmUpUs / 1000) + seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double wall = static_cast<double>(clock.nsecsElapsed() / 1000 - measureFromUs) / 1e6;
    feeding = false;
    feeder.join();
    pulse.stop();
    TheTagWatch().storedBetweenPulses = nullptr;

    // Intervals between updates of each group within the measured run.
    std::vector<double> intervals;
    unsigned long long values = 0;
    int groupsLate = 0;
    for (TimingSink* s : sinks) {
        bool late = false;
        for (std::size_t i = 1; i < s->updates.size(); ++i)
            if (s->updates[i - 1] >= measureFromUs) {
                const double ms = static_cast<double>(s->updates[i] - s->updates[i - 1]) / 1000.0;
                intervals.push_back(ms);
                late = late || ms > rate + 10.0;
            }
        groupsLate += late ? 1 : 0;
        values += s->values;
    }
    std::sort(intervals.begin(), intervals.end());
    auto pct = [&](double p) {
        return intervals.empty() ? 0.0 : intervals[std::min(intervals.size() - 1, static_cast<std::size_t>(p * static_cast<double>(intervals.size())))];
    };
    const std::size_t within = static_cast<std::size_t>(
        std::upper_bound(intervals.begin(), intervals.end(), rate + 10.0) - intervals.begin());
    const double cpuPercent = 100.0 * cpu / wall;
    std::printf("%d servers x %d groups x %d items at %u ms, %d ports at %.0f strings/s, %d s\n", TDA2::kSlots,
                groupsPerServer, ports, static_cast<unsigned>(rate), ports, stringsPerSecond, seconds);
    std::printf("update intervals: %zu, p50 %.1f ms, p99 %.1f ms, max %.1f ms; within rate + 10 ms: %.2f %%; "
                "groups ever later: %d of %zu\n",
                intervals.size(), pct(0.5), pct(0.99), intervals.empty() ? 0.0 : intervals.back(),
                intervals.empty() ? 0.0 : 100.0 * static_cast<double>(within) / static_cast<double>(intervals.size()),
                groupsLate, sinks.size());
    std::printf("main thread %.1f %% of a core; %.0f values delivered a second\n", cpuPercent,
                static_cast<double>(values) / (wall + 2.0));
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << "{\"groups\": " << sinks.size() << ", \"items_per_group\": " << ports << ", \"rate_ms\": " << rate
            << ", \"ports\": " << ports << ", \"strings_per_s\": " << stringsPerSecond << ", \"seconds\": " << seconds
            << ", \"intervals\": " << intervals.size() << ", \"p50_ms\": " << pct(0.5) << ", \"p99_ms\": " << pct(0.99)
            << ", \"max_ms\": " << (intervals.empty() ? 0.0 : intervals.back())
            << ", \"within_rate_plus_10_percent\": "
            << (intervals.empty() ? 0.0 : 100.0 * static_cast<double>(within) / static_cast<double>(intervals.size()))
            << ", \"groups_ever_late\": " << groupsLate << ", \"main_thread_cpu_percent\": " << cpuPercent << "}\n";
    }
    for (auto* g : groups)
        g->Release();
    for (auto* s : servers)
        s->Release();
    for (auto* s : sinks)
        s->Release();
    DiscardAllServers();
    tags.onTextChanged = nullptr;
    context.tags = nullptr;
    pty.links->StopAll();
    return groupsLate == 0 && cpuPercent < 50.0 ? 0 : 2;
}
