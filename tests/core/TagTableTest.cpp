#include "Globals.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

TEST(TagTable, HandlesFollowBindingOrderAndLookupsAreExact)
{
    TTagTable t;
    EXPECT_EQ(t.BindTag("Alpha_COM1"), 0);
    EXPECT_EQ(t.BindTag("Beta_COM2"), 1);
    EXPECT_EQ(t.BindTag("Scale_COM3"), 2);
    EXPECT_EQ(t.HandleOfName("Alpha_COM1"), 5000u);
    EXPECT_EQ(t.HandleOfName("Scale_COM3"), 5002u);
    EXPECT_EQ(t.HandleOfName("scale_com3"), 0u) << "lookups are case-sensitive";
    EXPECT_EQ(t.HandleOfName(""), 0u);
    EXPECT_EQ(t.NameOfHandle(5001), "Beta_COM2");
    EXPECT_EQ(t.NameOfHandle(5003), "");
    EXPECT_EQ(t.NameOfHandle(4999), "");
    EXPECT_EQ(t.CanonicalTypeOfHandle(5000), VT_BSTR);
    EXPECT_EQ(t.CanonicalTypeOfHandle(4999), VT_UI2);
    EXPECT_EQ(t.CanonicalTypeOfHandle(5003), VT_UI2);
    EXPECT_EQ(t.CanonicalTypeOfHandle(0), VT_UI2);
    EXPECT_EQ(t.ValueCount(), 3u);
}

TEST(TagTable, LongNamesAreCutTo64Characters)
{
    TTagTable t;
    const std::string name70(70, 'x');
    t.BindTag(name70);
    EXPECT_EQ(t.Entry(0).name.size(), 64u);
    EXPECT_EQ(t.HandleOfName(name70), 0u);
    EXPECT_EQ(t.HandleOfName(name70.substr(0, 64)), 5000u);
    EXPECT_EQ(t.BindTag(name70), 0) << "the same long name binds the same tag";
}

// Two ports whose names agree in their first 64 characters: each binding of
// the name gets a tag of its own, the lookup finds the first, and a reload
// binds the same tags again in the same order.
TEST(TagTable, EqualNamesGetTheirOwnTagsAndLookupFindsTheFirst)
{
    TTagTable t;
    const std::string base(64, 'p');
    EXPECT_EQ(t.BindTag(base + "_COM1", VT_BSTR, 0), 0);
    EXPECT_EQ(t.BindTag(base + "_COM2", VT_BSTR, 1), 1);
    EXPECT_EQ(t.BindTag("Other_COM3", VT_BSTR, 0), 2);
    EXPECT_EQ(t.Entry(1).name, base);
    EXPECT_EQ(t.HandleOfName(base), 5000u);
    EXPECT_EQ(t.NameOfHandle(5001), base);
    EXPECT_EQ(t.BindTag(base + "_COM2", VT_BSTR, 0), 0);
    EXPECT_EQ(t.BindTag(base + "_COM1", VT_BSTR, 1), 1);
    EXPECT_EQ(t.Count(), 3u);
    ASSERT_TRUE(t.SetText(0, "one"));
    ASSERT_TRUE(t.SetText(1, "two"));
    EXPECT_EQ(t.Value(0).textValue, "one");
    EXPECT_EQ(t.Value(1).textValue, "two");
}

TEST(TagTable, RebindingAfterReorderKeepsEveryHandleAndValue)
{
    TTagTable t;
    t.BindTag("A_COM1");
    t.BindTag("B_COM2");
    t.Value(1).textValue = "last of B";
    // A later load: A removed, C added, B now first.
    EXPECT_EQ(t.BindTag("B_COM2"), 1);
    EXPECT_EQ(t.BindTag("C_COM3"), 2);
    EXPECT_EQ(t.HandleOfName("C_COM3"), 5002u);
    EXPECT_EQ(t.HandleOfName("A_COM1"), 5000u);
    EXPECT_EQ(t.Value(1).textValue, "last of B");
}

TEST(TagTable, ValueAccessPastTheListThrowsAndFreeingKeepsEntries)
{
    TTagTable t;
    EXPECT_THROW(t.Value(0), std::out_of_range);
    t.BindTag("A_COM1");
    t.FreeValueRecords();
    EXPECT_THROW(t.Value(0), std::out_of_range);
    EXPECT_EQ(t.HandleOfName("A_COM1"), 5000u);
}

TEST(TagTable, RequestedTypeSupport)
{
    EXPECT_TRUE(TTagTable::RequestedTypeSupported(VT_EMPTY));
    EXPECT_TRUE(TTagTable::RequestedTypeSupported(VT_BSTR));
    EXPECT_TRUE(TTagTable::RequestedTypeSupported(72));
    EXPECT_FALSE(TTagTable::RequestedTypeSupported(73));
    EXPECT_FALSE(TTagTable::RequestedTypeSupported(VT_ARRAY | VT_I2));
    EXPECT_FALSE(TTagTable::RequestedTypeSupported(VT_BYREF | VT_BSTR));
}

struct ConvertCase {
    const char* text;
    VARTYPE to;
    HRESULT hr;
    WORD qualityAfter;
};

class ConvertValueTest : public ::testing::TestWithParam<ConvertCase> {};

TEST_P(ConvertValueTest, ResultCodeAndQuality)
{
    const ConvertCase& c = GetParam();
    Variant in = Variant::fromText(c.text);
    Variant out;
    WORD quality = 0xC0;
    EXPECT_EQ(ConvertValue(*in.get(), c.to, quality, *out.get()), c.hr);
    EXPECT_EQ(quality, c.qualityAfter);
    if (c.hr == S_OK) {
        EXPECT_EQ(out.type(), c.to);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, ConvertValueTest,
                         ::testing::Values(ConvertCase{"12", VT_I2, S_OK, 0xC0},
                                           ConvertCase{"abc", VT_I2, DISP_E_TYPEMISMATCH, 0xC0},
                                           ConvertCase{"70000", VT_I2, DISP_E_OVERFLOW, 0},
                                           ConvertCase{"70000", VT_I4, S_OK, 0xC0},
                                           ConvertCase{"-1", VT_UI1, DISP_E_OVERFLOW, 0}));

TEST(ConvertValue, TwelveBecomesTwelve)
{
    Variant in = Variant::fromText("12");
    Variant out;
    WORD quality = 0xC0;
    ASSERT_EQ(ConvertValue(*in.get(), VT_I2, quality, *out.get()), S_OK);
    EXPECT_EQ(out.get()->iVal, 12);
}

class LocalTimeToFileTimeTest : public ::testing::Test {
protected:
    void SetZone(const char* tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }
};

TEST_F(LocalTimeToFileTimeTest, UtcZoneGivesTheDateItself)
{
    SetZone("UTC0");
    // 1970-01-01 00:00 is day 25569; 11644473600 s after 1601-01-01.
    EXPECT_EQ(LocalTimeToFileTime(25569.0), 116444736000000000ULL);
    // 06:00 the same day.
    EXPECT_EQ(LocalTimeToFileTime(25569.25), 116444736000000000ULL + 6ULL * 3600 * 10000000);
    // Day 2.0 is 1900-01-01.
    EXPECT_EQ(LocalTimeToFileTime(2.0), (116444736000000000ULL - 25567ULL * 86400 * 10000000));
}

TEST_F(LocalTimeToFileTimeTest, ZoneEastOfUtcShiftsBack)
{
    SetZone("XST-2"); // two hours east of UTC, no daylight saving
    EXPECT_EQ(LocalTimeToFileTime(25569.25), 116444736000000000ULL + 4ULL * 3600 * 10000000);
}

TEST_F(LocalTimeToFileTimeTest, NegativeDatesCountTheFractionForward)
{
    SetZone("UTC0");
    // -1.25 is 1899-12-29 06:00, i.e. 0.75 days before -0.5 would be.
    const auto minusOneQuarter = LocalTimeToFileTime(-1.25);
    const auto minusOne = LocalTimeToFileTime(-1.0);
    EXPECT_EQ(minusOneQuarter - minusOne, 6ULL * 3600 * 10000000);
}
