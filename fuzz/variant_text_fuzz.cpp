// Feeds arbitrary text to VariantChangeTypeEx for every scalar target type.
// Besides memory errors it checks: a failure leaves the destination as it
// was; a success gives the requested type; integers, currency and decimals
// survive a trip to text and back; no BSTR is left alive.
#include "Bstr.h"
#include "Variant.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr VARTYPE kTargets[] = {VT_EMPTY, VT_NULL, VT_I1, VT_I2, VT_I4, VT_I8, VT_INT, VT_UI1, VT_UI2,
    VT_UI4, VT_UI8, VT_UINT, VT_R4, VT_R8, VT_CY, VT_DATE, VT_BSTR, VT_BOOL, VT_DECIMAL, VT_ERROR};

void check(bool ok)
{
    if (!ok) std::abort();
}

bool exactType(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT: case VT_UI1: case VT_UI2:
    case VT_UI4: case VT_UI8: case VT_UINT: case VT_CY: case VT_BOOL:
        return true;
    default:
        return false;
    }
}

std::string textOf(const VARIANT& v)
{
    VARIANT text{};
    check(VariantChangeTypeEx(&text, &v, LOCALE_USER_DEFAULT, 0, VT_BSTR) == S_OK);
    std::string out = AnsiFromBstr(text.bstrVal);
    VariantClear(&text);
    return out;
}

bool sameValue(const VARIANT& a, const VARIANT& b)
{
    if (a.vt != b.vt) return false;
    if (a.vt == VT_DECIMAL) return textOf(a) == textOf(b); // equal values may differ in scale
    return std::memcmp(&a.llVal, &b.llVal, sizeof a.llVal) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::size_t live = LiveBstrCount();
    {
        Variant src = Variant::fromText(std::string_view(reinterpret_cast<const char*>(data), size));
        for (VARTYPE vt : kTargets) {
            for (USHORT flags : {USHORT(0), VARIANT_ALPHABOOL}) {
                VARIANT dest{};
                dest.vt = VT_I4;
                dest.lVal = 12345;
                const HRESULT h = VariantChangeTypeEx(&dest, src.get(), LOCALE_USER_DEFAULT, flags, vt);
                if (FAILED(h)) {
                    check(h == DISP_E_TYPEMISMATCH || h == DISP_E_OVERFLOW);
                    check(dest.vt == VT_I4 && dest.lVal == 12345);
                    continue;
                }
                check(dest.vt == vt);
                if (exactType(vt) || vt == VT_DECIMAL) {
                    VARIANT text{}, back{};
                    check(VariantChangeTypeEx(&text, &dest, LOCALE_USER_DEFAULT, flags, VT_BSTR) == S_OK);
                    check(VariantChangeTypeEx(&back, &text, LOCALE_USER_DEFAULT, flags, vt) == S_OK);
                    check(sameValue(dest, back));
                    VariantClear(&text);
                    VariantClear(&back);
                }
                check(VariantClear(&dest) == S_OK);
            }
        }
    }
    check(LiveBstrCount() == live);
    return 0;
}
