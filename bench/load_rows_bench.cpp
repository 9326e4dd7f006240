// Start-up with many Port settings: builds the links and their tags for N
// rows as a settings load does (disabled rows skipped, every enabled row a
// link with a tag of its own) and looks every tag up by name, as clients
// adding items do. Reports the time of each step.
//
//   load_rows_bench [rows=100000] [max-seconds=10]
//
// Exit status: 0 when both steps together took at most max-seconds.
#include "BenchHost.h"
#include "CommObjList.h"
#include "Globals.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    const double maxSeconds = argc > 2 ? std::atof(argv[2]) : 10.0;

    std::vector<TCommObjList::GridRow> rows;
    rows.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        TPortSetting s {{std::to_string(i + 1), "Port " + std::to_string(i), "COM" + std::to_string(i % 500 + 1),
                         "9600", "8", "None", "1", "None", "", "", "", "", "0", "13", "", "0", "", "100", "0", ""}};
        rows.emplace_back(i + 1, s);
    }
    BenchHost host;
    TTagTable tags;
    TCommObjList list(host, &tags, nullptr);
    LinkConfig config;
    config.programFolder = "/tmp/";

    using Clock = std::chrono::steady_clock;
    const auto t0 = Clock::now();
    list.Rebuild(rows, config);
    const auto t1 = Clock::now();
    std::size_t found = 0;
    for (int i = 0; i < count; ++i)
        found += tags.HandleOfName("Port " + std::to_string(i) + "_COM" + std::to_string(i % 500 + 1)) != 0;
    const auto t2 = Clock::now();

    const double build = std::chrono::duration<double>(t1 - t0).count();
    const double lookup = std::chrono::duration<double>(t2 - t1).count();
    std::printf("rows=%d links=%d tags=%zu build_s=%.2f lookup_all_s=%.3f found=%zu\n", count, list.Count(),
                tags.Count(), build, lookup, found);
    return found == static_cast<std::size_t>(count) && build + lookup <= maxSeconds ? 0 : 2;
}
