// A group of ITEMS items in a real linvaro, served while its ports are fed at
// 115200 baud: AddItems, Read (cache), SetActiveState (off, then on) and
// RemoveItems of all ITEMS handles in one call each, from a client process
// (this one). Meanwhile a probe thread on its own bus connection asks the
// server for its status every 2 ms: the longest round trip while a call is
// served tells how long the main thread was held (the probe's own bus hop
// included). The feeder writes lines with sequence numbers to every port
// without blocking: what a port's line cannot take counts as lost, and at
// the end every port's tag must hold the last line fed.
//
//   large_group_bench [items=100000] [json-file] [ports=4]   (run under dbus-run-session)
#include "LinvaroProcess.h"
#include "OpcClient.h"
#include "StatusProbe.h"

#include "ComObject.h"
#include "TaskMem.h"

#include <QDBusMessage>
#include <QDBusObjectPath>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// 16-byte lines "P<n> <seq>" at the byte rate of 115200 baud on every port,
// never blocking: what a line cannot take is lost.
class Feeder {
public:
    explicit Feeder(std::vector<bench::Port>& ports) : ports_(ports), last_(ports.size(), -1) {}
    void Start()
    {
        for (const bench::Port& p : ports_)
            fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { run(); });
    }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    unsigned long long Lost() const { return lost_; }
    unsigned long long Fed() const { return fed_; }
    // The last whole line fed to port i, without its CR.
    std::string LastLine(std::size_t i) const
    {
        char line[32];
        std::snprintf(line, sizeof line, "P%u %010lld", static_cast<unsigned>(i + 1), last_[i]);
        return line;
    }

private:
    void run()
    {
        constexpr double kLinesPerSecond = 115200.0 / 10.0 / 16.0;
        const auto start = Clock::now();
        long long due = 0, sent = 0;
        while (!stop_) {
            due = static_cast<long long>(std::chrono::duration<double>(Clock::now() - start).count() * kLinesPerSecond);
            for (; sent < due; ++sent)
                for (std::size_t i = 0; i < ports_.size(); ++i) {
                    char line[32];
                    std::snprintf(line, sizeof line, "P%u %010lld\r", static_cast<unsigned>(i + 1), sent);
                    const std::size_t n = std::strlen(line);
                    const ssize_t w = write(ports_[i].master, line, n);
                    if (w == static_cast<ssize_t>(n)) {
                        fed_ += n;
                        last_[i] = sent;
                    } else {
                        lost_ += n - static_cast<std::size_t>(std::max<ssize_t>(w, 0));
                    }
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::vector<bench::Port>& ports_;
    std::vector<long long> last_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned long long> lost_{0}, fed_{0};
};

struct Step {
    std::string name;
    HRESULT hr = S_OK;
    double callMs = 0;
    double probeMaxMs = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const DWORD count = argc > 1 ? static_cast<DWORD>(std::atoi(argv[1])) : 100000;
    const std::string jsonPath = argc > 2 ? argv[2] : "";
    const int portCount = argc > 3 ? std::max(1, std::atoi(argv[3])) : 4;
    bench::RaiseDescriptorLimit();

    bench::LinvaroProcess linvaro;
    if (!linvaro.AddPorts(portCount, "P1", "P") || !linvaro.Start())
        return 1;
    // Tag names: P1_COM1, P_COM2, P_COM3, ...
    std::vector<std::u16string> tagIds;
    for (const bench::Port& p : linvaro.ports) {
        const std::string tag = p.TagName();
        tagIds.emplace_back(tag.begin(), tag.end());
    }

    ComPtr<IOPCServer> server;
    if (FAILED(opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, server.putVoid())))
        return 1;
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> group;
    if (FAILED(server->AddGroup(u"large", 1, 1000, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                                group.put())))
        return 1;
    ComPtr<IOPCItemMgt> items;
    ComPtr<IOPCSyncIO> sync;
    if (FAILED(group.As(IID_IOPCItemMgt, items)) || FAILED(group.As(IID_IOPCSyncIO, sync)))
        return 1;

    bench::StatusProbe probe(2);
    Feeder feeder(linvaro.ports);
    probe.Start();
    feeder.Start();
    bench::Wait([] { return false; }, 500); // the probe and the feeder settle
    const double cpuStart = bench::ThreadCpuSeconds(linvaro.Pid(), linvaro.Pid());
    const auto runStart = Clock::now();

    std::vector<Step> steps;
    auto timed = [&](const std::string& name, const std::function<HRESULT()>& call) {
        Step s;
        s.name = name;
        const auto begin = Clock::now();
        s.hr = call();
        const auto end = Clock::now();
        s.callMs = std::chrono::duration<double, std::milli>(end - begin).count();
        bench::Wait([] { return false; }, 200); // the probe's calls of the end of it come back
        s.probeMaxMs = probe.MaxMs(begin, end);
        steps.push_back(s);
        std::printf("%-22s hr 0x%08X  call %8.1f ms  longest status round trip %7.1f ms\n", name.c_str(),
                    static_cast<unsigned>(s.hr), s.callMs, s.probeMaxMs);
        std::fflush(stdout);
    };

    static OLECHAR empty[] = {0};
    std::vector<OPCITEMDEF> defs(count);
    for (DWORD i = 0; i < count; ++i)
        defs[i] = OPCITEMDEF{empty, tagIds[i % tagIds.size()].data(), 1, i + 1, 0, nullptr, VT_EMPTY, 0};
    std::vector<OPCHANDLE> handles;
    timed("AddItems", [&] {
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = items->AddItems(count, defs.data(), &results, &errors);
        for (DWORD i = 0; results && i < count; ++i)
            if (SUCCEEDED(errors[i]))
                handles.push_back(results[i].hServer);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        return hr;
    });
    if (handles.size() != count) {
        std::fprintf(stderr, "only %zu of %u items were added\n", handles.size(), static_cast<unsigned>(count));
        return 1;
    }
    timed("Read (cache)", [&] {
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = sync->Read(OPC_DS_CACHE, count, handles.data(), &states, &errors);
        for (DWORD i = 0; states && i < count; ++i)
            VariantClear(&states[i].vDataValue);
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return hr;
    });
    for (BOOL active : {BOOL{0}, BOOL{1}})
        timed(active ? "SetActiveState (on)" : "SetActiveState (off)", [&] {
            HRESULT* errors = nullptr;
            const HRESULT hr = items->SetActiveState(count, handles.data(), active, &errors);
            CoTaskMemFree(errors);
            return hr;
        });
    timed("RemoveItems", [&] {
        HRESULT* errors = nullptr;
        const HRESULT hr = items->RemoveItems(count, handles.data(), &errors);
        CoTaskMemFree(errors);
        return hr;
    });

    const double seconds = std::chrono::duration<double>(Clock::now() - runStart).count();
    const double cpuPercent = 100.0 * (bench::ThreadCpuSeconds(linvaro.Pid(), linvaro.Pid()) - cpuStart) / seconds;
    feeder.Stop();
    probe.Stop();
    // Every port's tag holds the last line fed (nothing lost in linvaro).
    bench::Wait([] { return false; }, 300);
    int wrong = 0;
    {
        std::vector<OPCITEMDEF> tagDefs;
        for (std::size_t i = 0; i < tagIds.size(); ++i)
            tagDefs.push_back(OPCITEMDEF{empty, tagIds[i].data(), 1, static_cast<OPCHANDLE>(i), 0, nullptr, VT_EMPTY, 0});
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        items->AddItems(static_cast<DWORD>(tagDefs.size()), tagDefs.data(), &results, &errors);
        std::vector<OPCHANDLE> h;
        for (std::size_t i = 0; results && i < tagDefs.size(); ++i)
            h.push_back(results[i].hServer);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        OPCITEMSTATE* states = nullptr;
        if (SUCCEEDED(sync->Read(OPC_DS_DEVICE, static_cast<DWORD>(h.size()), h.data(), &states, &errors))) {
            for (std::size_t i = 0; i < h.size(); ++i) {
                const std::string value =
                    states[i].vDataValue.vt == VT_BSTR ? AnsiFromBstr(states[i].vDataValue.bstrVal) : std::string();
                if (value != feeder.LastLine(i)) {
                    ++wrong;
                    std::fprintf(stderr, "port %zu holds \"%s\", fed last \"%s\"\n", i + 1, value.c_str(),
                                 feeder.LastLine(i).c_str());
                }
                VariantClear(&states[i].vDataValue);
            }
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
    }
    std::printf("fed %llu bytes to %d ports, lost %llu; ports whose last line is not their tag's value: %d\n"
                "linvaro main thread %.1f %% of a core over %.1f s; probe failures %d\n",
                feeder.Fed(), portCount, feeder.Lost(), wrong, cpuPercent, seconds, probe.Failures());
    if (!jsonPath.empty()) {
        std::ofstream out(jsonPath);
        out << "{\"items\": " << count << ", \"ports\": " << portCount << ", \"lost_bytes\": " << feeder.Lost()
            << ", \"ports_not_at_last_line\": " << wrong << ", \"main_thread_cpu_percent\": " << cpuPercent
            << ", \"steps\": [";
        for (std::size_t i = 0; i < steps.size(); ++i)
            out << (i ? ", " : "") << "{\"call\": \"" << steps[i].name << "\", \"hr\": " << steps[i].hr
                << ", \"call_ms\": " << steps[i].callMs << ", \"longest_status_ms\": " << steps[i].probeMaxMs << "}";
        out << "]}\n";
    }
    bool ok = feeder.Lost() == 0 && wrong == 0 && probe.Failures() == 0;
    for (const Step& s : steps)
        ok = ok && SUCCEEDED(s.hr);
    return ok ? 0 : 1;
}
