// What idle ports cost: a real linvaro headless with `ports` started ports on
// pseudo-terminals that send nothing (no auto-send, no client): the CPU time
// of the whole process and of its main thread over `seconds`, as a share of
// one core, and its thread count.
//
//   idle_ports_bench [ports=1024] [seconds=20] [json-file]   (run under dbus-run-session)
//
// Exit status: 0 when the whole process stayed under 2 % of a core; 2 when
// not; 1 when linvaro did not start its ports.
#include "LinvaroProcess.h"

#include <QThread>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

int Threads(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (in >> key) {
        if (key == "Threads:") {
            int n = -1;
            in >> n;
            return n;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int ports = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1024;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const std::string jsonPath = argc > 3 ? argv[3] : "";
    bench::RaiseDescriptorLimit();

    bench::LinvaroProcess linvaro;
    if (!linvaro.AddPorts(ports, "Idle", "Idle") || !linvaro.Start(120000))
        return 1;
    const qint64 pid = linvaro.Pid();
    // Start-up work (the load, the first pulses) is not the idle cost.
    QThread::sleep(2);

    const auto wallStart = std::chrono::steady_clock::now();
    const double processStart = bench::ProcessCpuSeconds(pid);
    const double mainStart = bench::ThreadCpuSeconds(pid, pid);
    QThread::sleep(static_cast<unsigned long>(seconds));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const double processPercent = 100.0 * (bench::ProcessCpuSeconds(pid) - processStart) / wall;
    const double mainPercent = 100.0 * (bench::ThreadCpuSeconds(pid, pid) - mainStart) / wall;
    const int threads = Threads(pid);
    const long rss = bench::ResidentKiB(pid);
    linvaro.Stop();

    const bool pass = processPercent < 2.0;
    std::printf("%-36s %10s\n", "measure", "value");
    std::printf("%-36s %10d\n", "idle ports", ports);
    std::printf("%-36s %10.1f\n", "seconds measured", wall);
    std::printf("%-36s %10.2f\n", "linvaro CPU % of a core", processPercent);
    std::printf("%-36s %10.2f\n", "linvaro main thread CPU %", mainPercent);
    std::printf("%-36s %10d\n", "linvaro threads", threads);
    std::printf("%-36s %10ld\n", "linvaro VmRSS KiB", rss);
    std::printf("%-36s %10s\n", "pass (< 2 % of a core)", pass ? "yes" : "no");
    if (!jsonPath.empty())
        std::ofstream(jsonPath) << "{\"ports\":" << ports << ",\"seconds\":" << wall << ",\"cpu_percent\":"
                                << processPercent << ",\"main_thread_cpu_percent\":" << mainPercent
                                << ",\"threads\":" << threads << ",\"rss_kib\":" << rss << ",\"pass\":"
                                << (pass ? "true" : "false") << "}\n";
    return pass ? 0 : 2;
}
