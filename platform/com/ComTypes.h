#pragma once
// Windows base types as the OPC and OLE Automation declarations use them.
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using USHORT = std::uint16_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = std::int32_t;
using CHAR = char;
using SHORT = std::int16_t;
using INT = std::int32_t;
using UINT = std::uint32_t;
using FLOAT = float;
using DOUBLE = double;
using DATE = double;          // days since 1899-12-30, fraction = time of day
using LCID = std::uint32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using OLECHAR = char16_t;     // UTF-16 code unit, as on Windows
using LPOLESTR = OLECHAR*;
using LPWSTR = OLECHAR*;
using LPCWSTR = const OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;        // length-prefixed, see Bstr.h

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;

union CY {
    struct {
        std::uint32_t Lo;
        std::int32_t Hi;
    } s;
    LONGLONG int64;           // value x 10000
};

struct DECIMAL {
    USHORT wReserved;
    BYTE scale;               // number of decimal places, 0..28
    BYTE sign;                // 0x80 = negative
    ULONG Hi32;
    ULONGLONG Lo64;
};
constexpr BYTE DECIMAL_NEG = 0x80;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
