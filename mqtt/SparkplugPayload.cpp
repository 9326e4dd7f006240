#include "SparkplugPayload.h"

#include "PortText.h"

#include "sparkplug_b.pb.h"

#include <cstdio>

namespace sparkplug {

namespace pb = org::eclipse::tahu::protobuf;

const char* DataTypeName(std::uint32_t type)
{
    static const char* const names[] = {"Unknown", "Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32",
                                        "UInt64", "Float", "Double", "Boolean", "String", "DateTime", "Text", "UUID",
                                        "DataSet", "Bytes", "File", "Template", "PropertySet", "PropertySetList"};
    return type < std::size(names) ? names[type] : "Array";
}

Metric Metric::Text(std::string name, std::string_view portBytes, std::uint64_t timestamp)
{
    return Metric{std::move(name), static_cast<std::uint32_t>(DataType::String), timestamp, false, false,
                  BytesToUtf8(portBytes)};
}

Metric Metric::Bool(std::string name, bool value, std::uint64_t timestamp)
{
    return Metric{std::move(name), static_cast<std::uint32_t>(DataType::Boolean), timestamp, false, false, value};
}

Metric Metric::UInt(std::string name, DataType type, std::uint64_t value, std::uint64_t timestamp)
{
    return Metric{std::move(name), static_cast<std::uint32_t>(type), timestamp, false, false, value};
}

namespace {

bool travelsInIntValue(std::uint32_t type)
{
    return type >= static_cast<std::uint32_t>(DataType::Int8) && type <= static_cast<std::uint32_t>(DataType::UInt32) &&
           type != static_cast<std::uint32_t>(DataType::Int64);
}

void encodeValue(const Metric& m, pb::Payload_Metric& out)
{
    if (m.isNull || std::holds_alternative<std::monostate>(m.value)) {
        out.set_is_null(true);
        return;
    }
    if (const bool* b = std::get_if<bool>(&m.value)) {
        out.set_boolean_value(*b);
    } else if (const std::uint64_t* u = std::get_if<std::uint64_t>(&m.value)) {
        if (travelsInIntValue(m.datatype))
            out.set_int_value(static_cast<std::uint32_t>(*u));
        else
            out.set_long_value(*u);
    } else if (const double* d = std::get_if<double>(&m.value)) {
        if (m.datatype == static_cast<std::uint32_t>(DataType::Float))
            out.set_float_value(static_cast<float>(*d));
        else
            out.set_double_value(*d);
    } else if (const std::string* s = std::get_if<std::string>(&m.value)) {
        if (m.datatype == static_cast<std::uint32_t>(DataType::Bytes))
            out.set_bytes_value(*s);
        else
            out.set_string_value(*s);
    }
}

Value decodeValue(const pb::Payload_Metric& m)
{
    switch (m.value_case()) {
    case pb::Payload_Metric::kIntValue:
        return std::uint64_t{m.int_value()};
    case pb::Payload_Metric::kLongValue:
        return std::uint64_t{m.long_value()};
    case pb::Payload_Metric::kFloatValue:
        return double{m.float_value()};
    case pb::Payload_Metric::kDoubleValue:
        return m.double_value();
    case pb::Payload_Metric::kBooleanValue:
        return m.boolean_value();
    case pb::Payload_Metric::kStringValue:
        return m.string_value();
    case pb::Payload_Metric::kBytesValue:
        return m.bytes_value();
    default:
        return std::monostate{};
    }
}

void appendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

} // namespace

std::string Encode(const Payload& payload)
{
    pb::Payload p;
    p.set_timestamp(payload.timestamp);
    if (payload.seq)
        p.set_seq(*payload.seq);
    for (const Metric& m : payload.metrics) {
        pb::Payload_Metric* out = p.add_metrics();
        out->set_name(m.name);
        if (m.timestamp)
            out->set_timestamp(m.timestamp);
        out->set_datatype(m.datatype);
        if (m.historical)
            out->set_is_historical(true);
        encodeValue(m, *out);
    }
    return p.SerializeAsString();
}

std::optional<Payload> Decode(std::string_view bytes, std::string* error)
{
    pb::Payload p;
    if (!p.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
        if (error)
            *error = "not a Sparkplug B payload (" + std::to_string(bytes.size()) + " bytes)";
        return std::nullopt;
    }
    Payload out;
    out.timestamp = p.timestamp();
    if (p.has_seq())
        out.seq = p.seq();
    out.metrics.reserve(static_cast<std::size_t>(p.metrics_size()));
    for (const pb::Payload_Metric& m : p.metrics()) {
        Metric metric;
        metric.name = m.name();
        metric.datatype = m.datatype();
        metric.timestamp = m.timestamp();
        metric.historical = m.is_historical();
        metric.isNull = m.is_null();
        metric.value = decodeValue(m);
        out.metrics.push_back(std::move(metric));
    }
    return out;
}

std::string BytesToUtf8(std::string_view bytes) { return Utf8FromPortBytes(bytes); }

std::string Utf8ToBytes(std::string_view utf8) { return PortBytesFromUtf8(utf8); }

std::string ToJson(const Payload& payload)
{
    std::string out = "{\"timestamp\":" + std::to_string(payload.timestamp);
    if (payload.seq)
        out += ",\"seq\":" + std::to_string(*payload.seq);
    out += ",\"metrics\":[";
    bool first = true;
    for (const Metric& m : payload.metrics) {
        out += first ? "{" : ",{";
        first = false;
        out += "\"name\":";
        appendJsonString(out, m.name);
        out += ",\"type\":\"";
        out += DataTypeName(m.datatype);
        out += "\"";
        if (m.timestamp)
            out += ",\"timestamp\":" + std::to_string(m.timestamp);
        if (m.historical)
            out += ",\"historical\":true";
        out += ",\"value\":";
        if (m.isNull || std::holds_alternative<std::monostate>(m.value)) {
            out += "null";
        } else if (const bool* b = std::get_if<bool>(&m.value)) {
            out += *b ? "true" : "false";
        } else if (const std::uint64_t* u = std::get_if<std::uint64_t>(&m.value)) {
            out += std::to_string(*u);
        } else if (const double* d = std::get_if<double>(&m.value)) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%.17g", *d);
            out += buf;
        } else {
            appendJsonString(out, std::get<std::string>(m.value));
        }
        out += "}";
    }
    out += "]}";
    return out;
}

} // namespace sparkplug
