// UA Binary encoding: bytes of the standard's encodings (so that a fault
// shared by encoder and decoder cannot hide in a round trip), round trips of
// every built-in type the endpoint uses, and the decoder's bounds.
#include "Messages.h"

#include <gtest/gtest.h>

using namespace ua;

namespace {

std::string Hex(const std::string& bytes)
{
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%02X ", c);
        out += b;
    }
    if (!out.empty())
        out.pop_back();
    return out;
}

template <class T>
std::string Encoded(const T& value)
{
    std::string out;
    Encoder(out).Put(value);
    return out;
}

template <class T>
T RoundTrip(const T& value)
{
    const std::string bytes = Encoded(value);
    Decoder d(bytes);
    T back = d.Get<T>();
    EXPECT_TRUE(d.Ok()) << StatusName(d.Status());
    EXPECT_EQ(d.Remaining(), 0u);
    return back;
}

} // namespace

TEST(UaEncoding, NodeIdFormsAreTheSmallestThatHoldTheId)
{
    EXPECT_EQ(Hex(Encoded(NodeId::Numeric(85))), "00 55");
    EXPECT_EQ(Hex(Encoded(NodeId(5, 1025))), "01 05 01 04");
    EXPECT_EQ(Hex(Encoded(NodeId(0, 70000))), "02 00 00 70 11 01 00");
    EXPECT_EQ(Hex(Encoded(NodeId(300, 5))), "02 2C 01 05 00 00 00");
    EXPECT_EQ(Hex(Encoded(NodeId(1, "Hot\xE6\xB0\xB4"))), "03 01 00 06 00 00 00 48 6F 74 E6 B0 B4");
    NodeId guid;
    guid.ns = 4;
    guid.type = IdType::Guid;
    guid.text = std::string("\x91\x2B\x96\x72\x75\xFA\xE6\x4A\x8D\x28\xB4\x04\xDC\x7D\xAF\x63", 16);
    EXPECT_EQ(Hex(Encoded(guid)), "04 04 00 91 2B 96 72 75 FA E6 4A 8D 28 B4 04 DC 7D AF 63");
    NodeId opaque;
    opaque.ns = 1;
    opaque.type = IdType::Opaque;
    opaque.text = "\x01\x02";
    EXPECT_EQ(Hex(Encoded(opaque)), "05 01 00 02 00 00 00 01 02");
    for (const NodeId& id : {NodeId::Numeric(85), NodeId(5, 1025), NodeId(0, 70000), NodeId(300, 5),
                             NodeId(1, "Ports/COM1"), guid, opaque})
        EXPECT_EQ(RoundTrip(id), id) << id.ToString();

    ExpandedNodeId x;
    x.id = NodeId(2, 7);
    x.namespaceUri = "urn:a";
    x.serverIndex = 3;
    EXPECT_EQ(Hex(Encoded(x)), "C1 02 07 00 05 00 00 00 75 72 6E 3A 61 03 00 00 00");
    EXPECT_EQ(RoundTrip(x), x);
    // An unknown form is a decoding error, not a guess.
    const std::string bad("\x06\x00", 2);
    Decoder d(bad);
    d.Get<NodeId>();
    EXPECT_EQ(d.Status(), sc::BadDecodingError);
}

TEST(UaEncoding, ScalarsStringsAndMaskedStructures)
{
    EXPECT_EQ(Hex(Encoded(std::string("\xE6\xB0\xB4" "Boy"))), "06 00 00 00 E6 B0 B4 42 6F 79");
    EXPECT_EQ(Hex(Encoded(Bytes{})), "FF FF FF FF");
    EXPECT_EQ(Hex(Encoded(std::int32_t(-2))), "FE FF FF FF");
    EXPECT_EQ(Hex(Encoded(2.0)), "00 00 00 00 00 00 00 40");
    EXPECT_EQ(Hex(Encoded(LocalizedText{"en", "Hi"})), "03 02 00 00 00 65 6E 02 00 00 00 48 69");
    EXPECT_EQ(Hex(Encoded(LocalizedText{"", "Hi"})), "02 02 00 00 00 48 69");
    EXPECT_EQ(Hex(Encoded(QualifiedName{1, "A"})), "01 00 01 00 00 00 41");
    ExtensionObject x;
    x.typeId = NodeId::Numeric(321);
    x.encoding = ExtensionObject::Binary;
    x.body = "ab";
    EXPECT_EQ(Hex(Encoded(x)), "01 00 41 01 01 02 00 00 00 61 62");
    EXPECT_EQ(RoundTrip(x), x);
    EXPECT_EQ(Hex(Encoded(ExtensionObject{})), "00 00 00");

    DiagnosticInfo inner;
    inner.hasInnerStatusCode = true;
    inner.innerStatusCode = sc::BadTimeout;
    DiagnosticInfo di;
    di.symbolicId = 1;
    di.localizedText = 2;
    di.locale = 3;
    di.hasAdditionalInfo = true;
    di.additionalInfo = "x";
    di.inner = std::make_shared<DiagnosticInfo>(inner);
    // Mask, then symbolic id, locale and localized text in that order.
    EXPECT_EQ(Hex(Encoded(di)),
              "5D 01 00 00 00 03 00 00 00 02 00 00 00 01 00 00 00 78 20 00 00 0A 80");
    EXPECT_EQ(RoundTrip(di), di);
}

TEST(UaEncoding, VariantsOfEveryBuiltInTypeUsedRoundTrip)
{
    Guid g{};
    g[0] = 9;
    std::vector<Variant> all = {
        Variant(), Variant::Bool(true), Variant::Of(BuiltIn::SByte, std::int8_t(-3)), Variant::Byte(200),
        Variant::Of(BuiltIn::Int16, std::int16_t(-300)), Variant::UInt16(60000), Variant::Int32(-70000),
        Variant::UInt32(4000000000u), Variant::Of(BuiltIn::Int64, std::int64_t(-5)), Variant::UInt64(1ull << 40),
        Variant::Of(BuiltIn::Float, 1.5f), Variant::Double(-2.25), Variant::String("12.5 kg"), Variant::Time(Now()),
        Variant::Of(BuiltIn::Guid, g), Variant::Of(BuiltIn::ByteString, std::string("\0\1", 2)),
        Variant::Of(BuiltIn::XmlElement, std::string("<a/>")), Variant::Id(NodeId(1, "Ports")),
        Variant::Of(BuiltIn::ExpandedNodeId, ExpandedNodeId{NodeId(0, 85), "", 0}), Variant::Status(sc::BadTimeout),
        Variant::Name(QualifiedName{1, "Scale"}), Variant::Text(LocalizedText{"en", "Scale (COM1)"}),
        Variant::Extension(ToExtension(enc::BuildInfo, BuildInfo{"u", "Quorbel", "p", "1", "2", 3})),
        Variant::Of(BuiltIn::DataValue, std::make_shared<DataValue>(DataValue::Of(Variant::Int32(4)))),
        Variant::Of(BuiltIn::Variant, std::make_shared<Variant>(Variant::String("in"))),
        Variant::Of(BuiltIn::DiagnosticInfo, std::make_shared<DiagnosticInfo>()),
        Variant::Strings({"a", "", "c"}),
    };
    for (const Variant& v : all)
        EXPECT_EQ(RoundTrip(v), v) << int(v.type);

    EXPECT_EQ(Hex(Encoded(Variant::Int32(1))), "06 01 00 00 00");
    EXPECT_EQ(Hex(Encoded(Variant::Array(BuiltIn::Byte, {std::uint8_t(1), std::uint8_t(2)}))), "83 02 00 00 00 01 02");
    // A matrix carries its dimensions after the values.
    Variant m = Variant::Array(BuiltIn::Int16, {std::int16_t(1), std::int16_t(2), std::int16_t(3), std::int16_t(4),
                                                std::int16_t(5), std::int16_t(6)});
    m.dims = {2, 3};
    EXPECT_EQ(Hex(Encoded(m)),
              "C4 06 00 00 00 01 00 02 00 03 00 04 00 05 00 06 00 02 00 00 00 02 00 00 00 03 00 00 00");
    EXPECT_EQ(RoundTrip(m), m);
    // Dimensions that do not multiply to the value count are refused.
    std::string bad = Encoded(m);
    bad[bad.size() - 4] = 4;
    Decoder d(bad);
    d.Get<Variant>();
    EXPECT_EQ(d.Status(), sc::BadDecodingError);
}

TEST(UaEncoding, DataValueMaskCarriesOnlyWhatIsSet)
{
    DataValue empty;
    EXPECT_EQ(Hex(Encoded(empty)), "00");
    DataValue v = DataValue::Of(Variant::String("A"));
    EXPECT_EQ(Hex(Encoded(v)), "01 0C 01 00 00 00 41");
    v.status = sc::BadNoCommunication;
    v.sourceTimestamp = 1;
    v.serverTimestamp = 2;
    v.sourcePicoseconds = 3;
    v.serverPicoseconds = 4;
    EXPECT_EQ(Hex(Encoded(v)), "3F 0C 01 00 00 00 41 00 00 31 80 01 00 00 00 00 00 00 00 03 00 "
                               "02 00 00 00 00 00 00 00 04 00");
    EXPECT_EQ(RoundTrip(v), v);
    DataValue statusOnly = DataValue::Bad(sc::BadNodeIdUnknown);
    EXPECT_EQ(Hex(Encoded(statusOnly)), "02 00 00 34 80");
    EXPECT_EQ(RoundTrip(statusOnly), statusOnly);
}

TEST(UaEncoding, ServiceMessagesRoundTripFieldByField)
{
    ReadRequest r;
    r.header.authenticationToken = NodeId(0, 7);
    r.header.requestHandle = 42;
    r.header.timeoutHint = 5000;
    r.maxAge = 0;
    r.timestampsToReturn = TimestampsToReturn::Both;
    r.nodesToRead = {ReadValueId{NodeId(1, "Scale_COM1"), 13, "", {}}, ReadValueId{NodeId::Numeric(2258), 13, "0:1", {0, "Default Binary"}}};
    ReadRequest back = RoundTrip(r);
    EXPECT_EQ(back.header.requestHandle, 42u);
    EXPECT_EQ(back.header.timeoutHint, 5000u);
    ASSERT_EQ(back.nodesToRead.size(), 2u);
    EXPECT_EQ(back.nodesToRead[0].nodeId, NodeId(1, "Scale_COM1"));
    EXPECT_EQ(back.nodesToRead[1].indexRange, "0:1");
    EXPECT_EQ(back.nodesToRead[1].dataEncoding.name, "Default Binary");

    PublishResponse p;
    p.subscriptionId = 3;
    p.availableSequenceNumbers = {1, 2};
    p.moreNotifications = true;
    DataChangeNotification dc;
    dc.monitoredItems = {MonitoredItemNotification{7, DataValue::Of(Variant::String("x"))}};
    p.notificationMessage.sequenceNumber = 2;
    p.notificationMessage.notificationData = {ToExtension(enc::DataChangeNotification, dc)};
    PublishResponse pb = RoundTrip(p);
    ASSERT_EQ(pb.notificationMessage.notificationData.size(), 1u);
    DataChangeNotification dcBack;
    ASSERT_TRUE(FromExtension(pb.notificationMessage.notificationData[0], enc::DataChangeNotification, dcBack));
    ASSERT_EQ(dcBack.monitoredItems.size(), 1u);
    EXPECT_EQ(dcBack.monitoredItems[0].clientHandle, 7u);
    EXPECT_EQ(dcBack.monitoredItems[0].value, dc.monitoredItems[0].value);
    EXPECT_EQ(pb.availableSequenceNumbers, p.availableSequenceNumbers);
    EXPECT_TRUE(pb.moreNotifications);
}

TEST(UaEncoding, DecoderStaysInsideItsInputAndLimits)
{
    // Lengths that point past the end, or past the limits, fail before any
    // allocation of that size.
    const std::string hugeString("\xFF\xFF\xFF\x7F" "ab", 6);
    Decoder d1(hugeString);
    EXPECT_TRUE(d1.String().empty());
    EXPECT_EQ(d1.Status(), sc::BadEncodingLimitsExceeded);

    DecodeLimits roomy;
    roomy.maxStringLength = 0x7FFFFFFF;
    Decoder d2(hugeString, roomy);
    d2.String();
    EXPECT_EQ(d2.Status(), sc::BadDecodingError);

    const std::string hugeArray("\x00\x00\x01\x00", 4); // 65536 elements
    Decoder d3(hugeArray);
    std::vector<std::uint32_t> ids;
    d3(ids);
    EXPECT_EQ(d3.Status(), sc::BadEncodingLimitsExceeded);
    EXPECT_TRUE(ids.empty());

    const std::string longArray("\x10\x00\x00\x00\x01", 5); // 16 elements, 1 byte left
    Decoder d4(longArray);
    d4(ids);
    EXPECT_EQ(d4.Status(), sc::BadDecodingError);

    // Variants nested deeper than the limit.
    std::string nested;
    for (int i = 0; i < 12; ++i)
        nested.push_back(24); // a Variant holding a Variant ...
    nested.push_back(6);
    nested.append(4, '\0');
    Decoder d5(nested);
    d5.Get<Variant>();
    EXPECT_EQ(d5.Status(), sc::BadEncodingLimitsExceeded);

    // Every truncation of a valid message fails cleanly.
    ReadRequest r;
    r.nodesToRead = {ReadValueId{NodeId(1, "Scale_COM1"), 13, "", {}}};
    const std::string bytes = Encoded(r);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        Decoder d(std::string_view(bytes).substr(0, n));
        d.Get<ReadRequest>();
        EXPECT_FALSE(d.Ok()) << n;
    }
}
