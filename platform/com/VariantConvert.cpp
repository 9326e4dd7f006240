// VariantChangeTypeEx for the scalar types, giving what OLE Automation gives
// on Windows under en-US settings.
//
// Every conversion runs through three steps, each a pure function:
//   1. the source is reduced to a Number: an exact decimal (integers, CY,
//      DECIMAL and parsed text), a double (R4, R8, DATE) or a boolean;
//   2. the Number is brought to the target's form: rounded half to even to an
//      integer at a given scale, or to a double;
//   3. the result is range-checked for the target type and stored.
// Text and dates have their own parsers and formatters below.
#include "Variant.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Exact decimal numbers

// value = (neg ? -1 : 1) * digits * 10^exp, digits without leading or
// trailing zeros (empty for zero).
struct ExactNumber {
    bool neg = false;
    std::string digits;
    long long exp = 0;
    // VB "&H"/"&O" literals: integer targets take the bit pattern of value.
    bool radix = false;
    std::uint64_t radixValue = 0;
};

void normalize(ExactNumber& n)
{
    const std::size_t first = n.digits.find_first_not_of('0');
    if (first == std::string::npos) {
        n.digits.clear();
        n.exp = 0;
        n.neg = false;
        return;
    }
    n.digits.erase(0, first);
    const std::size_t last = n.digits.find_last_not_of('0');
    n.exp += static_cast<long long>(n.digits.size() - 1 - last);
    n.digits.erase(last + 1);
}

ExactNumber exactFromInteger(bool neg, std::uint64_t mag, long long exp = 0)
{
    ExactNumber n;
    n.neg = neg;
    n.digits = std::to_string(mag);
    n.exp = exp;
    normalize(n);
    return n;
}

// Integers that no target can hold (more digits than the 29 of a DECIMAL)
// are reported as too big before any string of that size is built.
constexpr long long kMaxIntegerDigits = 40;

// |n| * 10^scale rounded half to even, as decimal digits without leading zeros
// (empty for zero); nullopt when it has more than kMaxIntegerDigits digits.
std::optional<std::string> roundToInteger(const ExactNumber& n, int scale)
{
    if (n.digits.empty()) return std::string();
    const long long e = n.exp + scale;
    const long long size = static_cast<long long>(n.digits.size());
    if (size + e > kMaxIntegerDigits) return std::nullopt;
    if (e >= 0) return n.digits + std::string(static_cast<std::size_t>(e), '0');

    const long long k = -e; // digits after the decimal point
    std::string whole = size > k ? n.digits.substr(0, static_cast<std::size_t>(size - k)) : std::string();
    // The first dropped digit decides, the rest only break a tie.
    const char first = size >= k ? n.digits[static_cast<std::size_t>(size - k)] : '0';
    bool restNonZero = false;
    if (size >= k) {
        for (std::size_t i = static_cast<std::size_t>(size - k) + 1; i < n.digits.size() && !restNonZero; ++i)
            restNonZero = n.digits[i] != '0';
    } else {
        restNonZero = true; // the digits all lie below the first dropped place
    }
    const bool odd = !whole.empty() && ((whole.back() - '0') & 1);
    const bool up = first > '5' || (first == '5' && (restNonZero || odd));
    if (up) {
        std::size_t i = whole.size();
        while (i > 0 && whole[i - 1] == '9') whole[--i] = '0';
        if (i == 0)
            whole.insert(whole.begin(), '1');
        else
            ++whole[i - 1];
    }
    const std::size_t nz = whole.find_first_not_of('0');
    return nz == std::string::npos ? std::string() : whole.substr(nz);
}

std::optional<std::uint64_t> digitsToU64(std::string_view digits)
{
    std::uint64_t v = 0;
    for (char c : digits) {
        const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    return v;
}

// 96-bit unsigned integer as three 32-bit limbs, least significant first.
using U96 = std::array<std::uint32_t, 3>;

std::optional<U96> digitsToU96(std::string_view digits)
{
    U96 v{0, 0, 0};
    for (char c : digits) {
        std::uint64_t carry = static_cast<std::uint64_t>(c - '0');
        for (auto& limb : v) {
            const std::uint64_t t = std::uint64_t(limb) * 10 + carry;
            limb = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        if (carry) return std::nullopt;
    }
    return v;
}

std::string u96ToDigits(U96 v)
{
    std::string out;
    while (v[0] || v[1] || v[2]) {
        std::uint64_t rem = 0;
        for (int i = 2; i >= 0; --i) {
            const std::uint64_t cur = (rem << 32) | v[i];
            v[i] = static_cast<std::uint32_t>(cur / 10);
            rem = cur % 10;
        }
        out.insert(out.begin(), static_cast<char>('0' + rem));
    }
    return out;
}

// The nearest double; DISP_E_OVERFLOW beyond its range, 0 below it.
HRESULT exactAsDouble(const ExactNumber& n, double& out)
{
    if (n.digits.empty()) {
        out = 0.0;
        return S_OK;
    }
    // The value lies in [10^(magnitude-1), 10^magnitude).
    const long long magnitude = static_cast<long long>(n.digits.size()) + n.exp;
    if (magnitude > 310) return DISP_E_OVERFLOW;
    double v = 0.0;
    if (magnitude >= -330) {
        const std::string text = n.digits + "e" + std::to_string(n.exp);
        const auto res = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::scientific);
        if (res.ec == std::errc::result_out_of_range) {
            if (magnitude > 0) return DISP_E_OVERFLOW;
            v = 0.0;
        } else if (res.ec != std::errc()) {
            return E_UNEXPECTED;
        }
    }
    out = n.neg ? -v : v;
    return S_OK;
}

// Round half to even for doubles (the FPU's current mode is not relied on).
double roundHalfEven(double d)
{
    const double f = std::floor(d);
    const double diff = d - f;
    if (diff > 0.5) return f + 1.0;
    if (diff < 0.5) return f;
    return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// ---------------------------------------------------------------------------
// Text to number (NUMPRS_STD under en-US: blanks around, a leading or a
// trailing sign, (n) for -n, "," thousands, "." decimal, exponent, "$",
// "&H" hex and "&O" octal).

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

HRESULT parseRadix(std::string_view s, std::size_t& i, ExactNumber& out)
{
    unsigned base = 0;
    if (i < s.size() && lower(s[i]) == 'h') base = 16;
    if (i < s.size() && lower(s[i]) == 'o') base = 8;
    if (!base) return DISP_E_TYPEMISMATCH;
    ++i;
    std::uint64_t v = 0;
    bool overflow = false;
    const std::size_t start = i;
    for (; i < s.size(); ++i) {
        const char c = lower(s[i]);
        unsigned d;
        if (isDigit(c))
            d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = static_cast<unsigned>(c - 'a' + 10);
        else
            break;
        if (d >= base) break;
        if (v > (UINT64_MAX - d) / base) overflow = true;
        v = v * base + d;
    }
    if (i == start) return DISP_E_TYPEMISMATCH;
    if (overflow) return DISP_E_OVERFLOW;
    out.radix = true;
    out.radixValue = v;
    out.digits = std::to_string(v);
    out.exp = 0;
    return S_OK;
}

HRESULT parseDecimalBody(std::string_view s, std::size_t& i, ExactNumber& out)
{
    bool any = false;
    for (; i < s.size(); ++i) {
        if (isDigit(s[i])) {
            out.digits.push_back(s[i]);
            any = true;
        } else if (s[i] != ',' || !any) {
            break; // a thousands separator only after a digit
        }
    }
    long long fraction = 0;
    if (i < s.size() && s[i] == '.') {
        for (++i; i < s.size() && isDigit(s[i]); ++i) {
            out.digits.push_back(s[i]);
            ++fraction;
            any = true;
        }
    }
    if (!any) return DISP_E_TYPEMISMATCH;
    long long exponent = 0;
    if (i < s.size() && lower(s[i]) == 'e') {
        std::size_t j = i + 1;
        bool negExp = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) negExp = s[j++] == '-';
        if (j < s.size() && isDigit(s[j])) {
            for (; j < s.size() && isDigit(s[j]); ++j)
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[j] - '0');
            if (negExp) exponent = -exponent;
            i = j;
        }
    }
    out.exp = exponent - fraction;
    return S_OK;
}

HRESULT parseNumber(std::string_view s, ExactNumber& out)
{
    ExactNumber n;
    std::size_t i = 0;
    const auto skipBlanks = [&] { while (i < s.size() && isBlank(s[i])) ++i; };
    const auto at = [&](char c) { return i < s.size() && s[i] == c; };

    skipBlanks();
    const bool paren = at('(');
    if (paren) ++i;
    bool signSeen = false, currencySeen = false;
    for (int k = 0; k < 2; ++k) { // sign and currency symbol, either order
        if (!signSeen && !paren && (at('+') || at('-'))) {
            signSeen = true;
            n.neg = s[i++] == '-';
        } else if (!currencySeen && at('$')) {
            currencySeen = true;
            ++i;
        }
    }
    HRESULT h;
    if (at('&')) {
        ++i;
        h = parseRadix(s, i, n);
    } else {
        h = parseDecimalBody(s, i, n);
    }
    if (h == DISP_E_TYPEMISMATCH) return h;
    const HRESULT bodyResult = h; // an over-long hex literal still needs a clean tail

    if (!currencySeen && at('$')) ++i;
    if (!signSeen && !paren && (at('+') || at('-'))) n.neg = s[i++] == '-';
    if (paren) {
        if (!at(')')) return DISP_E_TYPEMISMATCH;
        ++i;
        n.neg = true;
    }
    skipBlanks();
    if (i != s.size()) return DISP_E_TYPEMISMATCH;
    if (FAILED(bodyResult)) return bodyResult;
    const bool neg = n.neg;
    normalize(n);
    n.neg = neg && !n.digits.empty();
    if (n.radix) n.neg = neg;
    out = std::move(n);
    return S_OK;
}

// ---------------------------------------------------------------------------
// Dates: days since 1899-12-30, the fraction (always positive) the time of day.

constexpr double kDateMin = -657434.0;  // 1 Jan 100
constexpr double kDateMax = 2958465.0;  // 31 Dec 9999

bool dateInRange(double d)
{
    return d > kDateMin - 1.0 && d < kDateMax + 1.0; // false for NaN
}

// Days from 1970-01-01 in the proleptic Gregorian calendar.
long long daysFromCivil(long long y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct Civil {
    long long year;
    unsigned month;
    unsigned day;
};

Civil civilFromDays(long long z)
{
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<long long>(yoe) + era * 400 + (m <= 2), m, d};
}

const long long kDateEpoch = daysFromCivil(1899, 12, 30);

bool isLeap(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned daysInMonth(long long y, unsigned m)
{
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// en-US short date and long time: "M/D/YYYY h:mm:ss AM". The date is left out
// when its day part is 0 (30 Dec 1899), the time when it is midnight.
std::optional<std::string> formatDate(double date)
{
    if (!dateInRange(date)) return std::nullopt;
    const double whole = std::trunc(date);
    long long day = static_cast<long long>(whole);
    long long secs = static_cast<long long>(std::floor(std::fabs(date - whole) * 86400.0 + 0.5));
    if (secs >= 86400) { // rounds up to the next midnight
        secs -= 86400;
        ++day;
    }
    char dateText[32];
    char timeText[32];
    const Civil c = civilFromDays(kDateEpoch + day);
    std::snprintf(dateText, sizeof dateText, "%u/%u/%04lld", c.month, c.day, c.year);
    const long long h = secs / 3600;
    std::snprintf(timeText, sizeof timeText, "%lld:%02lld:%02lld %s", h % 12 == 0 ? 12 : h % 12,
                  secs / 60 % 60, secs % 60, h < 12 ? "AM" : "PM");
    if (day == 0) return std::string(timeText);
    if (secs == 0) return std::string(dateText);
    return std::string(dateText) + " " + timeText;
}

struct DateToken {
    enum Kind { Number, Word, Separator };
    explicit DateToken(Kind k) : kind(k) {}
    Kind kind;
    long long value = 0;    // Number
    std::size_t width = 0;  // Number: digits written
    std::string word;       // Word, lower case
    char sep = 0;           // Separator
};

std::optional<std::vector<DateToken>> tokenizeDate(std::string_view s)
{
    std::vector<DateToken> tokens;
    std::size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (isBlank(c)) {
            ++i;
        } else if (isDigit(c)) {
            DateToken t(DateToken::Number);
            for (; i < s.size() && isDigit(s[i]); ++i) {
                if (++t.width > 9) return std::nullopt;
                t.value = t.value * 10 + (s[i] - '0');
            }
            tokens.push_back(std::move(t));
        } else if (lower(c) >= 'a' && lower(c) <= 'z') {
            DateToken t(DateToken::Word);
            for (; i < s.size() && lower(s[i]) >= 'a' && lower(s[i]) <= 'z'; ++i) t.word.push_back(lower(s[i]));
            tokens.push_back(std::move(t));
        } else if (c == '/' || c == '-' || c == '.' || c == ':' || c == ',') {
            DateToken t(DateToken::Separator);
            t.sep = c;
            tokens.push_back(std::move(t));
            ++i;
        } else {
            return std::nullopt;
        }
    }
    return tokens;
}

// 1..12 for an English month name or its first three letters, else 0.
unsigned monthFromWord(std::string_view w)
{
    static constexpr std::string_view names[] = {"january", "february", "march", "april", "may", "june",
        "july", "august", "september", "october", "november", "december"};
    for (unsigned m = 0; m < 12; ++m)
        if (w == names[m] || (w.size() == 3 && names[m].substr(0, 3) == w)) return m + 1;
    return 0;
}

long long fullYear(const DateToken& t)
{
    if (t.width > 2) return t.value;
    return t.value < 30 ? 2000 + t.value : 1900 + t.value; // two-digit years up to 2029
}

class DateParser {
public:
    explicit DateParser(std::vector<DateToken> tokens) : t_(std::move(tokens)) {}

    std::optional<double> parse()
    {
        std::optional<long long> day = date();
        std::optional<long long> secs = time();
        if (!day && secs) day = date();
        if (pos_ != t_.size() || (!day && !secs)) return std::nullopt;
        const double t = secs.value_or(0) / 86400.0;
        const long long d = day.value_or(0);
        return d >= 0 ? double(d) + t : double(d) - t;
    }

private:
    bool isNumber(std::size_t i) const { return i < t_.size() && t_[i].kind == DateToken::Number; }
    bool isSep(std::size_t i, std::string_view seps) const
    {
        return i < t_.size() && t_[i].kind == DateToken::Separator && seps.find(t_[i].sep) != std::string_view::npos;
    }
    unsigned monthAt(std::size_t i) const
    {
        return i < t_.size() && t_[i].kind == DateToken::Word ? monthFromWord(t_[i].word) : 0;
    }

    static std::optional<long long> serial(long long y, long long m, long long d)
    {
        if (y < 100 || y > 9999 || m < 1 || m > 12 || d < 1) return std::nullopt;
        if (d > daysInMonth(y, static_cast<unsigned>(m))) return std::nullopt;
        return daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) - kDateEpoch;
    }

    // M/D/Y (D/M/Y when the first cannot be a month), Y-M-D, or with an
    // English month name: "Dec 7, 2026", "7 December 2026".
    std::optional<long long> date()
    {
        const std::size_t p = pos_;
        if (isNumber(p) && isSep(p + 1, "/-.") && isNumber(p + 2) && isSep(p + 3, "/-.") && isNumber(p + 4)
            && t_[p + 1].sep == t_[p + 3].sep) {
            const DateToken& a = t_[p];
            const DateToken& b = t_[p + 2];
            const DateToken& c = t_[p + 4];
            std::optional<long long> r;
            if (a.width > 2) {
                r = serial(a.value, b.value, c.value);
            } else {
                long long m = a.value, d = b.value;
                if (m > 12 && d <= 12) std::swap(m, d);
                r = serial(fullYear(c), m, d);
            }
            if (r) pos_ = p + 5;
            return r;
        }
        // Month name forms: three items, separators between them optional.
        std::size_t i = p;
        const DateToken* items[3];
        std::size_t indices[3];
        for (int k = 0; k < 3; ++k) {
            if (k > 0)
                while (isSep(i, ",-.")) ++i;
            if (i >= t_.size() || t_[i].kind == DateToken::Separator) return std::nullopt;
            items[k] = &t_[i];
            indices[k] = i++;
        }
        std::optional<long long> r;
        if (monthAt(indices[0]) && isNumber(indices[1]) && isNumber(indices[2]))
            r = serial(fullYear(*items[2]), monthAt(indices[0]), items[1]->value);
        else if (isNumber(indices[0]) && monthAt(indices[1]) && isNumber(indices[2]))
            r = serial(fullYear(*items[2]), monthAt(indices[1]), items[0]->value);
        if (r) pos_ = i;
        return r;
    }

    // h[:mm[:ss]] with AM/PM, or h:mm[:ss] on the 24-hour clock.
    std::optional<long long> time()
    {
        std::size_t i = pos_;
        if (!isNumber(i)) return std::nullopt;
        long long parts[3] = {t_[i++].value, 0, 0};
        int count = 1;
        while (count < 3 && isSep(i, ":") && isNumber(i + 1)) {
            parts[count++] = t_[i + 1].value;
            i += 2;
        }
        int half = 0; // 1 AM, 2 PM
        if (i < t_.size() && t_[i].kind == DateToken::Word) {
            if (t_[i].word == "am" || t_[i].word == "a") half = 1;
            else if (t_[i].word == "pm" || t_[i].word == "p") half = 2;
            if (half) ++i;
        }
        if (count == 1 && !half) return std::nullopt;
        long long h = parts[0];
        if (parts[1] > 59 || parts[2] > 59) return std::nullopt;
        if (half) {
            if (h > 12) return std::nullopt;
            if (h == 12) h = 0;
            if (half == 2) h += 12;
        } else if (h > 23) {
            return std::nullopt;
        }
        pos_ = i;
        return h * 3600 + parts[1] * 60 + parts[2];
    }

    std::vector<DateToken> t_;
    std::size_t pos_ = 0;
};

std::optional<double> parseDate(std::string_view s)
{
    auto tokens = tokenizeDate(s);
    if (!tokens) return std::nullopt;
    return DateParser(std::move(*tokens)).parse();
}

// ---------------------------------------------------------------------------
// Number to text

// Like printf("%.*G"): significant digits, no trailing zeros, "E+nn" notation
// outside 1E-5..1E+digits; -0 prints as 0.
std::string formatReal(double d, int significant)
{
    if (d == 0.0) return "0";
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, significant);
    std::string out(buf, res.ptr);
    for (char& c : out)
        if (c == 'e') c = 'E';
    return out;
}

std::string formatExact(const ExactNumber& n)
{
    if (n.digits.empty()) return "0";
    std::string out = n.neg ? "-" : "";
    if (n.exp >= 0) return out + n.digits + std::string(static_cast<std::size_t>(n.exp), '0');
    const auto frac = static_cast<std::size_t>(-n.exp);
    if (frac >= n.digits.size()) return out + "0." + std::string(frac - n.digits.size(), '0') + n.digits;
    return out + n.digits.substr(0, n.digits.size() - frac) + "." + n.digits.substr(n.digits.size() - frac);
}

// ---------------------------------------------------------------------------
// Source values

struct IntegerSpec {
    int bits;
    bool isSigned;
};

std::optional<IntegerSpec> integerSpec(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: return IntegerSpec{8, true};
    case VT_I2: return IntegerSpec{16, true};
    case VT_I4: case VT_INT: return IntegerSpec{32, true};
    case VT_I8: return IntegerSpec{64, true};
    case VT_UI1: return IntegerSpec{8, false};
    case VT_UI2: return IntegerSpec{16, false};
    case VT_UI4: case VT_UINT: return IntegerSpec{32, false};
    case VT_UI8: return IntegerSpec{64, false};
    default: return std::nullopt;
    }
}

std::uint64_t widthMask(int bits) { return bits == 64 ? UINT64_MAX : (std::uint64_t(1) << bits) - 1; }

struct Number {
    enum Kind { Exact, Real, Boolean } kind = Exact;
    ExactNumber exact;      // integers, CY, DECIMAL, text
    double real = 0.0;      // R4, R8, DATE
    int realDigits = 15;    // significant digits of the real's text form
    VARIANT_BOOL boolean = VARIANT_FALSE;
};

std::optional<std::string> asciiText(BSTR text)
{
    // The conversion functions read the string up to its first NUL, as the
    // Windows ones (taking a plain OLECHAR*) do.
    std::string out;
    const UINT len = SysStringLen(text);
    for (UINT i = 0; i < len && text[i]; ++i) {
        if (text[i] >= 0x80) return std::nullopt;
        out.push_back(static_cast<char>(text[i]));
    }
    return out;
}

HRESULT decimalToExact(const DECIMAL& d, ExactNumber& out)
{
    if (d.scale > 28 || (d.sign & ~DECIMAL_NEG)) return E_INVALIDARG;
    ExactNumber n;
    n.neg = d.sign & DECIMAL_NEG;
    n.digits = u96ToDigits({static_cast<std::uint32_t>(d.Lo64), static_cast<std::uint32_t>(d.Lo64 >> 32), d.Hi32});
    n.exp = -static_cast<long long>(d.scale);
    normalize(n);
    out = std::move(n);
    return S_OK;
}

HRESULT numberFrom(const VARIANT& v, Number& out)
{
    out = Number{};
    const auto signedInt = [&](long long x) {
        out.exact = exactFromInteger(x < 0, x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x));
    };
    switch (v.vt) {
    case VT_EMPTY: return S_OK;
    case VT_I1: signedInt(static_cast<signed char>(v.cVal)); return S_OK;
    case VT_I2: signedInt(v.iVal); return S_OK;
    case VT_I4: signedInt(v.lVal); return S_OK;
    case VT_INT: signedInt(v.intVal); return S_OK;
    case VT_I8: signedInt(v.llVal); return S_OK;
    case VT_UI1: out.exact = exactFromInteger(false, v.bVal); return S_OK;
    case VT_UI2: out.exact = exactFromInteger(false, v.uiVal); return S_OK;
    case VT_UI4: out.exact = exactFromInteger(false, v.ulVal); return S_OK;
    case VT_UINT: out.exact = exactFromInteger(false, v.uintVal); return S_OK;
    case VT_UI8: out.exact = exactFromInteger(false, v.ullVal); return S_OK;
    case VT_CY: {
        const long long x = v.cyVal.int64;
        out.exact = exactFromInteger(x < 0, x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x), -4);
        return S_OK;
    }
    case VT_DECIMAL: return decimalToExact(DecimalOf(v), out.exact);
    case VT_R4: out.kind = Number::Real; out.real = v.fltVal; out.realDigits = 7; return S_OK;
    case VT_R8: out.kind = Number::Real; out.real = v.dblVal; return S_OK;
    case VT_DATE: out.kind = Number::Real; out.real = v.date; return S_OK;
    case VT_BOOL: out.kind = Number::Boolean; out.boolean = v.boolVal; return S_OK;
    case VT_BSTR: {
        const auto text = asciiText(v.bstrVal);
        if (!text || !v.bstrVal) return DISP_E_TYPEMISMATCH;
        return parseNumber(*text, out.exact);
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

// ---------------------------------------------------------------------------
// Number to target

// Two's complement bits of the value in the target's width, or overflow.
HRESULT fitInteger(bool neg, std::uint64_t mag, IntegerSpec kind, std::uint64_t& raw)
{
    if (kind.isSigned) {
        const std::uint64_t limit = std::uint64_t(1) << (kind.bits - 1);
        if (neg ? mag > limit : mag >= limit) return DISP_E_OVERFLOW;
        raw = neg ? 0 - mag : mag;
    } else {
        if ((neg && mag) || mag > widthMask(kind.bits)) return DISP_E_OVERFLOW;
        raw = mag;
    }
    return S_OK;
}

// A VB hex or octal literal keeps its bit pattern: "&H8002" is -32766 as I2.
HRESULT fitRadix(const ExactNumber& n, IntegerSpec kind, std::uint64_t& raw)
{
    const std::uint64_t v = n.radixValue;
    if (v > widthMask(kind.bits)) return DISP_E_OVERFLOW;
    if (!kind.isSigned) return fitInteger(n.neg, v, kind, raw);
    const std::uint64_t signBit = std::uint64_t(1) << (kind.bits - 1);
    const bool patternNeg = v & signBit;
    const std::uint64_t patternMag = patternNeg ? ((0 - v) & widthMask(kind.bits)) : v;
    if (patternNeg && patternMag == signBit && n.neg) return DISP_E_OVERFLOW; // -(min) does not fit
    return fitInteger(patternNeg != n.neg, patternMag, kind, raw);
}

HRESULT realToInteger(double d, IntegerSpec kind, std::uint64_t& raw)
{
    if (std::isnan(d)) return DISP_E_OVERFLOW;
    const double r = roundHalfEven(d);
    if (kind.isSigned) {
        const double limit = std::ldexp(1.0, kind.bits - 1);
        if (r < -limit || r >= limit) return DISP_E_OVERFLOW;
        raw = static_cast<std::uint64_t>(static_cast<long long>(r));
    } else {
        if (r < 0.0 || r >= std::ldexp(1.0, kind.bits)) return DISP_E_OVERFLOW;
        raw = static_cast<std::uint64_t>(r);
    }
    return S_OK;
}

HRESULT toInteger(const Number& n, IntegerSpec kind, std::uint64_t& raw)
{
    switch (n.kind) {
    case Number::Boolean:
        raw = static_cast<std::uint64_t>(static_cast<long long>(n.boolean)) & widthMask(kind.bits);
        return S_OK;
    case Number::Real:
        return realToInteger(n.real, kind, raw);
    case Number::Exact:
        break;
    }
    if (n.exact.radix) return fitRadix(n.exact, kind, raw);
    const auto digits = roundToInteger(n.exact, 0);
    if (!digits) return DISP_E_OVERFLOW;
    const auto mag = digitsToU64(*digits);
    if (!mag) return DISP_E_OVERFLOW;
    return fitInteger(n.exact.neg, *mag, kind, raw);
}

HRESULT asDouble(const Number& n, double& out)
{
    switch (n.kind) {
    case Number::Boolean: out = n.boolean; return S_OK;
    case Number::Real: out = n.real; return S_OK;
    case Number::Exact: return exactAsDouble(n.exact, out);
    }
    return E_UNEXPECTED;
}

HRESULT toFloat(const Number& n, float& out)
{
    double d = 0.0;
    const HRESULT h = asDouble(n, d);
    if (FAILED(h)) return h;
    if (std::fabs(d) > FLT_MAX) return DISP_E_OVERFLOW;
    out = static_cast<float>(d);
    return S_OK;
}

HRESULT toCurrency(const Number& n, LONGLONG& out)
{
    constexpr IntegerSpec i64{64, true};
    std::uint64_t raw = 0;
    HRESULT h;
    switch (n.kind) {
    case Number::Boolean:
        out = static_cast<LONGLONG>(n.boolean) * 10000;
        return S_OK;
    case Number::Real:
        if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
        h = realToInteger(n.real * 10000.0, i64, raw);
        break;
    case Number::Exact: {
        const auto digits = roundToInteger(n.exact, 4);
        if (!digits) return DISP_E_OVERFLOW;
        const auto mag = digitsToU64(*digits);
        if (!mag) return DISP_E_OVERFLOW;
        h = fitInteger(n.exact.neg, *mag, i64, raw);
        break;
    }
    default:
        return E_UNEXPECTED;
    }
    if (SUCCEEDED(h)) out = static_cast<LONGLONG>(raw);
    return h;
}

HRESULT exactToDecimal(const ExactNumber& n, DECIMAL& out)
{
    // The most decimals that still fit 96 bits, at most 28, rounding off the rest.
    int scale = n.exp < 0 ? static_cast<int>(std::min<long long>(-n.exp, 28)) : 0;
    for (; scale >= 0; --scale) {
        const auto digits = roundToInteger(n, scale);
        if (!digits) continue;
        const auto v = digitsToU96(*digits);
        if (!v) continue;
        out = DECIMAL{};
        out.scale = static_cast<BYTE>(scale);
        out.sign = n.neg && !digits->empty() ? DECIMAL_NEG : 0;
        out.Hi32 = (*v)[2];
        out.Lo64 = (std::uint64_t((*v)[1]) << 32) | (*v)[0];
        return S_OK;
    }
    return DISP_E_OVERFLOW;
}

HRESULT toDecimal(const Number& n, DECIMAL& out)
{
    switch (n.kind) {
    case Number::Boolean:
        return exactToDecimal(exactFromInteger(n.boolean != 0, n.boolean != 0), out);
    case Number::Real: {
        // A real becomes the decimal of its shortest text form (7 or 15 digits).
        if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
        ExactNumber e;
        const HRESULT h = parseNumber(formatReal(n.real, n.realDigits), e);
        return FAILED(h) ? h : exactToDecimal(e, out);
    }
    case Number::Exact:
        return exactToDecimal(n.exact, out);
    }
    return E_UNEXPECTED;
}

HRESULT toDate(const Number& n, double& out)
{
    double d = 0.0;
    const HRESULT h = asDouble(n, d);
    if (FAILED(h)) return h;
    if (!dateInRange(d)) return DISP_E_OVERFLOW;
    out = d;
    return S_OK;
}

HRESULT toText(const VARIANT& v, USHORT flags, std::string& out)
{
    switch (v.vt) {
    case VT_EMPTY: out.clear(); return S_OK;
    case VT_BOOL:
        if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL))
            out = v.boolVal ? "True" : "False";
        else
            out = v.boolVal ? "-1" : "0";
        return S_OK;
    case VT_R4: out = formatReal(v.fltVal, 7); return S_OK;
    case VT_R8: out = formatReal(v.dblVal, 15); return S_OK;
    case VT_DATE: {
        auto text = formatDate(v.date);
        if (!text) return E_INVALIDARG;
        out = std::move(*text);
        return S_OK;
    }
    default: break;
    }
    Number n;
    const HRESULT h = numberFrom(v, n);
    if (FAILED(h)) return h;
    out = formatExact(n.exact); // integers, CY and DECIMAL: exact decimal text
    return S_OK;
}

HRESULT textToBool(BSTR text, VARIANT_BOOL& out)
{
    const auto s = asciiText(text);
    if (!s || !text) return DISP_E_TYPEMISMATCH;
    const auto equalsNoCase = [&](std::string_view word) {
        if (s->size() != word.size()) return false;
        for (std::size_t i = 0; i < word.size(); ++i)
            if (lower((*s)[i]) != word[i]) return false;
        return true;
    };
    if (equalsNoCase("true") || *s == "#TRUE#") {
        out = VARIANT_TRUE;
        return S_OK;
    }
    if (equalsNoCase("false") || *s == "#FALSE#") {
        out = VARIANT_FALSE;
        return S_OK;
    }
    // Anything else is read as a double: non-zero is true.
    ExactNumber e;
    HRESULT h = parseNumber(*s, e);
    if (FAILED(h)) return h;
    double d = 0.0;
    h = exactAsDouble(e, d);
    if (FAILED(h)) return h;
    out = d != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT storeText(const std::string& text, VARIANT& out)
{
    BSTR b = BstrFromAnsi(text);
    if (!b) return E_OUTOFMEMORY;
    out.vt = VT_BSTR;
    out.bstrVal = b;
    return S_OK;
}

void storeInteger(VARTYPE vt, std::uint64_t raw, VARIANT& out)
{
    switch (vt) {
    case VT_I1: out.cVal = static_cast<CHAR>(static_cast<std::int8_t>(raw)); break;
    case VT_UI1: out.bVal = static_cast<BYTE>(raw); break;
    case VT_I2: out.iVal = static_cast<SHORT>(raw); break;
    case VT_UI2: out.uiVal = static_cast<USHORT>(raw); break;
    case VT_I4: out.lVal = static_cast<LONG>(raw); break;
    case VT_INT: out.intVal = static_cast<INT>(raw); break;
    case VT_UI4: out.ulVal = static_cast<ULONG>(raw); break;
    case VT_UINT: out.uintVal = static_cast<UINT>(raw); break;
    case VT_I8: out.llVal = static_cast<LONGLONG>(raw); break;
    case VT_UI8: out.ullVal = raw; break;
    default: break;
    }
    out.vt = vt;
}

bool convertible(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT: case VT_R4: case VT_R8:
    case VT_CY: case VT_DATE: case VT_BSTR: case VT_BOOL: case VT_DECIMAL: case VT_ERROR:
        return true;
    default:
        return false;
    }
}

// Converts a plain (not by-reference) scalar into out, which owns nothing
// when this fails.
HRESULT convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out)
{
    if (!convertible(src.vt) || !convertible(vt)) return DISP_E_TYPEMISMATCH;
    if (vt == VT_EMPTY) return S_OK;
    if (src.vt == VT_ERROR) return DISP_E_TYPEMISMATCH;
    if (vt == VT_NULL) {
        if (src.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
        out.vt = VT_NULL;
        return S_OK;
    }
    if (src.vt == VT_NULL || vt == VT_ERROR) return DISP_E_TYPEMISMATCH;

    if (vt == VT_BSTR) {
        std::string text;
        const HRESULT h = toText(src, flags, text);
        return FAILED(h) ? h : storeText(text, out);
    }
    if (src.vt == VT_BSTR && vt == VT_BOOL) {
        const HRESULT h = textToBool(src.bstrVal, out.boolVal);
        if (SUCCEEDED(h)) out.vt = VT_BOOL;
        return h;
    }
    if (src.vt == VT_BSTR && vt == VT_DATE) {
        const auto text = asciiText(src.bstrVal);
        const auto date = text && src.bstrVal ? parseDate(*text) : std::nullopt;
        if (!date) return DISP_E_TYPEMISMATCH;
        out.vt = VT_DATE;
        out.date = *date;
        return S_OK;
    }

    Number n;
    HRESULT h = numberFrom(src, n);
    if (FAILED(h)) return h;
    if (const auto kind = integerSpec(vt)) {
        std::uint64_t raw = 0;
        h = toInteger(n, *kind, raw);
        if (SUCCEEDED(h)) storeInteger(vt, raw, out);
        return h;
    }
    switch (vt) {
    case VT_R4:
        h = toFloat(n, out.fltVal);
        break;
    case VT_R8:
        h = asDouble(n, out.dblVal);
        break;
    case VT_DATE:
        h = toDate(n, out.date);
        break;
    case VT_CY:
        h = toCurrency(n, out.cyVal.int64);
        break;
    case VT_BOOL: {
        bool nonZero = false;
        switch (n.kind) {
        case Number::Boolean: nonZero = n.boolean != 0; break;
        case Number::Real: nonZero = n.real != 0.0; break;
        case Number::Exact: nonZero = !n.exact.digits.empty(); break;
        }
        out.boolVal = nonZero ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    }
    case VT_DECIMAL: {
        DECIMAL d{};
        h = toDecimal(n, d);
        if (SUCCEEDED(h)) DecimalOf(out) = d;
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (SUCCEEDED(h)) out.vt = vt;
    return h;
}

std::size_t byrefSize(VARTYPE base)
{
    switch (base) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    default: return sizeof(void*);
    }
}

// A shallow view of the value a by-reference variant points to.
HRESULT dereference(const VARIANT& src, VARIANT& out)
{
    if (!(src.vt & VT_BYREF)) {
        out = src;
        return S_OK;
    }
    if (!src.byref) return E_INVALIDARG;
    const VARTYPE vt = src.vt & ~VT_BYREF;
    VariantInit(&out);
    if (vt == VT_VARIANT) {
        const VARIANT& inner = *src.pvarVal;
        if (!VariantTypeIsValid(inner.vt)) return DISP_E_BADVARTYPE;
        if (inner.vt == (VT_BYREF | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
        return dereference(inner, out);
    }
    if (vt == VT_DECIMAL)
        std::memcpy(static_cast<void*>(&out), src.byref, sizeof(DECIMAL));
    else
        std::memcpy(&out.llVal, src.byref, (vt & VT_ARRAY) ? sizeof(SAFEARRAY*) : byrefSize(vt));
    out.vt = vt;
    return S_OK;
}

} // namespace

HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID /*lcid: en-US for all*/, USHORT flags, VARTYPE vt)
{
    if (!dest || !src) return E_INVALIDARG;
    if (!VariantTypeIsValid(src->vt) || !VariantTypeIsValid(vt)) return DISP_E_BADVARTYPE;

    VARIANT result;
    VariantInit(&result);
    HRESULT h;
    if (src->vt == vt) {
        h = VariantCopy(&result, src);
    } else {
        VARIANT value;
        h = dereference(*src, value);
        if (SUCCEEDED(h)) {
            if (value.vt == vt)
                h = VariantCopy(&result, &value); // deep: value only borrows
            else if ((value.vt | vt) & (VT_ARRAY | VT_BYREF))
                h = DISP_E_TYPEMISMATCH;
            else
                h = convert(value, flags, vt, result);
        }
    }
    if (FAILED(h)) return h;
    // result holds its own copy, so clearing dest is safe even when dest == src.
    h = VariantClear(dest);
    if (FAILED(h)) {
        VariantClear(&result);
        return h;
    }
    *dest = result;
    return S_OK;
}
