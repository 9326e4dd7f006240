#include "ComTestSupport.h"

#include <cstddef>

namespace {

using VariantTest = LeakChecked<>;
using SafeArrayTest = LeakChecked<>;

// A VT_ARRAY|VT_BSTR variant holding {"a", "bc"}.
VARIANT bstrArrayVariant()
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    BStr a{std::string_view("a")}, bc{std::string_view("bc")};
    LONG i = 0;
    SafeArrayPutElement(sa, &i, a.get());
    i = 1;
    SafeArrayPutElement(sa, &i, bc.get());
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_ARRAY | VT_BSTR;
    v.parray = sa;
    return v;
}

std::string bstrElement(SAFEARRAY* sa, LONG index)
{
    BSTR s = nullptr;
    EXPECT_EQ(SafeArrayGetElement(sa, &index, &s), S_OK);
    BStr owned(s);
    return owned.ansi();
}

TEST_F(VariantTest, LayoutMatchesWindows)
{
    EXPECT_EQ(sizeof(VARIANT), 16u);
    EXPECT_EQ(offsetof(VARIANT, llVal), 8u);
    EXPECT_EQ(offsetof(DECIMAL, scale), 2u);
    EXPECT_EQ(offsetof(DECIMAL, sign), 3u);
    EXPECT_EQ(offsetof(DECIMAL, Hi32), 4u);
    EXPECT_EQ(offsetof(DECIMAL, Lo64), 8u);
    EXPECT_EQ(offsetof(SAFEARRAY, pvData), 16u);
    EXPECT_EQ(offsetof(SAFEARRAY, rgsabound), 24u);
}

TEST_F(VariantTest, ClearFreesOwnedStringButNotByReference)
{
    BStr held{std::string_view("kept")};
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BYREF | VT_BSTR;
    v.byref = &held;
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(v.vt, VT_EMPTY);
    EXPECT_EQ(held.ansi(), "kept");

    const std::size_t before = LiveBstrCount();
    v.vt = VT_BSTR;
    v.bstrVal = BstrFromAnsi("owned");
    EXPECT_EQ(VariantClear(&v), S_OK);
    EXPECT_EQ(LiveBstrCount(), before);
}

TEST_F(VariantTest, ClearRejectsInvalidTypesAndLockedArrays)
{
    VARIANT v;
    VariantInit(&v);
    for (VARTYPE bad : {VARTYPE(15), VARTYPE(VT_VOID), VARTYPE(VT_VECTOR | VT_I4), VARTYPE(VT_ARRAY | VT_EMPTY),
                        VARTYPE(VT_BYREF | VT_NULL), VARTYPE(0x8003)}) {
        v.vt = bad;
        EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << bad;
        EXPECT_EQ(v.vt, bad);
    }
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 3);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(v.parray, &data), S_OK);
    EXPECT_EQ(VariantClear(&v), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(v.vt, VT_ARRAY | VT_I4);
    SafeArrayUnaccessData(v.parray);
    EXPECT_EQ(VariantClear(&v), S_OK);
}

TEST_F(VariantTest, CopyOfStringIsIndependent)
{
    Variant src = Variant::fromText("value");
    VARIANT dest;
    VariantInit(&dest);
    dest.vt = VT_BSTR;
    dest.bstrVal = BstrFromAnsi("old"); // replaced and freed by the copy
    ASSERT_EQ(VariantCopy(&dest, src.get()), S_OK);
    ASSERT_EQ(dest.vt, VT_BSTR);
    EXPECT_NE(dest.bstrVal, src.get()->bstrVal);
    EXPECT_EQ(AnsiFromBstr(dest.bstrVal), "value");
    src = Variant::fromI2(1);
    EXPECT_EQ(AnsiFromBstr(dest.bstrVal), "value");
    EXPECT_EQ(VariantCopy(&dest, &dest), S_OK);
    EXPECT_EQ(AnsiFromBstr(dest.bstrVal), "value");
    VariantClear(&dest);

    VARIANT nullText;
    VariantInit(&nullText);
    nullText.vt = VT_BSTR;
    ASSERT_EQ(VariantCopy(&dest, &nullText), S_OK);
    EXPECT_EQ(dest.vt, VT_BSTR);
    EXPECT_EQ(dest.bstrVal, nullptr);
}

TEST_F(VariantTest, CopyOfArraysIsDeep)
{
    VARIANT src = bstrArrayVariant();
    VARIANT dest;
    VariantInit(&dest);
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    ASSERT_EQ(dest.vt, VT_ARRAY | VT_BSTR);
    EXPECT_NE(dest.parray, src.parray);
    VariantClear(&src);
    EXPECT_EQ(bstrElement(dest.parray, 0), "a");
    EXPECT_EQ(bstrElement(dest.parray, 1), "bc");
    VariantClear(&dest);

    // An array of variants that hold strings.
    src.vt = VT_ARRAY | VT_VARIANT;
    src.parray = SafeArrayCreateVector(VT_VARIANT, 1, 2);
    Variant text = Variant::fromText("inner");
    LONG i = 2;
    ASSERT_EQ(SafeArrayPutElement(src.parray, &i, text.get()), S_OK);
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    VariantClear(&src);
    Variant element;
    ASSERT_EQ(SafeArrayGetElement(dest.parray, &i, element.get()), S_OK);
    EXPECT_EQ(element.text(), "inner");
    VariantClear(&dest);
}

TEST_F(VariantTest, CopyFailureLeavesDestination)
{
    Variant dest = Variant::fromText("kept");
    VARIANT bad;
    VariantInit(&bad);
    for (VARTYPE vt : {VARTYPE(15), VARTYPE(VT_DISPATCH), VARTYPE(VT_UNKNOWN), VARTYPE(VT_VECTOR | VT_UI1)}) {
        bad.vt = vt;
        EXPECT_EQ(VariantCopy(dest.get(), &bad), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(dest.text(), "kept");
    }
}

TEST_F(VariantTest, HolderCopiesMovesAndConverts)
{
    Variant a = Variant::fromText("42");
    Variant b(a);
    Variant c;
    c = a;
    EXPECT_EQ(b.text(), "42");
    EXPECT_EQ(c.text(), "42");
    Variant d(std::move(a));
    EXPECT_EQ(a.type(), VT_EMPTY);
    c = std::move(d);
    EXPECT_EQ(d.type(), VT_EMPTY);
    LONG n = 0;
    EXPECT_EQ(c.toInt(n), S_OK);
    EXPECT_EQ(n, 42);

    n = 7;
    EXPECT_EQ(Variant::fromText("abc").toInt(n), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(Variant::fromR8(2.5).toInt(n), S_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(Variant::fromBool(true).text(), "-1");
    EXPECT_EQ(Variant::fromBool(true).get()->boolVal, VARIANT_TRUE);
    EXPECT_EQ(Variant::fromUI1(200).text(), "200");
    EXPECT_EQ(Variant::fromI2(-5).text(), "-5");
    EXPECT_EQ(Variant::fromI4(-70000).text(), "-70000");
    EXPECT_EQ(Variant().text(), "");
    Variant null;
    null.get()->vt = VT_NULL;
    EXPECT_EQ(null.text(), ""); // no text form
}

TEST_F(SafeArrayTest, BoundsAndIndexing)
{
    SAFEARRAY* sa = SafeArrayCreateVector(VT_I2, 5, 3);
    ASSERT_NE(sa, nullptr);
    LONG lb = 0, ub = 0;
    VARTYPE vt = 0;
    EXPECT_EQ(SafeArrayGetLBound(sa, 1, &lb), S_OK);
    EXPECT_EQ(SafeArrayGetUBound(sa, 1, &ub), S_OK);
    EXPECT_EQ(SafeArrayGetVartype(sa, &vt), S_OK);
    EXPECT_EQ(lb, 5);
    EXPECT_EQ(ub, 7);
    EXPECT_EQ(vt, VT_I2);
    EXPECT_EQ(SafeArrayGetDim(sa), 1u);
    EXPECT_EQ(SafeArrayGetElemsize(sa), 2u);
    EXPECT_EQ(SafeArrayGetLBound(sa, 2, &lb), DISP_E_BADINDEX);

    SHORT value = -3;
    for (LONG i : {4, 8}) {
        EXPECT_EQ(SafeArrayPutElement(sa, &i, &value), DISP_E_BADINDEX) << i;
        EXPECT_EQ(SafeArrayGetElement(sa, &i, &value), DISP_E_BADINDEX) << i;
    }
    LONG last = 7;
    ASSERT_EQ(SafeArrayPutElement(sa, &last, &value), S_OK);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(sa, &data), S_OK);
    EXPECT_EQ(static_cast<SHORT*>(data)[0], 0); // created zeroed
    EXPECT_EQ(static_cast<SHORT*>(data)[2], -3);
    EXPECT_EQ(SafeArrayDestroy(sa), DISP_E_ARRAYISLOCKED);
    EXPECT_EQ(SafeArrayUnaccessData(sa), S_OK);
    EXPECT_EQ(SafeArrayUnaccessData(sa), E_UNEXPECTED);
    EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
}

TEST_F(SafeArrayTest, ElementTypesAndEmptyArrays)
{
    EXPECT_EQ(SafeArrayCreateVector(VT_DISPATCH, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVector(VT_EMPTY, 0, 1), nullptr);
    SAFEARRAY* empty = SafeArrayCreateVector(VT_R8, 0, 0);
    ASSERT_NE(empty, nullptr);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(empty, &copy), S_OK);
    LONG ub = 0;
    SafeArrayGetUBound(copy, 1, &ub);
    EXPECT_EQ(ub, -1);
    EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
    EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);

    // Replacing a BSTR element frees the one it held.
    VARIANT v = bstrArrayVariant();
    const std::size_t before = LiveBstrCount();
    BStr replacement{std::string_view("new")};
    LONG i = 0;
    ASSERT_EQ(SafeArrayPutElement(v.parray, &i, replacement.get()), S_OK);
    EXPECT_EQ(LiveBstrCount(), before + 1);
    EXPECT_EQ(bstrElement(v.parray, 0), "new");
    VariantClear(&v);
}

} // namespace
