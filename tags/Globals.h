#pragma once
// The tag table: one string tag per port, with a server handle, a name and a
// canonical type, and the value list that holds each tag's current value.
//
// Handles are 5000 + the tag's index and never change while the program runs.
// Links find their tag by name (BindTag): a name met for the first time gets
// a new tag appended with the next handle, so reloading settings with ports
// added, removed or reordered never lets one port's strings land in another
// port's tag. Tags whose port is gone keep their last value. Names are cut to
// 64 characters, so two ports may end up with equal names: each still gets
// its own tag (the second, third ... entry of that name), and a lookup by
// name finds the first. Lookups by name and by handle are hashed or direct,
// so loading many ports stays linear.
//
// Threads: main thread only; no lock.
#include "DataPointsUnit.h"
#include "Variant.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct TTagEntry {
    std::uint32_t handle = 0;
    std::string name;       // at most 64 characters
    std::int32_t canonicalType = VT_BSTR;
};

class TTagTable {
public:
    static constexpr std::uint32_t kFirstHandle = 5000;
    static constexpr std::size_t kMaxNameLength = 64;

    // Index of the tag named tagName (cut to 64 characters); appends a new tag
    // and its value record when there is none.
    int BindTag(std::string_view tagName);
    // The same with the canonical type of a new tag (the program's port tags
    // are strings; other address spaces hold booleans and integers too, whose
    // value records keep their canonical text).
    int BindTag(std::string_view tagName, VARTYPE canonicalType);
    // Index of the occurrence-th (0 = first) tag of that name, appending new
    // tags of the name until there are enough.
    int BindTag(std::string_view tagName, VARTYPE canonicalType, std::size_t occurrence);
    // The name as the table keeps it (cut to 64 characters).
    static std::string_view TagNameOf(std::string_view tagName) { return tagName.substr(0, kMaxNameLength); }

    std::size_t Count() const { return entries_.size(); }
    const TTagEntry& Entry(std::size_t index) const { return entries_.at(index); }

    // Handle of the first entry named exactly name; 0 when none.
    std::uint32_t HandleOfName(std::string_view name) const;
    // Name of the entry with that handle; empty when none.
    std::string NameOfHandle(std::uint32_t handle) const;
    // The entry's canonical type; VT_UI2 for a handle outside the table.
    VARTYPE CanonicalTypeOfHandle(std::uint32_t handle) const;
    // Every tag is readable and writable.
    bool AccessRightsOfHandle(std::uint32_t) const { return true; }
    static bool RequestedTypeSupported(VARTYPE vt) { return vt <= VT_CLSID; }

    // The value record of tag index; throws std::out_of_range when the value
    // list has no such record (freed, or an index past the end).
    TRealDataPoint& Value(std::size_t index) { return values_.at(index); }
    const TRealDataPoint& Value(std::size_t index) const { return values_.at(index); }
    std::size_t ValueCount() const { return values_.size(); }
    // Stores text as the value of tag index, stamps the time and the change
    // count, then calls onTextChanged. False when there is no such record.
    // Every writer of a port tag's value goes through here.
    bool SetText(std::size_t index, std::string text);
    // Called after every SetText with the tag's index (main thread).
    std::function<void(std::size_t index)> onTextChanged;
    // Frees every value record (the window closes); the entries stay.
    void FreeValueRecords() { values_.clear(); }

private:
    std::vector<TTagEntry> entries_;
    std::vector<TRealDataPoint> values_;
    // Every entry index of each name, in table order.
    std::unordered_map<std::string, std::vector<std::size_t>> byName_;
};

// Converts value to the requested type as VariantChangeTypeEx does with
// LOCALE_USER_DEFAULT; on DISP_E_OVERFLOW sets quality to 0 (bad). Never
// throws: any failure comes back as the result code.
HRESULT ConvertValue(const VARIANT& value, VARTYPE requested, WORD& quality, VARIANT& converted);

// A local date-time number (days since 1899-12-30, fraction = time of day) as
// a UTC file time (100 ns units since 1601-01-01).
std::uint64_t LocalTimeToFileTime(DATE localTime);
// The current time as a UTC file time.
std::uint64_t FileTimeNow();
