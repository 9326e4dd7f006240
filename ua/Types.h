#pragma once
// The built-in types of OPC UA as the endpoint holds them in memory. Null and
// empty strings, byte strings and arrays are not told apart: both decode to
// empty, and the encoder writes empty strings with length 0, empty byte
// strings and arrays with length -1 (null).
#include "StatusCodes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace ua {

// 100 ns intervals since 1601-01-01 UTC.
using DateTime = std::int64_t;
inline constexpr DateTime kUnixEpochAsDateTime = 116444736000000000LL;
inline DateTime DateTimeFromUnixMs(std::int64_t ms) { return kUnixEpochAsDateTime + ms * 10000; }
inline std::int64_t UnixMsFromDateTime(DateTime t) { return (t - kUnixEpochAsDateTime) / 10000; }
// The wall clock now.
DateTime Now();

// A Guid in its wire layout (Data1..Data3 little endian, then Data4).
using Guid = std::array<std::uint8_t, 16>;

enum class IdType : std::uint8_t { Numeric, String, Guid, Opaque };

struct NodeId {
    std::uint16_t ns = 0;
    IdType type = IdType::Numeric;
    std::uint32_t numeric = 0;
    std::string text; // String: UTF-8; Guid: 16 bytes; Opaque: the bytes

    NodeId() = default;
    NodeId(std::uint16_t n, std::uint32_t id) : ns(n), numeric(id) {}
    NodeId(std::uint16_t n, std::string s) : ns(n), type(IdType::String), text(std::move(s)) {}
    static NodeId Numeric(std::uint32_t id) { return NodeId(0, id); }

    bool IsNull() const { return ns == 0 && type == IdType::Numeric && numeric == 0; }
    bool operator==(const NodeId& o) const
    {
        return ns == o.ns && type == o.type && numeric == o.numeric && text == o.text;
    }
    bool operator<(const NodeId& o) const;
    // "i=85", "ns=1;s=Ports/COM1", "g=...", "b=..." (base64).
    std::string ToString() const;
};

struct NodeIdHash {
    std::size_t operator()(const NodeId& id) const;
};

struct ExpandedNodeId {
    NodeId id;
    std::string namespaceUri; // empty: id.ns applies
    std::uint32_t serverIndex = 0;
    bool operator==(const ExpandedNodeId& o) const
    {
        return id == o.id && namespaceUri == o.namespaceUri && serverIndex == o.serverIndex;
    }
};

struct QualifiedName {
    std::uint16_t ns = 0;
    std::string name;
    bool operator==(const QualifiedName& o) const { return ns == o.ns && name == o.name; }
};

struct LocalizedText {
    std::string locale;
    std::string text;
    bool operator==(const LocalizedText& o) const { return locale == o.locale && text == o.text; }
};

struct ExtensionObject {
    enum Encoding : std::uint8_t { None = 0, Binary = 1, Xml = 2 };
    NodeId typeId; // the encoding id of the body
    Encoding encoding = None;
    std::string body;
    bool operator==(const ExtensionObject& o) const
    {
        return typeId == o.typeId && encoding == o.encoding && body == o.body;
    }
};

struct DiagnosticInfo {
    // Each field is present when it is not negative (indexes into the string
    // table of the response header) or, for the rest, when its flag is set.
    std::int32_t symbolicId = -1;
    std::int32_t namespaceUri = -1;
    std::int32_t localizedText = -1;
    std::int32_t locale = -1;
    bool hasAdditionalInfo = false;
    std::string additionalInfo;
    bool hasInnerStatusCode = false;
    StatusCode innerStatusCode = 0;
    std::shared_ptr<DiagnosticInfo> inner;
    bool operator==(const DiagnosticInfo& o) const;
};

// The built-in type ids (the Variant's type field, and the NodeIds of the
// built-in data types).
enum class BuiltIn : std::uint8_t {
    Null = 0, Boolean, SByte, Byte, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float, Double, String,
    DateTime, Guid, ByteString, XmlElement, NodeId, ExpandedNodeId, StatusCode, QualifiedName,
    LocalizedText, ExtensionObject, DataValue, Variant, DiagnosticInfo
};

struct Variant;
struct DataValue;

// One element of a Variant. String, ByteString and XmlElement share
// std::string; DateTime is int64 and StatusCode uint32, told apart by the
// Variant's type.
using Scalar = std::variant<std::monostate, bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t,
                            std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, float, double, std::string,
                            Guid, NodeId, ExpandedNodeId, QualifiedName, LocalizedText, ExtensionObject,
                            std::shared_ptr<DataValue>, std::shared_ptr<Variant>, std::shared_ptr<DiagnosticInfo>>;

struct Variant {
    BuiltIn type = BuiltIn::Null;
    bool isArray = false;
    std::vector<Scalar> values;        // one element unless isArray
    std::vector<std::int32_t> dims;    // matrix dimensions; empty for a one-dimensional array

    bool IsNull() const { return type == BuiltIn::Null; }
    bool operator==(const Variant& o) const;

    static Variant Of(BuiltIn type, Scalar value);
    static Variant Array(BuiltIn type, std::vector<Scalar> values);
    static Variant Bool(bool b) { return Of(BuiltIn::Boolean, b); }
    static Variant Byte(std::uint8_t v) { return Of(BuiltIn::Byte, v); }
    static Variant UInt16(std::uint16_t v) { return Of(BuiltIn::UInt16, v); }
    static Variant Int32(std::int32_t v) { return Of(BuiltIn::Int32, v); }
    static Variant UInt32(std::uint32_t v) { return Of(BuiltIn::UInt32, v); }
    static Variant UInt64(std::uint64_t v) { return Of(BuiltIn::UInt64, v); }
    static Variant Double(double v) { return Of(BuiltIn::Double, v); }
    static Variant String(std::string s) { return Of(BuiltIn::String, std::move(s)); }
    static Variant Time(DateTime t) { return Of(BuiltIn::DateTime, std::int64_t(t)); }
    static Variant Status(StatusCode s) { return Of(BuiltIn::StatusCode, std::uint32_t(s)); }
    static Variant Text(LocalizedText t) { return Of(BuiltIn::LocalizedText, std::move(t)); }
    static Variant Name(QualifiedName q) { return Of(BuiltIn::QualifiedName, std::move(q)); }
    static Variant Id(NodeId id) { return Of(BuiltIn::NodeId, std::move(id)); }
    static Variant Extension(ExtensionObject x) { return Of(BuiltIn::ExtensionObject, std::move(x)); }
    static Variant Strings(const std::vector<std::string>& list);

    // The scalar as a number (numeric types only); false otherwise.
    bool AsDouble(double& out) const;
};

struct DataValue {
    Variant value;
    bool hasValue = false;
    StatusCode status = sc::Good; // encoded when not Good
    DateTime sourceTimestamp = 0; // encoded when not 0
    DateTime serverTimestamp = 0;
    std::uint16_t sourcePicoseconds = 0;
    std::uint16_t serverPicoseconds = 0;

    static DataValue Of(Variant v)
    {
        DataValue d;
        d.value = std::move(v);
        d.hasValue = true;
        return d;
    }
    static DataValue Bad(StatusCode s)
    {
        DataValue d;
        d.status = s;
        return d;
    }
    bool operator==(const DataValue& o) const;
};

} // namespace ua
