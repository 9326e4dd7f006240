// Read (every attribute of every node) and Write (the Value of the tags).
#include "Server.h"

#include "PortHub.h"

#include <charconv>

namespace ua {

namespace {

bool IsType(NodeClass c)
{
    return c == NodeClass::ObjectType || c == NodeClass::VariableType || c == NodeClass::ReferenceType ||
           c == NodeClass::DataType;
}

bool HasValue(NodeClass c) { return c == NodeClass::Variable || c == NodeClass::VariableType; }

struct Range {
    std::size_t first = 0, last = 0;
};

// "a" or "a:b" with a < b; anything else (more dimensions included) is not a
// range this server applies.
bool ParseRange(const std::string& text, Range& r)
{
    const auto number = [](std::string_view s, std::size_t& out) {
        const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
        return !s.empty() && ec == std::errc() && end == s.data() + s.size();
    };
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        if (!number(text, r.first))
            return false;
        r.last = r.first;
        return true;
    }
    return number(std::string_view(text).substr(0, colon), r.first) &&
           number(std::string_view(text).substr(colon + 1), r.last) && r.first < r.last;
}

// The code points of UTF-8 text from first to last (clipped at the end).
bool Utf8Range(const std::string& text, const Range& r, std::string& out)
{
    std::size_t index = 0, begin = std::string::npos, i = 0;
    for (; i < text.size(); ++index) {
        if (index == r.first)
            begin = i;
        if (index == r.last + 1)
            break;
        const auto c = static_cast<unsigned char>(text[i]);
        i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    }
    if (begin == std::string::npos)
        return false;
    out = text.substr(begin, std::min(i, text.size()) - begin);
    return true;
}

StatusCode ApplyRange(Variant& v, const std::string& indexRange)
{
    Range r;
    if (!ParseRange(indexRange, r))
        return sc::BadIndexRangeInvalid;
    if (v.isArray) {
        if (r.first >= v.values.size())
            return sc::BadIndexRangeNoData;
        const std::size_t end = std::min(r.last + 1, v.values.size());
        v.values = std::vector<Scalar>(v.values.begin() + static_cast<std::ptrdiff_t>(r.first),
                                       v.values.begin() + static_cast<std::ptrdiff_t>(end));
        v.dims.clear();
        return sc::Good;
    }
    if (v.type == BuiltIn::String || v.type == BuiltIn::ByteString) {
        const std::string& text = std::get<std::string>(v.values.front());
        std::string part;
        if (v.type == BuiltIn::String ? !Utf8Range(text, r, part) : r.first >= text.size())
            return sc::BadIndexRangeNoData;
        if (v.type == BuiltIn::ByteString)
            part = text.substr(r.first, r.last - r.first + 1);
        v.values.front() = part;
        return sc::Good;
    }
    return sc::BadIndexRangeInvalid;
}

} // namespace

std::uint8_t Server::userAccessLevel(const Node& node, const Session* session) const
{
    std::uint8_t level = node.accessLevel;
    if (session && !session->identity.mayWrite)
        level &= static_cast<std::uint8_t>(~kAccessWrite);
    return level;
}

DataValue Server::readAttribute(int index, const ReadValueId& what, TimestampsToReturn ts,
                                const Session* session) const
{
    const Node& n = space_.At(index);
    const auto attribute = static_cast<AttributeId>(what.attributeId);
    const bool value = attribute == AttributeId::Value;
    if (!what.indexRange.empty() && !value)
        return DataValue::Bad(sc::BadIndexRangeInvalid);
    if ((!what.dataEncoding.name.empty() || what.dataEncoding.ns != 0) && !value)
        return DataValue::Bad(sc::BadDataEncodingInvalid);

    DataValue out;
    const auto of = [&out](Variant v) { out = DataValue::Of(std::move(v)); };
    switch (attribute) {
    case AttributeId::NodeId:
        of(Variant::Id(n.id));
        break;
    case AttributeId::NodeClass:
        of(Variant::Int32(static_cast<std::int32_t>(n.nodeClass)));
        break;
    case AttributeId::BrowseName:
        of(Variant::Name(n.browseName));
        break;
    case AttributeId::DisplayName:
        of(Variant::Text(n.displayName));
        break;
    case AttributeId::Description:
        of(Variant::Text(n.description));
        break;
    case AttributeId::WriteMask:
    case AttributeId::UserWriteMask:
        of(Variant::UInt32(0));
        break;
    case AttributeId::IsAbstract:
        if (!IsType(n.nodeClass))
            return DataValue::Bad(sc::BadAttributeIdInvalid);
        of(Variant::Bool(n.isAbstract));
        break;
    case AttributeId::Symmetric:
    case AttributeId::InverseName:
        if (n.nodeClass != NodeClass::ReferenceType)
            return DataValue::Bad(sc::BadAttributeIdInvalid);
        of(attribute == AttributeId::Symmetric ? Variant::Bool(n.symmetric) : Variant::Text(n.inverseName));
        break;
    case AttributeId::EventNotifier:
        if (n.nodeClass != NodeClass::Object && n.nodeClass != NodeClass::View)
            return DataValue::Bad(sc::BadAttributeIdInvalid);
        of(Variant::Byte(n.eventNotifier));
        break;
    case AttributeId::Value: {
        if (!HasValue(n.nodeClass))
            return DataValue::Bad(sc::BadAttributeIdInvalid);
        out = space_.ReadValue(n);
        if (!what.dataEncoding.name.empty() || what.dataEncoding.ns != 0) {
            if (out.hasValue && out.value.type != BuiltIn::ExtensionObject)
                return DataValue::Bad(sc::BadDataEncodingInvalid);
            if (what.dataEncoding.ns != 0 || what.dataEncoding.name != "Default Binary")
                return DataValue::Bad(sc::BadDataEncodingUnsupported);
        }
        if (!what.indexRange.empty() && out.hasValue && !out.value.IsNull())
            if (const StatusCode s = ApplyRange(out.value, what.indexRange); IsBad(s))
                return DataValue::Bad(s);
        break;
    }
    case AttributeId::DataType:
    case AttributeId::ValueRank:
    case AttributeId::ArrayDimensions:
        if (!HasValue(n.nodeClass))
            return DataValue::Bad(sc::BadAttributeIdInvalid);
        if (attribute == AttributeId::DataType) {
            of(Variant::Id(NodeId::Numeric(n.dataType)));
        } else if (attribute == AttributeId::ValueRank) {
            of(Variant::Int32(n.valueRank));
        } else {
            std::vector<Scalar> dims(n.arrayDimensions.begin(), n.arrayDimensions.end());
            of(Variant::Array(BuiltIn::UInt32, std::move(dims)));
        }
        break;
    case AttributeId::AccessLevel:
    case AttributeId::UserAccessLevel:
    case AttributeId::AccessLevelEx:
    case AttributeId::MinimumSamplingInterval:
    case AttributeId::Historizing:
        if (n.nodeClass != NodeClass::Variable)
            return DataValue::Bad(sc::BadAttributeIdInvalid);
        if (attribute == AttributeId::AccessLevel)
            of(Variant::Byte(n.accessLevel));
        else if (attribute == AttributeId::UserAccessLevel)
            of(Variant::Byte(userAccessLevel(n, session)));
        else if (attribute == AttributeId::AccessLevelEx)
            of(Variant::UInt32(n.accessLevel));
        else if (attribute == AttributeId::MinimumSamplingInterval)
            of(Variant::Double(n.minimumSamplingInterval));
        else
            of(Variant::Bool(false));
        break;
    default:
        // ContainsNoLoops (no views), Executable (no methods), and the
        // optional attributes this server does not keep.
        return DataValue::Bad(sc::BadAttributeIdInvalid);
    }
    // Attributes other than Value carry no source time stamp.
    const bool serverTime = ts == TimestampsToReturn::Server || ts == TimestampsToReturn::Both;
    const bool sourceTime = value && (ts == TimestampsToReturn::Source || ts == TimestampsToReturn::Both);
    out.serverTimestamp = serverTime ? Now() : 0;
    if (!sourceTime)
        out.sourceTimestamp = 0;
    return out;
}

void Server::read(Call& call, ReadRequest& r)
{
    if (r.maxAge < 0) {
        fault(call, sc::BadMaxAgeInvalid);
        return;
    }
    if (static_cast<std::uint32_t>(r.timestampsToReturn) > static_cast<std::uint32_t>(TimestampsToReturn::Neither)) {
        fault(call, sc::BadTimestampsToReturnInvalid);
        return;
    }
    if (const StatusCode s = checkCount(r.nodesToRead.size(), limits::kMaxNodesPerRead); IsBad(s)) {
        fault(call, s);
        return;
    }
    ReadResponse response;
    response.results.reserve(r.nodesToRead.size());
    std::vector<StatusCode> statuses;
    statuses.reserve(r.nodesToRead.size());
    for (const ReadValueId& what : r.nodesToRead) {
        const int index = space_.IndexOf(what.nodeId);
        response.results.push_back(index < 0 ? DataValue::Bad(sc::BadNodeIdUnknown)
                                             : readAttribute(index, what, r.timestampsToReturn, call.session));
        statuses.push_back(response.results.back().status);
    }
    diagnose(call, response.header, response.diagnosticInfos, statuses);
    respond(call, enc::ReadResponse, response);
}

StatusCode Server::writeOne(const WriteValue& w, const Session& session)
{
    const Node* n = space_.Find(w.nodeId);
    if (!n)
        return sc::BadNodeIdUnknown;
    const auto attribute = static_cast<AttributeId>(w.attributeId);
    if (w.attributeId == 0 || w.attributeId > static_cast<std::uint32_t>(AttributeId::AccessLevelEx))
        return sc::BadAttributeIdInvalid;
    if (attribute == AttributeId::Value && !HasValue(n->nodeClass))
        return sc::BadAttributeIdInvalid;
    if (attribute != AttributeId::Value || !(n->accessLevel & kAccessWrite) || n->source != ValueSource::TagText)
        return sc::BadNotWritable;
    if (!(userAccessLevel(*n, &session) & kAccessWrite))
        return sc::BadUserAccessDenied;
    if (!w.indexRange.empty())
        return sc::BadWriteNotSupported;
    const DataValue& v = w.value;
    if (v.status != sc::Good || v.sourceTimestamp != 0 || v.serverTimestamp != 0)
        return sc::BadWriteNotSupported;
    if (!v.hasValue || v.value.type != BuiltIn::String || v.value.isArray || v.value.values.size() != 1)
        return sc::BadTypeMismatch;
    if (!hub_ || !hub_->WriteTag(n->arg, PortHub::PortBytes(std::get<std::string>(v.value.values.front()))))
        return sc::BadNodeIdUnknown;
    return sc::Good;
}

void Server::write(Call& call, WriteRequest& r)
{
    if (const StatusCode s = checkCount(r.nodesToWrite.size(), limits::kMaxNodesPerWrite); IsBad(s)) {
        fault(call, s);
        return;
    }
    WriteResponse response;
    for (const WriteValue& w : r.nodesToWrite)
        response.results.push_back(writeOne(w, *call.session));
    diagnose(call, response.header, response.diagnosticInfos, response.results);
    respond(call, enc::WriteResponse, response);
}

} // namespace ua
