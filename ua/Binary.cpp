#include "Binary.h"

#include <limits>

namespace ua {

namespace {

// NodeId encoding bytes.
constexpr std::uint8_t kTwoByte = 0x00, kFourByte = 0x01, kNumeric = 0x02, kString = 0x03, kGuid = 0x04,
                       kOpaque = 0x05;
constexpr std::uint8_t kNamespaceUriFlag = 0x80, kServerIndexFlag = 0x40;

// Variant encoding mask.
constexpr std::uint8_t kArrayValues = 0x80, kArrayDimensions = 0x40, kTypeMask = 0x3F;

// DataValue mask.
constexpr std::uint8_t kDvValue = 0x01, kDvStatus = 0x02, kDvSourceTime = 0x04, kDvServerTime = 0x08,
                       kDvSourcePico = 0x10, kDvServerPico = 0x20;

// DiagnosticInfo mask.
constexpr std::uint8_t kDiSymbolicId = 0x01, kDiNamespace = 0x02, kDiLocalizedText = 0x04, kDiLocale = 0x08,
                       kDiAdditionalInfo = 0x10, kDiInnerStatus = 0x20, kDiInner = 0x40;

} // namespace

// ---- Encoder -------------------------------------------------------------

void Encoder::String(std::string_view s)
{
    Number(static_cast<std::int32_t>(s.size()));
    out_.append(s);
}

void Encoder::ByteString(std::string_view s)
{
    if (s.empty()) {
        Number(std::int32_t(-1));
        return;
    }
    String(s);
}

namespace {

std::uint8_t nodeIdForm(const NodeId& id)
{
    switch (id.type) {
    case IdType::Numeric:
        if (id.ns == 0 && id.numeric <= 0xFF)
            return kTwoByte;
        if (id.ns <= 0xFF && id.numeric <= 0xFFFF)
            return kFourByte;
        return kNumeric;
    case IdType::String:
        return kString;
    case IdType::Guid:
        return kGuid;
    case IdType::Opaque:
        return kOpaque;
    }
    return kNumeric;
}

} // namespace

namespace {

void writeNodeIdBody(Encoder& e, const NodeId& id, std::uint8_t form)
{
    switch (form) {
    case kTwoByte:
        e.Number(static_cast<std::uint8_t>(id.numeric));
        break;
    case kFourByte:
        e.Number(static_cast<std::uint8_t>(id.ns));
        e.Number(static_cast<std::uint16_t>(id.numeric));
        break;
    case kNumeric:
        e.Number(id.ns);
        e.Number(id.numeric);
        break;
    case kString:
        e.Number(id.ns);
        e.String(id.text);
        break;
    case kGuid: {
        e.Number(id.ns);
        Guid g{};
        std::memcpy(g.data(), id.text.data(), std::min(id.text.size(), g.size()));
        e.Write(g);
        break;
    }
    case kOpaque:
        e.Number(id.ns);
        e.ByteString(id.text);
        break;
    }
}

} // namespace

void Encoder::Write(const NodeId& id)
{
    const std::uint8_t form = nodeIdForm(id);
    Number(form);
    writeNodeIdBody(*this, id, form);
}

void Encoder::Write(const ExpandedNodeId& id)
{
    const std::uint8_t form = nodeIdForm(id.id);
    std::uint8_t flags = form;
    if (!id.namespaceUri.empty())
        flags |= kNamespaceUriFlag;
    if (id.serverIndex != 0)
        flags |= kServerIndexFlag;
    Number(flags);
    writeNodeIdBody(*this, id.id, form);
    if (!id.namespaceUri.empty())
        String(id.namespaceUri);
    if (id.serverIndex != 0)
        Number(id.serverIndex);
}

void Encoder::Write(const QualifiedName& q)
{
    Number(q.ns);
    String(q.name);
}

void Encoder::Write(const LocalizedText& t)
{
    const std::uint8_t mask = (t.locale.empty() ? 0 : 0x01) | (t.text.empty() ? 0 : 0x02);
    Number(mask);
    if (mask & 0x01)
        String(t.locale);
    if (mask & 0x02)
        String(t.text);
}

void Encoder::Write(const ExtensionObject& x)
{
    Write(x.typeId);
    Number(static_cast<std::uint8_t>(x.encoding));
    if (x.encoding != ExtensionObject::None)
        String(x.body);
}

void Encoder::Write(const DiagnosticInfo& d)
{
    std::uint8_t mask = 0;
    if (d.symbolicId >= 0)
        mask |= kDiSymbolicId;
    if (d.namespaceUri >= 0)
        mask |= kDiNamespace;
    if (d.localizedText >= 0)
        mask |= kDiLocalizedText;
    if (d.locale >= 0)
        mask |= kDiLocale;
    if (d.hasAdditionalInfo)
        mask |= kDiAdditionalInfo;
    if (d.hasInnerStatusCode)
        mask |= kDiInnerStatus;
    if (d.inner)
        mask |= kDiInner;
    Number(mask);
    if (mask & kDiSymbolicId)
        Number(d.symbolicId);
    if (mask & kDiNamespace)
        Number(d.namespaceUri);
    if (mask & kDiLocale)
        Number(d.locale);
    if (mask & kDiLocalizedText)
        Number(d.localizedText);
    if (mask & kDiAdditionalInfo)
        String(d.additionalInfo);
    if (mask & kDiInnerStatus)
        Number(d.innerStatusCode);
    if (mask & kDiInner)
        Write(*d.inner);
}

void Encoder::scalar(BuiltIn type, const Scalar& v)
{
    switch (type) {
    case BuiltIn::Null:
        break;
    case BuiltIn::Boolean:
        Number(std::get<bool>(v));
        break;
    case BuiltIn::SByte:
        Number(std::get<std::int8_t>(v));
        break;
    case BuiltIn::Byte:
        Number(std::get<std::uint8_t>(v));
        break;
    case BuiltIn::Int16:
        Number(std::get<std::int16_t>(v));
        break;
    case BuiltIn::UInt16:
        Number(std::get<std::uint16_t>(v));
        break;
    case BuiltIn::Int32:
        Number(std::get<std::int32_t>(v));
        break;
    case BuiltIn::UInt32:
    case BuiltIn::StatusCode:
        Number(std::get<std::uint32_t>(v));
        break;
    case BuiltIn::Int64:
    case BuiltIn::DateTime:
        Number(std::get<std::int64_t>(v));
        break;
    case BuiltIn::UInt64:
        Number(std::get<std::uint64_t>(v));
        break;
    case BuiltIn::Float:
        Number(std::get<float>(v));
        break;
    case BuiltIn::Double:
        Number(std::get<double>(v));
        break;
    case BuiltIn::String:
    case BuiltIn::XmlElement:
        String(std::get<std::string>(v));
        break;
    case BuiltIn::ByteString:
        ByteString(std::get<std::string>(v));
        break;
    case BuiltIn::Guid:
        Write(std::get<Guid>(v));
        break;
    case BuiltIn::NodeId:
        Write(std::get<NodeId>(v));
        break;
    case BuiltIn::ExpandedNodeId:
        Write(std::get<ExpandedNodeId>(v));
        break;
    case BuiltIn::QualifiedName:
        Write(std::get<QualifiedName>(v));
        break;
    case BuiltIn::LocalizedText:
        Write(std::get<LocalizedText>(v));
        break;
    case BuiltIn::ExtensionObject:
        Write(std::get<ExtensionObject>(v));
        break;
    case BuiltIn::DataValue:
        Write(*std::get<std::shared_ptr<DataValue>>(v));
        break;
    case BuiltIn::Variant:
        Write(*std::get<std::shared_ptr<Variant>>(v));
        break;
    case BuiltIn::DiagnosticInfo:
        Write(*std::get<std::shared_ptr<DiagnosticInfo>>(v));
        break;
    }
}

void Encoder::Write(const Variant& v)
{
    std::uint8_t mask = static_cast<std::uint8_t>(v.type);
    if (v.type == BuiltIn::Null) {
        Number(mask);
        return;
    }
    if (v.isArray) {
        mask |= kArrayValues;
        if (!v.dims.empty())
            mask |= kArrayDimensions;
        Number(mask);
        Number(static_cast<std::int32_t>(v.values.size()));
        for (const Scalar& s : v.values)
            scalar(v.type, s);
        if (!v.dims.empty()) {
            Number(static_cast<std::int32_t>(v.dims.size()));
            for (std::int32_t d : v.dims)
                Number(d);
        }
        return;
    }
    Number(mask);
    scalar(v.type, v.values.empty() ? Scalar{} : v.values.front());
}

void Encoder::Write(const DataValue& d)
{
    std::uint8_t mask = 0;
    if (d.hasValue)
        mask |= kDvValue;
    if (d.status != sc::Good)
        mask |= kDvStatus;
    if (d.sourceTimestamp != 0)
        mask |= kDvSourceTime;
    if (d.serverTimestamp != 0)
        mask |= kDvServerTime;
    if (d.sourcePicoseconds != 0)
        mask |= kDvSourcePico;
    if (d.serverPicoseconds != 0)
        mask |= kDvServerPico;
    Number(mask);
    if (mask & kDvValue)
        Write(d.value);
    if (mask & kDvStatus)
        Number(d.status);
    if (mask & kDvSourceTime)
        Number(d.sourceTimestamp);
    if (mask & kDvSourcePico)
        Number(d.sourcePicoseconds);
    if (mask & kDvServerTime)
        Number(d.serverTimestamp);
    if (mask & kDvServerPico)
        Number(d.serverPicoseconds);
}

// ---- Decoder -------------------------------------------------------------

bool Decoder::Raw(void* out, std::size_t n)
{
    if (Remaining() < n) {
        Fail(sc::BadDecodingError);
        std::memset(out, 0, n);
        return false;
    }
    std::memcpy(out, p_, n);
    p_ += n;
    return true;
}

std::string Decoder::text(std::uint32_t limit)
{
    const std::int32_t n = Number<std::int32_t>();
    if (n <= 0) {
        if (n < -1)
            Fail(sc::BadDecodingError);
        return {};
    }
    if (static_cast<std::uint32_t>(n) > limit) {
        Fail(sc::BadEncodingLimitsExceeded);
        return {};
    }
    if (static_cast<std::size_t>(n) > Remaining()) {
        Fail(sc::BadDecodingError);
        return {};
    }
    std::string s(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(n));
    p_ += n;
    return s;
}

std::string Decoder::String() { return text(limits_.maxStringLength); }

std::string Decoder::ByteString() { return text(limits_.maxByteStringLength); }

std::size_t Decoder::ArrayLength()
{
    const std::int32_t n = Number<std::int32_t>();
    if (n <= 0) {
        if (n < -1)
            Fail(sc::BadDecodingError);
        return 0;
    }
    if (static_cast<std::uint32_t>(n) > limits_.maxArrayLength) {
        Fail(sc::BadEncodingLimitsExceeded);
        return 0;
    }
    if (static_cast<std::size_t>(n) > Remaining()) {
        Fail(sc::BadDecodingError);
        return 0;
    }
    return static_cast<std::size_t>(n);
}

bool Decoder::enter()
{
    if (depth_ >= limits_.maxDepth) {
        Fail(sc::BadEncodingLimitsExceeded);
        return false;
    }
    ++depth_;
    return true;
}

namespace {

void readNodeIdBody(Decoder& d, NodeId& id, std::uint8_t form)
{
    id = NodeId();
    switch (form) {
    case kTwoByte:
        id.numeric = d.Number<std::uint8_t>();
        break;
    case kFourByte:
        id.ns = d.Number<std::uint8_t>();
        id.numeric = d.Number<std::uint16_t>();
        break;
    case kNumeric:
        id.ns = d.Number<std::uint16_t>();
        id.numeric = d.Number<std::uint32_t>();
        break;
    case kString:
        id.ns = d.Number<std::uint16_t>();
        id.type = IdType::String;
        id.text = d.String();
        break;
    case kGuid: {
        id.ns = d.Number<std::uint16_t>();
        id.type = IdType::Guid;
        Guid g{};
        d.Read(g);
        id.text.assign(reinterpret_cast<const char*>(g.data()), g.size());
        break;
    }
    case kOpaque:
        id.ns = d.Number<std::uint16_t>();
        id.type = IdType::Opaque;
        id.text = d.ByteString();
        break;
    default:
        d.Fail(sc::BadDecodingError);
        break;
    }
}

} // namespace

void Decoder::Read(NodeId& id)
{
    const std::uint8_t form = Number<std::uint8_t>();
    readNodeIdBody(*this, id, form);
}

void Decoder::Read(ExpandedNodeId& id)
{
    const std::uint8_t flags = Number<std::uint8_t>();
    readNodeIdBody(*this, id.id, flags & 0x3F);
    id.namespaceUri = (flags & kNamespaceUriFlag) ? String() : std::string();
    id.serverIndex = (flags & kServerIndexFlag) ? Number<std::uint32_t>() : 0;
}

void Decoder::Read(QualifiedName& q)
{
    q.ns = Number<std::uint16_t>();
    q.name = String();
}

void Decoder::Read(LocalizedText& t)
{
    const std::uint8_t mask = Number<std::uint8_t>();
    t.locale = (mask & 0x01) ? String() : std::string();
    t.text = (mask & 0x02) ? String() : std::string();
}

void Decoder::Read(ExtensionObject& x)
{
    Read(x.typeId);
    const std::uint8_t encoding = Number<std::uint8_t>();
    if (encoding > 2) {
        Fail(sc::BadDecodingError);
        return;
    }
    x.encoding = static_cast<ExtensionObject::Encoding>(encoding);
    // A body is bounded by the message, not by the string limit.
    x.body = encoding == 0 ? std::string() : text(std::numeric_limits<std::uint32_t>::max());
}

void Decoder::Read(DiagnosticInfo& d)
{
    if (!enter())
        return;
    d = DiagnosticInfo();
    const std::uint8_t mask = Number<std::uint8_t>();
    if (mask & kDiSymbolicId)
        d.symbolicId = Number<std::int32_t>();
    if (mask & kDiNamespace)
        d.namespaceUri = Number<std::int32_t>();
    if (mask & kDiLocale)
        d.locale = Number<std::int32_t>();
    if (mask & kDiLocalizedText)
        d.localizedText = Number<std::int32_t>();
    if (mask & kDiAdditionalInfo) {
        d.hasAdditionalInfo = true;
        d.additionalInfo = String();
    }
    if (mask & kDiInnerStatus) {
        d.hasInnerStatusCode = true;
        d.innerStatusCode = Number<std::uint32_t>();
    }
    if ((mask & kDiInner) && Ok()) {
        d.inner = std::make_shared<DiagnosticInfo>();
        Read(*d.inner);
    }
    leave();
}

Scalar Decoder::scalar(BuiltIn type)
{
    switch (type) {
    case BuiltIn::Null:
        return {};
    case BuiltIn::Boolean:
        return Number<bool>();
    case BuiltIn::SByte:
        return Number<std::int8_t>();
    case BuiltIn::Byte:
        return Number<std::uint8_t>();
    case BuiltIn::Int16:
        return Number<std::int16_t>();
    case BuiltIn::UInt16:
        return Number<std::uint16_t>();
    case BuiltIn::Int32:
        return Number<std::int32_t>();
    case BuiltIn::UInt32:
    case BuiltIn::StatusCode:
        return Number<std::uint32_t>();
    case BuiltIn::Int64:
    case BuiltIn::DateTime:
        return Number<std::int64_t>();
    case BuiltIn::UInt64:
        return Number<std::uint64_t>();
    case BuiltIn::Float:
        return Number<float>();
    case BuiltIn::Double:
        return Number<double>();
    case BuiltIn::String:
    case BuiltIn::XmlElement:
        return String();
    case BuiltIn::ByteString:
        return ByteString();
    case BuiltIn::Guid: {
        Guid g{};
        Read(g);
        return g;
    }
    case BuiltIn::NodeId:
        return Get<NodeId>();
    case BuiltIn::ExpandedNodeId:
        return Get<ExpandedNodeId>();
    case BuiltIn::QualifiedName:
        return Get<QualifiedName>();
    case BuiltIn::LocalizedText:
        return Get<LocalizedText>();
    case BuiltIn::ExtensionObject:
        return Get<ExtensionObject>();
    case BuiltIn::DataValue: {
        auto d = std::make_shared<DataValue>();
        Read(*d);
        return d;
    }
    case BuiltIn::Variant: {
        auto v = std::make_shared<Variant>();
        Read(*v);
        return v;
    }
    case BuiltIn::DiagnosticInfo: {
        auto d = std::make_shared<DiagnosticInfo>();
        Read(*d);
        return d;
    }
    }
    return {};
}

void Decoder::Read(Variant& v)
{
    v = Variant();
    if (!enter())
        return;
    const std::uint8_t mask = Number<std::uint8_t>();
    const std::uint8_t type = mask & kTypeMask;
    if (type > static_cast<std::uint8_t>(BuiltIn::DiagnosticInfo) || (type == 0 && mask != 0)) {
        Fail(sc::BadDecodingError);
        leave();
        return;
    }
    v.type = static_cast<BuiltIn>(type);
    if (mask & kArrayValues) {
        v.isArray = true;
        const std::size_t n = ArrayLength();
        v.values.reserve(std::min<std::size_t>(n, 64));
        for (std::size_t i = 0; i < n && Ok(); ++i)
            v.values.push_back(scalar(v.type));
        if (mask & kArrayDimensions) {
            const std::size_t rank = ArrayLength();
            std::uint64_t product = 1;
            for (std::size_t i = 0; i < rank && Ok(); ++i) {
                const std::int32_t d = Number<std::int32_t>();
                if (d < 0)
                    Fail(sc::BadDecodingError);
                v.dims.push_back(d);
                product = std::min<std::uint64_t>(product * static_cast<std::uint64_t>(std::max(d, 0)), 1ull << 40);
            }
            if (Ok() && product != v.values.size())
                Fail(sc::BadDecodingError);
        }
    } else if (v.type != BuiltIn::Null) {
        v.values.push_back(scalar(v.type));
    }
    if (!Ok())
        v = Variant();
    leave();
}

void Decoder::Read(DataValue& d)
{
    d = DataValue();
    if (!enter())
        return;
    const std::uint8_t mask = Number<std::uint8_t>();
    if (mask & kDvValue) {
        d.hasValue = true;
        Read(d.value);
    }
    if (mask & kDvStatus)
        d.status = Number<std::uint32_t>();
    if (mask & kDvSourceTime)
        d.sourceTimestamp = Number<std::int64_t>();
    if (mask & kDvSourcePico)
        d.sourcePicoseconds = Number<std::uint16_t>();
    if (mask & kDvServerTime)
        d.serverTimestamp = Number<std::int64_t>();
    if (mask & kDvServerPico)
        d.serverPicoseconds = Number<std::uint16_t>();
    leave();
}

} // namespace ua
