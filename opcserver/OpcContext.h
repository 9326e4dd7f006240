#pragma once
// What the OPC object model needs of the program around it, and the
// process-wide OPC state (handle counters). Main thread only.
#include "ComTypes.h"

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

class TTagTable;

struct OpcContext {
    // The tag table: the address space. Null or empty in remote mode.
    TTagTable* tags = nullptr;
    // A synchronous Write stored text in the value list of the tag with this
    // index: the port link of that tag sends it (when not empty) and shows it.
    std::function<void(int tagIndex, const std::string& text)> clientWrite;
    // A client's write, synchronous or asynchronous, stored a value in the
    // record of the tag with this index (address spaces whose tags depend on
    // each other keep them in step here). Null in the program.
    std::function<void(int tagIndex)> valueStored;
    // Current local time as a date-time number (days since 1899-12-30).
    std::function<double()> localNow;
    // The millisecond tick counter (32-bit, wraps).
    std::function<std::uint32_t()> tickCount;
    // The time-zone bias in minutes (UTC = local time + bias), as Windows
    // reports it: the standard bias, daylight saving left out.
    std::function<LONG()> timeZoneBias;
    // Refreshes the server console's counters (no-op when no console).
    std::function<void()> consoleRefresh;
};

// The program's context; the program (or a test) fills it before any OPC
// object is made. Defaults: no tags, system clock and zone, no console.
OpcContext& TheOpcContext();

// Process-wide counters: each holds 1 at start and is incremented before
// use, so the first value handed out is 2.
struct OpcCounters {
    DWORD groupServerHandle = 1;
    DWORD itemServerHandle = 1;
    DWORD cancelId = 1;
};
OpcCounters& TheOpcCounters();
DWORD NextGroupServerHandle();
DWORD NextItemServerHandle();
DWORD NextCancelId();

// The local system's values, used as defaults of the context.
double SystemLocalNow();
LONG SystemTimeZoneBias();
// The standard bias of the local zone in the year of at (daylight saving
// left out, as the bias of a group is).
LONG StandardTimeZoneBias(std::time_t at);
