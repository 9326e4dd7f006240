#include "OpcContext.h"

#include "TickCount.h"

#include <ctime>

double SystemLocalNow()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    localtime_r(&ts.tv_sec, &local);
    const double localSeconds = static_cast<double>(ts.tv_sec) + static_cast<double>(local.tm_gmtoff) +
                                static_cast<double>(ts.tv_nsec) / 1e9;
    return localSeconds / 86400.0 + 25569.0; // 1970-01-01 is day 25569
}

LONG SystemTimeZoneBias()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    // Windows' Bias is UTC minus local time, in minutes.
    return static_cast<LONG>(-local.tm_gmtoff / 60);
}

OpcContext& TheOpcContext()
{
    static OpcContext context = [] {
        OpcContext c;
        c.localNow = &SystemLocalNow;
        c.tickCount = [] { return GetTickCount(); };
        c.timeZoneBias = &SystemTimeZoneBias;
        c.consoleRefresh = [] {};
        return c;
    }();
    return context;
}

OpcCounters& TheOpcCounters()
{
    static OpcCounters counters;
    return counters;
}

DWORD NextGroupServerHandle() { return ++TheOpcCounters().groupServerHandle; }
DWORD NextItemServerHandle() { return ++TheOpcCounters().itemServerHandle; }
DWORD NextCancelId() { return ++TheOpcCounters().cancelId; }
