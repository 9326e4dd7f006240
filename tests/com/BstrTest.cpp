#include "ComTestSupport.h"

#include <cstring>

namespace {

using BstrTest = LeakChecked<>;

TEST_F(BstrTest, LayoutHasByteLengthPrefixAndTerminator)
{
    BStr s(SysAllocStringLen(u"abc", 3));
    ASSERT_NE(s.get(), nullptr);
    DWORD prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const unsigned char*>(s.get()) - 4, 4);
    EXPECT_EQ(prefix, 6u);
    EXPECT_EQ(s.get()[3], u'\0');
    EXPECT_EQ(SysStringLen(s.get()), 3u);
    EXPECT_EQ(SysStringByteLen(s.get()), 6u);
}

TEST_F(BstrTest, NullAndEmpty)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(AnsiFromBstr(nullptr), "");

    BStr empty(SysAllocString(u""));
    ASSERT_NE(empty.get(), nullptr); // an empty string is not the null string
    EXPECT_EQ(empty.length(), 0u);
    BStr fromAnsi{std::string_view{}};
    ASSERT_NE(fromAnsi.get(), nullptr);
    EXPECT_EQ(fromAnsi.length(), 0u);
}

TEST_F(BstrTest, LenWithoutTextIsZeroFilled)
{
    BStr s(SysAllocStringLen(nullptr, 4));
    ASSERT_NE(s.get(), nullptr);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(s.get()[i], 0) << i;
}

TEST_F(BstrTest, SysAllocStringStopsAtNulButLenKeepsEmbeddedNul)
{
    const char16_t text[] = u"a\0b";
    BStr c(SysAllocString(text));
    EXPECT_EQ(c.length(), 1u);
    BStr l(SysAllocStringLen(text, 3));
    EXPECT_EQ(l.length(), 3u);
    EXPECT_EQ(l.ansi(), std::string("a\0b", 3));
    BStr back{std::string_view("x\0y\0", 4)};
    EXPECT_EQ(back.length(), 4u);
    EXPECT_EQ(back.ansi(), std::string("x\0y\0", 4));
}

TEST_F(BstrTest, HolderMoveAssignFreesPreviousString)
{
    const std::size_t before = LiveBstrCount();
    BStr a{std::string_view("first")};
    BStr b{std::string_view("second")};
    EXPECT_EQ(LiveBstrCount(), before + 2);
    a = std::move(b);
    EXPECT_EQ(LiveBstrCount(), before + 1);
    EXPECT_EQ(a.ansi(), "second");
    EXPECT_EQ(b.get(), nullptr);
    BSTR raw = a.release();
    EXPECT_EQ(a.get(), nullptr);
    SysFreeString(raw);
    EXPECT_EQ(LiveBstrCount(), before);
}

struct Utf8Case {
    const char* name;
    std::string ansi;
    std::u16string wide;
    std::string back; // 8-bit text after the round trip
};

class Utf8ToWide : public LeakChecked<::testing::TestWithParam<Utf8Case>> {};

TEST_P(Utf8ToWide, DecodesAndReencodes)
{
    const Utf8Case& c = GetParam();
    EXPECT_EQ(U16FromAnsi(c.ansi), c.wide);
    BStr b{std::string_view(c.ansi)};
    ASSERT_NE(b.get(), nullptr);
    EXPECT_EQ(std::u16string(b.get(), b.length()), c.wide);
    EXPECT_EQ(b.ansi(), c.back);
}

INSTANTIATE_TEST_SUITE_P(Bstr, Utf8ToWide, ::testing::Values(
    Utf8Case{"ascii", "hello", u"hello", "hello"},
    Utf8Case{"two_byte", "\xC3\xA9", u"\u00E9", "\xC3\xA9"},
    Utf8Case{"three_byte", "\xE2\x82\xAC", u"\u20AC", "\xE2\x82\xAC"},
    Utf8Case{"four_byte_pair", "\xF0\x9F\x98\x80", u"\U0001F600", "\xF0\x9F\x98\x80"},
    Utf8Case{"max_code_point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
    // Bytes that are not UTF-8 keep their value as Latin-1 and come back as UTF-8.
    Utf8Case{"latin1_byte", "\xFF", u"\u00FF", "\xC3\xBF"},
    Utf8Case{"lone_lead", "\xC3" "A", u"\u00C3" "A", "\xC3\x83" "A"},
    Utf8Case{"overlong_nul", "\xC0\x80", u"\u00C0\u0080", "\xC3\x80\xC2\x80"},
    Utf8Case{"encoded_surrogate", "\xED\xA0\x80", u"\u00ED\u00A0\u0080", "\xC3\xAD\xC2\xA0\xC2\x80"},
    Utf8Case{"above_max", "\xF4\x90\x80\x80", u"\u00F4\u0090\u0080\u0080", "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},
    Utf8Case{"truncated_tail", "a\xE2\x82", u"a\u00E2\u0082", "a\xC3\xA2\xC2\x82"},
    Utf8Case{"raw_device_bytes", std::string("\x02\x00\x81", 3), std::u16string(u"\x0002\x0000\x0081", 3),
             std::string("\x02\x00\xC2\x81", 4)}),
    [](const auto& info) { return std::string(info.param.name); });

struct WideCase {
    const char* name;
    std::u16string wide;
    std::string ansi;
};

class WideToUtf8 : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideToUtf8, UnpairedSurrogatesBecomeReplacementCharacter)
{
    EXPECT_EQ(AnsiFromU16(GetParam().wide), GetParam().ansi);
}

INSTANTIATE_TEST_SUITE_P(Bstr, WideToUtf8, ::testing::Values(
    WideCase{"pair", u"\xD83D\xDE00", "\xF0\x9F\x98\x80"},
    WideCase{"lone_high_at_end", u"a\xD800", "a\xEF\xBF\xBD"},
    WideCase{"lone_low", u"\xDC00" "b", "\xEF\xBF\xBD" "b"},
    WideCase{"high_then_letter", u"\xD800" "A", "\xEF\xBF\xBD" "A"},
    WideCase{"reversed_pair", u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
    WideCase{"bmp_edge", u"\uFFFF\u0800\u07FF", "\xEF\xBF\xBF\xE0\xA0\x80\xDF\xBF"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
