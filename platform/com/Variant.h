#pragma once
// VARIANT with the layout and semantics of OLE Automation for the scalar types
// OPC uses (VT_EMPTY..VT_UI8, VT_INT, VT_UINT) and VT_ARRAY of those, plus the
// conversion VariantChangeTypeEx gives on Windows.
#include "Bstr.h"
#include "ComTypes.h"
#include "HResult.h"

#include <string>

enum VARENUM : VARTYPE {
    VT_EMPTY = 0, VT_NULL = 1, VT_I2 = 2, VT_I4 = 3, VT_R4 = 4, VT_R8 = 5, VT_CY = 6,
    VT_DATE = 7, VT_BSTR = 8, VT_DISPATCH = 9, VT_ERROR = 10, VT_BOOL = 11,
    VT_VARIANT = 12, VT_UNKNOWN = 13, VT_DECIMAL = 14, VT_I1 = 16, VT_UI1 = 17,
    VT_UI2 = 18, VT_UI4 = 19, VT_I8 = 20, VT_UI8 = 21, VT_INT = 22, VT_UINT = 23,
    VT_VOID = 24, VT_HRESULT = 25, VT_CLSID = 72,
    VT_VECTOR = 0x1000, VT_ARRAY = 0x2000, VT_BYREF = 0x4000, VT_RESERVED = 0x8000,
    VT_TYPEMASK = 0x0FFF,
};

struct SAFEARRAY; // see SafeArray.h (one-dimensional arrays of scalars)

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        SAFEARRAY* parray;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        VARIANT* pvarVal;
        void* byref;
    };
    // VT_DECIMAL overlays the whole 16 bytes, as on Windows.
};
using VARIANTARG = VARIANT;
static_assert(sizeof(VARIANT) == 16, "VARIANT must keep the Windows layout");

inline DECIMAL& DecimalOf(VARIANT& v) { return *reinterpret_cast<DECIMAL*>(&v); }
inline const DECIMAL& DecimalOf(const VARIANT& v) { return *reinterpret_cast<const DECIMAL*>(&v); }

// A VARTYPE a VARIANT may hold here: VT_EMPTY..VT_DECIMAL and VT_I1..VT_UINT,
// alone, with VT_ARRAY or with VT_BYREF (not VT_EMPTY or VT_NULL with either
// flag). VT_VECTOR, VT_RESERVED and every other code are not valid.
bool VariantTypeIsValid(VARTYPE vt);

void VariantInit(VARIANT* v);                            // all 16 bytes zero, VT_EMPTY
// Frees the BSTR or array the variant owns and sets VT_EMPTY; a by-reference
// value is not freed. DISP_E_BADVARTYPE for an invalid type and
// DISP_E_ARRAYISLOCKED for a locked array leave the variant as it was.
// This layer never stores interface pointers in variants: VT_DISPATCH and
// VT_UNKNOWN are dropped without a Release.
HRESULT VariantClear(VARIANT* v);
// Deep copy (BSTR and array duplicated, by-reference values copied as the
// pointer). The copy is made before dest is cleared, so on failure dest is
// unchanged and nothing leaks. VT_DISPATCH and VT_UNKNOWN give DISP_E_BADVARTYPE.
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);

// Flags of VariantChangeTypeEx.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;
constexpr USHORT VARIANT_NOUSEROVERRIDE = 0x04;
constexpr USHORT VARIANT_LOCALBOOL = 0x10;

// Converts src to type vt into dest (dest may equal src). On failure dest is
// left unchanged (or VT_EMPTY when dest == src is not touched) and the result
// is DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW or DISP_E_BADVARTYPE as on Windows.
// The locale is taken as en-US for every LCID.
HRESULT VariantChangeTypeEx(VARIANT* dest, const VARIANT* src, LCID lcid, USHORT flags, VARTYPE vt);
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// RAII holder: a VARIANT cleared on scope exit.
class Variant {
public:
    Variant() { VariantInit(&v_); }
    Variant(const Variant& o) { VariantInit(&v_); VariantCopy(&v_, &o.v_); }
    Variant& operator=(const Variant& o) { if (this != &o) VariantCopy(&v_, &o.v_); return *this; }
    Variant(Variant&& o) noexcept : v_(o.v_) { VariantInit(&o.v_); }
    Variant& operator=(Variant&& o) noexcept;
    ~Variant() { VariantClear(&v_); }

    static Variant fromText(std::string_view ansi);   // VT_BSTR (VT_EMPTY if out of memory)
    static Variant fromUI1(BYTE b);
    static Variant fromI2(SHORT i);
    static Variant fromI4(LONG i);
    static Variant fromR8(DOUBLE d);
    static Variant fromBool(bool b);                  // VT_BOOL, true = -1

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARTYPE type() const { return v_.vt; }

    // The value as its ordinary text (VariantChangeType to VT_BSTR); empty when
    // it has no text form.
    std::string text() const;
    // The value as a 32-bit integer (VariantChangeType to VT_I4).
    HRESULT toInt(LONG& out) const;
private:
    VARIANT v_;
};
