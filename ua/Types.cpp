#include "Types.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <tuple>

namespace ua {

DateTime Now()
{
    using namespace std::chrono;
    const auto us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return kUnixEpochAsDateTime + us * 10;
}

bool NodeId::operator<(const NodeId& o) const
{
    return std::tie(ns, type, numeric, text) < std::tie(o.ns, o.type, o.numeric, o.text);
}

namespace {

std::string hex(const std::string& bytes)
{
    std::string out;
    char b[3];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

} // namespace

std::string NodeId::ToString() const
{
    std::string prefix = ns ? "ns=" + std::to_string(ns) + ";" : std::string();
    switch (type) {
    case IdType::Numeric:
        return prefix + "i=" + std::to_string(numeric);
    case IdType::String:
        return prefix + "s=" + text;
    case IdType::Guid:
        return prefix + "g=" + hex(text);
    case IdType::Opaque:
        return prefix + "b=" + hex(text);
    }
    return prefix;
}

std::size_t NodeIdHash::operator()(const NodeId& id) const
{
    std::size_t h = std::hash<std::string>()(id.text);
    h ^= (std::size_t(id.numeric) * 0x9E3779B97F4A7C15ull) + (std::size_t(id.ns) << 32) + std::size_t(id.type);
    return h;
}

bool DiagnosticInfo::operator==(const DiagnosticInfo& o) const
{
    const bool innerSame = (!inner && !o.inner) || (inner && o.inner && *inner == *o.inner);
    return symbolicId == o.symbolicId && namespaceUri == o.namespaceUri && localizedText == o.localizedText &&
           locale == o.locale && hasAdditionalInfo == o.hasAdditionalInfo && additionalInfo == o.additionalInfo &&
           hasInnerStatusCode == o.hasInnerStatusCode && innerStatusCode == o.innerStatusCode && innerSame;
}

namespace {

bool scalarEqual(const Scalar& a, const Scalar& b)
{
    if (a.index() != b.index())
        return false;
    if (auto* p = std::get_if<std::shared_ptr<DataValue>>(&a))
        return *p && *std::get<std::shared_ptr<DataValue>>(b) == **p;
    if (auto* p = std::get_if<std::shared_ptr<Variant>>(&a))
        return *p && *std::get<std::shared_ptr<Variant>>(b) == **p;
    if (auto* p = std::get_if<std::shared_ptr<DiagnosticInfo>>(&a))
        return *p && *std::get<std::shared_ptr<DiagnosticInfo>>(b) == **p;
    return a == b;
}

} // namespace

bool Variant::operator==(const Variant& o) const
{
    if (type != o.type || isArray != o.isArray || dims != o.dims || values.size() != o.values.size())
        return false;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (!scalarEqual(values[i], o.values[i]))
            return false;
    return true;
}

Variant Variant::Of(BuiltIn type, Scalar value)
{
    Variant v;
    v.type = type;
    v.values.push_back(std::move(value));
    return v;
}

Variant Variant::Array(BuiltIn type, std::vector<Scalar> values)
{
    Variant v;
    v.type = type;
    v.isArray = true;
    v.values = std::move(values);
    return v;
}

Variant Variant::Strings(const std::vector<std::string>& list)
{
    std::vector<Scalar> values(list.begin(), list.end());
    return Array(BuiltIn::String, std::move(values));
}

bool Variant::AsDouble(double& out) const
{
    if (isArray || values.size() != 1)
        return false;
    return std::visit(
        [&out](const auto& x) {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
                out = static_cast<double>(x);
                return true;
            }
            return false;
        },
        values.front());
}

bool DataValue::operator==(const DataValue& o) const
{
    return hasValue == o.hasValue && value == o.value && status == o.status && sourceTimestamp == o.sourceTimestamp &&
           serverTimestamp == o.serverTimestamp && sourcePicoseconds == o.sourcePicoseconds &&
           serverPicoseconds == o.serverPicoseconds;
}

const char* StatusName(StatusCode code)
{
    switch (code & 0xFFFF0000u) {
#define LINVARO_UA_STATUS_NAME(name, value) \
    case value:                             \
        return #name;
        LINVARO_UA_STATUS_CODES(LINVARO_UA_STATUS_NAME)
#undef LINVARO_UA_STATUS_NAME
    }
    return "";
}

} // namespace ua
