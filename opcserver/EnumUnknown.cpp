#include "EnumUnknown.h"

#include "OpcError.h"

#include <algorithm>
#include <new>

TMRDUnknownEnumerator::TMRDUnknownEnumerator(std::vector<IUnknown*> takenOver) : items_(std::move(takenOver))
{
    // A null element carries no reference and would hand out nothing.
    items_.erase(std::remove(items_.begin(), items_.end(), nullptr), items_.end());
}

TMRDUnknownEnumerator::~TMRDUnknownEnumerator()
{
    for (IUnknown* item : items_)
        item->Release();
}

HRESULT TMRDUnknownEnumerator::QueryInterfaceImpl(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IEnumUnknown)
        return ComAnswer(static_cast<IEnumUnknown*>(this), ppv);
    return E_NOINTERFACE;
}

HRESULT TMRDUnknownEnumerator::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched)
{
    if (celt < 1)
        return S_FALSE;
    if (!pceltFetched || !rgelt)
        return E_INVALIDARG;
    ULONG fetched = 0;
    while (fetched < celt && position_ < items_.size()) {
        IUnknown* item = items_[position_++];
        item->AddRef();
        rgelt[fetched++] = item;
    }
    *pceltFetched = fetched;
    return fetched == celt ? S_OK : RPC_X_ENUM_VALUE_OUT_OF_RANGE_CODE;
}

HRESULT TMRDUnknownEnumerator::Skip(ULONG celt)
{
    if (position_ + celt <= items_.size()) {
        position_ += celt;
        return S_OK;
    }
    position_ = items_.size();
    return S_FALSE;
}

HRESULT TMRDUnknownEnumerator::Reset()
{
    position_ = 0;
    return S_OK;
}

HRESULT TMRDUnknownEnumerator::Clone(IEnumUnknown** ppenum)
{
    if (!ppenum)
        return E_INVALIDARG;
    *ppenum = nullptr;
    std::vector<IUnknown*> copy;
    try {
        copy = items_;
    } catch (const std::bad_alloc&) {
        return E_UNEXPECTED;
    }
    for (IUnknown* item : copy)
        item->AddRef();
    IEnumUnknown* clone = CreateUnknownEnumerator(std::move(copy));
    if (!clone)
        return E_UNEXPECTED;
    *ppenum = clone;
    return S_OK;
}

IEnumUnknown* CreateUnknownEnumerator(std::vector<IUnknown*> takenOver)
{
    try {
        auto* e = new TMRDUnknownEnumerator(std::move(takenOver));
        e->AddRef();
        return e;
    } catch (const std::bad_alloc&) {
        // The enumerator was not made: give back the references it was to keep.
        for (IUnknown* item : takenOver)
            if (item)
                item->Release();
        return nullptr;
    }
}
