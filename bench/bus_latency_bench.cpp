// From the last byte of a CR-terminated string written to a pseudo-terminal
// to OnDataChange in a client process (this one), through a real linvaro on
// the session bus (group update rate 10 ms) that serves `ports` ports: port 1
// is measured, the others are fed meanwhile at the byte rate of 115200 baud
// as ports_bench feeds them. Then synchronous Reads from the client process:
// calls per second with 1 item and with 1000 items in one call.
//
//   bus_latency_bench [strings=1000] [json-file] [ports=1]   (run under dbus-run-session)
#include "LinvaroProcess.h"
#include "OpcClient.h"

#include "ComObject.h"
#include "DataChangeSink.h"
#include "DynamicLibrary.h"
#include "TaskMem.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using bench::Wait;
using Clock = std::chrono::steady_clock;

class LatencySink : public DataChangeSink {
public:
    HRESULT OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE*, VARIANT* values, WORD*,
                         FILETIME*, HRESULT*) override
    {
        for (DWORD i = 0; i < count; ++i)
            if (values[i].vt == VT_BSTR) {
                last = AnsiFromBstr(values[i].bstrVal);
                at = Clock::now();
            }
        return S_OK;
    }
    std::string last;
    Clock::time_point at;
};

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    const std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int strings = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string jsonPath = argc > 2 ? argv[2] : "";
    const int portCount = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    bench::RaiseDescriptorLimit();

    bench::LinvaroProcess linvaro;
    if (!linvaro.AddPorts(portCount, "Bench", "Load") || !linvaro.Start())
        return 1;
    const int master = linvaro.ports[0].master;

    // The other ports: 16-byte strings at 11520 bytes/s each, as long as
    // strings are measured.
    std::atomic<bool> feeding{true};
    std::atomic<unsigned long long> fedBytes{0};
    std::thread feeder([&] {
        if (portCount < 2)
            return;
        constexpr double kBytesPerSecond = 115200.0 / 10.0;
        const auto start = Clock::now();
        std::vector<unsigned> sent(static_cast<std::size_t>(portCount), 0);
        while (feeding) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const auto due = static_cast<unsigned>(elapsed * kBytesPerSecond / 16.0);
            for (int p = 1; p < portCount; ++p) {
                std::string burst;
                auto& n = sent[static_cast<std::size_t>(p)];
                while (n < due) {
                    char line[32];
                    std::snprintf(line, sizeof line, "L%010u kg \r", n++);
                    burst += line;
                }
                if (!burst.empty() &&
                    write(linvaro.ports[static_cast<std::size_t>(p)].master, burst.data(), burst.size()) > 0)
                    fedBytes += burst.size();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const auto feedStart = Clock::now();
    const double mainCpuStart = bench::ThreadCpuSeconds(linvaro.Pid(), linvaro.Pid());
    struct Join {
        std::atomic<bool>& flag;
        std::thread& thread;
        ~Join()
        {
            flag = false;
            if (thread.joinable())
                thread.join();
        }
    } joinFeeder{feeding, feeder};

    ComPtr<IOPCServer> server;
    HRESULT hr = opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, server.putVoid());
    if (FAILED(hr)) {
        std::fprintf(stderr, "CreateInstance: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    OPCHANDLE hGroup = 0;
    DWORD revised = 0;
    ComPtr<IUnknown> group;
    hr = server->AddGroup(u"latency", 1, 10, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt, group.put());
    ComPtr<IOPCItemMgt> items;
    if (FAILED(hr) || FAILED(group.As(IID_IOPCItemMgt, items)))
        return 1;
    static OLECHAR empty[] = {0};
    std::u16string id = u"Bench_COM1";
    OPCITEMDEF def{empty, id.data(), 1, 1, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    if (FAILED(items->AddItems(1, &def, &results, &errors)) || FAILED(errors[0]))
        return 1;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    auto* sinkObject = new LatencySink;
    ComPtr<IUnknown> sink(static_cast<IOPCDataCallback*>(sinkObject));
    ComPtr<IConnectionPointContainer> cpc;
    ComPtr<IConnectionPoint> cp;
    DWORD cookie = 0;
    if (FAILED(group.As(IID_IConnectionPointContainer, cpc)) || FAILED(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put())) ||
        FAILED(cp->Advise(sink.get(), &cookie)))
        return 1;

    std::vector<double> latencies;
    int missed = 0;
    for (int i = 0; i < strings; ++i) {
        const std::string text = "S" + std::to_string(i);
        const std::string line = text + "\r";
        const auto sent = Clock::now();
        if (write(master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return 1;
        if (Wait([&] { return sinkObject->last == text; }, 2000))
            latencies.push_back(std::chrono::duration<double, std::milli>(sinkObject->at - sent).count());
        else
            ++missed;
        Wait([] { return false; }, 5); // let the line settle between strings
    }

    feeding = false;
    feeder.join();
    const double fedSeconds = std::chrono::duration<double>(Clock::now() - feedStart).count();
    const double mainCpuPercent =
        100.0 * (bench::ThreadCpuSeconds(linvaro.Pid(), linvaro.Pid()) - mainCpuStart) / fedSeconds;
    const double fedPerPort =
        portCount > 1 ? static_cast<double>(fedBytes.load()) / fedSeconds / (portCount - 1) : 0.0;

    if (latencies.empty())
        return 1;
    const double p50 = Percentile(latencies, 0.50), p99 = Percentile(latencies, 0.99);
    const double max = *std::max_element(latencies.begin(), latencies.end());
    std::printf("%-40s %10s\n", "measure", "value");
    std::printf("%-40s %10d\n", "ports served (all but one fed)", portCount);
    std::printf("%-40s %10.0f\n", "feed per loaded port, bytes/s", fedPerPort);
    std::printf("%-40s %10.1f\n", "linvaro main thread CPU % meanwhile", mainCpuPercent);
    std::printf("%-40s %10zu\n", "strings delivered", latencies.size());
    std::printf("%-40s %10d\n", "strings missed (no callback in 2 s)", missed);
    std::printf("%-40s %10.2f\n", "latency p50 ms", p50);
    std::printf("%-40s %10.2f\n", "latency p99 ms", p99);
    std::printf("%-40s %10.2f\n", "latency max ms", max);
    // The latency figures are written before the Reads run, so a call that
    // never returns cannot take them along.
    std::string json;
    {
        std::ostringstream j;
        j << "{\"ports\":" << portCount << ",\"fed_bytes_per_s_per_port\":" << fedPerPort
          << ",\"linvaro_main_thread_cpu_percent\":" << mainCpuPercent << ",\"delivered\":" << latencies.size() << ",\"missed\":" << missed << ",\"p50_ms\":" << p50
          << ",\"p99_ms\":" << p99 << ",\"max_ms\":" << max;
        json = j.str();
    }
    const auto writeJson = [&](const std::string& tail) {
        if (!jsonPath.empty())
            std::ofstream(jsonPath) << json << tail << "}\n";
    };
    writeJson("");
    std::fflush(stdout);

    // Synchronous Reads: one item per call (the round trip), then 1000.
    std::vector<OPCITEMDEF> defs(1000, def);
    if (FAILED(items->AddItems(1000, defs.data(), &results, &errors)))
        return 1;
    std::vector<OPCHANDLE> handles;
    for (int i = 0; i < 1000; ++i)
        handles.push_back(results[i].hServer);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<IOPCSyncIO> io;
    if (FAILED(group.As(IID_IOPCSyncIO, io)))
        return 1;
    const auto readRate = [&](DWORD count) {
        int calls = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 3000) {
            OPCITEMSTATE* states = nullptr;
            if (FAILED(io->Read(OPC_DS_CACHE, count, handles.data(), &states, &errors)))
                return -1.0;
            for (DWORD i = 0; i < count; ++i)
                VariantClear(&states[i].vDataValue);
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
            ++calls;
        }
        return calls * 1000.0 / static_cast<double>(t.elapsed());
    };
    const double readsOf1PerSecond = readRate(1);
    const double readsPerSecond = readRate(1000);
    if (readsOf1PerSecond < 0 || readsPerSecond < 0)
        return 1;
    std::printf("%-40s %10.1f\n", "sync Read of 1 item, calls/s", readsOf1PerSecond);
    std::printf("%-40s %10.1f\n", "sync Read of 1000 items, calls/s", readsPerSecond);
    std::ostringstream reads;
    reads << ",\"sync_read_1_calls_per_s\":" << readsOf1PerSecond
          << ",\"sync_read_1000_calls_per_s\":" << readsPerSecond;
    writeJson(reads.str());

    cp->Unadvise(cookie);
    cp.reset();
    cpc.reset();
    io.reset();
    items.reset();
    group.reset();
    server.reset();
    linvaro.Stop();

    return missed == 0 ? 0 : 2;
}
