#include "Globals.h"

#include <chrono>
#include <cmath>
#include <ctime>

int TTagTable::BindTag(std::string_view tagName) { return BindTag(tagName, VT_BSTR); }

int TTagTable::BindTag(std::string_view tagName, VARTYPE canonicalType)
{
    return BindTag(tagName, canonicalType, 0);
}

int TTagTable::BindTag(std::string_view tagName, VARTYPE canonicalType, std::size_t occurrence)
{
    const std::string name(TagNameOf(tagName));
    std::vector<std::size_t>& same = byName_[name];
    while (same.size() <= occurrence) {
        TTagEntry e;
        e.handle = kFirstHandle + static_cast<std::uint32_t>(entries_.size());
        e.name = name;
        e.canonicalType = canonicalType;
        entries_.push_back(std::move(e));
        values_.resize(entries_.size());
        same.push_back(entries_.size() - 1);
    }
    return static_cast<int>(same[occurrence]);
}

bool TTagTable::SetText(std::size_t index, std::string text)
{
    if (index >= values_.size())
        return false;
    TRealDataPoint& v = values_[index];
    v.textValue = std::move(text);
    v.changedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    ++v.changeCount;
    if (onTextChanged)
        onTextChanged(index);
    return true;
}

std::uint32_t TTagTable::HandleOfName(std::string_view name) const
{
    const auto it = byName_.find(std::string(name));
    return it == byName_.end() || it->second.empty() ? 0 : entries_[it->second.front()].handle;
}

std::string TTagTable::NameOfHandle(std::uint32_t handle) const
{
    if (handle >= kFirstHandle && handle - kFirstHandle < entries_.size())
        return entries_[handle - kFirstHandle].name;
    return {};
}

VARTYPE TTagTable::CanonicalTypeOfHandle(std::uint32_t handle) const
{
    if (handle >= kFirstHandle && handle - kFirstHandle < entries_.size())
        return static_cast<VARTYPE>(entries_[handle - kFirstHandle].canonicalType);
    return VT_UI2;
}

HRESULT ConvertValue(const VARIANT& value, VARTYPE requested, WORD& quality, VARIANT& converted)
{
    HRESULT result;
    try {
        Variant copy;
        VariantCopy(copy.get(), &value);
        result = VariantChangeTypeEx(&converted, copy.get(), LOCALE_USER_DEFAULT, 0, requested);
    } catch (...) {
        result = DISP_E_TYPEMISMATCH;
    }
    if (result == DISP_E_OVERFLOW)
        quality = 0;
    return result;
}

namespace {

constexpr std::int64_t kDaysFrom1601To1970 = 134774;
constexpr std::int64_t kDaysFrom1899To1970 = 25569; // 1899-12-30 to 1970-01-01

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp + (mp < 10 ? 3 : -9);
    y += m <= 2;
}

} // namespace

std::uint64_t LocalTimeToFileTime(DATE localTime)
{
    // The whole part counts days (signed); the fraction is the time of day
    // whatever the sign, so -1.25 is 1899-12-29 06:00.
    const double whole = std::trunc(localTime);
    const double fraction = std::fabs(localTime - whole);
    std::int64_t ms = std::llround(fraction * 86400000.0);
    std::int64_t days = static_cast<std::int64_t>(whole) - kDaysFrom1899To1970;
    days += ms / 86400000;
    ms %= 86400000;

    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    std::tm tm{};
    tm.tm_year = static_cast<int>(y - 1900);
    tm.tm_mon = static_cast<int>(m) - 1;
    tm.tm_mday = static_cast<int>(d);
    tm.tm_hour = static_cast<int>(ms / 3600000);
    tm.tm_min = static_cast<int>(ms / 60000 % 60);
    tm.tm_sec = static_cast<int>(ms / 1000 % 60);
    tm.tm_isdst = -1;
    // mktime applies the local zone and its daylight-saving rule.
    std::time_t utc = std::mktime(&tm);
    std::int64_t seconds;
    if (utc == static_cast<std::time_t>(-1)) {
        seconds = DaysFromCivil(y, m, d) * 86400 + ms / 1000; // no zone data: take it as UTC
    } else {
        seconds = static_cast<std::int64_t>(utc);
    }
    const std::int64_t units = (seconds + kDaysFrom1601To1970 * 86400) * 10000000 + (ms % 1000) * 10000;
    return units < 0 ? 0 : static_cast<std::uint64_t>(units);
}

std::uint64_t FileTimeNow()
{
    using namespace std::chrono;
    const auto since1970 = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100;
    return static_cast<std::uint64_t>(since1970 + kDaysFrom1601To1970 * 86400LL * 10000000LL);
}
