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
    if (dwCount > kMaxHandlesPerCall || !out.Allocate(dwCount, true))
        return E_OUTOFMEMORY;
    TTagTable* tags = TheOpcContext().tags;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const OPCITEMDEF& def = pItemArray[i];
        HRESULT e = S_OK;
        if (!HasItemId(def)) {
            e = OPC_E_INVALIDITEMID;
        } else if (liveItems_ >= kMaxItems) {
            e = E_OUTOFMEMORY; // the group holds as many items as it may
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
                    insertItem(std::move(item));
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
    if (dwCount > kMaxHandlesPerCall || !out.Allocate(dwCount, true))
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
                                     const std::function<HRESULT(TOPCItem& item, DWORD entry)>& apply)
{
    ClearOut(nullptr, ppErrors);
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (dwCount == 0 || !phServer || !argsGiven || !ppErrors)
        return E_INVALIDARG;
    ItemResultArrays out;
    if (dwCount > kMaxHandlesPerCall || !out.Allocate(dwCount, false))
        return E_OUTOFMEMORY;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        TOPCItem* item = findItem(phServer[i]);
        const HRESULT e = item ? apply(*item, i) : OPC_E_INVALIDHANDLE;
        out.errors[i] = e;
        if (FAILED(e))
            result = S_FALSE;
    }
    *ppErrors = out.errors;
    return result;
}

HRESULT TOPCGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, true, ppErrors, [this](TOPCItem& item, DWORD) {
        eraseItem(item);
        return S_OK;
    });
}

HRESULT TOPCGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, true, ppErrors, [this, bActive](TOPCItem& item, DWORD) {
        // No report now: the item is reported at the next update only when
        // its text or quality changed since it was last compared (an item
        // activated again is compared now, as at the next pulse).
        const bool activated = bActive && !item.IsActive();
        if (activated) {
            // What its tag was while it was inactive is not its.
            item.seenSerial = TheTagWatch().Serial(item.TagIndex());
        } else if (!bActive && item.IsActive()) {
            // What the pulses saw while it was active stays its change.
            catchUp(item);
            if (item.Changed())
                notePending(item);
        }
        item.SetActive(bActive);
        if (activated)
            check(item);
        return S_OK;
    });
}

HRESULT TOPCGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, phClient != nullptr, ppErrors,
                             [phClient](TOPCItem& item, DWORD entry) {
                                 item.SetClientHandle(phClient[entry]);
                                 return S_OK;
                             });
}

HRESULT TOPCGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                HRESULT** ppErrors)
{
    return forEachItemHandle(dwCount, phServer, pRequestedDatatypes != nullptr, ppErrors,
                             [pRequestedDatatypes](TOPCItem& item, DWORD entry) {
                                 if (!TTagTable::RequestedTypeSupported(pRequestedDatatypes[entry]))
                                     return OPC_E_BADTYPE;
                                 item.SetRequestedType(pRequestedDatatypes[entry]);
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
    if (liveItems_ == 0)
        return S_FALSE;
    IEnumOPCItemAttributes* e = nullptr;
    try {
        std::vector<TOPCItemAttributes> records;
        records.reserve(liveItems_);
        forEachItem([&](const TOPCItem& item) {
            TOPCItemAttributes r;
            r.itemId = item.ItemId();
            r.active = item.Active();
            r.clientHandle = item.ClientHandle();
            r.serverHandle = item.ServerHandle();
            r.accessRights = item.AccessRights();
            r.requestedType = item.RequestedType();
            r.canonicalType = item.CanonicalType();
            records.push_back(std::move(r));
        });
        e = TOPCItemAttEnumerator::Create(records);
    } catch (const std::bad_alloc&) {
        e = nullptr;
    }
    if (!e)
        return E_OUTOFMEMORY;
    *ppUnk = e;
    return S_OK;
}
