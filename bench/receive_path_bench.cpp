// Throughput of a port link's receive handler: chunks of CR-terminated
// strings framed, trimmed and stored as the tag's value, with the per-chunk
// activity-log line, all in memory on one core.
#include "BenchHost.h"
#include "CommObjList.h"
#include "Globals.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace {

std::string MakeInput(std::size_t size)
{
    std::string s;
    int n = 0;
    while (s.size() < size)
        s += "ST,GS,+" + std::to_string(100000 + (n++ % 900000)) + " kg\r\n";
    s.resize(size);
    return s;
}

void BM_ReceivePath(benchmark::State& state)
{
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    const std::string slave = ptsname(master);
    TCommPortDriver::SetDeviceNameResolver([&](const std::string&) { return slave; });

    BenchHost host;
    TTagTable tags;
    TCommObjList list(host, &tags, nullptr);
    TPortSetting s;
    s[psDESCRIPTION] = "Scale";
    s[psPORT] = "COM1";
    s[psBAUD_RATE] = "115200";
    s[psDATA_BITS] = "8";
    s[psPARITY] = "None";
    s[psSTOP_BITS] = "1";
    s[psFLOW_CONTROL] = "None";
    s[psNULL_TERMINATED] = "13";
    list.Rebuild({{1, s}}, LinkConfig{});
    list.StartAll();
    TCommObj& link = *list.At(0);

    const std::string input = MakeInput(1 << 20);
    std::size_t offset = 0;
    for (auto _ : state) {
        if (offset + chunk > input.size())
            offset = 0;
        link.ReceiveData(input.data() + offset, static_cast<std::uint32_t>(chunk));
        offset += chunk;
        if (host.shown.size() == 1 && host.shown[0].size() > 100000)
            host.shown[0].clear();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk));
    benchmark::DoNotOptimize(tags.Value(0).textValue);
    list.StopAll();
    list.Clear();
    TCommPortDriver::SetDeviceNameResolver(nullptr);
    close(master);
}

} // namespace

BENCHMARK(BM_ReceivePath)->Arg(64)->Arg(512)->Arg(4096)->Arg(8192);

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
