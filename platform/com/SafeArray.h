#pragma once
// One-dimensional SAFEARRAY with the Windows header layout, enough for
// VT_ARRAY variants of scalars, BSTR and VARIANT elements. Element storage is
// owned by the array: SafeArrayDestroy frees every BSTR and clears every
// VARIANT it holds. Multi-dimensional arrays are not supported.
#include "ComTypes.h"
#include "HResult.h"
#include "Variant.h"

#include <cstddef>

struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};

struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;             // AccessData/Lock count; a locked array cannot be destroyed
    void* pvData;
    SAFEARRAYBOUND rgsabound[1];
};

constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_VARIANT = 0x0800;

// Element types accepted: VT_I1..VT_UI8, VT_INT, VT_UINT, VT_R4, VT_R8, VT_CY,
// VT_DATE, VT_BSTR, VT_BOOL, VT_ERROR, VT_DECIMAL and VT_VARIANT. Any other
// type, or no memory, gives null. Elements start zeroed (null BSTRs, VT_EMPTY).
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count);
// Frees the elements and the array. DISP_E_ARRAYISLOCKED (nothing freed)
// while locked; null is allowed.
HRESULT SafeArrayDestroy(SAFEARRAY* psa);
// Deep copy into *out (null on failure, nothing leaked).
HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out);

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt);
UINT SafeArrayGetDim(SAFEARRAY* psa);
UINT SafeArrayGetElemsize(SAFEARRAY* psa);
HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* lowerBound); // dim is 1
HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* upperBound);

// Lock/Unlock pair up, as do AccessData/UnaccessData (which also lock).
HRESULT SafeArrayLock(SAFEARRAY* psa);
HRESULT SafeArrayUnlock(SAFEARRAY* psa);
HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* psa);

// Element access by index (one index, lower bound included). As on Windows,
// for VT_BSTR arrays PutElement takes the BSTR itself as `in` and stores a
// copy; for VT_VARIANT it takes a VARIANT* and stores a copy; otherwise `in`
// points to the value. GetElement writes a new copy the caller owns (a BSTR,
// or a VARIANT that it initialises first). DISP_E_BADINDEX out of range.
HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* index, void* out);
HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* index, void* in);

// Arrays created and not yet destroyed, process-wide (for leak checks in tests).
std::size_t LiveSafeArrayCount();
