// Result texts of GetErrorString.
#include "OPCErrorStrings.h"
#include "OpcError.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct CodeText {
    std::uint32_t code;
    const char* text;
};

// Clients show these texts to operators; they must stay exactly as published,
// including the spelling "acknowleged".
constexpr CodeText kOpcCodes[] = {
    {0xC0040001, "The value of the handle is invalid."},
    {0xC0040004, "The server cannot convert the data between the requested data type and the canonical data type."},
    {0xC0040005, "The requested operation cannot be done on a public group."},
    {0xC0040006, "The Items AccessRights do not allow the operation."},
    {0xC0040007, "The item is no longer available in the server address space."},
    {0xC0040008, "The item definition does not conform to the server's syntax."},
    {0xC0040009, "The filter string was not valid."},
    {0xC004000A, "The item's access path is not known to the server."},
    {0xC004000B, "The value was out of range."},
    {0xC004000C, "Duplicate name not allowed."},
    {0x0004000D, "The server does not support the requested data rate but will use the closest available rate."},
    {0x0004000E, "A value passed to WRITE was accepted but the output was clamped."},
    {0x0004000F, "The operation cannot be completed because the object still has references that exist."},
    {0xC0040010, "The server's configuration file is an invalid format."},
    {0xC0040011, "The server could not locate the requested object."},
    {0x00040200, "The condition has already been acknowleged."},
    {0x00040201, "The buffer time parameter was invalid."},
    {0x00040202, "The max size parameter was invalid."},
    {0xC0040203, "The server does not recognise the passed property ID."},
    {0xC0040204, "The time does not match the latest active time."},
    {0xC0040205, "A refresh is currently in progress."},
    {0xC0040206, "Information is not available."},
};

constexpr CodeText kSystemCodes[] = {
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x8007000E, "Not enough memory resources are available to complete this operation"},
    {0x80070057, "The parameter is incorrect"},
    {0x80020005, "Type mismatch"},
    {0x8002000A, "Out of present range"},
    {0x000006F5, "The enumeration value is out of range"},
    {0x800706F5, "The enumeration value is out of range"},
};

class OpcCodeText : public ::testing::TestWithParam<CodeText> {};
TEST_P(OpcCodeText, IsTheTableText) { EXPECT_EQ(ResultText(hr(GetParam().code)), GetParam().text); }
INSTANTIATE_TEST_SUITE_P(AllOpcCodes, OpcCodeText, ::testing::ValuesIn(kOpcCodes));

class SystemCodeText : public ::testing::TestWithParam<CodeText> {};
TEST_P(SystemCodeText, IsTheSystemTextWithoutItsEnd)
{
    const std::string text = ResultText(hr(GetParam().code));
    EXPECT_EQ(text, GetParam().text);
    EXPECT_EQ(TrimMessageEnd(text), text);
}
INSTANTIATE_TEST_SUITE_P(PlatformCodes, SystemCodeText, ::testing::ValuesIn(kSystemCodes));

TEST(ResultText, CodesWithoutTextGiveTheEmptyText)
{
    // Gaps in the OPC range, an OPC success code with error severity, vendor
    // codes and codes nobody defines have no text of their own.
    for (std::uint32_t code : {0xC0040002u, 0xC0040003u, 0xC004000Du, 0xC0040012u, 0x00040203u, 0x8004000Du,
                               0x40040001u, 0xC0048000u, 0x12345678u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(ResultText(hr(code)), "");
    }
}

struct TrimCase {
    const char* raw;
    const char* trimmed;
};

class MessageEnd : public ::testing::TestWithParam<TrimCase> {};
TEST_P(MessageEnd, LosesControlCharactersBlanksAndFullStops)
{
    EXPECT_EQ(TrimMessageEnd(GetParam().raw), GetParam().trimmed);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, MessageEnd,
    ::testing::Values(TrimCase{"The parameter is incorrect.\r\n", "The parameter is incorrect"},
                      TrimCase{"Done . .\t\n", "Done"}, TrimCase{"Ends here\x01\x1F", "Ends here"},
                      TrimCase{"...\r\n", ""}, TrimCase{"", ""}, TrimCase{"v1.2 ok", "v1.2 ok"},
                      TrimCase{"Stop!\n", "Stop!"},
                      // Bytes of a multi-byte character are not control characters.
                      TrimCase{"\xC3\x96.\r\n", "\xC3\x96"},
                      TrimCase{"\xE2\x80\xA6.", "\xE2\x80\xA6"}));

} // namespace
