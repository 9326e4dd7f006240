// The auto-suffix notation of the Port Setting dialog: whatever an operator
// types must neither crash the conversion nor break the round trip of what it
// produced (raw -> notation -> raw gives the same characters back).
#include "SuffixNotation.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string raw = NotationToSuffix(text);
    if (NotationToSuffix(SuffixToNotation(raw)) != raw)
        std::abort();
    // Any bytes as raw suffix survive the trip through the notation too.
    if (NotationToSuffix(SuffixToNotation(text)) != text)
        std::abort();
    return 0;
}
