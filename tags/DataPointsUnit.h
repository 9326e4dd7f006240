#pragma once
// The value record of one tag.
#include <cstdint>
#include <string>

struct TRealDataPoint {
    std::uint16_t numericValue = 0; // value of an item whose canonical type is VT_UI2
    std::string textValue;          // value of an item whose canonical type is VT_BSTR
    // Set by TTagTable::SetText: when the text was last stored (ms since
    // 1970-01-01 UTC; 0 = never) and how many times, so that endpoints can
    // tell a repeated equal string from no string at all.
    std::int64_t changedMs = 0;
    std::uint64_t changeCount = 0;
};
