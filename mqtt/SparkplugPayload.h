#pragma once
// The Sparkplug B payload as this program uses it: metrics with a name, a
// data type, a time stamp and one scalar value, encoded to and decoded from
// the protobuf wire form (sparkplug_b.proto). Pure functions, no I/O.
//
// Port text is bytes, one char each (the tag's form); on the wire a String
// is UTF-8, made from the bytes and turned back into bytes by the program's
// one port text rule (PortText.h: Latin-1 by default, a character above
// U+00FF becoming '?'; or UTF-8).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace sparkplug {

enum class DataType : std::uint32_t {
    Unknown = 0, Int8 = 1, Int16 = 2, Int32 = 3, Int64 = 4, UInt8 = 5, UInt16 = 6, UInt32 = 7, UInt64 = 8,
    Float = 9, Double = 10, Boolean = 11, String = 12, DateTime = 13, Text = 14, UUID = 15, DataSet = 16,
    Bytes = 17, File = 18, Template = 19, PropertySet = 20, PropertySetList = 21,
};
const char* DataTypeName(std::uint32_t type);

// monostate: no scalar value (null, or a data set, template or extension).
using Value = std::variant<std::monostate, bool, std::uint64_t, double, std::string>;

struct Metric {
    std::string name;
    std::uint32_t datatype = 0;
    std::uint64_t timestamp = 0; // ms since 1970-01-01 UTC; 0 = not sent
    bool historical = false;
    bool isNull = false;
    Value value;

    static Metric Text(std::string name, std::string_view portBytes, std::uint64_t timestamp);
    static Metric Bool(std::string name, bool value, std::uint64_t timestamp);
    static Metric UInt(std::string name, DataType type, std::uint64_t value, std::uint64_t timestamp);
};

struct Payload {
    std::uint64_t timestamp = 0;
    std::optional<std::uint64_t> seq; // absent in NDEATH
    std::vector<Metric> metrics;
};

std::string Encode(const Payload& payload);
// nullopt (and the reason in error) when bytes are no Payload.
std::optional<Payload> Decode(std::string_view bytes, std::string* error = nullptr);

// Port bytes <-> UTF-8 text of a String metric.
std::string BytesToUtf8(std::string_view bytes);
std::string Utf8ToBytes(std::string_view utf8);

// One line of JSON for people and scripts: {"timestamp":..,"seq":..,"metrics":[{..}]}.
std::string ToJson(const Payload& payload);

} // namespace sparkplug
