#pragma once
// Helpers shared by the COM value type tests: a fixture that fails a test
// which leaves a BSTR or SAFEARRAY alive, and an independent reader that
// prints a VARIANT's value without going through VariantChangeType.
#include "Bstr.h"
#include "SafeArray.h"
#include "Variant.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <string>

template <class Base = ::testing::Test>
class LeakChecked : public Base {
protected:
    void SetUp() override
    {
        strings_ = LiveBstrCount();
        arrays_ = LiveSafeArrayCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(LiveBstrCount(), strings_) << "BSTR leaked or freed twice";
        EXPECT_EQ(LiveSafeArrayCount(), arrays_) << "SAFEARRAY leaked or freed twice";
    }

private:
    std::size_t strings_ = 0;
    std::size_t arrays_ = 0;
};

template <class Real>
std::string shortest(Real d)
{
    char buf[64];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, d).ptr);
}

inline std::string decimalText(const DECIMAL& d)
{
    unsigned __int128 m = (static_cast<unsigned __int128>(d.Hi32) << 64) | d.Lo64;
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m);
    while (digits.size() <= d.scale) digits.insert(digits.begin(), '0');
    if (d.scale) digits.insert(digits.end() - d.scale, '.');
    return (d.sign ? "-" : "") + digits;
}

// "<type>:<value>" from the typed field; reals in shortest round-trip form,
// CY as its raw scaled integer, DECIMAL with its scale kept.
inline std::string describe(const VARIANT& v)
{
    switch (v.vt) {
    case VT_EMPTY: return "EMPTY";
    case VT_NULL: return "NULL";
    case VT_I1: return "I1:" + std::to_string(static_cast<signed char>(v.cVal));
    case VT_UI1: return "UI1:" + std::to_string(v.bVal);
    case VT_I2: return "I2:" + std::to_string(v.iVal);
    case VT_UI2: return "UI2:" + std::to_string(v.uiVal);
    case VT_I4: return "I4:" + std::to_string(v.lVal);
    case VT_INT: return "INT:" + std::to_string(v.intVal);
    case VT_UI4: return "UI4:" + std::to_string(v.ulVal);
    case VT_UINT: return "UINT:" + std::to_string(v.uintVal);
    case VT_I8: return "I8:" + std::to_string(v.llVal);
    case VT_UI8: return "UI8:" + std::to_string(v.ullVal);
    case VT_R4: return "R4:" + shortest(v.fltVal);
    case VT_R8: return "R8:" + shortest(v.dblVal);
    case VT_DATE: return "DATE:" + shortest(v.date);
    case VT_CY: return "CY:" + std::to_string(v.cyVal.int64);
    case VT_BOOL: return "BOOL:" + std::to_string(v.boolVal);
    case VT_ERROR: return "ERROR:" + std::to_string(v.scode);
    case VT_DECIMAL: return "DEC:" + decimalText(DecimalOf(v));
    case VT_BSTR: return "BSTR:" + AnsiFromBstr(v.bstrVal);
    default: return "vt " + std::to_string(v.vt);
    }
}

inline DECIMAL makeDecimal(bool neg, BYTE scale, ULONG hi, ULONGLONG lo)
{
    DECIMAL d{};
    d.sign = neg ? DECIMAL_NEG : 0;
    d.scale = scale;
    d.Hi32 = hi;
    d.Lo64 = lo;
    return d;
}
