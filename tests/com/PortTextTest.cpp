#include "ComTestSupport.h"
#include "PortText.h"

namespace {

class PortText : public LeakChecked<> {
protected:
    void TearDown() override
    {
        SetPortTextEncoding(PortTextEncoding::Latin1);
        LeakChecked<>::TearDown();
    }
    static std::string EveryByte()
    {
        std::string bytes;
        for (int b = 1; b <= 255; ++b)
            bytes.push_back(static_cast<char>(b));
        return bytes;
    }
};

} // namespace

TEST_F(PortText, ByDefaultEveryByteIsOneCharacterAndComesBackExactly)
{
    const std::string bytes = EveryByte();
    BStr text(BstrFromPortBytes(bytes));
    ASSERT_EQ(text.length(), 255u);
    for (UINT i = 0; i < 255; ++i)
        ASSERT_EQ(text.get()[i], static_cast<OLECHAR>(i + 1)) << "byte " << i + 1;
    EXPECT_EQ(PortBytesFromBstr(text.get()), bytes);
    // The grid and the log show the same characters as UTF-8 text, and a text
    // typed there stands for the same bytes.
    EXPECT_EQ(Utf8FromPortBytes("\xB0"), "\xC2\xB0");
    EXPECT_EQ(PortBytesFromUtf8(Utf8FromPortBytes(bytes)), bytes);
    // Byte 0 is a character too.
    EXPECT_EQ(PortBytesFromText(PortTextFromBytes(std::string("A\0B", 3))), std::string("A\0B", 3));
}

TEST_F(PortText, CharactersWithoutAByteAreSentAsQuestionMarks)
{
    EXPECT_EQ(PortBytesFromText(u"\u20AC5 \U0001F600!"), "?5 ?!");
    EXPECT_EQ(PortBytesFromUtf8("\xE2\x82\xAC"), "?");
    // A raw byte in program text (a table filled by hand) keeps its value.
    EXPECT_EQ(PortBytesFromUtf8("\xB0" "C"), "\xB0" "C");
}

TEST_F(PortText, Utf8RuleTakesSequencesAsCharactersAndKeepsOtherBytes)
{
    SetPortTextEncoding(PortTextEncoding::Utf8);
    EXPECT_EQ(PortTextFromBytes("\xC2\xB0" "C"), u"\u00B0C");
    EXPECT_EQ(PortTextFromBytes("\xB0"), u"\u00B0") << "a lone byte is not dropped";
    EXPECT_EQ(PortBytesFromText(u"\u00B0\u20AC"), "\xC2\xB0\xE2\x82\xAC");
    EXPECT_EQ(Utf8FromPortBytes("\xE2\x82\xAC"), "\xE2\x82\xAC");
    BStr text(BstrFromPortBytes("\xE2\x82\xAC"));
    EXPECT_EQ(PortBytesFromBstr(text.get()), "\xE2\x82\xAC");
}

TEST_F(PortText, EncodingNamesFromTheIni)
{
    PortTextEncoding e = PortTextEncoding::Latin1;
    EXPECT_TRUE(ParsePortTextEncoding(" utf-8 ", e));
    EXPECT_EQ(e, PortTextEncoding::Utf8);
    EXPECT_TRUE(ParsePortTextEncoding("ISO-8859-1", e));
    EXPECT_EQ(e, PortTextEncoding::Latin1);
    EXPECT_TRUE(ParsePortTextEncoding("UTF8", e));
    EXPECT_FALSE(ParsePortTextEncoding("cp1252", e));
    EXPECT_FALSE(ParsePortTextEncoding("", e));
    EXPECT_EQ(e, PortTextEncoding::Utf8) << "an unknown name changes nothing";
}
