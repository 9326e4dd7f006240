// TOPCGroup: the transaction queue and the callbacks that complete it
// (OnReadComplete, OnWriteComplete, and OnDataChange for refreshes and for
// the data changes of updates).
#include "GroupUnit.h"

#include "Globals.h"
#include "OpcContext.h"
#include "TaskArrays.h"

#include <vector>

namespace {

// The arrays of one callback: allocated by the group, freed after the call.
class CallbackArrays {
public:
    CallbackArrays() = default;
    CallbackArrays(const CallbackArrays&) = delete;
    CallbackArrays& operator=(const CallbackArrays&) = delete;
    ~CallbackArrays()
    {
        // Lent values belong to their items: forgotten, not freed.
        if (values) {
            for (DWORD i = 0; i < count_; ++i) {
                if (lent[i])
                    VariantInit(&values[i]);
                else
                    VariantClear(&values[i]);
            }
        }
        CoTaskMemFree(handles);
        CoTaskMemFree(values);
        CoTaskMemFree(qualities);
        CoTaskMemFree(stamps);
        CoTaskMemFree(errors);
    }
    // withValues: values, qualities and time stamps as well.
    bool Allocate(DWORD count, bool withValues)
    {
        count_ = count;
        handles = TaskArray<OPCHANDLE>(count);
        errors = TaskArray<HRESULT>(count);
        if (withValues) {
            lent.assign(count, false);
            values = TaskArray<VARIANT>(count);
            qualities = TaskArray<WORD>(count);
            stamps = TaskArray<FILETIME>(count);
        }
        return handles && errors && (!withValues || (values && qualities && stamps));
    }

    OPCHANDLE* handles = nullptr;
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* stamps = nullptr;
    HRESULT* errors = nullptr;
    std::vector<bool> lent;

private:
    DWORD count_ = 0;
};

} // namespace

ComPtr<IOPCDataCallback> TOPCGroup::callback() const
{
    ComPtr<IOPCDataCallback> cb;
    if (sink_)
        sink_.As(IID_IOPCDataCallback, cb);
    return cb;
}

void TOPCGroup::enqueue(std::unique_ptr<TAsyncIO2> t)
{
    queue_.push_back(std::move(t));
    wantVisit();
}

void TOPCGroup::processQueue(const FILETIME& stamp)
{
    if (queue_.empty() || inQueuePass_ || !server_)
        return;
    if (liveItems_ == 0 || !sink_) {
        queue_.clear(); // nobody to tell: freed without callbacks
        return;
    }
    // Only the transactions present now: what a client queues from inside a
    // callback waits for the next pass.
    inQueuePass_ = true;
    for (std::size_t n = queue_.size(); n > 0 && !queue_.empty(); --n) {
        TAsyncIO2* t = queue_.front().get();
        processTransaction(*t, stamp);
        queue_.pop_front();
    }
    inQueuePass_ = false;
    retired_.clear();
}

void TOPCGroup::processTransaction(TAsyncIO2& t, const FILETIME& stamp)
{
    if (t.Cancelled())
        return;
    ComPtr<IOPCDataCallback> cb = callback();
    if (!cb)
        return;
    switch (t.Kind()) {
    case TAsyncKind::Read:
        completeRead(*cb.get(), t, stamp);
        break;
    case TAsyncKind::Write:
        completeWrite(*cb.get(), t);
        break;
    case TAsyncKind::Refresh:
        completeRefresh(*cb.get(), t, stamp);
        break;
    case TAsyncKind::DataChange:
        completeDataChange(*cb.get(), t, stamp);
        break;
    }
}

void TOPCGroup::completeRead(IOPCDataCallback& sink, TAsyncIO2& t, const FILETIME& stamp)
{
    const DWORD count = t.Count();
    CallbackArrays a;
    if (!a.Allocate(count, true))
        return;
    HRESULT masterError = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        a.stamps[i] = stamp;
        TOPCItem* found = findItem(t.Handle(i));
        if (!found) {
            // The item was removed after the request.
            a.handles[i] = 0;
            a.qualities[i] = OPC_QUALITY_BAD;
            a.errors[i] = OPC_E_INVALIDHANDLE;
            masterError = S_FALSE;
            continue;
        }
        TOPCItem& item = *found;
        WORD quality = 0;
        bool lent = false;
        a.errors[i] = item.ReportFill(true, a.handles[i], a.values[i], quality, lent);
        a.lent[i] = lent;
        a.qualities[i] = item.IsActive() ? quality : OPC_QUALITY_OUT_OF_SERVICE;
    }
    sink.OnReadComplete(t.TransactionId(), clientHandle_, S_OK, masterError, count, a.handles, a.values, a.qualities,
                        a.stamps, a.errors);
}

void TOPCGroup::completeWrite(IOPCDataCallback& sink, TAsyncIO2& t)
{
    const DWORD count = t.Count();
    CallbackArrays a;
    if (!a.Allocate(count, false))
        return;
    TTagTable* tags = TheOpcContext().tags;
    HRESULT masterError = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        const TOPCItem* found = findItem(t.Handle(i));
        HRESULT e = S_OK;
        if (!found) {
            a.handles[i] = 0;
            e = OPC_E_INVALIDITEMID;
        } else {
            const TOPCItem& item = *found;
            a.handles[i] = item.ClientHandle();
            const VARTYPE vt = t.Value(i).vt;
            if (!item.Writable()) {
                e = OPC_E_BADRIGHTS;
            } else if (vt == VT_EMPTY || vt > VT_CLSID) {
                e = OPC_E_BADTYPE;
            } else {
                // Stored only: an asynchronous write is not sent to the port.
                std::string text;
                e = item.Store(tags, t.Value(i), text);
                if (SUCCEEDED(e) && TheOpcContext().valueStored)
                    TheOpcContext().valueStored(item.TagIndex());
            }
        }
        a.errors[i] = e;
        if (FAILED(e))
            masterError = S_FALSE;
    }
    sink.OnWriteComplete(t.TransactionId(), clientHandle_, masterError, count, a.handles, a.errors);
}

void TOPCGroup::completeRefresh(IOPCDataCallback& sink, TAsyncIO2& t, const FILETIME& stamp)
{
    DWORD count = 0;
    forEachItem([&](const TOPCItem& item) { count += item.IsActive() ? 1 : 0; });
    if (count == 0)
        return;
    CallbackArrays a;
    if (!a.Allocate(count, true))
        return;
    HRESULT masterQuality = S_OK;
    DWORD next = 0;
    forEachItem([&](TOPCItem& item) {
        if (!item.IsActive()) {
            masterQuality = S_FALSE;
            return;
        }
        a.stamps[next] = stamp;
        a.handles[next] = item.ClientHandle();
        WORD quality = 0;
        bool lent = false;
        a.errors[next] = item.ValueFor(t.Source(), a.values[next], quality, true, lent);
        a.lent[next] = lent;
        a.qualities[next] = quality;
        if (quality != OPC_QUALITY_GOOD)
            masterQuality = S_FALSE;
        ++next;
    });
    sink.OnDataChange(t.TransactionId(), clientHandle_, masterQuality, S_OK, count, a.handles, a.values, a.qualities,
                      a.stamps, a.errors);
}

void TOPCGroup::completeDataChange(IOPCDataCallback& sink, TAsyncIO2& t, const FILETIME& stamp)
{
    const DWORD count = t.Count();
    CallbackArrays a;
    if (!a.Allocate(count, true))
        return;
    HRESULT masterQuality = S_OK;
    DWORD filled = 0;
    // The data change of an update is carried out in the pass that follows
    // its collection: its items are at hand (removed ones kept, and marked,
    // until the pass ends).
    const bool atHand = t.HandleSource() == &changed_ && changedItems_.size() == count;
    for (DWORD i = 0; i < count; ++i) {
        TOPCItem* item = atHand ? changedItems_[i] : findItem(t.Handle(i));
        if (!item || item->removed)
            continue; // removed since it was collected
        a.stamps[filled] = stamp;
        WORD quality = 0;
        bool lent = false;
        a.errors[filled] = item->ReportFill(false, a.handles[filled], a.values[filled], quality, lent);
        a.lent[filled] = lent;
        a.qualities[filled] = quality;
        if (quality != OPC_QUALITY_GOOD)
            masterQuality = S_FALSE;
        ++filled;
    }
    if (filled == 0)
        return;
    sink.OnDataChange(0, clientHandle_, masterQuality, S_OK, filled, a.handles, a.values, a.qualities, a.stamps,
                      a.errors);
}
