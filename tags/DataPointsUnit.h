#pragma once
// The value record of one tag.
#include <cstdint>
#include <string>

struct TRealDataPoint {
    std::uint16_t numericValue = 0; // value of an item whose canonical type is VT_UI2
    std::string textValue;          // value of an item whose canonical type is VT_BSTR
};
