// Resident memory of the real linvaro per configured port and per OPC item:
// VmRSS with no ports, then with `ports` started ports that each received a
// string; then, on that copy, a client process (this one) adds `items` items
// in groups of 1000 (the port tags in turn) and the growth is divided by
// their number. Open descriptors are counted the same way per port.
//
//   memory_bench [ports=256] [items=10000] [json-file]   (run under dbus-run-session)
#include "LinvaroProcess.h"
#include "OpcClient.h"

#include "ComObject.h"
#include "TaskMem.h"

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Resident size once the copy has settled: the last of several samples a
// quarter second apart after a second of quiet.
long SettledKiB(qint64 pid)
{
    bench::Wait([] { return false; }, 1000);
    long kib = -1;
    for (int i = 0; i < 4; ++i) {
        bench::Wait([] { return false; }, 250);
        kib = bench::ResidentKiB(pid);
    }
    return kib;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int portCount = argc > 1 ? std::max(1, std::atoi(argv[1])) : 256;
    const int itemCount = argc > 2 ? std::max(1000, std::atoi(argv[2])) / 1000 * 1000 : 10000;
    const std::string jsonPath = argc > 3 ? argv[3] : "";
    bench::RaiseDescriptorLimit();

    long emptyKiB = -1;
    int emptyFds = -1;
    {
        bench::LinvaroProcess linvaro;
        if (!linvaro.Start())
            return 1;
        emptyKiB = SettledKiB(linvaro.Pid());
        emptyFds = bench::OpenDescriptors(linvaro.Pid());
    }

    bench::LinvaroProcess linvaro;
    if (!linvaro.AddPorts(portCount, "Mem", "Mem") || !linvaro.Start())
        return 1;
    for (const bench::Port& p : linvaro.ports) {
        const std::string line = "W" + std::to_string(p.index) + " kg\r";
        if (write(p.master, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return 1;
    }
    const long portsKiB = SettledKiB(linvaro.Pid());
    const int portsFds = bench::OpenDescriptors(linvaro.Pid());

    ComPtr<IOPCServer> server;
    if (FAILED(opcclient::CreateInstance(CLSID_DA2, IID_IOPCServer, server.putVoid())))
        return 1;
    const int groupCount = itemCount / 1000;
    std::vector<ComPtr<IOPCItemMgt>> groups;
    for (int g = 0; g < groupCount; ++g) {
        OPCHANDLE hGroup = 0;
        DWORD revised = 0;
        ComPtr<IUnknown> group;
        ComPtr<IOPCItemMgt> items;
        const std::u16string name = u"mem" + std::u16string(1, static_cast<char16_t>(u'A' + g % 26)) +
                                    std::u16string(1, static_cast<char16_t>(u'A' + g / 26));
        if (FAILED(server->AddGroup(name.c_str(), 1, 1000, 1, nullptr, nullptr, 0, &hGroup, &revised,
                                    IID_IOPCItemMgt, group.put())) ||
            FAILED(group.As(IID_IOPCItemMgt, items)))
            return 1;
        groups.push_back(items);
    }
    const long groupsKiB = SettledKiB(linvaro.Pid());

    static OLECHAR empty[] = {0};
    std::vector<std::u16string> ids;
    for (const bench::Port& p : linvaro.ports) {
        const std::string tag = p.TagName();
        ids.emplace_back(tag.begin(), tag.end());
    }
    for (int g = 0; g < groupCount; ++g) {
        std::vector<OPCITEMDEF> defs;
        for (int i = 0; i < 1000; ++i) {
            std::u16string& id = ids[static_cast<std::size_t>((g * 1000 + i) % portCount)];
            defs.push_back(OPCITEMDEF{empty, id.data(), 1, static_cast<OPCHANDLE>(i), 0, nullptr, VT_EMPTY, 0});
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        const HRESULT hr = groups[static_cast<std::size_t>(g)]->AddItems(1000, defs.data(), &results, &errors);
        if (hr != S_OK) {
            std::fprintf(stderr, "AddItems: 0x%08X\n", static_cast<unsigned>(hr));
            return 1;
        }
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }
    const long itemsKiB = SettledKiB(linvaro.Pid());

    groups.clear();
    server.reset();
    linvaro.Stop();

    const double perPortKiB = static_cast<double>(portsKiB - emptyKiB) / portCount;
    const double perItemBytes = static_cast<double>(itemsKiB - groupsKiB) * 1024.0 / itemCount;
    const double fdsPerPort = static_cast<double>(portsFds - emptyFds) / portCount;
    std::printf("%-40s %10s\n", "measure", "value");
    std::printf("%-40s %10ld\n", "RSS with no ports, KiB", emptyKiB);
    std::printf("%-40s %10ld\n", ("RSS with " + std::to_string(portCount) + " ports, KiB").c_str(), portsKiB);
    std::printf("%-40s %10.1f\n", "RSS per port, KiB", perPortKiB);
    std::printf("%-40s %10.2f\n", "descriptors per port", fdsPerPort);
    std::printf("%-40s %10ld\n", ("RSS with " + std::to_string(groupCount) + " empty groups, KiB").c_str(),
                groupsKiB);
    std::printf("%-40s %10ld\n", ("RSS with " + std::to_string(itemCount) + " items, KiB").c_str(), itemsKiB);
    std::printf("%-40s %10.0f\n", "RSS per OPC item, bytes", perItemBytes);
    if (!jsonPath.empty()) {
        std::ofstream j(jsonPath);
        j << "{\"ports\":" << portCount << ",\"items\":" << itemCount << ",\"rss_no_ports_kib\":" << emptyKiB
          << ",\"rss_ports_kib\":" << portsKiB << ",\"rss_per_port_kib\":" << perPortKiB
          << ",\"fds_no_ports\":" << emptyFds << ",\"fds_ports\":" << portsFds
          << ",\"fds_per_port\":" << fdsPerPort << ",\"rss_groups_kib\":" << groupsKiB
          << ",\"rss_items_kib\":" << itemsKiB << ",\"rss_per_item_bytes\":" << perItemBytes << "}\n";
    }
    return 0;
}
