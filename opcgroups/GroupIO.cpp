// TOPCGroup: IOPCSyncIO and the requests of IOPCAsyncIO2. Asynchronous
// requests are only queued here; the group tick carries them out
// (GroupCallbacks.cpp).
#include "GroupUnit.h"

#include "Globals.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TagWatch.h"
#include "TaskArrays.h"

namespace {

bool ValidSource(DWORD source) { return source == OPC_DS_CACHE || source == OPC_DS_DEVICE; }

// The types a client may write: anything but VT_EMPTY up to VT_CLSID, with
// no array, vector or by-reference flag.
bool WritableType(VARTYPE vt) { return vt != VT_EMPTY && vt <= VT_CLSID; }

} // namespace

// ------------------------------------------------------------- IOPCSyncIO

HRESULT TOPCGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                        HRESULT** ppErrors)
{
    if (ppItemValues)
        *ppItemValues = nullptr;
    if (ppErrors)
        *ppErrors = nullptr;
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (dwCount == 0 || !ValidSource(dwSource) || !phServer || !ppItemValues || !ppErrors)
        return E_INVALIDARG;
    if (dwCount > kMaxHandlesPerCall)
        return E_OUTOFMEMORY;
    auto* states = TaskArray<OPCITEMSTATE>(dwCount);
    auto* errors = TaskArray<HRESULT>(dwCount);
    if (!states || !errors) {
        CoTaskMemFree(states);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    // Every value carries the time of the latest pulse (or AddGroup).
    const FILETIME stamp = server_->FileTimeOf(server_->LastUpdateTime());
    const TTagTable* tags = TheOpcContext().tags;
    const TTagWatch& watch = TheTagWatch();
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        TOPCItem* found = findItem(phServer[i]);
        if (!found) {
            errors[i] = OPC_E_INVALIDHANDLE;
            result = S_FALSE;
            continue;
        }
        TOPCItem& item = *found;
        catchUp(item);
        errors[i] = item.StateFill(TagText(tags, item.TagIndex()), watch.Stale(item.TagIndex()), dwSource, stamp,
                                   states[i]);
        if (item.Changed())
            notePending(item);
        recheckIfAhead(item);
        if (errors[i] != S_OK)
            result = S_FALSE;
        // The cache of an inactive group is out of service; a bad value
        // stays reported as bad.
        if (dwSource == OPC_DS_CACHE && !active_ && item.IsActive() &&
            (states[i].wQuality & OPC_QUALITY_MASK) != OPC_QUALITY_BAD)
            states[i].wQuality = OPC_QUALITY_OUT_OF_SERVICE;
    }
    *ppItemValues = states;
    *ppErrors = errors;
    return result;
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors)
{
    if (ppErrors)
        *ppErrors = nullptr;
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (dwCount == 0 || !phServer || !pItemValues || !ppErrors)
        return E_INVALIDARG;
    auto* errors = dwCount > kMaxHandlesPerCall ? nullptr : TaskArray<HRESULT>(dwCount);
    if (!errors)
        return E_OUTOFMEMORY;
    TTagTable* tags = TheOpcContext().tags;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const TOPCItem* found = findItem(phServer[i]);
        HRESULT e = S_OK;
        std::string text;
        int tagIndex = -1;
        if (!found) {
            e = OPC_E_INVALIDHANDLE;
        } else {
            const TOPCItem& item = *found;
            tagIndex = item.TagIndex();
            if (!WritableType(pItemValues[i].vt))
                e = OPC_E_BADTYPE;
            else if (!item.Writable())
                e = OPC_E_BADRIGHTS;
            else
                e = item.Store(tags, pItemValues[i], text);
        }
        errors[i] = e;
        if (FAILED(e)) {
            result = S_FALSE;
            continue;
        }
        if (TheOpcContext().valueStored)
            TheOpcContext().valueStored(tagIndex);
        // The port of the tag sends the text; whether it could is not the
        // client's concern.
        if (TheOpcContext().clientWrite)
            TheOpcContext().clientWrite(tagIndex, text);
    }
    *ppErrors = errors;
    return result;
}

// ----------------------------------------------------------- IOPCAsyncIO2

HRESULT TOPCGroup::queueItemTransaction(TAsyncKind kind, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                        DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors)
{
    if (ppErrors)
        *ppErrors = nullptr;
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (!sink_)
        return CONNECT_E_NOCONNECTION;
    if (dwCount == 0 || !phServer || !pdwCancelID || !ppErrors || (kind == TAsyncKind::Write && !pItemValues))
        return E_INVALIDARG;
    auto* errors = dwCount > kMaxHandlesPerCall ? nullptr : TaskArray<HRESULT>(dwCount);
    std::unique_ptr<TAsyncIO2> t;
    if (errors)
        t = TAsyncIO2::Create(kind, dwTransactionID, NextCancelId(), dwCount);
    if (!t) {
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    *pdwCancelID = t->CancelId();
    for (DWORD i = 0; i < dwCount; ++i) {
        if (!findItem(phServer[i])) {
            errors[i] = OPC_E_INVALIDHANDLE;
            continue;
        }
        t->Append(phServer[i]);
        errors[i] = S_OK;
        // A value that cannot be copied stays empty and fails when written.
        if (kind == TAsyncKind::Write && FAILED(VariantCopy(&t->LastValue(), &pItemValues[i])))
            errors[i] = E_FAIL;
    }
    *ppErrors = errors;
    if (t->Count() == 0)
        return S_FALSE;
    enqueue(std::move(t));
    return S_OK;
}

HRESULT TOPCGroup::Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                        HRESULT** ppErrors)
{
    return queueItemTransaction(TAsyncKind::Read, dwCount, phServer, nullptr, dwTransactionID, pdwCancelID, ppErrors);
}

HRESULT TOPCGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                         DWORD* pdwCancelID, HRESULT** ppErrors)
{
    return queueItemTransaction(TAsyncKind::Write, dwCount, phServer, pItemValues, dwTransactionID, pdwCancelID,
                                ppErrors);
}

HRESULT TOPCGroup::Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID)
{
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (!sink_)
        return CONNECT_E_NOCONNECTION;
    if (!ValidSource(dwSource))
        return E_INVALIDARG;
    if (!active_ || liveItems_ == 0)
        return E_FAIL;
    bool allActive = true;
    forEachItem([&](const TOPCItem& item) { allActive = allActive && item.IsActive(); });
    if (!allActive)
        return E_FAIL;
    if (!pdwCancelID)
        return E_INVALIDARG;
    auto t = TAsyncIO2::Create(TAsyncKind::Refresh, dwTransactionID, NextCancelId(), 0);
    if (!t)
        return E_OUTOFMEMORY;
    t->SetSource(dwSource);
    *pdwCancelID = t->CancelId();
    enqueue(std::move(t));
    return S_OK;
}

HRESULT TOPCGroup::Cancel2(DWORD dwCancelID)
{
    if (!server_)
        return RPC_E_DISCONNECTED;
    for (auto& t : queue_) {
        if (t->CancelId() != dwCancelID)
            continue;
        t->Cancel();
        const DWORD transactionId = t->TransactionId();
        // Told at once; the transaction itself goes at the next pass.
        if (ComPtr<IOPCDataCallback> cb = callback())
            cb->OnCancelComplete(transactionId, clientHandle_);
        return S_OK;
    }
    return E_FAIL;
}

HRESULT TOPCGroup::SetEnable(BOOL bEnable)
{
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (!sink_)
        return CONNECT_E_NOCONNECTION;
    asyncEnable_ = bEnable;
    return S_OK;
}

HRESULT TOPCGroup::GetEnable(BOOL* pbEnable)
{
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (!sink_)
        return CONNECT_E_NOCONNECTION;
    if (!pbEnable)
        return E_INVALIDARG;
    *pbEnable = asyncEnable_;
    return S_OK;
}
