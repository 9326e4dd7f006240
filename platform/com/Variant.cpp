#include "Variant.h"

#include "SafeArray.h"

#include <cstring>

namespace {

VARTYPE baseType(VARTYPE vt) { return vt & VT_TYPEMASK; }

bool holdsInterface(VARTYPE vt)
{
    return !(vt & VT_BYREF) && !(vt & VT_ARRAY) && (vt == VT_DISPATCH || vt == VT_UNKNOWN);
}

} // namespace

bool VariantTypeIsValid(VARTYPE vt)
{
    if (vt & (VT_VECTOR | VT_RESERVED)) return false;
    const VARTYPE base = baseType(vt);
    if (!(base <= VT_DECIMAL || (base >= VT_I1 && base <= VT_UINT))) return false;
    if ((vt & (VT_BYREF | VT_ARRAY)) && base <= VT_NULL) return false;
    return true;
}

void VariantInit(VARIANT* v)
{
    if (v) std::memset(static_cast<void*>(v), 0, sizeof *v);
}

HRESULT VariantClear(VARIANT* v)
{
    if (!v) return E_INVALIDARG;
    if (!VariantTypeIsValid(v->vt)) return DISP_E_BADVARTYPE;
    if (!(v->vt & VT_BYREF)) {
        if (v->vt & VT_ARRAY) {
            const HRESULT h = SafeArrayDestroy(v->parray);
            if (FAILED(h)) return h;
            v->parray = nullptr;
        } else if (v->vt == VT_BSTR) {
            SysFreeString(v->bstrVal);
            v->bstrVal = nullptr;
        }
    }
    v->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src)
{
    if (!dest || !src) return E_INVALIDARG;
    if (!VariantTypeIsValid(src->vt) || holdsInterface(src->vt)) return DISP_E_BADVARTYPE;
    if (dest == src) return S_OK;

    VARIANT copy = *src;
    if (!(src->vt & VT_BYREF)) {
        if (src->vt & VT_ARRAY) {
            const HRESULT h = SafeArrayCopy(src->parray, &copy.parray);
            if (FAILED(h)) return h;
        } else if (src->vt == VT_BSTR && src->bstrVal) {
            copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
            if (!copy.bstrVal) return E_OUTOFMEMORY;
        }
    }
    const HRESULT h = VariantClear(dest);
    if (FAILED(h)) {
        VariantClear(&copy);
        return h;
    }
    *dest = copy;
    return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt)
{
    return VariantChangeTypeEx(dest, src, LOCALE_USER_DEFAULT, flags, vt);
}

Variant& Variant::operator=(Variant&& o) noexcept
{
    if (this != &o) {
        VariantClear(&v_);
        v_ = o.v_;
        VariantInit(&o.v_);
    }
    return *this;
}

Variant Variant::fromText(std::string_view ansi)
{
    Variant r;
    if (BSTR b = BstrFromAnsi(ansi)) {
        r.v_.vt = VT_BSTR;
        r.v_.bstrVal = b;
    }
    return r;
}

Variant Variant::fromUI1(BYTE b)
{
    Variant r;
    r.v_.vt = VT_UI1;
    r.v_.bVal = b;
    return r;
}

Variant Variant::fromI2(SHORT i)
{
    Variant r;
    r.v_.vt = VT_I2;
    r.v_.iVal = i;
    return r;
}

Variant Variant::fromI4(LONG i)
{
    Variant r;
    r.v_.vt = VT_I4;
    r.v_.lVal = i;
    return r;
}

Variant Variant::fromR8(DOUBLE d)
{
    Variant r;
    r.v_.vt = VT_R8;
    r.v_.dblVal = d;
    return r;
}

Variant Variant::fromBool(bool b)
{
    Variant r;
    r.v_.vt = VT_BOOL;
    r.v_.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
    return r;
}

std::string Variant::text() const
{
    if (v_.vt == VT_BSTR) return AnsiFromBstr(v_.bstrVal);
    Variant converted;
    if (FAILED(VariantChangeType(converted.get(), &v_, 0, VT_BSTR))) return {};
    return AnsiFromBstr(converted.v_.bstrVal);
}

HRESULT Variant::toInt(LONG& out) const
{
    Variant converted;
    const HRESULT h = VariantChangeType(converted.get(), &v_, 0, VT_I4);
    if (SUCCEEDED(h)) out = converted.v_.lVal;
    return h;
}
