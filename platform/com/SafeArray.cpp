#include "SafeArray.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

// The element type is kept in front of the header, where Windows keeps it
// for arrays with FADF_HAVEVARTYPE, so the header itself has the Windows layout.

namespace {

struct Block {
    VARTYPE vt;
    SAFEARRAY array;
};

std::atomic<std::size_t> liveArrays{0};

Block* blockOf(SAFEARRAY* psa)
{
    return reinterpret_cast<Block*>(reinterpret_cast<unsigned char*>(psa) - offsetof(Block, array));
}

ULONG elementSize(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_INT: case VT_UINT: case VT_R4: case VT_ERROR: return 4;
    case VT_I8: case VT_UI8: case VT_R8: case VT_CY: case VT_DATE: return 8;
    case VT_BSTR: return sizeof(BSTR);
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

unsigned char* elementAt(SAFEARRAY* psa, ULONG i)
{
    return static_cast<unsigned char*>(psa->pvData) + std::size_t(i) * psa->cbElements;
}

// Position of an index within the array, or false when out of range.
bool offsetOf(SAFEARRAY* psa, const LONG* index, ULONG* pos)
{
    if (!index) return false;
    const long long rel = static_cast<long long>(*index) - psa->rgsabound[0].lLbound;
    if (rel < 0 || rel >= static_cast<long long>(psa->rgsabound[0].cElements)) return false;
    *pos = static_cast<ULONG>(rel);
    return true;
}

void releaseElements(SAFEARRAY* psa, VARTYPE vt)
{
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        if (vt == VT_BSTR) {
            BSTR* s = reinterpret_cast<BSTR*>(elementAt(psa, i));
            SysFreeString(*s);
            *s = nullptr;
        } else if (vt == VT_VARIANT) {
            VariantClear(reinterpret_cast<VARIANT*>(elementAt(psa, i)));
        }
    }
}

} // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG count)
{
    const ULONG size = elementSize(vt);
    if (size == 0) return nullptr;
    auto* block = new (std::nothrow) Block{};
    if (!block) return nullptr;
    // calloc gives null BSTRs and VT_EMPTY variants without a pass.
    void* data = count ? std::calloc(count, size) : nullptr;
    if (count && !data) {
        delete block;
        return nullptr;
    }
    block->vt = vt;
    SAFEARRAY& sa = block->array;
    sa.cDims = 1;
    sa.fFeatures = FADF_HAVEVARTYPE | (vt == VT_BSTR ? FADF_BSTR : 0) | (vt == VT_VARIANT ? FADF_VARIANT : 0);
    sa.cbElements = size;
    sa.cLocks = 0;
    sa.pvData = data;
    sa.rgsabound[0] = {count, lowerBound};
    liveArrays.fetch_add(1, std::memory_order_relaxed);
    return &sa;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa)
{
    if (!psa) return S_OK;
    if (psa->cLocks > 0) return DISP_E_ARRAYISLOCKED;
    Block* block = blockOf(psa);
    releaseElements(psa, block->vt);
    std::free(psa->pvData);
    delete block;
    liveArrays.fetch_sub(1, std::memory_order_relaxed);
    return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** out)
{
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!psa) return S_OK;
    const VARTYPE vt = blockOf(psa)->vt;
    SAFEARRAY* copy = SafeArrayCreateVector(vt, psa->rgsabound[0].lLbound, psa->rgsabound[0].cElements);
    if (!copy) return E_OUTOFMEMORY;
    for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i) {
        HRESULT h = S_OK;
        if (vt == VT_BSTR) {
            const BSTR src = *reinterpret_cast<BSTR*>(elementAt(psa, i));
            if (src) {
                BSTR dup = SysAllocStringLen(src, SysStringLen(src));
                if (!dup) h = E_OUTOFMEMORY;
                *reinterpret_cast<BSTR*>(elementAt(copy, i)) = dup;
            }
        } else if (vt == VT_VARIANT) {
            h = VariantCopy(reinterpret_cast<VARIANT*>(elementAt(copy, i)),
                            reinterpret_cast<const VARIANT*>(elementAt(psa, i)));
        } else {
            std::memcpy(elementAt(copy, i), elementAt(psa, i), psa->cbElements);
        }
        if (FAILED(h)) {
            SafeArrayDestroy(copy);
            return h;
        }
    }
    *out = copy;
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* vt)
{
    if (!psa || !vt) return E_INVALIDARG;
    *vt = blockOf(psa)->vt;
    return S_OK;
}

UINT SafeArrayGetDim(SAFEARRAY* psa)
{
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa)
{
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT dim, LONG* lowerBound)
{
    if (!psa || !lowerBound) return E_INVALIDARG;
    if (dim != 1) return DISP_E_BADINDEX;
    *lowerBound = psa->rgsabound[0].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT dim, LONG* upperBound)
{
    if (!psa || !upperBound) return E_INVALIDARG;
    if (dim != 1) return DISP_E_BADINDEX;
    *upperBound = static_cast<LONG>(static_cast<long long>(psa->rgsabound[0].lLbound) + psa->rgsabound[0].cElements - 1);
    return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    ++psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa)
{
    if (!psa) return E_INVALIDARG;
    if (psa->cLocks == 0) return E_UNEXPECTED;
    --psa->cLocks;
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** data)
{
    if (!psa || !data) return E_INVALIDARG;
    ++psa->cLocks;
    *data = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa)
{
    return SafeArrayUnlock(psa);
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, const LONG* index, void* out)
{
    if (!psa || !out) return E_INVALIDARG;
    ULONG pos = 0;
    if (!offsetOf(psa, index, &pos)) return DISP_E_BADINDEX;
    const VARTYPE vt = blockOf(psa)->vt;
    if (vt == VT_BSTR) {
        const BSTR src = *reinterpret_cast<BSTR*>(elementAt(psa, pos));
        BSTR dup = nullptr;
        if (src && !(dup = SysAllocStringLen(src, SysStringLen(src)))) return E_OUTOFMEMORY;
        *static_cast<BSTR*>(out) = dup;
        return S_OK;
    }
    if (vt == VT_VARIANT) {
        auto* dest = static_cast<VARIANT*>(out);
        VariantInit(dest);
        return VariantCopy(dest, reinterpret_cast<const VARIANT*>(elementAt(psa, pos)));
    }
    std::memcpy(out, elementAt(psa, pos), psa->cbElements);
    return S_OK;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, const LONG* index, void* in)
{
    if (!psa) return E_INVALIDARG;
    ULONG pos = 0;
    if (!offsetOf(psa, index, &pos)) return DISP_E_BADINDEX;
    const VARTYPE vt = blockOf(psa)->vt;
    if (vt == VT_BSTR) {
        const auto src = static_cast<BSTR>(in);
        BSTR dup = nullptr;
        if (src && !(dup = SysAllocStringLen(src, SysStringLen(src)))) return E_OUTOFMEMORY;
        BSTR* slot = reinterpret_cast<BSTR*>(elementAt(psa, pos));
        SysFreeString(*slot);
        *slot = dup;
        return S_OK;
    }
    if (!in) return E_INVALIDARG;
    if (vt == VT_VARIANT)
        return VariantCopy(reinterpret_cast<VARIANT*>(elementAt(psa, pos)), static_cast<const VARIANT*>(in));
    std::memcpy(elementAt(psa, pos), in, psa->cbElements);
    return S_OK;
}

std::size_t LiveSafeArrayCount()
{
    return liveArrays.load(std::memory_order_relaxed);
}
