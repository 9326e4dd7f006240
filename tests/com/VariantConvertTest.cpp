// VariantChangeType results as Windows gives them under en-US settings.
// Values are read back with describe(), which prints the typed field, so a
// wrong width, sign or rounding shows up in the message.
#include "ComTestSupport.h"

#include <cmath>
#include <limits>
#include <ostream>

namespace {

constexpr HRESULT OK = S_OK;
constexpr HRESULT MISMATCH = DISP_E_TYPEMISMATCH;
constexpr HRESULT OVERFLOW_ = DISP_E_OVERFLOW;

// The destination starts holding this value; a failed conversion must leave it.
constexpr const char* kUntouched = "I4:777";

VARIANT sentinel()
{
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = 777;
    return v;
}

// ---- conversions from text -------------------------------------------------

struct TextCase {
    const char* text;
    VARTYPE vt;
    HRESULT hr;
    const char* expect; // describe() of the result when hr is S_OK
};

std::ostream& operator<<(std::ostream& os, const TextCase& c)
{
    return os << '"' << c.text << "\" -> vt " << c.vt;
}

class FromText : public LeakChecked<::testing::TestWithParam<TextCase>> {};

TEST_P(FromText, GivesWindowsResult)
{
    const TextCase& c = GetParam();
    Variant src = Variant::fromText(c.text);
    VARIANT dest = sentinel();
    EXPECT_EQ(VariantChangeTypeEx(&dest, src.get(), LOCALE_USER_DEFAULT, 0, c.vt), c.hr);
    EXPECT_EQ(describe(dest), c.hr == OK ? std::string(c.expect) : std::string(kUntouched));
    EXPECT_EQ(describe(*src.get()), "BSTR:" + std::string(c.text)); // source untouched
    VariantClear(&dest);
}

INSTANTIATE_TEST_SUITE_P(TextToInteger, FromText, ::testing::Values(
    TextCase{"12", VT_I2, OK, "I2:12"},
    TextCase{"abc", VT_I2, MISMATCH, ""},
    TextCase{"70000", VT_I2, OVERFLOW_, ""},
    TextCase{" 12 ", VT_I2, OK, "I2:12"},
    TextCase{"\t12\t", VT_I2, OK, "I2:12"},
    TextCase{"32767", VT_I2, OK, "I2:32767"},
    TextCase{"32768", VT_I2, OVERFLOW_, ""},
    TextCase{"-32768", VT_I2, OK, "I2:-32768"},
    TextCase{"-32769", VT_I2, OVERFLOW_, ""},
    TextCase{"+12", VT_I2, OK, "I2:12"},
    TextCase{"12-", VT_I2, OK, "I2:-12"},
    TextCase{"(12)", VT_I2, OK, "I2:-12"},
    TextCase{"-12-", VT_I2, MISMATCH, ""},
    TextCase{"(-12)", VT_I2, MISMATCH, ""},
    TextCase{"1,000", VT_I2, OK, "I2:1000"},
    TextCase{"$12", VT_I2, OK, "I2:12"},
    TextCase{"-$12", VT_I2, OK, "I2:-12"},
    TextCase{"0100", VT_I2, OK, "I2:100"},
    TextCase{"1e3", VT_I2, OK, "I2:1000"},
    TextCase{"1.5E1", VT_I2, OK, "I2:15"},
    TextCase{"&H8002", VT_I2, OK, "I2:-32766"},
    TextCase{"&hFFFF", VT_I2, OK, "I2:-1"},
    TextCase{"&H10000", VT_I2, OVERFLOW_, ""},
    TextCase{"&o777", VT_I2, OK, "I2:511"},
    TextCase{"&O177777", VT_I2, OK, "I2:-1"},
    TextCase{"0x10", VT_I2, MISMATCH, ""},
    TextCase{"FE", VT_I2, MISMATCH, ""},
    TextCase{"&H", VT_I2, MISMATCH, ""},
    TextCase{"&H1.5", VT_I2, MISMATCH, ""},
    TextCase{"&O8", VT_I2, MISMATCH, ""},
    TextCase{"", VT_I2, MISMATCH, ""},
    TextCase{"   ", VT_I2, MISMATCH, ""},
    TextCase{"()", VT_I2, MISMATCH, ""},
    TextCase{"a", VT_I2, MISMATCH, ""},
    TextCase{".", VT_I2, MISMATCH, ""},
    TextCase{"12abc", VT_I2, MISMATCH, ""},
    TextCase{"1 2", VT_I2, MISMATCH, ""},
    TextCase{"1.2.3", VT_I2, MISMATCH, ""},
    TextCase{"1e", VT_I2, MISMATCH, ""},
    TextCase{"- 1", VT_I2, MISMATCH, ""},
    TextCase{"1.5", VT_I4, OK, "I4:2"},
    TextCase{"2.5", VT_I4, OK, "I4:2"},
    TextCase{"3.5", VT_I4, OK, "I4:4"},
    TextCase{"0.5", VT_I4, OK, "I4:0"},
    TextCase{"0.6", VT_I4, OK, "I4:1"},
    TextCase{"-0.5", VT_I4, OK, "I4:0"},
    TextCase{"-1.5", VT_I4, OK, "I4:-2"},
    TextCase{"-2.5", VT_I4, OK, "I4:-2"},
    TextCase{"2.500001", VT_I4, OK, "I4:3"},
    TextCase{"0.05e1", VT_I4, OK, "I4:0"},
    TextCase{"9.5", VT_I4, OK, "I4:10"},
    TextCase{"2147483647", VT_I4, OK, "I4:2147483647"},
    TextCase{"2147483648", VT_I4, OVERFLOW_, ""},
    TextCase{"2147483646.5", VT_I4, OK, "I4:2147483646"},
    TextCase{"2147483647.5", VT_I4, OVERFLOW_, ""},
    TextCase{"-2147483648", VT_I4, OK, "I4:-2147483648"},
    TextCase{"-2147483649", VT_I4, OVERFLOW_, ""},
    TextCase{"&HFFFFFFFF", VT_I4, OK, "I4:-1"},
    TextCase{"&H8002", VT_I4, OK, "I4:32770"},
    TextCase{"1e400", VT_I4, OVERFLOW_, ""},
    TextCase{"1e-400", VT_I4, OK, "I4:0"},
    TextCase{"0e999999", VT_I4, OK, "I4:0"},
    TextCase{"-2147483648", VT_INT, OK, "INT:-2147483648"},
    TextCase{"2147483648", VT_INT, OVERFLOW_, ""},
    TextCase{"127", VT_I1, OK, "I1:127"},
    TextCase{"128", VT_I1, OVERFLOW_, ""},
    TextCase{"-128", VT_I1, OK, "I1:-128"},
    TextCase{"-129", VT_I1, OVERFLOW_, ""},
    TextCase{"&HFF", VT_I1, OK, "I1:-1"},
    TextCase{"&H80", VT_I1, OK, "I1:-128"},
    TextCase{"&H100", VT_I1, OVERFLOW_, ""},
    TextCase{"9223372036854775807", VT_I8, OK, "I8:9223372036854775807"},
    TextCase{"9223372036854775808", VT_I8, OVERFLOW_, ""},
    TextCase{"-9223372036854775808", VT_I8, OK, "I8:-9223372036854775808"},
    TextCase{"-9223372036854775809", VT_I8, OVERFLOW_, ""},
    TextCase{"1e18", VT_I8, OK, "I8:1000000000000000000"},
    TextCase{"1e19", VT_I8, OVERFLOW_, ""},
    TextCase{"&HFFFFFFFFFFFFFFFF", VT_I8, OK, "I8:-1"},
    TextCase{"&H10000000000000000", VT_I8, OVERFLOW_, ""},
    TextCase{"255", VT_UI1, OK, "UI1:255"},
    TextCase{"256", VT_UI1, OVERFLOW_, ""},
    TextCase{"-1", VT_UI1, OVERFLOW_, ""},
    TextCase{"-0.4", VT_UI1, OK, "UI1:0"},
    TextCase{"-0.5", VT_UI1, OK, "UI1:0"},
    TextCase{"-0.6", VT_UI1, OVERFLOW_, ""},
    TextCase{"254.5", VT_UI1, OK, "UI1:254"},
    TextCase{"255.5", VT_UI1, OVERFLOW_, ""},
    TextCase{"&HFF", VT_UI1, OK, "UI1:255"},
    TextCase{"65535", VT_UI2, OK, "UI2:65535"},
    TextCase{"65536", VT_UI2, OVERFLOW_, ""},
    TextCase{"&H8002", VT_UI2, OK, "UI2:32770"},
    TextCase{"4294967295", VT_UI4, OK, "UI4:4294967295"},
    TextCase{"4294967296", VT_UI4, OVERFLOW_, ""},
    TextCase{"(1)", VT_UI4, OVERFLOW_, ""},
    TextCase{"4294967295", VT_UINT, OK, "UINT:4294967295"},
    TextCase{"-1", VT_UINT, OVERFLOW_, ""},
    TextCase{"18446744073709551615", VT_UI8, OK, "UI8:18446744073709551615"},
    TextCase{"18446744073709551616", VT_UI8, OVERFLOW_, ""},
    TextCase{"-1", VT_UI8, OVERFLOW_, ""},
    TextCase{"&HFFFFFFFFFFFFFFFF", VT_UI8, OK, "UI8:18446744073709551615"}));

INSTANTIATE_TEST_SUITE_P(TextToReal, FromText, ::testing::Values(
    TextCase{"1.5", VT_R8, OK, "R8:1.5"},
    TextCase{"0.1", VT_R8, OK, "R8:0.1"},
    TextCase{"1e-1", VT_R8, OK, "R8:0.1"},
    TextCase{"1.5E+20", VT_R8, OK, "R8:1.5e+20"},
    TextCase{" -2.25 ", VT_R8, OK, "R8:-2.25"},
    TextCase{"(3)", VT_R8, OK, "R8:-3"},
    TextCase{"$1,234.5", VT_R8, OK, "R8:1234.5"},
    TextCase{".5", VT_R8, OK, "R8:0.5"},
    TextCase{"5.", VT_R8, OK, "R8:5"},
    TextCase{"&HFF", VT_R8, OK, "R8:255"},
    TextCase{"123456789012345678901234567890", VT_R8, OK, "R8:1.2345678901234568e+29"},
    TextCase{"1.7976931348623157e308", VT_R8, OK, "R8:1.7976931348623157e+308"},
    TextCase{"1e309", VT_R8, OVERFLOW_, ""},
    TextCase{"1e-400", VT_R8, OK, "R8:0"},
    TextCase{"abc", VT_R8, MISMATCH, ""},
    TextCase{"1,5", VT_R8, OK, "R8:15"}, // "," groups thousands in en-US
    TextCase{"0.1", VT_R4, OK, "R4:0.1"},
    TextCase{"-1.5", VT_R4, OK, "R4:-1.5"},
    TextCase{"3.4e38", VT_R4, OK, "R4:3.4e+38"},
    TextCase{"1e39", VT_R4, OVERFLOW_, ""},
    TextCase{"x", VT_R4, MISMATCH, ""}));

INSTANTIATE_TEST_SUITE_P(TextToCurrency, FromText, ::testing::Values(
    TextCase{"1.5", VT_CY, OK, "CY:15000"},
    TextCase{"$1,234.56", VT_CY, OK, "CY:12345600"},
    TextCase{"-0.0001", VT_CY, OK, "CY:-1"},
    TextCase{"0.00005", VT_CY, OK, "CY:0"},
    TextCase{"0.00015", VT_CY, OK, "CY:2"},
    TextCase{"0.00025", VT_CY, OK, "CY:2"},
    TextCase{"0.000250001", VT_CY, OK, "CY:3"},
    TextCase{"922337203685477.5807", VT_CY, OK, "CY:9223372036854775807"},
    TextCase{"922337203685477.5808", VT_CY, OVERFLOW_, ""},
    TextCase{"-922337203685477.5808", VT_CY, OK, "CY:-9223372036854775808"},
    TextCase{"1e15", VT_CY, OVERFLOW_, ""},
    TextCase{"abc", VT_CY, MISMATCH, ""}));

INSTANTIATE_TEST_SUITE_P(TextToDate, FromText, ::testing::Values(
    TextCase{"2026-12-07 10:30:00", VT_DATE, OK, "DATE:46363.4375"},
    TextCase{"12/7/2026", VT_DATE, OK, "DATE:46363"},
    TextCase{"10:30:00", VT_DATE, OK, "DATE:0.4375"},
    TextCase{"10:30 AM", VT_DATE, OK, "DATE:0.4375"},
    TextCase{"12/7/2026 10:30:00 PM", VT_DATE, OK, "DATE:46363.9375"},
    TextCase{"12/7/2026 12:00:00 AM", VT_DATE, OK, "DATE:46363"},
    TextCase{"  12/7/26  ", VT_DATE, OK, "DATE:46363"},
    TextCase{"2026/12/7", VT_DATE, OK, "DATE:46363"},
    TextCase{"Dec 7, 2026", VT_DATE, OK, "DATE:46363"},
    TextCase{"7 December 2026 10:30 PM", VT_DATE, OK, "DATE:46363.9375"},
    TextCase{"25/12/2026", VT_DATE, OK, "DATE:46381"}, // day first when the month cannot be 25
    TextCase{"1/1/1900", VT_DATE, OK, "DATE:2"},
    TextCase{"12/30/1899", VT_DATE, OK, "DATE:0"},
    TextCase{"12/29/1899 6:00 AM", VT_DATE, OK, "DATE:-1.25"},
    TextCase{"2/29/2024", VT_DATE, OK, "DATE:45351"},
    TextCase{"1/1/100", VT_DATE, OK, "DATE:-657434"},
    TextCase{"12/31/9999", VT_DATE, OK, "DATE:2958465"},
    TextCase{"2/29/2026", VT_DATE, MISMATCH, ""},
    TextCase{"13/13/2026", VT_DATE, MISMATCH, ""},
    TextCase{"25:00", VT_DATE, MISMATCH, ""},
    TextCase{"10:60", VT_DATE, MISMATCH, ""},
    TextCase{"13:00 PM", VT_DATE, MISMATCH, ""},
    TextCase{"5", VT_DATE, MISMATCH, ""},
    TextCase{"abc", VT_DATE, MISMATCH, ""},
    TextCase{"", VT_DATE, MISMATCH, ""}));

INSTANTIATE_TEST_SUITE_P(TextToBool, FromText, ::testing::Values(
    TextCase{"TRUE", VT_BOOL, OK, "BOOL:-1"},
    TextCase{"true", VT_BOOL, OK, "BOOL:-1"},
    TextCase{"False", VT_BOOL, OK, "BOOL:0"},
    TextCase{"#TRUE#", VT_BOOL, OK, "BOOL:-1"},
    TextCase{"#FALSE#", VT_BOOL, OK, "BOOL:0"},
    TextCase{"#true#", VT_BOOL, MISMATCH, ""},
    TextCase{"On", VT_BOOL, MISMATCH, ""},
    TextCase{"Yes", VT_BOOL, MISMATCH, ""},
    TextCase{"0", VT_BOOL, OK, "BOOL:0"},
    TextCase{"0.0", VT_BOOL, OK, "BOOL:0"},
    TextCase{"1", VT_BOOL, OK, "BOOL:-1"},
    TextCase{"-1", VT_BOOL, OK, "BOOL:-1"},
    TextCase{"2.5", VT_BOOL, OK, "BOOL:-1"},
    TextCase{"1e-400", VT_BOOL, OK, "BOOL:0"}, // read as a double, which is 0
    TextCase{"", VT_BOOL, MISMATCH, ""}));

INSTANTIATE_TEST_SUITE_P(TextToDecimal, FromText, ::testing::Values(
    TextCase{"1.5", VT_DECIMAL, OK, "DEC:1.5"},
    TextCase{"-0.001", VT_DECIMAL, OK, "DEC:-0.001"},
    TextCase{"100", VT_DECIMAL, OK, "DEC:100"},
    TextCase{"1e28", VT_DECIMAL, OK, "DEC:10000000000000000000000000000"},
    TextCase{"1e29", VT_DECIMAL, OVERFLOW_, ""},
    TextCase{"79228162514264337593543950335", VT_DECIMAL, OK, "DEC:79228162514264337593543950335"},
    TextCase{"79228162514264337593543950336", VT_DECIMAL, OVERFLOW_, ""},
    TextCase{"-7.9228162514264337593543950335", VT_DECIMAL, OK, "DEC:-7.9228162514264337593543950335"},
    TextCase{"0.1234567890123456789012345678901", VT_DECIMAL, OK, "DEC:0.1234567890123456789012345679"},
    TextCase{"0.00000000000000000000000000015", VT_DECIMAL, OK, "DEC:0.0000000000000000000000000002"},
    TextCase{"12345678901234567890123456789.4", VT_DECIMAL, OK, "DEC:12345678901234567890123456789"},
    TextCase{"&HFFFF", VT_DECIMAL, OK, "DEC:65535"},
    TextCase{"abc", VT_DECIMAL, MISMATCH, ""}));

// ---- conversions between values --------------------------------------------

VARIANT make(VARTYPE vt) { VARIANT v{}; v.vt = vt; return v; }
VARIANT i1(signed char x) { VARIANT v = make(VT_I1); v.cVal = static_cast<CHAR>(x); return v; }
VARIANT ui1(BYTE x) { VARIANT v = make(VT_UI1); v.bVal = x; return v; }
VARIANT i2(SHORT x) { VARIANT v = make(VT_I2); v.iVal = x; return v; }
VARIANT ui2(USHORT x) { VARIANT v = make(VT_UI2); v.uiVal = x; return v; }
VARIANT i4(LONG x) { VARIANT v = make(VT_I4); v.lVal = x; return v; }
VARIANT int_(INT x) { VARIANT v = make(VT_INT); v.intVal = x; return v; }
VARIANT ui4(ULONG x) { VARIANT v = make(VT_UI4); v.ulVal = x; return v; }
VARIANT uint_(UINT x) { VARIANT v = make(VT_UINT); v.uintVal = x; return v; }
VARIANT i8(LONGLONG x) { VARIANT v = make(VT_I8); v.llVal = x; return v; }
VARIANT ui8(ULONGLONG x) { VARIANT v = make(VT_UI8); v.ullVal = x; return v; }
VARIANT r4(FLOAT x) { VARIANT v = make(VT_R4); v.fltVal = x; return v; }
VARIANT r8(DOUBLE x) { VARIANT v = make(VT_R8); v.dblVal = x; return v; }
VARIANT cy(LONGLONG scaled) { VARIANT v = make(VT_CY); v.cyVal.int64 = scaled; return v; }
VARIANT date(DATE x) { VARIANT v = make(VT_DATE); v.date = x; return v; }
VARIANT boolean(bool b) { VARIANT v = make(VT_BOOL); v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE; return v; }
VARIANT error(HRESULT e) { VARIANT v = make(VT_ERROR); v.scode = e; return v; }
VARIANT dec(bool neg, BYTE scale, ULONG hi, ULONGLONG lo)
{
    VARIANT v{};
    DecimalOf(v) = makeDecimal(neg, scale, hi, lo);
    v.vt = VT_DECIMAL;
    return v;
}

constexpr LONGLONG kI8Min = std::numeric_limits<LONGLONG>::min();
constexpr LONGLONG kI8Max = std::numeric_limits<LONGLONG>::max();
constexpr ULONGLONG kU8Max = std::numeric_limits<ULONGLONG>::max();

struct ValueCase {
    VARIANT src;
    VARTYPE vt;
    HRESULT hr;
    const char* expect;
    USHORT flags = 0;
};

std::ostream& operator<<(std::ostream& os, const ValueCase& c)
{
    return os << describe(c.src) << " -> vt " << c.vt << " flags " << c.flags;
}

class BetweenValues : public LeakChecked<::testing::TestWithParam<ValueCase>> {};

TEST_P(BetweenValues, GivesWindowsResult)
{
    const ValueCase& c = GetParam();
    VARIANT dest = sentinel();
    EXPECT_EQ(VariantChangeTypeEx(&dest, &c.src, LOCALE_USER_DEFAULT, c.flags, c.vt), c.hr);
    EXPECT_EQ(describe(dest), c.hr == OK ? std::string(c.expect) : std::string(kUntouched));
    VariantClear(&dest);
}

INSTANTIATE_TEST_SUITE_P(NumberToText, BetweenValues, ::testing::Values(
    ValueCase{i1(-128), VT_BSTR, OK, "BSTR:-128"},
    ValueCase{ui1(255), VT_BSTR, OK, "BSTR:255"},
    ValueCase{i2(-32768), VT_BSTR, OK, "BSTR:-32768"},
    ValueCase{ui2(65535), VT_BSTR, OK, "BSTR:65535"},
    ValueCase{i4(-2147483647 - 1), VT_BSTR, OK, "BSTR:-2147483648"},
    ValueCase{int_(0), VT_BSTR, OK, "BSTR:0"},
    ValueCase{ui4(4294967295u), VT_BSTR, OK, "BSTR:4294967295"},
    ValueCase{uint_(7), VT_BSTR, OK, "BSTR:7"},
    ValueCase{i8(kI8Min), VT_BSTR, OK, "BSTR:-9223372036854775808"},
    ValueCase{ui8(kU8Max), VT_BSTR, OK, "BSTR:18446744073709551615"},
    ValueCase{r8(1.5), VT_BSTR, OK, "BSTR:1.5"},
    ValueCase{r8(0.1), VT_BSTR, OK, "BSTR:0.1"},
    ValueCase{r8(-0.0), VT_BSTR, OK, "BSTR:0"},
    ValueCase{r8(100), VT_BSTR, OK, "BSTR:100"},
    ValueCase{r8(1.0 / 3), VT_BSTR, OK, "BSTR:0.333333333333333"},
    ValueCase{r8(2.0 / 3), VT_BSTR, OK, "BSTR:0.666666666666667"},
    ValueCase{r8(123456789012345), VT_BSTR, OK, "BSTR:123456789012345"},
    ValueCase{r8(1e15), VT_BSTR, OK, "BSTR:1E+15"},
    ValueCase{r8(1e20), VT_BSTR, OK, "BSTR:1E+20"},
    ValueCase{r8(1e300), VT_BSTR, OK, "BSTR:1E+300"},
    ValueCase{r8(0.0001), VT_BSTR, OK, "BSTR:0.0001"},
    ValueCase{r8(1e-5), VT_BSTR, OK, "BSTR:1E-05"},
    ValueCase{r8(-1.5e-20), VT_BSTR, OK, "BSTR:-1.5E-20"},
    ValueCase{r4(0.1f), VT_BSTR, OK, "BSTR:0.1"},
    ValueCase{r4(1.0f / 3), VT_BSTR, OK, "BSTR:0.3333333"},
    ValueCase{r4(-2.5f), VT_BSTR, OK, "BSTR:-2.5"},
    ValueCase{r4(1234567.0f), VT_BSTR, OK, "BSTR:1234567"},
    ValueCase{r4(16777216.0f), VT_BSTR, OK, "BSTR:1.677722E+07"},
    ValueCase{r4(std::numeric_limits<float>::max()), VT_BSTR, OK, "BSTR:3.402823E+38"},
    ValueCase{r4(-0.0f), VT_BSTR, OK, "BSTR:0"},
    ValueCase{cy(15000), VT_BSTR, OK, "BSTR:1.5"},
    ValueCase{cy(10000), VT_BSTR, OK, "BSTR:1"},
    ValueCase{cy(-12345), VT_BSTR, OK, "BSTR:-1.2345"},
    ValueCase{cy(1), VT_BSTR, OK, "BSTR:0.0001"},
    ValueCase{cy(0), VT_BSTR, OK, "BSTR:0"},
    ValueCase{cy(kI8Min), VT_BSTR, OK, "BSTR:-922337203685477.5808"},
    ValueCase{date(46363.4375), VT_BSTR, OK, "BSTR:12/7/2026 10:30:00 AM"},
    ValueCase{date(46363.75), VT_BSTR, OK, "BSTR:12/7/2026 6:00:00 PM"},
    ValueCase{date(46363), VT_BSTR, OK, "BSTR:12/7/2026"},
    ValueCase{date(0.4375), VT_BSTR, OK, "BSTR:10:30:00 AM"},
    ValueCase{date(0.5), VT_BSTR, OK, "BSTR:12:00:00 PM"},
    ValueCase{date(0), VT_BSTR, OK, "BSTR:12:00:00 AM"},
    ValueCase{date(2), VT_BSTR, OK, "BSTR:1/1/1900"},
    ValueCase{date(-1.25), VT_BSTR, OK, "BSTR:12/29/1899 6:00:00 AM"},
    ValueCase{date(46363.9999999), VT_BSTR, OK, "BSTR:12/8/2026"}, // rounds to the next midnight
    ValueCase{date(2958465), VT_BSTR, OK, "BSTR:12/31/9999"},
    ValueCase{date(1e7), VT_BSTR, E_INVALIDARG, ""},
    ValueCase{boolean(true), VT_BSTR, OK, "BSTR:-1"},
    ValueCase{boolean(false), VT_BSTR, OK, "BSTR:0"},
    ValueCase{boolean(true), VT_BSTR, OK, "BSTR:True", VARIANT_ALPHABOOL},
    ValueCase{boolean(false), VT_BSTR, OK, "BSTR:False", VARIANT_ALPHABOOL},
    ValueCase{dec(false, 1, 0, 15), VT_BSTR, OK, "BSTR:1.5"},
    ValueCase{dec(false, 2, 0, 150), VT_BSTR, OK, "BSTR:1.5"},
    ValueCase{dec(true, 3, 0, 123), VT_BSTR, OK, "BSTR:-0.123"},
    ValueCase{dec(false, 0, 0, 100), VT_BSTR, OK, "BSTR:100"},
    ValueCase{dec(false, 28, 0, 1), VT_BSTR, OK, "BSTR:0.0000000000000000000000000001"},
    ValueCase{dec(false, 0, 0xFFFFFFFF, kU8Max), VT_BSTR, OK, "BSTR:79228162514264337593543950335"},
    ValueCase{dec(false, 29, 0, 1), VT_BSTR, E_INVALIDARG, ""},
    ValueCase{make(VT_EMPTY), VT_BSTR, OK, "BSTR:"},
    ValueCase{make(VT_NULL), VT_BSTR, MISMATCH, ""},
    ValueCase{error(E_FAIL), VT_BSTR, MISMATCH, ""}));

INSTANTIATE_TEST_SUITE_P(BoolBothWays, BetweenValues, ::testing::Values(
    ValueCase{boolean(true), VT_I1, OK, "I1:-1"},
    ValueCase{boolean(true), VT_I2, OK, "I2:-1"},
    ValueCase{boolean(true), VT_I8, OK, "I8:-1"},
    ValueCase{boolean(true), VT_UI1, OK, "UI1:255"},
    ValueCase{boolean(true), VT_UI2, OK, "UI2:65535"},
    ValueCase{boolean(true), VT_UI4, OK, "UI4:4294967295"},
    ValueCase{boolean(true), VT_UI8, OK, "UI8:18446744073709551615"},
    ValueCase{boolean(false), VT_UI4, OK, "UI4:0"},
    ValueCase{boolean(true), VT_R4, OK, "R4:-1"},
    ValueCase{boolean(true), VT_R8, OK, "R8:-1"},
    ValueCase{boolean(true), VT_CY, OK, "CY:-10000"},
    ValueCase{boolean(true), VT_DATE, OK, "DATE:-1"},
    ValueCase{boolean(true), VT_DECIMAL, OK, "DEC:-1"},
    ValueCase{i4(5), VT_BOOL, OK, "BOOL:-1"},
    ValueCase{i4(0), VT_BOOL, OK, "BOOL:0"},
    ValueCase{ui8(kU8Max), VT_BOOL, OK, "BOOL:-1"},
    ValueCase{r8(0.1), VT_BOOL, OK, "BOOL:-1"},
    ValueCase{r4(-0.0f), VT_BOOL, OK, "BOOL:0"},
    ValueCase{cy(0), VT_BOOL, OK, "BOOL:0"},
    ValueCase{cy(1), VT_BOOL, OK, "BOOL:-1"},
    ValueCase{date(0.5), VT_BOOL, OK, "BOOL:-1"},
    ValueCase{dec(true, 5, 0, 0), VT_BOOL, OK, "BOOL:0"},
    ValueCase{dec(false, 28, 0, 1), VT_BOOL, OK, "BOOL:-1"},
    ValueCase{make(VT_EMPTY), VT_BOOL, OK, "BOOL:0"},
    ValueCase{make(VT_NULL), VT_BOOL, MISMATCH, ""}));

INSTANTIATE_TEST_SUITE_P(NumberToNumber, BetweenValues, ::testing::Values(
    ValueCase{r8(2.5), VT_I4, OK, "I4:2"},
    ValueCase{r8(3.5), VT_I4, OK, "I4:4"},
    ValueCase{r8(-2.5), VT_I2, OK, "I2:-2"},
    ValueCase{r8(0.49999999999999994), VT_I4, OK, "I4:0"},
    ValueCase{r8(-0.5), VT_UI1, OK, "UI1:0"},
    ValueCase{r8(-0.51), VT_UI1, OVERFLOW_, ""},
    ValueCase{r8(32766.5), VT_I2, OK, "I2:32766"},
    ValueCase{r8(32767.5), VT_I2, OVERFLOW_, ""},
    ValueCase{r8(-32768.5), VT_I2, OK, "I2:-32768"},
    ValueCase{r8(std::nan("")), VT_I4, OVERFLOW_, ""},
    ValueCase{r8(HUGE_VAL), VT_I8, OVERFLOW_, ""},
    ValueCase{r8(1e300), VT_I4, OVERFLOW_, ""},
    ValueCase{r8(9223372036854775808.0), VT_I8, OVERFLOW_, ""},
    ValueCase{r8(-9223372036854775808.0), VT_I8, OK, "I8:-9223372036854775808"},
    ValueCase{r8(18446744073709551616.0), VT_UI8, OVERFLOW_, ""},
    ValueCase{r8(18446744073709549568.0), VT_UI8, OK, "UI8:18446744073709549568"},
    ValueCase{r4(2.5f), VT_I2, OK, "I2:2"},
    ValueCase{r4(1.5f), VT_UI1, OK, "UI1:2"},
    ValueCase{date(46363.5), VT_I4, OK, "I4:46364"},
    ValueCase{date(0.5), VT_I4, OK, "I4:0"},
    ValueCase{cy(25000), VT_I4, OK, "I4:2"},
    ValueCase{cy(35000), VT_I4, OK, "I4:4"},
    ValueCase{cy(15001), VT_I1, OK, "I1:2"},
    ValueCase{cy(-5000), VT_UI1, OK, "UI1:0"},
    ValueCase{cy(327675000), VT_I2, OVERFLOW_, ""},
    ValueCase{cy(kI8Min), VT_I8, OK, "I8:-922337203685478"},
    ValueCase{dec(false, 1, 0, 25), VT_I4, OK, "I4:2"},
    ValueCase{dec(true, 1, 0, 35), VT_I2, OK, "I2:-4"},
    ValueCase{dec(false, 0, 0xFFFFFFFF, kU8Max), VT_I8, OVERFLOW_, ""},
    ValueCase{dec(false, 0, 0, kU8Max), VT_UI8, OK, "UI8:18446744073709551615"},
    ValueCase{i4(70000), VT_I2, OVERFLOW_, ""},
    ValueCase{i4(-1), VT_UI4, OVERFLOW_, ""},
    ValueCase{i4(-1), VT_UI1, OVERFLOW_, ""},
    ValueCase{i1(-1), VT_UI2, OVERFLOW_, ""},
    ValueCase{ui1(200), VT_I1, OVERFLOW_, ""},
    ValueCase{ui1(200), VT_I2, OK, "I2:200"},
    ValueCase{ui2(65535), VT_I2, OVERFLOW_, ""},
    ValueCase{ui4(4294967295u), VT_I4, OVERFLOW_, ""},
    ValueCase{ui4(4294967295u), VT_I8, OK, "I8:4294967295"},
    ValueCase{uint_(2147483647u), VT_INT, OK, "INT:2147483647"},
    ValueCase{int_(-5), VT_UINT, OVERFLOW_, ""},
    ValueCase{i8(-1), VT_UI8, OVERFLOW_, ""},
    ValueCase{i8(kI8Max), VT_UI8, OK, "UI8:9223372036854775807"},
    ValueCase{ui8(kU8Max), VT_I8, OVERFLOW_, ""},
    ValueCase{i2(-5), VT_R4, OK, "R4:-5"},
    ValueCase{ui8(kU8Max), VT_R8, OK, "R8:18446744073709551616"},
    ValueCase{i8(kI8Min), VT_R8, OK, "R8:-9223372036854775808"},
    ValueCase{r8(1e39), VT_R4, OVERFLOW_, ""},
    ValueCase{r8(0.1), VT_R4, OK, "R4:0.1"},
    ValueCase{r4(0.1f), VT_R8, OK, "R8:0.10000000149011612"},
    ValueCase{cy(15000), VT_R8, OK, "R8:1.5"},
    ValueCase{cy(1), VT_R4, OK, "R4:1e-04"},
    ValueCase{dec(false, 0, 0xFFFFFFFF, kU8Max), VT_R8, OK, "R8:7.922816251426434e+28"},
    ValueCase{dec(true, 2, 0, 150), VT_R8, OK, "R8:-1.5"},
    ValueCase{i4(5), VT_CY, OK, "CY:50000"},
    ValueCase{i8(922337203685477), VT_CY, OK, "CY:9223372036854770000"},
    ValueCase{i8(922337203685478), VT_CY, OVERFLOW_, ""},
    ValueCase{i8(-922337203685477), VT_CY, OK, "CY:-9223372036854770000"},
    ValueCase{r8(1.5), VT_CY, OK, "CY:15000"},
    ValueCase{r8(1.03125), VT_CY, OK, "CY:10312"},
    ValueCase{r8(1.09375), VT_CY, OK, "CY:10938"},
    ValueCase{r8(1e15), VT_CY, OVERFLOW_, ""},
    ValueCase{dec(false, 5, 0, 123456), VT_CY, OK, "CY:12346"},
    ValueCase{r8(0.1), VT_DECIMAL, OK, "DEC:0.1"},
    ValueCase{r4(0.1f), VT_DECIMAL, OK, "DEC:0.1"},
    ValueCase{r8(1.0 / 3), VT_DECIMAL, OK, "DEC:0.333333333333333"},
    ValueCase{r8(1e30), VT_DECIMAL, OVERFLOW_, ""},
    ValueCase{i8(kI8Min), VT_DECIMAL, OK, "DEC:-9223372036854775808"},
    ValueCase{ui8(kU8Max), VT_DECIMAL, OK, "DEC:18446744073709551615"},
    ValueCase{cy(-12345), VT_DECIMAL, OK, "DEC:-1.2345"},
    ValueCase{i4(46363), VT_DATE, OK, "DATE:46363"},
    ValueCase{r8(-657434.5), VT_DATE, OK, "DATE:-657434.5"},
    ValueCase{r8(-657435), VT_DATE, OVERFLOW_, ""},
    ValueCase{r8(2958465.5), VT_DATE, OK, "DATE:2958465.5"},
    ValueCase{r8(3e6), VT_DATE, OVERFLOW_, ""},
    ValueCase{cy(15000), VT_DATE, OK, "DATE:1.5"},
    ValueCase{date(1.5), VT_R8, OK, "R8:1.5"}));

INSTANTIATE_TEST_SUITE_P(EmptyNullError, BetweenValues, ::testing::Values(
    ValueCase{make(VT_EMPTY), VT_I4, OK, "I4:0"},
    ValueCase{make(VT_EMPTY), VT_UI8, OK, "UI8:0"},
    ValueCase{make(VT_EMPTY), VT_R8, OK, "R8:0"},
    ValueCase{make(VT_EMPTY), VT_CY, OK, "CY:0"},
    ValueCase{make(VT_EMPTY), VT_DATE, OK, "DATE:0"},
    ValueCase{make(VT_EMPTY), VT_DECIMAL, OK, "DEC:0"},
    ValueCase{make(VT_EMPTY), VT_NULL, OK, "NULL"},
    ValueCase{make(VT_EMPTY), VT_ERROR, MISMATCH, ""},
    ValueCase{make(VT_NULL), VT_EMPTY, OK, "EMPTY"},
    ValueCase{make(VT_NULL), VT_NULL, OK, "NULL"},
    ValueCase{make(VT_NULL), VT_I4, MISMATCH, ""},
    ValueCase{make(VT_NULL), VT_R8, MISMATCH, ""},
    ValueCase{make(VT_NULL), VT_DATE, MISMATCH, ""},
    ValueCase{make(VT_NULL), VT_DECIMAL, MISMATCH, ""},
    ValueCase{i4(1), VT_NULL, MISMATCH, ""},
    ValueCase{i4(1), VT_EMPTY, OK, "EMPTY"},
    ValueCase{error(E_FAIL), VT_ERROR, OK, "ERROR:-2147467259"},
    ValueCase{error(E_FAIL), VT_I4, MISMATCH, ""},
    ValueCase{i4(1), VT_ERROR, MISMATCH, ""}));

// Types outside the VARIANT set are DISP_E_BADVARTYPE; types that exist but
// cannot be converted (interfaces, arrays) are DISP_E_TYPEMISMATCH.
INSTANTIATE_TEST_SUITE_P(UnsupportedTypes, BetweenValues, ::testing::Values(
    ValueCase{i4(1), VARTYPE(15), DISP_E_BADVARTYPE, ""},
    ValueCase{i4(1), VARTYPE(VT_VECTOR | VT_I4), DISP_E_BADVARTYPE, ""},
    ValueCase{i4(1), VARTYPE(VT_RESERVED | VT_I4), DISP_E_BADVARTYPE, ""},
    ValueCase{i4(1), VARTYPE(100), DISP_E_BADVARTYPE, ""},
    ValueCase{i4(1), VARTYPE(VT_CLSID + 1), DISP_E_BADVARTYPE, ""},
    ValueCase{make(15), VT_I4, DISP_E_BADVARTYPE, ""},
    ValueCase{i4(1), VT_DISPATCH, MISMATCH, ""},
    ValueCase{i4(1), VT_UNKNOWN, MISMATCH, ""},
    ValueCase{i4(1), VT_VARIANT, MISMATCH, ""},
    ValueCase{i4(1), VARTYPE(VT_ARRAY | VT_I4), MISMATCH, ""},
    ValueCase{make(VT_DISPATCH), VT_I4, MISMATCH, ""}));

// ---- cases with their own set-up -------------------------------------------

using ChangeType = LeakChecked<>;

TEST_F(ChangeType, InPlaceReplacesTheStringOnlyOnSuccess)
{
    const std::size_t before = LiveBstrCount();
    Variant v = Variant::fromText("70000");
    EXPECT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_I2), DISP_E_OVERFLOW);
    EXPECT_EQ(describe(*v.get()), "BSTR:70000");
    EXPECT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_I4), S_OK);
    EXPECT_EQ(describe(*v.get()), "I4:70000");
    EXPECT_EQ(LiveBstrCount(), before); // the text was freed
    EXPECT_EQ(VariantChangeType(v.get(), v.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(describe(*v.get()), "BSTR:70000");
}

TEST_F(ChangeType, DestinationStringIsFreedOrKept)
{
    Variant dest = Variant::fromText("old");
    Variant good = Variant::fromText("12");
    Variant bad = Variant::fromText("x");
    EXPECT_EQ(VariantChangeType(dest.get(), bad.get(), 0, VT_I2), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(describe(*dest.get()), "BSTR:old");
    EXPECT_EQ(VariantChangeType(dest.get(), good.get(), 0, VT_I2), S_OK);
    EXPECT_EQ(describe(*dest.get()), "I2:12");
    EXPECT_EQ(VariantChangeType(dest.get(), good.get(), 0, VT_BSTR), S_OK);
    EXPECT_NE(dest.get()->bstrVal, good.get()->bstrVal); // a copy, not the same string
}

TEST_F(ChangeType, TextIsReadUpToFirstNulAndMustBeAscii)
{
    Variant embedded = Variant::fromText(std::string_view("12\0abc", 6));
    Variant wide = Variant::fromText("\xEF\xBC\x91\xEF\xBC\x92"); // full-width "12"
    Variant nullText;
    nullText.get()->vt = VT_BSTR;
    Variant out;
    EXPECT_EQ(VariantChangeType(out.get(), embedded.get(), 0, VT_I2), S_OK);
    EXPECT_EQ(describe(*out.get()), "I2:12");
    for (VARTYPE vt : {VT_I2, VT_R8, VT_BOOL, VT_DATE, VT_DECIMAL}) {
        EXPECT_EQ(VariantChangeType(out.get(), wide.get(), 0, vt), DISP_E_TYPEMISMATCH) << vt;
        EXPECT_EQ(VariantChangeType(out.get(), nullText.get(), 0, vt), DISP_E_TYPEMISMATCH) << vt;
    }
    EXPECT_EQ(VariantChangeType(out.get(), nullText.get(), 0, VT_BSTR), S_OK);
    EXPECT_EQ(out.type(), VT_BSTR);
}

TEST_F(ChangeType, ByReferenceSourcesAreDereferenced)
{
    LONG number = 42;
    BStr text{std::string_view("&H8002")};
    BSTR textPtr = text.get();
    DECIMAL decimal = makeDecimal(true, 1, 0, 25);
    Variant inner = Variant::fromR8(2.5);

    VARIANT ref{};
    Variant out;
    ref.vt = VT_BYREF | VT_I4;
    ref.byref = &number;
    EXPECT_EQ(VariantChangeType(out.get(), &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(describe(*out.get()), "BSTR:42");
    ref.vt = VT_BYREF | VT_BSTR;
    ref.byref = &textPtr;
    EXPECT_EQ(VariantChangeType(out.get(), &ref, 0, VT_I2), S_OK);
    EXPECT_EQ(describe(*out.get()), "I2:-32766");
    EXPECT_EQ(VariantChangeType(out.get(), &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(describe(*out.get()), "BSTR:&H8002");
    EXPECT_NE(out.get()->bstrVal, text.get());
    ref.vt = VT_BYREF | VT_DECIMAL;
    ref.byref = &decimal;
    EXPECT_EQ(VariantChangeType(out.get(), &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(describe(*out.get()), "I4:-2");
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = inner.get();
    EXPECT_EQ(VariantChangeType(out.get(), &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(describe(*out.get()), "I4:2");
    ref.vt = VT_BYREF | VT_I4;
    ref.byref = nullptr;
    EXPECT_EQ(VariantChangeType(out.get(), &ref, 0, VT_R8), E_INVALIDARG);
}

TEST_F(ChangeType, ArraysAreCopiedButNotConverted)
{
    Variant arr;
    arr.get()->vt = VT_ARRAY | VT_I4;
    arr.get()->parray = SafeArrayCreateVector(VT_I4, 0, 2);
    Variant out;
    EXPECT_EQ(VariantChangeType(out.get(), arr.get(), 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), arr.get(), 0, VT_ARRAY | VT_R8), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), arr.get(), 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(out.get(), arr.get(), 0, VT_ARRAY | VT_I4), S_OK);
    EXPECT_NE(out.get()->parray, arr.get()->parray);
}

TEST_F(ChangeType, NullPointersAreInvalidArguments)
{
    Variant v = Variant::fromI4(1);
    EXPECT_EQ(VariantChangeType(nullptr, v.get(), 0, VT_I2), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(v.get(), nullptr, 0, VT_I2), E_INVALIDARG);
}

} // namespace
