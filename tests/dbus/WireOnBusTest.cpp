// VARIANT as (qv) through real D-Bus messages both ways: what one side
// marshals, the other side's demarshalling (Qt hands arrays inside a variant
// over as raw arguments) turns back into the same VARIANT.
#include "BusTestSupport.h"

#include "SafeArray.h"

#include <QDBusVirtualObject>

#include <cstring>

namespace {

// Answers every call with its own arguments.
class Echo final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection& c) override
    {
        c.send(m.createReply(m.arguments()));
        return true;
    }
};

VARIANT Make(VARTYPE vt, LONGLONG bits)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = bits;
    return v;
}

VARIANT MakeArray(VARTYPE t, std::initializer_list<LONGLONG> elems)
{
    VARIANT v;
    VariantInit(&v);
    SAFEARRAY* sa = SafeArrayCreateVector(t, 0, static_cast<ULONG>(elems.size()));
    LONG i = 0;
    for (LONGLONG e : elems) {
        if (t == VT_BSTR) {
            BStr s(std::to_string(e));
            SafeArrayPutElement(sa, &i, s.get());
        } else if (t == VT_R8 || t == VT_DATE) {
            double d = static_cast<double>(e) / 4;
            SafeArrayPutElement(sa, &i, &d);
        } else if (t == VT_R4) {
            float f = static_cast<float>(e) / 4;
            SafeArrayPutElement(sa, &i, &f);
        } else if (t == VT_BOOL) {
            VARIANT_BOOL b = e ? VARIANT_TRUE : VARIANT_FALSE;
            SafeArrayPutElement(sa, &i, &b);
        } else {
            SafeArrayPutElement(sa, &i, &e); // little-endian: the low bytes
        }
        ++i;
    }
    v.vt = static_cast<VARTYPE>(VT_ARRAY | t);
    v.parray = sa;
    return v;
}

class WireOnBus : public BusTest {};

} // namespace

TEST_F(WireOnBus, EveryTypeOfTheMappingSurvivesARoundTrip)
{
    QDBusConnection echoSide = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "echo-side");
    Echo echo;
    ASSERT_TRUE(echoSide.registerVirtualObject("/echo", &echo));
    std::vector<VARIANT> cases = {
        Make(VT_EMPTY, 0), Make(VT_NULL, 0), Make(VT_I1, -5), Make(VT_I2, -300), Make(VT_I4, -70000),
        Make(VT_INT, 9), Make(VT_ERROR, OPC_E_BADTYPE), Make(VT_UI1, 200), Make(VT_UI2, 60000),
        Make(VT_UI4, 4000000000LL), Make(VT_UINT, 3), Make(VT_I8, -(1LL << 50)), Make(VT_UI8, -1),
        Make(VT_CY, 123456), Make(VT_BOOL, 0xFFFF),
        MakeArray(VT_I1, {-1, 2}), MakeArray(VT_I2, {-300, 300}), MakeArray(VT_I4, {1, -2, 3}),
        MakeArray(VT_UI1, {1, 255}), MakeArray(VT_UI2, {65535}), MakeArray(VT_UI4, {7, 8}),
        MakeArray(VT_I8, {-9}), MakeArray(VT_UI8, {10}), MakeArray(VT_R4, {3}), MakeArray(VT_R8, {-5, 6}),
        MakeArray(VT_DATE, {180000}), MakeArray(VT_CY, {12}), MakeArray(VT_BOOL, {1, 0}),
        MakeArray(VT_BSTR, {11, 22}), MakeArray(VT_ERROR, {-1}), MakeArray(VT_INT, {}),
    };
    VARIANT r4 = Make(VT_R4, 0);
    r4.fltVal = -2.5f;
    VARIANT r8 = Make(VT_R8, 0);
    r8.dblVal = 1e-300;
    VARIANT date = Make(VT_DATE, 0);
    date.date = 45000.5;
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = BstrFromAnsi("z\xc3\xbcrich");
    VARIANT dec;
    VariantInit(&dec);
    DecimalOf(dec).Lo64 = 123;
    DecimalOf(dec).scale = 2;
    dec.vt = VT_DECIMAL;
    cases.insert(cases.end(), {r4, r8, date, text, dec});

    for (VARIANT& v : cases) {
        SCOPED_TRACE(v.vt);
        opcdbus::WireVariant w;
        ASSERT_EQ(opcdbus::VariantToWire(v, w), S_OK);
        QDBusMessage m = QDBusMessage::createMethodCall(echoSide.baseService(), "/echo", "x.Echo", "Echo");
        m << QVariant::fromValue(w);
        const QDBusMessage r = client.call(m, QDBus::BlockWithGui, 5000);
        ASSERT_EQ(r.signature(), "(qv)") << r.errorMessage().toStdString();
        const auto back = opcdbus::StructArg<opcdbus::WireVariant>(r.arguments().at(0));
        VARIANT out;
        VariantInit(&out);
        ASSERT_EQ(opcdbus::VariantFromWire(back, &out), S_OK);
        opcdbus::WireVariant again;
        ASSERT_EQ(opcdbus::VariantToWire(out, again), S_OK);
        EXPECT_EQ(again.vt, v.vt);
        EXPECT_TRUE(again.value == w.value) << "value changed on the wire";
        VariantClear(&out);
        VariantClear(&v);
    }
    echoSide.unregisterObject("/echo");
    QDBusConnection::disconnectFromBus("echo-side");
}
