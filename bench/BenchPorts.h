#pragma once
// Pseudo-terminal ports for the in-process benchmarks: PORTS pairs whose
// masters the benchmark writes to (non-blocking), COMn mapped to the slave
// of pair n, and a started link list of "Port<n>" links at 115200 8N1 with
// CR-terminated strings (tags Port<n>_COM<n>).
#include "BenchHost.h"
#include "CommObjList.h"
#include "Globals.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace bench {

class PtyPorts {
public:
    // False when a pseudo-terminal cannot be opened.
    bool Open(int ports)
    {
        // Two descriptors a port (master here, the slave in the driver).
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        for (int i = 0; i < ports; ++i) {
            const int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (m < 0 || grantpt(m) || unlockpt(m)) {
                std::fprintf(stderr, "cannot open pseudo-terminal %d\n", i);
                return false;
            }
            // Non-blocking: a receive side that cannot keep up shows as
            // writes the line did not take, never as a stalled benchmark.
            fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
            masters.push_back(m);
            slaves.emplace_back(ptsname(m));
        }
        TCommPortDriver::SetDeviceNameResolver([this](const std::string& com) -> std::string {
            const std::size_t n = static_cast<std::size_t>(std::atoi(com.c_str() + 3));
            return n >= 1 && n <= slaves.size() ? slaves[n - 1] : std::string();
        });
        return true;
    }
    // The links of every port on tags, started; false when they did not start.
    bool StartLinks(TTagTable& tags)
    {
        links = std::make_unique<TCommObjList>(host, &tags, nullptr);
        std::vector<TCommObjList::GridRow> rows;
        for (std::size_t i = 0; i < masters.size(); ++i) {
            TPortSetting s;
            s[psDESCRIPTION] = "Port" + std::to_string(i + 1);
            s[psPORT] = "COM" + std::to_string(i + 1);
            s[psBAUD_RATE] = "115200";
            s[psDATA_BITS] = "8";
            s[psPARITY] = "None";
            s[psSTOP_BITS] = "1";
            s[psFLOW_CONTROL] = "None";
            s[psNULL_TERMINATED] = "13";
            rows.emplace_back(static_cast<int>(i + 1), s);
        }
        links->Rebuild(rows, LinkConfig{});
        links->StartAll();
        return links->Scanning();
    }

    std::vector<int> masters;
    std::vector<std::string> slaves;
    BenchHost host;
    std::unique_ptr<TCommObjList> links;
};

} // namespace bench
