// Many pseudo-terminal ports, each fed at the byte rate of 115200 baud with
// CR-terminated strings: counts the strings stored per port (every one must
// arrive, in order) and the CPU time the main thread spent on it.
//
//   ports_bench [ports=64] [seconds=10] [json-file] [max-main-thread-cpu-%=50]
//
// Exit status: 0 when every string arrived in order, the main thread stayed
// under the CPU limit and the feeder kept up with the byte rate; 2 otherwise.
#include "BenchPorts.h"

#include <QCoreApplication>
#include <QTimer>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
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

std::string Line(unsigned seq)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "W%010u kg \r", seq); // 16 bytes
    return buf;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int ports = argc > 1 ? std::atoi(argv[1]) : 64;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 10;
    const std::string jsonPath = argc > 3 ? argv[3] : "";
    const double maxCpuPercent = argc > 4 ? std::atof(argv[4]) : 50.0;
    constexpr double kBytesPerSecond = 115200.0 / 10.0; // 8N1: ten bits a byte

    bench::PtyPorts pty;
    TTagTable tags;
    if (!pty.Open(ports))
        return 1;
    if (!pty.StartLinks(tags)) {
        std::fprintf(stderr, "ports did not start\n");
        return 1;
    }
    const std::vector<int>& masters = pty.masters;
    BenchHost& host = pty.host;
    TCommObjList& list = *pty.links;

    std::vector<unsigned> sent(static_cast<std::size_t>(ports), 0);
    std::vector<std::string> unwritten(static_cast<std::size_t>(ports));
    unsigned long long written = 0;
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        using clock = std::chrono::steady_clock;
        const auto start = clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        while (clock::now() < end) {
            const double elapsed = std::chrono::duration<double>(clock::now() - start).count();
            const auto due = static_cast<unsigned>(elapsed * kBytesPerSecond / 16.0);
            for (int p = 0; p < ports; ++p) {
                std::string& queue = unwritten[static_cast<std::size_t>(p)];
                auto& n = sent[static_cast<std::size_t>(p)];
                while (n < due)
                    queue += Line(n++);
                if (queue.empty())
                    continue;
                const ssize_t w = write(masters[static_cast<std::size_t>(p)], queue.data(), queue.size());
                if (w > 0) {
                    queue.erase(0, static_cast<std::size_t>(w));
                    written += static_cast<unsigned long long>(w);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        feeding = false;
    });

    const double cpuStart = ThreadCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    QTimer stopper;
    QObject::connect(&stopper, &QTimer::timeout, [&] {
        if (!feeding)
            app.quit();
    });
    stopper.start(100);
    app.exec();
    const double cpu = ThreadCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    feeder.join();
    // Let the last polls drain what is still queued.
    const auto drainEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (std::chrono::steady_clock::now() < drainEnd)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    unsigned long long totalSent = 0, totalStored = 0, lost = 0, disorder = 0;
    for (int p = 0; p < ports; ++p) {
        const auto& got = static_cast<std::size_t>(p) < host.shown.size() ? host.shown[static_cast<std::size_t>(p)]
                                                                          : std::vector<std::string>{};
        totalSent += sent[static_cast<std::size_t>(p)];
        totalStored += got.size();
        if (got.size() < sent[static_cast<std::size_t>(p)])
            lost += sent[static_cast<std::size_t>(p)] - got.size();
        for (std::size_t i = 0; i < got.size(); ++i)
            if (got[i] != Line(static_cast<unsigned>(i)).substr(0, 14)) { // trimmed
                ++disorder;
                break;
            }
    }
    const auto stopStart = std::chrono::steady_clock::now();
    list.StopAll();
    const double stopSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stopStart).count();
    list.Clear();
    for (int m : masters)
        close(m);

    const double cpuPercent = 100.0 * cpu / wall;
    // A feeder that fell behind would flatter the figures: it must have
    // written at least 95 % of the byte rate on every port.
    const double fedPerPort = static_cast<double>(written) / wall / ports;
    const bool kept = fedPerPort >= 0.95 * kBytesPerSecond;
    const bool pass = lost == 0 && disorder == 0 && cpuPercent < maxCpuPercent && kept;
    std::printf("%-28s %12s\n", "measure", "value");
    std::printf("%-28s %12d\n", "ports", ports);
    std::printf("%-28s %12.1f\n", "seconds fed", wall);
    std::printf("%-28s %12llu\n", "strings sent", totalSent);
    std::printf("%-28s %12llu\n", "strings stored", totalStored);
    std::printf("%-28s %12llu\n", "strings lost", lost);
    std::printf("%-28s %12llu\n", "ports out of order", disorder);
    std::printf("%-28s %12.0f\n", "fed bytes/s per port", fedPerPort);
    std::printf("%-28s %12.1f\n", "main thread CPU %", cpuPercent);
    std::printf("%-28s %12.1f\n", "stop-all seconds", stopSeconds);
    std::printf("%-28s %12s\n", "pass", pass ? "yes" : "no");
    if (!jsonPath.empty()) {
        std::ofstream j(jsonPath);
        j << "{\"ports\":" << ports << ",\"seconds\":" << wall << ",\"sent\":" << totalSent
          << ",\"stored\":" << totalStored << ",\"lost\":" << lost << ",\"disorder\":" << disorder
          << ",\"fed_bytes_per_s_per_port\":" << fedPerPort << ",\"main_thread_cpu_percent\":" << cpuPercent
          << ",\"max_main_thread_cpu_percent\":" << maxCpuPercent << ",\"stop_all_seconds\":" << stopSeconds << ",\"pass\":" << (pass ? "true" : "false")
          << "}\n";
    }
    return pass ? 0 : 2;
}
