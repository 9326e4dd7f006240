#pragma once
// GUIDs (interface and class identifiers) with the Windows layout.
#include "ComTypes.h"

#include <optional>
#include <string>
#include <string_view>

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using CATID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

bool operator==(const GUID& a, const GUID& b);
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
inline bool IsEqualIID(REFIID a, REFIID b) { return a == b; }

// "{6E39D8AB-9993-4038-B4F0-5EA9DED4CFD8}": upper case, with braces.
std::string GuidToString(REFGUID g);
// Accepts the form above with or without braces, any case; nullopt otherwise.
std::optional<GUID> GuidFromString(std::string_view text);

// A GUID from its text at compile time, for the constants below.
constexpr GUID MakeGuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, std::uint8_t b0, std::uint8_t b1,
                        std::uint8_t b2, std::uint8_t b3, std::uint8_t b4, std::uint8_t b5, std::uint8_t b6,
                        std::uint8_t b7)
{
    return GUID{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}

inline constexpr GUID GUID_NULL = MakeGuid(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
inline constexpr IID IID_IUnknown = MakeGuid(0x00000000, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
inline constexpr IID IID_IClassFactory = MakeGuid(0x00000001, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
inline constexpr IID IID_IEnumUnknown = MakeGuid(0x00000100, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
inline constexpr IID IID_IEnumString = MakeGuid(0x00000101, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
inline constexpr IID IID_IEnumGUID = MakeGuid(0x0002E000, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
inline constexpr IID IID_IConnectionPointContainer =
    MakeGuid(0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
inline constexpr IID IID_IEnumConnectionPoints =
    MakeGuid(0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
inline constexpr IID IID_IConnectionPoint =
    MakeGuid(0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
inline constexpr IID IID_IEnumConnections =
    MakeGuid(0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07);
