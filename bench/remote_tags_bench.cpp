// Remote tag library throughput: ReadTag and WriteTag calls per second
// against the simulated OPC server in another process, from 1 and from 8
// calling threads (the main thread and the links' workers share the
// library's one connection), and the time of one remote delivery's 256
// element writes. Every started link in remote mode polls its sent flag
// about every 10 ms, so calls/s / 100 is the number of remote-mode ports
// the library can serve.
//
//   remote_tags_bench [seconds-per-case=3]     (run under dbus-run-session)
#include "DynamicLibrary.h"
#include "opcDAHeader.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double CallsPerSecond(RemoteTagLibrary& library, int threads, double seconds, bool write, int& failures)
{
    std::atomic<long> calls{0};
    std::atomic<int> failed{0};
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            Variant v = Variant::fromUI1(2);
            while (Clock::now() < end) {
                const bool ok = write ? library.WriteTag("Flag", v.get()) : library.ReadTag("Flag", v.get());
                if (!ok)
                    ++failed;
                ++calls;
            }
        });
    const auto start = Clock::now();
    for (auto& th : pool)
        th.join();
    failures = failed;
    return calls / std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    QTemporaryDir registry;
    qputenv("LINVARO_REGISTRY_ROOT", registry.path().toUtf8());
    QProcess sim;
    sim.start(QString::fromStdString(ProgramFolder()) + "linvaro-opc-sim",
              {"--quiet", "--tag", "Recv:string", "--tag", "Flag:int"});
    if (!sim.waitForReadyRead(10000)) {
        std::fprintf(stderr, "remote_tags_bench: the simulated server did not start\n");
        return 1;
    }
    RemoteTagLibrary library;
    if (!library.Load(ProgramFolder(), [](const std::string& r) { std::fprintf(stderr, "%s\n", r.c_str()); }))
        return 1;
    library.Init(nullptr, "Linvaro.SimServer.1");

    int failures = 0;
    std::printf("%-34s %12s %9s\n", "case", "calls/s", "failures");
    for (const int threads : {1, 8})
        for (const bool write : {false, true}) {
            const double rate = CallsPerSecond(library, threads, seconds, write, failures);
            std::printf("%-34s %12.0f %9d\n",
                        (std::string(write ? "WriteTag" : "ReadTag") + " from " + std::to_string(threads) +
                         " thread(s)").c_str(),
                        rate, failures);
        }
    std::vector<double> ms;
    for (int round = 0; round < 10; ++round) {
        const auto start = Clock::now();
        for (int i = 1; i <= 256; ++i)
            library.WriteTag("Recv[" + std::to_string(i) + "]", Variant::fromUI1(static_cast<BYTE>('A' + round)).get());
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("256 element writes (one delivery): median %.1f ms, max %.1f ms\n", ms[ms.size() / 2], ms.back());
    sim.terminate();
    sim.waitForFinished(5000);
    return 0;
}
