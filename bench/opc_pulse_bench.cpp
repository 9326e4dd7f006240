// The cost of one OPC server pulse at full load: 31 server objects, each
// with 10 active groups of active items on tags that change at every pulse,
// and a data callback sink per group. Measured for pulses that deliver an
// update in every group (update rate 10 ms) and for pulses that only scan
// (update rate 1000 ms, the 99 pulses between updates), with 100 and with
// 50 items per group to show how the cost grows with the item count; and
// once with texts whose length changes at every pulse (a new string per
// value instead of one rewritten in place). Times are CPU time of the main
// thread per pulse. Tags are stored through the tag table, which tells the
// server which ones changed, as the program's port links do.
//
//   opc_pulse_bench [pulses=300] [json-file]
#include "BenchGroups.h"
#include "ComObject.h"
#include "DataChangeSink.h"
#include "Globals.h"
#include "OPCDA.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TagWatch.h"
#include "TaskMem.h"

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// CPU time of this thread: other processes sharing the cores do not count.
double ThreadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

constexpr int kServers = 31;
constexpr int kGroupsPerServer = 10;
constexpr int kTags = 100;
constexpr double kPulseDays = 10.0 / 86400000.0;
std::uint32_t g_tick = 0; // the tick counter the server sees

// A client's sink that takes the values as a client would have to: it
// reads every entry once.
class CountingSink final : public DataChangeSink {
public:
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME*,
                         HRESULT*) override
    {
        for (DWORD i = 0; i < n; ++i)
            checksum += h[i] + q[i] + (v[i].vt == VT_BSTR ? SysStringLen(v[i].bstrVal) : 0);
        entries += n;
        return S_OK;
    }

    unsigned long long entries = 0;
    unsigned long long checksum = 0;
};

struct Load {
    std::vector<IOPCServer*> servers;
    std::vector<IUnknown*> groups;
    std::vector<CountingSink*> sinks;

    unsigned long long Entries() const
    {
        unsigned long long n = 0;
        for (auto* s : sinks)
            n += s->entries;
        return n;
    }
    ~Load()
    {
        for (auto* g : groups)
            g->Release();
        for (auto* s : servers)
            s->Release();
        for (auto* s : sinks)
            s->Release();
    }
};

bool Build(Load& load, int itemsPerGroup, DWORD rate)
{
    IClassFactory* factory = nullptr;
    if (FAILED(GetOpcClassObject(CLSID_DA2, IID_IClassFactory, reinterpret_cast<void**>(&factory))))
        return false;
    std::vector<std::u16string> ids;
    for (int t = 0; t < kTags; ++t)
        ids.push_back(U16FromAnsi("Port" + std::to_string(t) + "_COM" + std::to_string(t + 1)));
    for (int s = 0; s < kServers; ++s) {
        IOPCServer* server = nullptr;
        if (FAILED(factory->CreateInstance(nullptr, IID_IOPCServer, reinterpret_cast<void**>(&server))))
            return false;
        load.servers.push_back(server);
        for (int g = 0; g < kGroupsPerServer; ++g) {
            std::vector<std::u16string*> groupIds;
            for (int i = 0; i < itemsPerGroup; ++i)
                groupIds.push_back(&ids[static_cast<std::size_t>((g * 7 + i) % kTags)]);
            auto* sink = new CountingSink;
            sink->AddRef();
            load.sinks.push_back(sink);
            IUnknown* group = bench::AddAdvisedGroup(*server, U16FromAnsi("group" + std::to_string(g)), rate,
                                                     static_cast<OPCHANDLE>(g), groupIds,
                                                     *static_cast<IOPCDataCallback*>(sink));
            if (!group)
                return false;
            load.groups.push_back(group);
        }
    }
    factory->Release();
    return true;
}

struct Result {
    std::string name;
    int itemsPerGroup;
    double medianNs, meanNs;
    double nsPerItem; // median per active item
    unsigned long long entriesPerPulse;
};

// Runs pulses and times each one; keep(p) tells which pulses count.
template <typename Keep>
Result Run(const std::string& name, TTagTable& tags, int itemsPerGroup, DWORD rate, int pulses, Keep keep,
           bool lengthChanges = false)
{
    Load load;
    if (!Build(load, itemsPerGroup, rate)) {
        std::fprintf(stderr, "set-up failed\n");
        std::exit(1);
    }
    // Texts alternate between two prepared values, so the change itself
    // costs no formatting.
    std::vector<std::string> texts[2];
    for (int t = 0; t < kTags; ++t) {
        texts[0].push_back("W" + std::to_string(1000000 + t) + " kg");
        texts[1].push_back(lengthChanges ? "W" + std::to_string(t) + " kg"
                                         : "W" + std::to_string(2000000 + t) + " kg");
    }
    double now = 45000.0;
    std::vector<double> times;
    const auto pulse = [&](int p) {
        for (int t = 0; t < kTags; ++t)
            tags.SetText(static_cast<std::size_t>(t), texts[p & 1][static_cast<std::size_t>(t)]);
        now += kPulseDays;
        g_tick += 10; // the pulses are 10 ms apart for the server, however fast they run here
        const unsigned long long before = load.Entries();
        const double start = ThreadCpuNs();
        OpcServerPulse(now);
        const double end = ThreadCpuNs();
        return std::make_pair(end - start, load.Entries() - before);
    };
    for (int p = 0; p < 200; ++p) // warm-up: full reports and two full rate periods
        pulse(p);
    unsigned long long entries = 0;
    for (int p = 0; p < pulses; ++p) {
        const auto [ns, delivered] = pulse(p);
        if (keep(p)) {
            times.push_back(ns);
            entries = delivered;
        }
    }
    std::sort(times.begin(), times.end());
    double sum = 0;
    for (double t : times)
        sum += t;
    const double median = times[times.size() / 2];
    const double items = static_cast<double>(kServers) * kGroupsPerServer * itemsPerGroup;
    return Result{name, itemsPerGroup, median, sum / static_cast<double>(times.size()), median / items, entries};
}

} // namespace

int main(int argc, char** argv)
{
    const int pulses = argc > 1 ? std::max(100, std::atoi(argv[1])) : 300;
    const std::string jsonPath = argc > 2 ? argv[2] : "";

    TTagTable tags;
    for (int t = 0; t < kTags; ++t)
        tags.BindTag("Port" + std::to_string(t) + "_COM" + std::to_string(t + 1));
    OpcContext& context = TheOpcContext();
    context.tags = &tags;
    context.tickCount = [] { return g_tick; };
    // The address space tells the server which tags were stored.
    tags.onTextChanged = [](std::size_t index) { OpcTagChanged(static_cast<int>(index)); };

    std::vector<Result> results;
    for (int items : {100, 50}) {
        results.push_back(Run("update every pulse", tags, items, 10, pulses, [](int) { return true; }));
        // With 1000 ms the warm-up of 200 pulses leaves the update on every
        // 100th pulse from p = 0; the other pulses only scan.
        results.push_back(Run("scan only", tags, items, 1000, pulses, [](int p) { return p % 100 != 0; }));
    }
    results.push_back(Run("update, new lengths", tags, 100, 10, pulses, [](int) { return true; }, true));
    DiscardAllServers();
    context.tags = nullptr;

    std::printf("%-20s %6s %14s %14s %12s %16s\n", "pulse", "items", "median ns", "mean ns", "ns/item",
                "values/pulse");
    for (const Result& r : results)
        std::printf("%-20s %6d %14.0f %14.0f %12.1f %16llu\n", r.name.c_str(),
                    r.itemsPerGroup * kServers * kGroupsPerServer, r.medianNs, r.meanNs, r.nsPerItem,
                    r.entriesPerPulse);
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << "[\n";
        for (std::size_t i = 0; i < results.size(); ++i) {
            const Result& r = results[i];
            out << "  {\"pulse\": \"" << r.name << "\", \"items\": " << r.itemsPerGroup * kServers * kGroupsPerServer
                << ", \"median_ns\": " << static_cast<long long>(r.medianNs)
                << ", \"mean_ns\": " << static_cast<long long>(r.meanNs) << ", \"ns_per_item\": " << r.nsPerItem
                << ", \"values_per_pulse\": " << r.entriesPerPulse << "}" << (i + 1 < results.size() ? "," : "")
                << "\n";
        }
        out << "]\n";
    }
    return 0;
}
