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

LONG StandardTimeZoneBias(std::time_t at)
{
    std::tm local{};
    localtime_r(&at, &local);
    long offset = local.tm_gmtoff;
    if (local.tm_isdst > 0) {
        // Daylight saving is in force: the standard offset is the one of
        // a time of the same year when it is not, mid-January or mid-July
        // depending on the hemisphere.
        for (int month : {0, 6}) {
            std::tm probe{};
            probe.tm_year = local.tm_year;
            probe.tm_mon = month;
            probe.tm_mday = 15;
            probe.tm_hour = 12;
            probe.tm_isdst = -1;
            const std::time_t t = mktime(&probe);
            std::tm other{};
            if (t != static_cast<std::time_t>(-1) && localtime_r(&t, &other) && other.tm_isdst == 0) {
                offset = other.tm_gmtoff;
                break;
            }
        }
    }
    // Windows' Bias is UTC minus local time, in minutes.
    return static_cast<LONG>(-offset / 60);
}

LONG SystemTimeZoneBias() { return StandardTimeZoneBias(std::time(nullptr)); }

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
