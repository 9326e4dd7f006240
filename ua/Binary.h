#pragma once
// UA Binary encoding: little-endian built-in types, length-prefixed strings
// and arrays, masked structures (NodeId forms, Variant, DataValue,
// DiagnosticInfo, ExtensionObject).
//
// Structures are described once, by a function template
//     template <class S> void Fields(S& s, T& t) { s(t.a); s(t.b); ... }
// found by argument-dependent lookup; the same description drives the
// Encoder (which only reads t) and the Decoder (which fills it).
//
// The Decoder never reads past its input: every length is checked against
// the bytes left before anything is allocated, arrays and strings against
// the limits, and nested Variants, DataValues and DiagnosticInfos against a
// depth limit. The first fault sticks (Status()); later reads give zeros.
#include "Types.h"

#include <concepts>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ua {

// A ByteString field of a structure (the in-memory type of String fields is
// std::string).
struct Bytes {
    std::string data;
    bool operator==(const Bytes& o) const { return data == o.data; }
};

struct DecodeLimits {
    std::uint32_t maxArrayLength = 65535;
    std::uint32_t maxStringLength = 65535;     // String and XmlElement
    std::uint32_t maxByteStringLength = 65535;
    int maxDepth = 10; // nested Variant / DataValue / DiagnosticInfo / ExtensionObject bodies
};

class Encoder;
class Decoder;

template <class T>
concept HasFields = requires(Encoder& e, T& t) { Fields(e, t); };

class Encoder {
public:
    explicit Encoder(std::string& out) : out_(out) {}
    std::string& Out() { return out_; }

    void Raw(const void* data, std::size_t n) { out_.append(static_cast<const char*>(data), n); }
    template <class T>
        requires std::is_arithmetic_v<T>
    void Number(T v)
    {
        if constexpr (std::is_same_v<T, bool>) {
            out_.push_back(v ? 1 : 0);
        } else {
            char b[sizeof(T)];
            std::memcpy(b, &v, sizeof(T)); // the targets are little endian
            out_.append(b, sizeof(T));
        }
    }
    void String(std::string_view s);
    void ByteString(std::string_view s); // empty is written as null
    void Write(const NodeId& id);
    void Write(const ExpandedNodeId& id);
    void Write(const QualifiedName& q);
    void Write(const LocalizedText& t);
    void Write(const ExtensionObject& x);
    void Write(const DiagnosticInfo& d);
    void Write(const Variant& v);
    void Write(const DataValue& d);
    void Write(const Guid& g) { Raw(g.data(), g.size()); }

    // Field operators used by Fields().
    template <class T>
        requires std::is_arithmetic_v<T>
    void operator()(T& v) { Number(v); }
    template <class T>
        requires std::is_enum_v<T>
    void operator()(T& v) { Number(static_cast<std::int32_t>(v)); }
    void operator()(std::string& s) { String(s); }
    void operator()(Bytes& b) { ByteString(b.data); }
    void operator()(NodeId& v) { Write(v); }
    void operator()(ExpandedNodeId& v) { Write(v); }
    void operator()(QualifiedName& v) { Write(v); }
    void operator()(LocalizedText& v) { Write(v); }
    void operator()(ExtensionObject& v) { Write(v); }
    void operator()(DiagnosticInfo& v) { Write(v); }
    void operator()(Variant& v) { Write(v); }
    void operator()(DataValue& v) { Write(v); }
    void operator()(Guid& v) { Write(v); }
    template <HasFields T>
    void operator()(T& v) { Fields(*this, v); }
    template <class T>
    void operator()(std::vector<T>& list)
    {
        if (list.empty()) {
            Number(std::int32_t(-1));
            return;
        }
        Number(static_cast<std::int32_t>(list.size()));
        for (T& element : list)
            (*this)(element);
    }
    // Encodes any described value (the encoder does not change it).
    template <class T>
    void Put(const T& v) { (*this)(const_cast<T&>(v)); }

private:
    void scalar(BuiltIn type, const Scalar& v);
    std::string& out_;
};

class Decoder {
public:
    Decoder(const void* data, std::size_t size, const DecodeLimits& limits = {})
        : p_(static_cast<const std::uint8_t*>(data)), end_(p_ + size), limits_(limits)
    {
    }
    explicit Decoder(std::string_view bytes, const DecodeLimits& limits = {})
        : Decoder(bytes.data(), bytes.size(), limits)
    {
    }

    bool Ok() const { return status_ == sc::Good; }
    StatusCode Status() const { return status_; }
    void Fail(StatusCode s)
    {
        if (status_ == sc::Good)
            status_ = s;
        p_ = end_;
    }
    std::size_t Remaining() const { return static_cast<std::size_t>(end_ - p_); }
    const DecodeLimits& Limits() const { return limits_; }

    bool Raw(void* out, std::size_t n);
    template <class T>
        requires std::is_arithmetic_v<T>
    T Number()
    {
        T v{};
        if constexpr (std::is_same_v<T, bool>) {
            std::uint8_t b = 0;
            Raw(&b, 1);
            v = b != 0;
        } else {
            Raw(&v, sizeof(T));
        }
        return v;
    }
    std::string String();
    std::string ByteString();
    // An array's length: -1 and 0 give 0; a length past the limit or past the
    // bytes left (each element takes at least one byte) fails the decoder.
    std::size_t ArrayLength();
    void Read(NodeId& id);
    void Read(ExpandedNodeId& id);
    void Read(QualifiedName& q);
    void Read(LocalizedText& t);
    void Read(ExtensionObject& x);
    void Read(DiagnosticInfo& d);
    void Read(Variant& v);
    void Read(DataValue& d);
    void Read(Guid& g) { Raw(g.data(), g.size()); }

    template <class T>
        requires std::is_arithmetic_v<T>
    void operator()(T& v) { v = Number<T>(); }
    template <class T>
        requires std::is_enum_v<T>
    void operator()(T& v) { v = static_cast<T>(Number<std::int32_t>()); }
    void operator()(std::string& s) { s = String(); }
    void operator()(Bytes& b) { b.data = ByteString(); }
    void operator()(NodeId& v) { Read(v); }
    void operator()(ExpandedNodeId& v) { Read(v); }
    void operator()(QualifiedName& v) { Read(v); }
    void operator()(LocalizedText& v) { Read(v); }
    void operator()(ExtensionObject& v) { Read(v); }
    void operator()(DiagnosticInfo& v) { Read(v); }
    void operator()(Variant& v) { Read(v); }
    void operator()(DataValue& v) { Read(v); }
    void operator()(Guid& v) { Read(v); }
    template <HasFields T>
    void operator()(T& v) { Fields(*this, v); }
    template <class T>
    void operator()(std::vector<T>& list)
    {
        list.clear();
        const std::size_t n = ArrayLength();
        // Grown element by element: memory follows the bytes really decoded.
        for (std::size_t i = 0; i < n && Ok(); ++i) {
            list.emplace_back();
            (*this)(list.back());
        }
    }
    template <class T>
    T Get()
    {
        T v{};
        (*this)(v);
        return v;
    }

private:
    bool enter();
    void leave() { --depth_; }
    Scalar scalar(BuiltIn type);
    std::string text(std::uint32_t limit);

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    DecodeLimits limits_;
    StatusCode status_ = sc::Good;
    int depth_ = 0;
};

// The body of an ExtensionObject of a known type, encoded or decoded.
template <class T>
ExtensionObject ToExtension(std::uint32_t encodingId, const T& value)
{
    ExtensionObject x;
    x.typeId = NodeId::Numeric(encodingId);
    x.encoding = ExtensionObject::Binary;
    Encoder e(x.body);
    e.Put(value);
    return x;
}
// False when x is not a binary body of that encoding id or does not decode.
template <class T>
bool FromExtension(const ExtensionObject& x, std::uint32_t encodingId, T& out, const DecodeLimits& limits = {})
{
    if (x.encoding != ExtensionObject::Binary || !(x.typeId == NodeId::Numeric(encodingId)))
        return false;
    Decoder d(x.body, limits);
    d(out);
    return d.Ok();
}

} // namespace ua
