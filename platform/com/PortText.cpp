#include "PortText.h"

#include "Bstr.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <limits>

namespace {

std::atomic<PortTextEncoding> g_encoding{PortTextEncoding::Latin1};

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

} // namespace

void SetPortTextEncoding(PortTextEncoding encoding) { g_encoding.store(encoding); }

PortTextEncoding CurrentPortTextEncoding() { return g_encoding.load(); }

bool ParsePortTextEncoding(std::string_view text, PortTextEncoding& encoding)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    std::string name(text);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (name == "ISO-8859-1" || name == "LATIN1" || name == "LATIN-1") {
        encoding = PortTextEncoding::Latin1;
        return true;
    }
    if (name == "UTF-8" || name == "UTF8") {
        encoding = PortTextEncoding::Utf8;
        return true;
    }
    return false;
}

std::u16string PortTextFromBytes(std::string_view bytes)
{
    if (CurrentPortTextEncoding() == PortTextEncoding::Utf8)
        return U16FromAnsi(bytes); // UTF-8, other bytes as the character of their code
    std::u16string out(bytes.size(), u'\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
    return out;
}

std::string PortBytesFromText(std::u16string_view text)
{
    if (CurrentPortTextEncoding() == PortTextEncoding::Utf8)
        return AnsiFromU16(text);
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u <= 0xFF) {
            out.push_back(static_cast<char>(static_cast<unsigned char>(u)));
            continue;
        }
        // One '?' per character that has no byte, a surrogate pair included.
        if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]))
            ++i;
        out.push_back('?');
    }
    return out;
}

BSTR BstrFromPortBytes(std::string_view bytes)
{
    const std::u16string wide = PortTextFromBytes(bytes);
    if (wide.size() > std::numeric_limits<UINT>::max())
        return nullptr;
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string PortBytesFromBstr(BSTR text)
{
    return PortBytesFromText(std::u16string_view(text ? text : u"", SysStringLen(text)));
}

std::string Utf8FromPortBytes(std::string_view bytes)
{
    if (CurrentPortTextEncoding() == PortTextEncoding::Latin1) {
        bool ascii = true;
        for (unsigned char c : bytes)
            ascii = ascii && c < 0x80;
        if (ascii)
            return std::string(bytes);
    }
    return AnsiFromU16(PortTextFromBytes(bytes));
}

std::string PortBytesFromUtf8(std::string_view text) { return PortBytesFromText(U16FromAnsi(text)); }
