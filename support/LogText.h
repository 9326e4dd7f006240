#pragma once
// How a text becomes one line of a log (the memo, standard output, the log
// files): control characters are shown as escapes, so a description or a
// device's bytes can never start a forged line or move the terminal's
// cursor, and a line longer than a bound is cut with a mark saying so.
// Header-only: the program and the general support library both use it.
#include <cstddef>
#include <string>
#include <string_view>

namespace logtext {

// Longest line kept whole, in bytes (before escaping).
inline constexpr std::size_t kMaxLineBytes = 8 * 1024;

// CR, LF and TAB as \r \n \t, every other byte below 0x20 and DEL as \xNN.
inline std::string EscapeControls(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F) {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

// The first maxBytes of text (never splitting a UTF-8 sequence) and a mark
// with the number of bytes left out; text itself when it is short enough.
inline std::string CutLine(std::string_view text, std::size_t maxBytes = kMaxLineBytes)
{
    if (text.size() <= maxBytes)
        return std::string(text);
    std::size_t keep = maxBytes;
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
        --keep;
    return std::string(text.substr(0, keep)) + " [... " + std::to_string(text.size() - keep) + " more bytes cut]";
}

// Both: what every log output shows of a message.
inline std::string LogLine(std::string_view message) { return EscapeControls(CutLine(message)); }

} // namespace logtext
