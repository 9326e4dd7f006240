#include "SuffixNotation.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NotationCase {
    const char* name;
    std::string notation; // as typed
    std::string raw;      // what is stored
};

void PrintTo(const NotationCase& c, std::ostream* os)
{
    *os << c.name;
}

class NotationToRaw : public ::testing::TestWithParam<NotationCase> {};

TEST_P(NotationToRaw, StoresTheRawCharacters)
{
    EXPECT_EQ(NotationToSuffix(GetParam().notation), GetParam().raw);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Items, NotationToRaw,
    ::testing::Values(
        NotationCase{"Empty", "", ""}, NotationCase{"CrLf", "#13;#10", "\r\n"},
        NotationCase{"PlainLetters", "A;B", "AB"}, NotationCase{"LoneHash", "#", "#"},
        NotationCase{"HashHash", "##", "##"}, NotationCase{"HashNotANumber", "#x", "#x"},
        NotationCase{"HashNumberTail", "#1x", "#1x"}, NotationCase{"Wraps300", "#300", "\x2c"},
        NotationCase{"Wraps256ToNul", "#256", "\0"s}, NotationCase{"MinusOne", "#-1", "\xff"},
        NotationCase{"MinusTwoFiftySeven", "#-257", "\xff"},
        NotationCase{"HighByte", "#200", "\xc8"}, NotationCase{"Overflow", "#99999999999", "#99999999999"},
        NotationCase{"WordsStayWhole", "ab;cd", "abcd"},
        NotationCase{"BlanksAndControlsCut", "  A \t\r\n B ;; C ", "ABC"},
        NotationCase{"BlankWrittenAsCode", "A;#32;B", "A B"},
        NotationCase{"QuotedDelimiter", "\"a;b\"", "a;b"},
        NotationCase{"QuotedBlank", "\"a b\";#13", "a b\r"},
        NotationCase{"QuotedEscapes", "\"say \"\"hi\"\"\"", "say \"hi\""},
        NotationCase{"QuoteInsideWord", "a\"b", "a\"b"},
        NotationCase{"UnclosedQuote", "\"a;b", "a;b"},
        NotationCase{"ItemAfterClosingQuote", "\"a\"#66", "aB"},
        NotationCase{"QuotedCode", "\"#13\"", "\r"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SuffixToNotation, ShowsEveryCharacterAsItsCode)
{
    EXPECT_EQ(SuffixToNotation(""), "");
    EXPECT_EQ(SuffixToNotation("\r\n"), "#13;#10");
    EXPECT_EQ(SuffixToNotation("AB"), "#65;#66");
    EXPECT_EQ(SuffixToNotation("\xc8\0"s), "#200;#0");
}

TEST(SuffixNotation, EverySingleByteSurvivesBothWays)
{
    for (int code = 0; code < 256; ++code) {
        const std::string raw(1, static_cast<char>(code));
        const std::string notation = "#" + std::to_string(code);
        EXPECT_EQ(SuffixToNotation(raw), notation);
        EXPECT_EQ(NotationToSuffix(notation), raw) << notation;
    }
}

TEST(SuffixNotation, AllBytesInOneSuffixSurvive)
{
    std::string raw;
    for (int code = 255; code >= 0; --code)
        raw.push_back(static_cast<char>(code));
    EXPECT_EQ(NotationToSuffix(SuffixToNotation(raw)), raw);
}

} // namespace
