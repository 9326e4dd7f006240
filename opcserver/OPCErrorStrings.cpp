#include "OPCErrorStrings.h"

#include "OpcError.h"

#include <cstdint>

namespace {

struct CodeText {
    std::uint32_t code;
    const char* text;
};

// OPC codes keep their texts exactly, full stops and spelling included; the
// requested locale is not looked at.
constexpr CodeText kOpcTexts[] = {
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

// The English system message texts of the platform codes the server returns,
// each already in the form TrimMessageEnd leaves (no final full stop or line
// break). A Win32 error
// is listed both as its plain number and as its HRESULT (facility 7), as the
// system finds either. Codes not listed have no system text.
constexpr CodeText kSystemTexts[] = {
    {0x00000000, "The operation completed successfully"},
    {0x00000001, "Incorrect function"},
    {0x0000000E, "Not enough memory resources are available to complete this operation"},
    {0x00000057, "The parameter is incorrect"},
    {0x000006F5, "The enumeration value is out of range"},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x8007000E, "Not enough memory resources are available to complete this operation"},
    {0x80070057, "The parameter is incorrect"},
    {0x800706F5, "The enumeration value is out of range"},
    {0x80010108, "The object invoked has disconnected from its clients"},
    {0x80020005, "Type mismatch"},
    {0x80020008, "Bad variable type"},
    {0x8002000A, "Out of present range"},
};

const char* Find(const CodeText* begin, const CodeText* end, HRESULT code)
{
    const auto key = static_cast<std::uint32_t>(code);
    for (const CodeText* e = begin; e != end; ++e)
        if (e->code == key)
            return e->text;
    return nullptr;
}

} // namespace

std::string TrimMessageEnd(std::string_view text)
{
    std::size_t end = text.size();
    while (end > 0) {
        const auto c = static_cast<unsigned char>(text[end - 1]);
        if (c >= 33 && c != '.')
            break;
        --end;
    }
    return std::string(text.substr(0, end));
}

std::string ResultText(HRESULT code)
{
    if (const char* text = Find(std::begin(kOpcTexts), std::end(kOpcTexts), code))
        return text;
    if (const char* text = Find(std::begin(kSystemTexts), std::end(kSystemTexts), code))
        return text;
    return {};
}
