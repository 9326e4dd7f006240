#include "EnumItemAtt.h"

#include "TaskMem.h"

#include <cstring>
#include <new>

namespace {

// Frees what a filled OPCITEMATTRIBUTES owns.
void ClearAttributes(OPCITEMATTRIBUTES& a)
{
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    VariantClear(&a.vEUInfo);
    std::memset(&a, 0, sizeof a);
}

} // namespace

TOPCItemAttEnumerator::TOPCItemAttEnumerator(std::vector<TOPCItemAttributes> records) : records_(std::move(records))
{
}

IEnumOPCItemAttributes* TOPCItemAttEnumerator::Create(const std::vector<TOPCItemAttributes>& records)
{
    try {
        auto* e = new TOPCItemAttEnumerator(records);
        e->AddRef();
        return e;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

HRESULT TOPCItemAttEnumerator::QueryInterfaceImpl(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IEnumOPCItemAttributes)
        return ComAnswer(static_cast<IEnumOPCItemAttributes*>(this), ppv);
    return E_NOINTERFACE;
}

HRESULT TOPCItemAttEnumerator::Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched)
{
    if (pceltFetched)
        *pceltFetched = 0;
    if (!ppItemArray)
        return E_INVALIDARG;
    *ppItemArray = nullptr;
    if (celt == 0)
        return S_FALSE;
    auto* out = static_cast<OPCITEMATTRIBUTES*>(CoTaskMemAlloc(std::size_t{celt} * sizeof(OPCITEMATTRIBUTES)));
    if (!out)
        return E_OUTOFMEMORY;
    std::memset(out, 0, std::size_t{celt} * sizeof(OPCITEMATTRIBUTES));
    ULONG filled = 0;
    while (filled < celt && cursor_ < records_.size()) {
        const TOPCItemAttributes& r = records_[cursor_];
        OPCITEMATTRIBUTES& a = out[filled];
        a.szAccessPath = CoTaskStrDupAnsi(r.accessPath);
        a.szItemID = CoTaskStrDupAnsi(r.itemId);
        if (!a.szAccessPath || !a.szItemID) {
            // Hand out nothing rather than a half-filled array; the cursor
            // stays where this call found it.
            for (ULONG i = 0; i <= filled; ++i)
                ClearAttributes(out[i]);
            CoTaskMemFree(out);
            cursor_ -= filled;
            return E_OUTOFMEMORY;
        }
        a.bActive = r.active;
        a.hClient = r.clientHandle;
        a.hServer = r.serverHandle;
        a.dwAccessRights = r.accessRights;
        a.dwBlobSize = 0;
        a.pBlob = nullptr;
        a.vtRequestedDataType = r.requestedType;
        a.vtCanonicalDataType = r.canonicalType;
        a.dwEUType = r.euType;
        VariantInit(&a.vEUInfo);
        a.vEUInfo.vt = VT_I4;
        a.vEUInfo.lVal = r.euInfo;
        ++filled;
        ++cursor_;
    }
    *ppItemArray = out;
    if (pceltFetched)
        *pceltFetched = filled;
    return filled == celt ? S_OK : S_FALSE;
}

HRESULT TOPCItemAttEnumerator::Skip(ULONG celt)
{
    const std::size_t target = std::size_t{cursor_} + celt;
    if (target > records_.size()) {
        cursor_ = static_cast<ULONG>(records_.size());
        return S_FALSE;
    }
    cursor_ = static_cast<ULONG>(target);
    return S_OK;
}

HRESULT TOPCItemAttEnumerator::Reset()
{
    cursor_ = 0;
    return S_OK;
}

HRESULT TOPCItemAttEnumerator::Clone(IEnumOPCItemAttributes** ppEnumItemAttributes)
{
    if (!ppEnumItemAttributes)
        return E_INVALIDARG;
    *ppEnumItemAttributes = Create(records_);
    return *ppEnumItemAttributes ? S_OK : E_UNEXPECTED;
}
