#include "EnumString.h"

#include "OpcError.h"
#include "TaskMem.h"

#include <new>

TOPCStringsEnumerator::TOPCStringsEnumerator(std::vector<std::string> texts) : texts_(std::move(texts)) {}

HRESULT TOPCStringsEnumerator::QueryInterfaceImpl(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IEnumString)
        return ComAnswer(static_cast<IEnumString*>(this), ppv);
    return E_NOINTERFACE;
}

HRESULT TOPCStringsEnumerator::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched)
{
    if (celt < 1)
        return RPC_X_ENUM_VALUE_OUT_OF_RANGE_CODE;
    if (!pceltFetched || !rgelt)
        return E_INVALIDARG;
    ULONG fetched = 0;
    while (fetched < celt && position_ + fetched < texts_.size()) {
        LPOLESTR copy = CoTaskStrDupAnsi(texts_[position_ + fetched]);
        if (!copy) {
            // Nothing is handed out half-way: take back this call's strings.
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(rgelt[i]);
                rgelt[i] = nullptr;
            }
            *pceltFetched = 0;
            return E_OUTOFMEMORY;
        }
        rgelt[fetched++] = copy;
    }
    position_ += fetched;
    *pceltFetched = fetched;
    return fetched == celt ? S_OK : RPC_X_ENUM_VALUE_OUT_OF_RANGE_CODE;
}

HRESULT TOPCStringsEnumerator::Skip(ULONG celt)
{
    if (position_ + celt <= texts_.size()) {
        position_ += celt;
        return S_OK;
    }
    position_ = texts_.size();
    return S_FALSE;
}

HRESULT TOPCStringsEnumerator::Reset()
{
    position_ = 0;
    return S_OK;
}

HRESULT TOPCStringsEnumerator::Clone(IEnumString** ppenum)
{
    if (!ppenum)
        return E_INVALIDARG;
    *ppenum = nullptr;
    IEnumString* copy = CreateStringsEnumerator(texts_);
    if (!copy)
        return E_UNEXPECTED;
    *ppenum = copy;
    return S_OK;
}

IEnumString* CreateStringsEnumerator(const std::vector<std::string>& texts)
{
    try {
        auto* e = new TOPCStringsEnumerator(texts);
        e->AddRef();
        return e;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
