#include "Bstr.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

// A BSTR points just past a 4-byte prefix holding the byte length of the
// text; a NUL unit follows the text so it can also be read as a C string.
// The block comes from malloc so that SysFreeString can give it back from any
// thread and from any library linking this one.

namespace {

std::atomic<std::size_t> liveStrings{0};

constexpr std::size_t kPrefix = sizeof(DWORD);

DWORD* prefixOf(BSTR text)
{
    return reinterpret_cast<DWORD*>(reinterpret_cast<unsigned char*>(text) - kPrefix);
}

bool isHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the bytes
// there do not form one (overlong forms, surrogates and values above U+10FFFF
// included); *cp receives the code point.
std::size_t decodeUtf8(std::string_view text, std::size_t i, char32_t* cp)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - i < len) return 0;
    const unsigned char b1 = byte(i + 1);
    if (b1 < lo || b1 > hi) return 0;
    char32_t value = b0 & (0xFF >> (len + 1));
    value = (value << 6) | (b1 & 0x3F);
    for (std::size_t k = 2; k < len; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        value = (value << 6) | (b & 0x3F);
    }
    *cp = value;
    return len;
}

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

BSTR SysAllocString(LPCOLESTR text)
{
    if (!text) return nullptr;
    std::size_t len = 0;
    while (text[len]) ++len;
    if (len > std::numeric_limits<UINT>::max()) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(len));
}

BSTR SysAllocStringLen(LPCOLESTR text, UINT length)
{
    // The prefix stores bytes in 32 bits, so the text cannot exceed 2^31 units.
    constexpr UINT kMaxUnits = (std::numeric_limits<DWORD>::max() - kPrefix - sizeof(OLECHAR)) / sizeof(OLECHAR);
    if (length > kMaxUnits) return nullptr;
    const std::size_t bytes = std::size_t(length) * sizeof(OLECHAR);
    auto* block = static_cast<unsigned char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
    if (!block) return nullptr;
    const DWORD byteLen = static_cast<DWORD>(bytes);
    std::memcpy(block, &byteLen, kPrefix);
    auto* data = reinterpret_cast<BSTR>(block + kPrefix);
    if (text)
        std::memcpy(data, text, bytes);
    else
        std::memset(data, 0, bytes);
    data[length] = u'\0';
    liveStrings.fetch_add(1, std::memory_order_relaxed);
    return data;
}

void SysFreeString(BSTR text)
{
    if (!text) return;
    liveStrings.fetch_sub(1, std::memory_order_relaxed);
    std::free(prefixOf(text));
}

UINT SysStringByteLen(BSTR text)
{
    if (!text) return 0;
    DWORD bytes;
    std::memcpy(&bytes, prefixOf(text), sizeof bytes);
    return bytes;
}

UINT SysStringLen(BSTR text)
{
    return SysStringByteLen(text) / sizeof(OLECHAR);
}

std::size_t LiveBstrCount()
{
    return liveStrings.load(std::memory_order_relaxed);
}

std::u16string U16FromAnsi(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t cp = 0;
        std::size_t len = decodeUtf8(text, i, &cp);
        if (len == 0) {
            // Not UTF-8: raw device bytes keep their value as Latin-1.
            cp = static_cast<unsigned char>(text[i]);
            len = 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string AnsiFromU16(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        char32_t cp = u;
        if (isHighSurrogate(u) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00);
            ++i;
        } else if (isHighSurrogate(u) || isLowSurrogate(u)) {
            cp = 0xFFFD;
        }
        appendUtf8(out, cp);
    }
    return out;
}

BSTR BstrFromAnsi(std::string_view text)
{
    const std::u16string wide = U16FromAnsi(text);
    if (wide.size() > std::numeric_limits<UINT>::max()) return nullptr;
    return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string AnsiFromBstr(BSTR text)
{
    return AnsiFromU16(std::u16string_view(text ? text : u"", SysStringLen(text)));
}

BStr& BStr::operator=(BStr&& o) noexcept
{
    if (this != &o) {
        SysFreeString(p_);
        p_ = o.p_;
        o.p_ = nullptr;
    }
    return *this;
}
