// TOPCGroup: IOPCItemMgt.
//
// Every method allocates its per-item arrays before it touches the group, so
// that a failed allocation changes nothing; entries are then handled in
// array order and a failed entry never stops the others (S_FALSE overall).
#include "GroupUnit.h"

#include "EnumItemAtt.h"
#include "Globals.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TaskArrays.h"

#include <new>

namespace {

// The two output arrays of an item method; both or neither reach the client.
struct ItemResultArrays {
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    bool Allocate(DWORD count, bool withResults)
    {
        errors = TaskArray<HRESULT>(count);
        if (withResults)
            results = TaskArray<OPCITEMRESULT>(count);
        if (!errors || (withResults && !results)) {
            CoTaskMemFree(errors);
            CoTaskMemFree(results);
            errors = nullptr;
            results = nullptr;
            return false;
        }
        return true;
    }
};

void ClearOut(OPCITEMRESULT** results, HRESULT** errors)
{
    if (results)
        *results = nullptr;
    if (errors)
        *errors = nullptr;
}

bool HasItemId(const OPCITEMDEF& def) { return def.szItemID && def.szItemID[0]; }

} // namespace

HRESULT TOPCGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors)
{
    ClearOut(ppAddResults, ppErrors);
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (dwCount == 0 || !pItemArray || !ppAddResults || !ppErrors)
        return E_INVALIDARG;
    ItemResultArrays out;
    if (!out.Allocate(dwCount, true))
        return E_OUTOFMEMORY;
    TTagTable* tags = TheOpcContext().tags;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMDEF& def = pItemArray[i];
        HRESULT e = S_OK;
        if (!HasItemId(def)) {
            e = OPC_E_INVALIDITEMID;
        } else {
            std::string id = AnsiFromWide(def.szItemID);
            const std::uint32_t handle = tags ? tags->HandleOfName(id) : 0;
            if (handle == 0) {
                e = OPC_E_UNKNOWNITEMID;
            } else if (!TTagTable::RequestedTypeSupported(def.vtRequestedDataType)) {
                e = OPC_E_BADTYPE;
            } else {
                try {
                    const VARTYPE canonical = tags->CanonicalTypeOfHandle(handle);
                    auto item = std::make_unique<TOPCItem>(
                        NextItemServerHandle(), def.hClient, static_cast<int>(handle - TTagTable::kFirstHandle),
                        std::move(id), tags->AccessRightsOfHandle(handle), canonical);
                    item->SetActive(def.bActive);
                    item->SetRequestedType(def.vtRequestedDataType);
                    OPCITEMRESULT& r = out.results[i];
                    r.hServer = item->ServerHandle();
                    r.vtCanonicalDataType = canonical;
                    r.dwAccessRights = item->AccessRights();
                    r.dwBlobSize = 0;
                    r.pBlob = nullptr;
                    items_.push_back(std::move(item));
                } catch (const std::bad_alloc&) {
                    out.results[i] = OPCITEMRESULT{};
                    e = E_OUTOFMEMORY;
                }
            }
        }
        out.errors[i] = e;
        if (FAILED(e))
            result = S_FALSE;
    }
    *ppAddResults = out.results;
    *ppErrors = out.errors;
    return result;
}

HRESULT TOPCGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL, OPCITEMRESULT** ppValidationResults,
                                 HRESULT** ppErrors)
{
    ClearOut(ppValidationResults, ppErrors);
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (dwCount == 0 || !pItemArray || !ppValidationResults || !ppErrors)
        return E_INVALIDARG;
    ItemResultArrays out;
    if (!out.Allocate(dwCount, true))
        return E_OUTOFMEMORY;
    const TTagTable* tags = TheOpcContext().tags;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMDEF& def = pItemArray[i];
        HRESULT e = S_OK;
        std::uint32_t handle = 0;
        if (!HasItemId(def))
            e = OPC_E_INVALIDITEMID;
        else if (!TTagTable::RequestedTypeSupported(def.vtRequestedDataType))
            e = OPC_E_BADTYPE;
        else if ((handle = tags ? tags->HandleOfName(AnsiFromWide(def.szItemID)) : 0) == 0)
            e = OPC_E_INVALIDITEMID;
        if (e == S_OK) {
            OPCITEMRESULT& r = out.results[i];
            r.vtCanonicalDataType = tags->CanonicalTypeOfHandle(handle);
            r.dwAccessRights = tags->AccessRightsOfHandle(handle) ? (OPC_READABLE | OPC_WRITEABLE) : OPC_READABLE;
        } else {
            result = S_FALSE;
        }
        out.errors[i] = e;
    }
    *ppValidationResults = out.results;
    *ppErrors = out.errors;
    return result;
}

HRESULT TOPCGroup::forEachItemHandle(DWORD dwCount, const OPCHANDLE* phServer, bool argsGiven, HRESULT** ppErrors,
                                     const std::function<HRESULT(std::size_t index, DWORD entry)>& apply)
{
    ClearOut(nullptr, ppErrors);
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (dwCount == 0 || !phServer || !argsGiven || !ppErrors)
        return E_INVALIDARG;
    ItemResultArrays out;
    if (!out.Allocate(dwCount, false))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const int index = findItem(phServer[i]);
        const HRESULT e = index < 0 ? OPC_E_INVALIDHANDLE : apply(static_cast<std::size_t>(index), i);
        out.errors[i] = e;
        if (FAILED(e))
            result = S_FALSE;
    }
    *ppErrors = out.errors;
    return result;
}

HRESULT TOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, true, ppErrors, [this](std::size_t index, DWORD) {
        // An item removed from inside a callback may have lent its text to
        // that callback's arrays: it goes when the pass is over.
        if (inQueuePass_)
            retired_.push_back(std::move(items_[index]));
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
        return S_OK;
    });
}

HRESULT TOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, true, ppErrors, [this, bActive](std::size_t index, DWORD) {
        // No report now: the item is reported at the next update only when
        // its text or quality changed since it was last compared.
        items_[index]->SetActive(bActive);
        return S_OK;
    });
}

HRESULT TOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, phClient != nullptr, ppErrors,
                             [this, phClient](std::size_t index, DWORD entry) {
                                 items_[index]->SetClientHandle(phClient[entry]);
                                 return S_OK;
                             });
}

HRESULT TOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, pRequestedDatatypes != nullptr, ppErrors,
                             [this, pRequestedDatatypes](std::size_t index, DWORD entry) {
                                 if (!TTagTable::RequestedTypeSupported(pRequestedDatatypes[entry]))
                                     return OPC_E_BADTYPE;
                                 items_[index]->SetRequestedType(pRequestedDatatypes[entry]);
                                 return S_OK;
                             });
}

HRESULT TOPCGroup::CreateEnumerator(REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk)
        *ppUnk = nullptr;
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (riid != IID_IEnumOPCItemAttributes && riid != CLSID_OPCEnumerators)
        return E_INVALIDARG;
    if (!ppUnk)
        return E_INVALIDARG;
    if (items_.empty())
        return S_FALSE;
    IEnumOPCItemAttributes* e = nullptr;
    try {
        std::vector<TOPCItemAttributes> records;
        records.reserve(items_.size());
        for (const auto& item : items_) {
            TOPCItemAttributes r;
            r.itemId = item->ItemId();
            r.active = item->Active();
            r.clientHandle = item->ClientHandle();
            r.serverHandle = item->ServerHandle();
            r.accessRights = item->AccessRights();
            r.requestedType = item->RequestedType();
            r.canonicalType = item->CanonicalType();
            records.push_back(std::move(r));
        }
        e = TOPCItemAttEnumerator::Create(records);
    } catch (const std::bad_alloc&) {
        e = nullptr;
    }
    if (!e)
        return E_OUTOFMEMORY;
    *ppUnk = e;
    return S_OK;
}
