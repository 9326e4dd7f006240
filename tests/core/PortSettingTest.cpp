#include "PortSettingRecord.h"

#include <gtest/gtest.h>

TEST(PortSetting, DecimalTextsAsTheGridCarriesThem)
{
    EXPECT_EQ(ParseDecimal("100"), 100);
    EXPECT_EQ(ParseDecimal("-1"), -1);
    EXPECT_EQ(ParseDecimal("+7"), 7);
    EXPECT_EQ(ParseDecimal("0"), 0);
    EXPECT_FALSE(ParseDecimal(""));
    EXPECT_FALSE(ParseDecimal("abc"));
    EXPECT_FALSE(ParseDecimal("12a"));
    EXPECT_FALSE(ParseDecimal(" 12"));
    EXPECT_FALSE(ParseDecimal("+-3"));
    EXPECT_FALSE(ParseDecimal("99999999999"));
    EXPECT_FALSE(ParseDecimal("+"));
}

TEST(PortSetting, FlagsAreOnOnlyForExactlyOne)
{
    TPortSetting s;
    for (const char* text : {"", "0", "2", "-1", "01", "true", " 1"}) {
        s[psDISABLED] = text;
        s[psCONVERT_HEX] = text;
        s[psLOGGED] = text;
        EXPECT_FALSE(s.disabled()) << text;
        EXPECT_FALSE(s.convertHex()) << text;
        EXPECT_FALSE(s.logged()) << text;
    }
    s[psDISABLED] = "1";
    EXPECT_TRUE(s.disabled());
}

TEST(PortSetting, TagNameAndColumns)
{
    TPortSetting s;
    s[psDESCRIPTION] = "Scale";
    s[psPORT] = "COM3";
    EXPECT_EQ(s.tagName(), "Scale_COM3");
    EXPECT_STREQ(kPortSettingColumns[psAUTO_SUFFIX], "AUTO_SUFFIX");
    EXPECT_STREQ(kPortGridTitles[psNULL_TERMINATED], "Incoming String Terminating Char");
    EXPECT_STREQ(kPortGridTitles[21], "Current Tag Value");
    EXPECT_TRUE(PortSettingReadAsInteger(psNULL_TERMINATED));
    EXPECT_FALSE(PortSettingReadAsInteger(psBAUD_RATE));
}
