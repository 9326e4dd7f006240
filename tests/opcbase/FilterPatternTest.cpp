// The filter pattern language of BrowseOPCItemIDs.
#include "ItemPropIMPL.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

enum Outcome { Match, NoMatch, Invalid };

struct PatternCase {
    std::string text;
    std::string pattern;
    Outcome outcome;
};

std::ostream& operator<<(std::ostream& os, const PatternCase& c)
{
    return os << '"' << c.text << "\" ~ \"" << c.pattern << '"';
}

std::string Repeat(const std::string& piece, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += piece;
    return s;
}

class FilterPattern : public ::testing::TestWithParam<PatternCase> {};

TEST_P(FilterPattern, Decides)
{
    const PatternCase& c = GetParam();
    bool matches = true;
    const bool valid = MatchFilterPattern(c.text, c.pattern, matches);
    EXPECT_EQ(valid, c.outcome != Invalid);
    EXPECT_EQ(matches, c.outcome == Match);
    EXPECT_EQ(FilterPatternIsValid(c.pattern), valid);
}

INSTANTIATE_TEST_SUITE_P(
    WholeNamesAndLetterCase, FilterPattern,
    ::testing::Values(PatternCase{"Scale_COM3", "Scale_COM3", Match}, PatternCase{"scale_com3", "SCALE_COM3", Match},
                      PatternCase{"Scale_COM3", "Scale_COM", NoMatch}, PatternCase{"Scale_COM", "Scale_COM3", NoMatch},
                      PatternCase{"", "", Match}, PatternCase{"a", "", NoMatch}, PatternCase{"", "a", NoMatch},
                      PatternCase{"a]!-", "a]!-", Match},
                      // Only ASCII letters fold: Ä and ä differ.
                      PatternCase{"\xC3\x84", "\xC3\xA4", NoMatch}));

INSTANTIATE_TEST_SUITE_P(
    Stars, FilterPattern,
    ::testing::Values(PatternCase{"", "*", Match}, PatternCase{"Scale_COM3", "*", Match},
                      PatternCase{"Scale_COM3", "*_com3", Match}, PatternCase{"Scale_COM31", "*_COM3", NoMatch},
                      PatternCase{"Scale_COM3", "S*e_*3", Match}, PatternCase{"Scale_COM3", "S***3", Match},
                      PatternCase{"aXbYbZc", "a*b*c", Match}, PatternCase{"abcbc", "a*bc", Match},
                      PatternCase{"abcb", "a*bc", NoMatch}, PatternCase{"aaa", "*a*a*a", Match},
                      PatternCase{"aa", "*a*a*a", NoMatch}, PatternCase{"aab", "*ab", Match},
                      PatternCase{"mississippi", "*iss*ip*", Match}));

INSTANTIATE_TEST_SUITE_P(
    QuestionMarks, FilterPattern,
    ::testing::Values(PatternCase{"a", "?", Match}, PatternCase{"", "?", NoMatch}, PatternCase{"a", "??", NoMatch},
                      PatternCase{"a", "a?", NoMatch}, PatternCase{"", "?*", NoMatch},
                      // After a star a question mark counts for nothing.
                      PatternCase{"", "*?", Match}, PatternCase{"a", "*??", Match}, PatternCase{"a", "a*?", Match},
                      PatternCase{"x", "*?x", Match}, PatternCase{"", "*?*?", Match},
                      PatternCase{"ab", "?*?", Match}, PatternCase{"a", "?*?", Match}));

INSTANTIATE_TEST_SUITE_P(
    Sets, FilterPattern,
    ::testing::Values(PatternCase{"b", "[abc]", Match}, PatternCase{"d", "[abc]", NoMatch},
                      PatternCase{"Bx", "[a-c]x", Match}, PatternCase{"q", "[A-Z]", Match},
                      PatternCase{"d", "[!a-c]", Match}, PatternCase{"A", "[!a-c]", NoMatch},
                      PatternCase{"b", "[c-a]", NoMatch}, PatternCase{"x", "[c-ax]", Match},
                      PatternCase{"-", "[a-]", Match}, PatternCase{"a", "[a-]", Match},
                      PatternCase{"-", "[a-c-e]", Match}, PatternCase{"d", "[a-c-e]", NoMatch},
                      PatternCase{"*", "[*?[]", Match}, PatternCase{"a", "[*?[]", NoMatch},
                      PatternCase{"!", "[!!]", NoMatch}, PatternCase{"COM42", "COM[0-9][0-9]", Match},
                      PatternCase{"COM", "COM[0-9]", NoMatch}, PatternCase{"COM4a", "COM[0-9][0-9]", NoMatch}));

INSTANTIATE_TEST_SUITE_P(
    MultiByteCharacters, FilterPattern,
    ::testing::Values(PatternCase{"Waage_\xC2\xB5", "WAAGE_?", Match},           // 2 bytes, one character
                      PatternCase{"\xE2\x82\xAC", "?", Match},                   // 3 bytes
                      PatternCase{"\xF0\x9F\x98\x80", "?", Match},               // 4 bytes
                      PatternCase{"\xC3\xBC", "??", NoMatch},
                      PatternCase{"\xC3\xA9", "[\xC3\xA4-\xC3\xB6]", Match},      // by character code
                      PatternCase{"\xC3\xA9", "[!\xC3\xA9]", NoMatch},
                      PatternCase{"\xE9", "?", Match}));                         // a raw byte is one character

INSTANTIATE_TEST_SUITE_P(
    InvalidPatterns, FilterPattern,
    ::testing::Values(PatternCase{"a", "[", Invalid}, PatternCase{"a", "[]", Invalid}, PatternCase{"a", "[!]", Invalid},
                      PatternCase{"abc", "[abc", Invalid}, PatternCase{"-", "[-a]", Invalid},
                      PatternCase{"b", "[!-a]", Invalid}, PatternCase{"x", "x[", Invalid},
                      // Invalid whatever the name: the broken part need not be reached.
                      PatternCase{"zzz", "a[", Invalid}, PatternCase{"", "[]", Invalid},
                      PatternCase{"a", "[a-", Invalid}));

INSTANTIATE_TEST_SUITE_P(
    StarRunLimit, FilterPattern,
    ::testing::Values(PatternCase{Repeat("a", 30), Repeat("*a", 30), Match},
                      PatternCase{Repeat("a", 31), Repeat("*a", 31), Invalid},
                      PatternCase{"ab", "a" + Repeat("*", 40) + "b", Match},
                      // Runs are counted in the text of the pattern.
                      PatternCase{"", Repeat("*?", 30), Match}, PatternCase{"", Repeat("*?", 31), Invalid},
                      PatternCase{"[*]", "[*]" + Repeat("*a", 30), NoMatch}));

} // namespace
