// The wire rules without a bus: VARIANT as (qv) for every type of the
// mapping, the strict decoding of what a peer sends, DECIMAL text, the OPC
// structures, and the interface descriptions that both sides check against.
#include "Adaptors.h"
#include "Interfaces.h"
#include "OPCDA.h"
#include "SafeArray.h"
#include "TaskMem.h"
#include "Wire.h"

#include <QDBusMetaType>
#include <QDBusSignature>

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace opcdbus;

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

// Leak check shared by the cases that allocate.
class WireTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegisterWireTypes();
        bstrs_ = LiveBstrCount();
        arrays_ = LiveSafeArrayCount();
        blocks_ = CoTaskMemLiveBlocks();
    }
    void TearDown() override
    {
        EXPECT_EQ(LiveBstrCount(), bstrs_) << "a BSTR leaked";
        EXPECT_EQ(LiveSafeArrayCount(), arrays_) << "a SAFEARRAY leaked";
        EXPECT_EQ(CoTaskMemLiveBlocks(), blocks_) << "a task-allocator block leaked";
    }

private:
    std::size_t bstrs_ = 0, arrays_ = 0;
    long blocks_ = 0;
};

// A scalar VARIANT of type vt whose value is given by fill.
Variant Scalar(VARTYPE vt, void (*fill)(VARIANT&))
{
    Variant v;
    fill(*v.get());
    v.get()->vt = vt;
    return v;
}

// An array VARIANT of element type t with three distinct elements.
Variant Array(VARTYPE t)
{
    Variant v;
    SAFEARRAY* sa = SafeArrayCreateVector(t, 0, 3);
    for (LONG i = 0; i < 3; ++i) {
        if (t == VT_BSTR) {
            BStr s(std::string("e") + std::to_string(i) + "\xc3\xa9");
            SafeArrayPutElement(sa, &i, s.get());
        } else if (t == VT_DECIMAL) {
            DECIMAL d{};
            d.Lo64 = 12345 + static_cast<ULONGLONG>(i);
            d.scale = static_cast<BYTE>(i);
            d.sign = i == 1 ? DECIMAL_NEG : 0;
            SafeArrayPutElement(sa, &i, &d);
        } else if (t == VT_BOOL) {
            VARIANT_BOOL b = i == 1 ? VARIANT_TRUE : VARIANT_FALSE;
            SafeArrayPutElement(sa, &i, &b);
        } else {
            // A byte pattern that differs per element and survives every
            // element type (also floating point: small integers).
            unsigned char buf[16] = {};
            const double d = -1.5 + i;
            const float f = static_cast<float>(d);
            if (t == VT_R8 || t == VT_DATE)
                std::memcpy(buf, &d, sizeof d);
            else if (t == VT_R4)
                std::memcpy(buf, &f, sizeof f);
            else
                buf[0] = static_cast<unsigned char>(0x80 + i); // sign bit for 1-byte types
            SafeArrayPutElement(sa, &i, buf);
        }
    }
    v.get()->vt = static_cast<VARTYPE>(VT_ARRAY | t);
    v.get()->parray = sa;
    return v;
}

// Same type and same value, element by element for arrays.
bool SameValue(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt)
        return false;
    if (a.vt == VT_BSTR)
        return AnsiFromBstr(a.bstrVal) == AnsiFromBstr(b.bstrVal);
    if (a.vt == VT_DECIMAL)
        return std::memcmp(&DecimalOf(a).scale, &DecimalOf(b).scale, sizeof(DECIMAL) - 2) == 0;
    if (a.vt & VT_ARRAY) {
        WireVariant wa, wb;
        return SUCCEEDED(VariantToWire(a, wa)) && SUCCEEDED(VariantToWire(b, wb)) && wa.value == wb.value &&
               a.parray->rgsabound[0].cElements == b.parray->rgsabound[0].cElements;
    }
    if (a.vt == VT_EMPTY || a.vt == VT_NULL)
        return true;
    return std::memcmp(&a.llVal, &b.llVal, 8) == 0 || (a.vt == VT_R4 && a.fltVal == b.fltVal);
}

struct ScalarCase {
    const char* name;
    VARTYPE vt;
    const char* signature;
    void (*fill)(VARIANT&);
};

const ScalarCase kScalars[] = {
    {"EMPTY", VT_EMPTY, "s", [](VARIANT&) {}},
    {"NULL", VT_NULL, "s", [](VARIANT&) {}},
    {"I1", VT_I1, "n", [](VARIANT& v) { v.cVal = -100; }},
    {"I2", VT_I2, "n", [](VARIANT& v) { v.iVal = -30000; }},
    {"I4", VT_I4, "i", [](VARIANT& v) { v.lVal = -2000000000; }},
    {"INT", VT_INT, "i", [](VARIANT& v) { v.intVal = 123456; }},
    {"ERROR", VT_ERROR, "i", [](VARIANT& v) { v.scode = OPC_E_BADTYPE; }},
    {"UI1", VT_UI1, "y", [](VARIANT& v) { v.bVal = 250; }},
    {"UI2", VT_UI2, "q", [](VARIANT& v) { v.uiVal = 65000; }},
    {"UI4", VT_UI4, "u", [](VARIANT& v) { v.ulVal = 4000000000u; }},
    {"UINT", VT_UINT, "u", [](VARIANT& v) { v.uintVal = 7; }},
    {"I8", VT_I8, "x", [](VARIANT& v) { v.llVal = -(1LL << 60); }},
    {"UI8", VT_UI8, "t", [](VARIANT& v) { v.ullVal = ~0ULL; }},
    {"R4", VT_R4, "d", [](VARIANT& v) { v.fltVal = 3.25f; }},
    {"R8", VT_R8, "d", [](VARIANT& v) { v.dblVal = -1.0e-300; }},
    {"DATE", VT_DATE, "d", [](VARIANT& v) { v.date = 45000.75; }},
    {"CY", VT_CY, "x", [](VARIANT& v) { v.cyVal.int64 = -123456789; }},
    {"BOOL", VT_BOOL, "b", [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }},
};

} // namespace

TEST_F(WireTest, EveryScalarTypeTravelsAsItsSignatureAndComesBackUnchanged)
{
    for (const auto& c : kScalars) {
        SCOPED_TRACE(c.name);
        Variant v = Scalar(c.vt, c.fill);
        WireVariant w;
        ASSERT_EQ(VariantToWire(*v.get(), w), S_OK);
        EXPECT_EQ(w.vt, c.vt);
        EXPECT_EQ(SignatureOf(w.value), QString::fromLatin1(c.signature));
        Variant back;
        ASSERT_EQ(VariantFromWire(w, back.get()), S_OK);
        EXPECT_TRUE(SameValue(*v.get(), *back.get()));
    }
}

TEST_F(WireTest, TextAndDecimalTravelAsText)
{
    Variant text = Variant::fromText("12.5 kg \xe2\x82\xac");
    WireVariant w;
    ASSERT_EQ(VariantToWire(*text.get(), w), S_OK);
    EXPECT_EQ(SignatureOf(w.value), "s");
    EXPECT_EQ(w.value.toString(), QString::fromUtf8("12.5 kg \xe2\x82\xac"));
    Variant back;
    ASSERT_EQ(VariantFromWire(w, back.get()), S_OK);
    EXPECT_EQ(AnsiFromBstr(back.get()->bstrVal), "12.5 kg \xe2\x82\xac");

    Variant dec;
    DECIMAL& d = DecimalOf(*dec.get());
    d.Lo64 = 12500;
    d.scale = 3;
    d.sign = DECIMAL_NEG;
    dec.get()->vt = VT_DECIMAL;
    ASSERT_EQ(VariantToWire(*dec.get(), w), S_OK);
    EXPECT_EQ(w.value.toString(), "-12.500") << "the scale is kept";
    Variant decBack;
    ASSERT_EQ(VariantFromWire(w, decBack.get()), S_OK);
    EXPECT_TRUE(SameValue(*dec.get(), *decBack.get()));
}

TEST_F(WireTest, ArraysOfEveryElementTypeTravelAsArraysOfTheElementSignature)
{
    for (const auto& c : kScalars) {
        if (c.vt == VT_EMPTY || c.vt == VT_NULL)
            continue;
        SCOPED_TRACE(c.name);
        Variant v = Array(c.vt);
        WireVariant w;
        ASSERT_EQ(VariantToWire(*v.get(), w), S_OK);
        EXPECT_EQ(SignatureOf(w.value), QStringLiteral("a") + QLatin1String(c.signature));
        Variant back;
        ASSERT_EQ(VariantFromWire(w, back.get()), S_OK);
        EXPECT_TRUE(SameValue(*v.get(), *back.get()));
    }
    for (VARTYPE t : {VT_BSTR, VT_DECIMAL}) {
        Variant v = Array(t);
        WireVariant w;
        ASSERT_EQ(VariantToWire(*v.get(), w), S_OK);
        EXPECT_EQ(SignatureOf(w.value), "as");
        Variant back;
        ASSERT_EQ(VariantFromWire(w, back.get()), S_OK);
        EXPECT_TRUE(SameValue(*v.get(), *back.get()));
    }
}

TEST_F(WireTest, TypesWithoutAWireFormAreRefusedOnTheWayOut)
{
    for (VARTYPE vt : {VARTYPE(VT_DISPATCH), VARTYPE(VT_UNKNOWN), VARTYPE(VT_VARIANT), VARTYPE(VT_BYREF | VT_I4),
                       VARTYPE(VT_ARRAY | VT_VARIANT), VARTYPE(0x7777)}) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        if (vt == (VT_ARRAY | VT_VARIANT))
            v.parray = SafeArrayCreateVector(VT_VARIANT, 0, 1);
        WireVariant w;
        EXPECT_EQ(VariantToWire(v, w), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(w.vt, VT_EMPTY);
        if (v.parray && vt == (VT_ARRAY | VT_VARIANT))
            SafeArrayDestroy(v.parray);
    }
}

TEST_F(WireTest, MalformedValuesFromAPeerAreRefusedWithoutLeaks)
{
    struct Case {
        const char* name;
        WireVariant w;
    };
    const Case cases[] = {
        {"unknown type code", {0x7777, QVariant::fromValue<int>(1)}},
        {"by reference", {VT_BYREF | VT_I4, QVariant::fromValue<int>(1)}},
        {"vector", {VT_VECTOR | VT_I2, QVariant::fromValue(QList<short>{1})}},
        {"interface", {VT_UNKNOWN, QVariant::fromValue<int>(0)}},
        {"I4 carrying text", {VT_I4, QStringLiteral("12")}},
        {"BSTR carrying a number", {VT_BSTR, QVariant::fromValue<int>(12)}},
        {"I1 out of range", {VT_I1, QVariant::fromValue<short>(200)}},
        {"R4 out of range", {VT_R4, QVariant::fromValue<double>(1e300)}},
        {"decimal not a number", {VT_DECIMAL, QStringLiteral("12,5")}},
        {"decimal too large", {VT_DECIMAL, QStringLiteral("79228162514264337593543950336")}},
        {"array of EMPTY", {VT_ARRAY | VT_EMPTY, QVariant::fromValue(QStringList{})}},
        {"I2 array carrying ai", {VT_ARRAY | VT_I2, QVariant::fromValue(QList<int>{1})}},
        {"array of variants", {VT_ARRAY | VT_VARIANT, QVariant::fromValue(QList<int>{1})}},
        {"structure inside", {VT_I4, QVariant::fromValue(QDBusSignature(QStringLiteral("(ii)")))}},
        {"I1 array element out of range", {VT_ARRAY | VT_I1, QVariant::fromValue(QList<short>{1, -129})}},
        {"text array with a bad decimal", {VT_ARRAY | VT_DECIMAL, QVariant::fromValue(QStringList{"1", "x", "2"})}},
    };
    for (const auto& c : cases) {
        VARIANT v;
        VariantInit(&v);
        EXPECT_EQ(VariantFromWire(c.w, &v), E_INVALIDARG) << c.name;
        EXPECT_EQ(v.vt, VT_EMPTY) << c.name;
    }
}

TEST_F(WireTest, DecimalTextIsExactAndStrict)
{
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"0", true},
        {"-12.500", true},
        {"79228162514264337593543950335", true},
        {"0.0000000000000000000000000001", true},
        {"7.9228162514264337593543950335", true},
        {"79228162514264337593543950336", false},
        {"0.00000000000000000000000000001", false},
        {"", false},
        {"-", false},
        {".", false},
        {"1.2.3", false},
        {"+1", false},
        {" 1", false},
        {"1e5", false},
    };
    for (const auto& c : cases) {
        const auto d = DecimalFromText(QString::fromLatin1(c.text));
        ASSERT_EQ(d.has_value(), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(DecimalToText(*d), QString::fromLatin1(c.text)) << "round trip of " << c.text;
        }
    }
}

TEST_F(WireTest, StructuresKeepEveryFieldIncludingReservedOnes)
{
    BYTE blob[] = {1, 2, 3};
    std::u16string path = u"p", id = u"Scale_COM1";
    OPCITEMDEF def{path.data(), id.data(), 1, 77, 3, blob, VT_R8, 0xBEEF};
    const WireItemDef wd = ItemDefToWire(def);
    std::u16string p2, i2;
    OPCITEMDEF back{};
    ASSERT_EQ(ItemDefFromWire(wd, p2, i2, back), S_OK);
    EXPECT_EQ(p2, path);
    EXPECT_EQ(i2, id);
    EXPECT_EQ(back.bActive, 1);
    EXPECT_EQ(back.hClient, 77u);
    EXPECT_EQ(back.dwBlobSize, 3u);
    EXPECT_EQ(std::memcmp(back.pBlob, blob, 3), 0);
    EXPECT_EQ(back.vtRequestedDataType, VT_R8);
    EXPECT_EQ(back.wReserved, 0xBEEF);
    WireItemDef lying = wd;
    lying.blobSize = 1000000;
    EXPECT_EQ(ItemDefFromWire(lying, p2, i2, back), E_INVALIDARG) << "a blob shorter than its size";

    OPCITEMRESULT r{5, VT_BSTR, 0x1234, OPC_READABLE | OPC_WRITEABLE, 3, blob};
    OPCITEMRESULT rb{};
    ASSERT_EQ(ItemResultFromWire(ItemResultToWire(r), rb), S_OK);
    EXPECT_EQ(rb.hServer, 5u);
    EXPECT_EQ(rb.vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(rb.wReserved, 0x1234);
    EXPECT_EQ(rb.dwAccessRights, 3u);
    ASSERT_NE(rb.pBlob, nullptr);
    EXPECT_EQ(std::memcmp(rb.pBlob, blob, 3), 0);
    FreeItemResult(rb);

    OPCITEMSTATE s{};
    s.hClient = 9;
    s.ftTimeStamp = FileTimeFrom(133000000000000000ULL);
    s.wQuality = OPC_QUALITY_GOOD;
    s.wReserved = 0x55;
    s.vDataValue.vt = VT_BSTR;
    s.vDataValue.bstrVal = BstrFromAnsi("x");
    OPCITEMSTATE sb{};
    ASSERT_EQ(ItemStateFromWire(ItemStateToWire(s), sb), S_OK);
    EXPECT_EQ(sb.hClient, 9u);
    EXPECT_EQ(FileTimeValue(sb.ftTimeStamp), 133000000000000000ULL);
    EXPECT_EQ(sb.wQuality, OPC_QUALITY_GOOD);
    EXPECT_EQ(sb.wReserved, 0x55);
    EXPECT_EQ(AnsiFromBstr(sb.vDataValue.bstrVal), "x");
    FreeItemState(sb);
    VariantClear(&s.vDataValue);

    OPCSERVERSTATUS st{};
    st.ftStartTime = FileTimeFrom(1);
    st.ftCurrentTime = FileTimeFrom(2);
    st.ftLastUpdateTime = FileTimeFrom(3);
    st.dwServerState = OPC_STATUS_RUNNING;
    st.dwGroupCount = 4;
    st.dwBandWidth = 5;
    st.wMajorVersion = 6;
    st.wMinorVersion = 7;
    st.wBuildNumber = 8;
    st.wReserved = 9;
    std::u16string vendor = u"Quorbel";
    st.szVendorInfo = vendor.data();
    OPCSERVERSTATUS sb2{};
    ASSERT_EQ(ServerStatusFromWire(ServerStatusToWire(st), sb2), S_OK);
    EXPECT_EQ(FileTimeValue(sb2.ftStartTime), 1u);
    EXPECT_EQ(FileTimeValue(sb2.ftLastUpdateTime), 3u);
    EXPECT_EQ(sb2.dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(sb2.dwGroupCount, 4u);
    EXPECT_EQ(sb2.dwBandWidth, 5u);
    EXPECT_EQ(sb2.wBuildNumber, 8);
    EXPECT_EQ(sb2.wReserved, 9);
    EXPECT_EQ(AnsiFromWide(sb2.szVendorInfo), "Quorbel");
    CoTaskMemFree(sb2.szVendorInfo);

    OPCITEMATTRIBUTES a{};
    a.szAccessPath = path.data();
    a.szItemID = id.data();
    a.bActive = 1;
    a.hClient = 1;
    a.hServer = 2;
    a.dwAccessRights = 3;
    a.vtRequestedDataType = VT_I2;
    a.vtCanonicalDataType = VT_BSTR;
    a.dwEUType = OPC_ANALOG;
    a.vEUInfo.vt = VT_I4;
    a.vEUInfo.lVal = 42;
    OPCITEMATTRIBUTES ab{};
    ASSERT_EQ(ItemAttributesFromWire(ItemAttributesToWire(a), ab), S_OK);
    EXPECT_EQ(AnsiFromWide(ab.szItemID), "Scale_COM1");
    EXPECT_EQ(ab.hServer, 2u);
    EXPECT_EQ(ab.vtRequestedDataType, VT_I2);
    EXPECT_EQ(ab.vtCanonicalDataType, VT_BSTR);
    EXPECT_EQ(ab.dwEUType, OPC_ANALOG);
    EXPECT_EQ(ab.vEUInfo.vt, VT_I4);
    EXPECT_EQ(ab.vEUInfo.lVal, 42);
    FreeItemAttributes(ab);
}

TEST_F(WireTest, StructureSignaturesAreTheDescribedOnes)
{
    auto sig = [](QMetaType t) { return QString::fromLatin1(QDBusMetaType::typeToSignature(t)); };
    EXPECT_EQ(sig(QMetaType::fromType<WireVariant>()), "(qv)");
    EXPECT_EQ(sig(QMetaType::fromType<WireItemDef>()), "(ssiuuayqq)");
    EXPECT_EQ(sig(QMetaType::fromType<WireItemResult>()), "(uqquuay)");
    EXPECT_EQ(sig(QMetaType::fromType<WireItemState>()), "(utqq(qv))");
    EXPECT_EQ(sig(QMetaType::fromType<WireServerStatus>()), "(tttuuuqqqqs)");
    EXPECT_EQ(sig(QMetaType::fromType<WireItemAttributes>()), "(ssiuuuuayqqu(qv))");
}

TEST(InterfaceDescriptions, EveryDescribedInterfaceHasItsComIdentifierAndWellFormedSignatures)
{
    std::set<QString> names;
    for (const auto& i : AllInterfaces()) {
        names.insert(i.name);
        EXPECT_TRUE(FindInterface(i.iid) == &i || i.name == "opc.IUnknown") << i.name.toStdString();
        for (const auto& m : i.methods) {
            ASSERT_TRUE(m.outSignature.startsWith(QLatin1Char('i')) || i.name == "opc.IUnknown")
                << i.name.toStdString() << "." << m.name.toStdString() << ": the HRESULT comes first";
            if (i.name == "opc.IUnknown" && m.name != "QueryInterface")
                continue; // counts, not HRESULTs; never refused
            // The zero answer of a refused call must match the description.
            EXPECT_EQ(SignatureOfArgs(ZeroOuts(m.outSignature, E_INVALIDARG)), m.outSignature)
                << i.name.toStdString() << "." << m.name.toStdString();
        }
    }
    for (const char* n : {"opc.IUnknown", "opc.IClassFactory", "opc.IOPCServer", "opc.IOPCCommon", "opc.IOPCItemMgt",
                          "opc.IOPCSyncIO", "opc.IOPCAsyncIO2", "opc.IOPCGroupStateMgt", "opc.IOPCDataCallback",
                          "opc.IOPCShutdown", "opc.IEnumString", "opc.IEnumUnknown", "opc.IEnumOPCItemAttributes",
                          "opc.IConnectionPoint", "opc.IConnectionPointContainer", "opc.IOPCItemProperties",
                          "opc.IOPCBrowseServerAddressSpace"})
        EXPECT_TRUE(names.count(QString::fromLatin1(n))) << n;
    EXPECT_EQ(FindInterface(IID_IOPCServer)->Method("AddGroup")->inSignature, "siuuaiadus");
}

TEST(InterfaceDescriptions, TheServerServesExactlyTheDescribedMethods)
{
    // Sinks (callbacks) are served by clients, and IUnknown by the registry.
    const std::set<QString> clientSide = {"opc.IOPCDataCallback", "opc.IOPCShutdown", "opc.IUnknown"};
    std::set<std::pair<QString, QString>> described;
    for (const auto& i : AllInterfaces())
        if (!clientSide.count(i.name))
            for (const auto& m : i.methods)
                described.insert({i.name, m.name});
    const auto served = AdaptorNames();
    using Names = std::set<std::pair<QString, QString>>;
    EXPECT_TRUE(Names(served.begin(), served.end()) == described);
}

TEST(InterfaceDescriptions, WellKnownNameAndSignatureSplitting)
{
    EXPECT_EQ(WellKnownName(CLSID_DA2), "opc.clsid._6E39D8AB_9993_4038_B4F0_5EA9DED4CFD8");
    EXPECT_EQ(SplitSignature("ia(qv)s(tttuuuqqqqs)aau"),
              (QStringList{"i", "a(qv)", "s", "(tttuuuqqqqs)", "aau"}));
}
