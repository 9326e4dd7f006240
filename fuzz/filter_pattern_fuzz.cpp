// Fuzzes the filter pattern of BrowseOPCItemIDs: it must never crash, and a
// few properties must hold for every text and pattern.
// Input: pattern bytes, a 0 byte, text bytes (no 0 byte: text and pattern
// are the same).
#include "ItemPropIMPL.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string AsciiCase(std::string_view s, bool upper)
{
    std::string out(s);
    for (char& c : out) {
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// A pattern that matches exactly text (letter case aside).
std::string Literal(std::string_view text)
{
    std::string out;
    for (char c : text) {
        if (c == '*' || c == '?' || c == '[')
            out += std::string("[") + c + "]";
        else
            out += c;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string_view pattern = input.substr(0, split);
    const std::string_view text = split == std::string_view::npos ? pattern : input.substr(split + 1);

    bool matches = true;
    const bool valid = MatchFilterPattern(text, pattern, matches);
    // Validity is a property of the pattern alone.
    Check(valid == FilterPatternIsValid(pattern));
    bool other = true;
    Check(MatchFilterPattern("", pattern, other) == valid);
    if (!valid) {
        Check(!matches);
        return 0;
    }
    // Deterministic, and ASCII letter case never matters.
    bool again = false, upper = false, lower = false;
    Check(MatchFilterPattern(text, pattern, again) && again == matches);
    Check(MatchFilterPattern(AsciiCase(text, true), pattern, upper) && upper == matches);
    Check(MatchFilterPattern(text, AsciiCase(pattern, false), lower) && lower == matches);
    // A leading or trailing star only widens what matches.
    const std::string starred = "*" + std::string(pattern) + "*";
    bool wider = false;
    if (matches && MatchFilterPattern(text, starred, wider))
        Check(wider);
    // Every text matches its own literal pattern and the lone star.
    bool self = false, star = false;
    Check(MatchFilterPattern(text, Literal(text), self) && self);
    Check(MatchFilterPattern(text, "*", star) && star);
    return 0;
}
