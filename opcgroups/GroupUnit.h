#pragma once
// TOPCGroup: an OPC group, through which a client reads, writes and
// subscribes to tags. Interfaces: IOPCItemMgt, IOPCGroupStateMgt,
// IOPCSyncIO, IOPCAsyncIO2, IOPCGroup, and IConnectionPointContainer with
// one many-connection point for IOPCDataCallback.
//
// Reference counts and ownership:
// - Made by its server object (AddGroup, CloneGroup), which appends it to
//   its private list and hands the client the first reference. The group
//   deletes itself when its last reference goes; it then reports to its
//   server (GroupDestroyed), which records it and drops it from the list.
// - The group holds a plain pointer to its server; the server detaches its
//   groups before it goes (Detach), after which every call answers
//   RPC_E_DISCONNECTED.
// - The group owns its items, its transaction queue and its connection
//   point. The callback sink is held with a counted reference from Advise
//   until any Unadvise, and is queried for IOPCDataCallback at each
//   callback, which keeps it alive for the length of the call.
// - Callbacks are made synchronously from the tick and from Cancel2; a
//   client may call into the group (or release it) from inside a callback.
//   The server's pulse holds a reference on each group for the length of
//   its tick. Transactions name items by server handle, looked up (in
//   constant time) when they are carried out.
// - Callback arrays are the group's and are freed when the call returns;
//   their text values may be lent from the items rather than copied. Items
//   removed from inside a callback are therefore kept until the queue pass
//   ends, so the arrays of the call in progress stay valid.
//
// What a pulse visits: a group is ticked when its update time came (the
// server keeps the groups by due time), when it has queued transactions,
// or when one of its items was marked for a check (its quality moved).
// Items are compared with their tags when the group updates, when it
// carries out transactions, and when a client observes them (a read, an
// activation): the tag watch's samples (TagWatch.h) tell what a check at
// every pulse would have seen meanwhile, so that the outcome is the same as
// when every item was checked at every pulse. Only the places whose tag
// moved are looked at. An update reports the items whose changed flag is
// set, in list order.
// The update schedule counts the server's pulse clock (see ServIMPL.h), so
// a group whose pulses come late is late by at most one pulse per update.
// An update that finds nothing to report starts no new period: the group
// awaits a change, which it then reports at the next pulse (the program
// makes an early one for it), so a value that comes after a quiet spell
// does not wait up to an update period.
//
// Callbacks to a sink in another process may be held back (ISinkFlow): a
// group makes no data change while its sink is congested and keeps its
// items' changed flags (each item's latest value) for the first update
// after the client drained; it lets go of a sink that was dropped.
//
// Limits: kMaxItems items per group (AddItems answers E_OUTOFMEMORY for
// each entry past it) and kMaxHandlesPerCall entries per call (the call
// answers E_OUTOFMEMORY).
//
// Threads: main thread only.
#include "AsyncUnit.h"
#include "ComObject.h"
#include "TagWatch.h"
#include "ConnectionPoint.h"
#include "GroupList.h"
#include "ItemsUnit.h"
#include "OPCDA.h"
#include "SinkFlow.h"
#include "SlicedRequest.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class TDA2;

// The group class's own interface: no methods beyond IUnknown.
struct IOPCGroup : IUnknown {};

class TOPCGroup : public ComObject,
                  public IOPCItemMgt,
                  public IOPCGroupStateMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO2,
                  public IOPCGroup,
                  public ISlicedRequest,
                  private TItemOwner,
                  private TTagSubscriber {
public:
    static constexpr DWORD kDefaultUpdateRate = 1000; // for a requested rate of 0
    static constexpr DWORD kPulsePeriod = 10;         // ms counted per pulse
    static constexpr BOOL kEnabledAtCreation = -1;
    static constexpr DWORD kMaxItems = 1000000;
    static constexpr DWORD kMaxHandlesPerCall = 100000;

    // A group of server in list, with no reference yet; nullptr when it
    // cannot be allocated. The maker appends it to list.
    static TOPCGroup* Create(TDA2& server, TGroupList& list);

    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv);
    IUnknown* Identity() { return static_cast<IOPCItemMgt*>(this); }

    // Initialisation by AddGroup: state as given, the update-rate rule,
    // async enable -1, the server's last update time := now, the time bias
    // (the system's when timeBias is null).
    void Init(const std::string& name, BOOL active, DWORD requestedUpdateRate, OPCHANDLE clientGroup,
              FLOAT percentDeadband, DWORD lcid, DWORD serverHandle, const LONG* timeBias);
    // Copies state and items into a fresh clone (CloneGroup); false when
    // the items could not be copied.
    bool CopyInto(TOPCGroup& clone, DWORD cloneServerHandle) const;

    // The group tick of the OPC server pulse.
    void Tick(double now);
    // Every item's last-compared quality := 64 and the elapsed counter :=
    // the update rate: every active item is reported at the next pulse.
    void RequestFullReport();
    // When the next update is due, on the server's pulse clock (ms).
    std::int64_t DueClock() const { return baseClock_ + static_cast<std::int64_t>(updateRate_) - elapsedBase_; }
    // The server noted this group for a visit at its next pulse.
    bool visitQueued = false;
    // ISlicedRequest: a request served in slices is under way; the pulse
    // leaves the group alone until it is over, so no callback shows half of
    // it.
    void RequestInProgress(BOOL inProgress) override;
    bool Busy() const { return busy_; }
    // The server goes while this group is still referenced: report to it,
    // drop the sink, the queue and the connections; later calls answer
    // RPC_E_DISCONNECTED.
    void Detach();

    const std::string& Name() const { return name_; }
    void SetNameDirect(const std::string& name) { name_ = name; }
    DWORD ServerHandle() const { return serverHandle_; }
    OPCHANDLE ClientHandle() const { return clientHandle_; }
    bool Removed() const { return removed_; }
    void MarkRemoved() { removed_ = true; }
    bool IsActive() const { return active_ != 0; }
    DWORD UpdateRate() const { return updateRate_; }
    // Ms counted towards the next update (frozen while the group has no items).
    DWORD Elapsed() const;
    std::size_t ItemCount() const { return liveItems_; }
    std::size_t PendingTransactions() const { return queue_.size(); }
    bool HasSink() const { return static_cast<bool>(sink_); }
    bool Detached() const { return server_ == nullptr; }

    // IOPCItemMgt
    HRESULT AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults, HRESULT** ppErrors) override;
    HRESULT ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                          OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    HRESULT RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    HRESULT SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) override;
    HRESULT SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient, HRESULT** ppErrors) override;
    HRESULT SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                         HRESULT** ppErrors) override;
    HRESULT CreateEnumerator(REFIID riid, IUnknown** ppUnk) override;

    // IOPCGroupStateMgt
    HRESULT GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias, FLOAT* pPercentDeadband,
                     DWORD* pLCID, OPCHANDLE* phClientGroup, OPCHANDLE* phServerGroup) override;
    HRESULT SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                     FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup) override;
    HRESULT SetName(LPCWSTR szName) override;
    HRESULT CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;

    // IOPCSyncIO
    HRESULT Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer, OPCITEMSTATE** ppItemValues,
                 HRESULT** ppErrors) override;
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) override;

    // IOPCAsyncIO2
    HRESULT Read(DWORD dwCount, OPCHANDLE* phServer, DWORD dwTransactionID, DWORD* pdwCancelID,
                 HRESULT** ppErrors) override;
    HRESULT Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, DWORD dwTransactionID,
                  DWORD* pdwCancelID, HRESULT** ppErrors) override;
    HRESULT Refresh2(OPCDATASOURCE dwSource, DWORD dwTransactionID, DWORD* pdwCancelID) override;
    HRESULT Cancel2(DWORD dwCancelID) override;
    HRESULT SetEnable(BOOL bEnable) override;
    HRESULT GetEnable(BOOL* pbEnable) override;

private:
    TOPCGroup(TDA2& server, TGroupList& list);
    ~TOPCGroup() override;

    // The item with this server handle, or null (constant time).
    TOPCItem* findItem(OPCHANDLE serverHandle) const
    {
        const auto it = byHandle_.find(serverHandle);
        return it == byHandle_.end() ? nullptr : it->second;
    }
    // Appends an item to the list, its handle table and the tag watch, and
    // marks it for its first check.
    void insertItem(std::unique_ptr<TOPCItem> item);
    // Takes an item out of every table; it is destroyed, or kept until the
    // queue pass ends when one is under way.
    void eraseItem(TOPCItem& item);
    // Every item of the list in list order.
    template <typename F> void forEachItem(F&& f) const
    {
        for (const auto& item : items_)
            if (item)
                f(*item);
    }
    // The shape of the per-handle item calls (RemoveItems, SetActiveState,
    // SetClientHandles, SetDatatypes): the argument checks (argsGiven covers
    // the call's own arrays), the error array, OPC_E_INVALIDHANDLE for an
    // unknown handle, and S_FALSE when any entry failed. apply gets the
    // item and the entry's index and returns the entry's result.
    HRESULT forEachItemHandle(DWORD dwCount, const OPCHANDLE* phServer, bool argsGiven, HRESULT** ppErrors,
                              const std::function<HRESULT(TOPCItem& item, DWORD entry)>& apply);
    void setUpdateRate(DWORD requested);
    // TItemOwner: the item is checked at the next pulse.
    void ItemNeedsCheck(TOPCItem& item) override;
    // TTagSubscriber: a tag moved while the group awaited a change; it
    // updates at the next pulse.
    void TagChanged(std::size_t slot) override;
    bool AwaitsChange() const override { return awaiting_; }
    // What the pulses saw of the item's tag since it last looked (an
    // inactive item sees nothing).
    void catchUp(TOPCItem& item);
    // An item compared between pulses with a text no pulse has seen yet is
    // compared again at the next pulse, as a check at every pulse would.
    void recheckIfAhead(TOPCItem& item);
    // Every item of a place whose tag moved since the group last looked.
    void lookAtMovedPlaces();
    // Awaiting a change: counted in the tag watch for each tag shown.
    void startAwaiting();
    void stopAwaiting();
    // The change check of one item against its tag now.
    void check(TOPCItem& item);
    // The item's changed flag is set: it is reported at the next update.
    void notePending(TOPCItem& item);
    // Asks the server for a visit at its next pulse.
    void wantVisit();
    // The elapsed counter := ms; the server learns the new due time.
    void setElapsed(std::int64_t ms);
    void schedule();
    // Change checks of the items marked for one.
    void checkMarked();
    // The update: changed items into a data change, the queue carried out.
    void update(const FILETIME& stamp);
    // A sink dropped for not reading is let go of.
    void releaseDroppedSink();
    // Leaves the server: report, drop the sink and connections, free queue.
    void leaveServer();

    // Queue processing (IO of the tick).
    void processQueue(const FILETIME& stamp);
    void enqueue(std::unique_ptr<TAsyncIO2> t);
    void processTransaction(TAsyncIO2& t, const FILETIME& stamp);
    void completeRead(IOPCDataCallback& sink, TAsyncIO2& t, const FILETIME& stamp);
    void completeWrite(IOPCDataCallback& sink, TAsyncIO2& t);
    void completeRefresh(IOPCDataCallback& sink, TAsyncIO2& t, const FILETIME& stamp);
    void completeDataChange(IOPCDataCallback& sink, TAsyncIO2& t, const FILETIME& stamp);
    // The callback sink as IOPCDataCallback, or null.
    ComPtr<IOPCDataCallback> callback() const;
    // Shared head of the asynchronous Read and Write.
    HRESULT queueItemTransaction(TAsyncKind kind, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                 DWORD dwTransactionID, DWORD* pdwCancelID, HRESULT** ppErrors);

    TConnectionPointContainer points_;
    TDA2* server_;
    std::string name_;
    OPCHANDLE clientHandle_ = 0;
    DWORD serverHandle_ = 0;
    DWORD updateRate_ = kDefaultUpdateRate;
    DWORD lcid_ = 0;
    // The elapsed counter is elapsedBase_ plus the pulse clock's progress
    // since baseClock_ while the group has items (running_).
    std::int64_t baseClock_ = 0;
    std::int64_t elapsedBase_ = 0;
    bool running_ = false;
    // The update time came and found nothing to report: the group is off the
    // schedule, and the next thing to do makes its update at once.
    bool awaiting_ = false;
    TGroupList* list_;
    // List order; a removed item leaves an empty place until the list is
    // compacted, so removals cost constant time.
    std::vector<std::unique_ptr<TOPCItem>> items_;
    std::size_t liveItems_ = 0;
    std::unordered_map<OPCHANDLE, TOPCItem*> byHandle_;
    // The items of each tag the group shows, one place per tag (kept while
    // the group lives; subscribed while it has items).
    struct TagItems {
        int tagIndex = -1;
        TOPCItem* head = nullptr; // the items, linked through nextOfTag
        std::uint64_t seenSerial = 0; // the tag's serial when the group last looked
    };
    std::vector<TagItems> tags_;
    std::unordered_map<int, std::size_t> tagPlace_; // tag index -> place in tags_
    bool lookAtAll_ = false; // every item is compared at the next tick (a full report)
    std::vector<std::unique_ptr<TOPCItem>> retired_; // removed during a queue pass
    std::vector<OPCHANDLE> toCheck_;                  // items marked for a check
    std::vector<OPCHANDLE> pending_;                  // items whose changed flag is set
    std::deque<std::unique_ptr<TAsyncIO2>> queue_;
    BOOL active_ = 0;
    BOOL asyncEnable_ = kEnabledAtCreation;
    LONG timeBias_ = 0;
    FLOAT percentDeadband_ = 0;
    ComPtr<IUnknown> sink_;
    ComPtr<ISinkFlow> flow_; // the sink's delivery state, when it has one
    std::vector<OPCHANDLE> changed_;
    std::vector<TOPCItem*> changedItems_; // the same items, for the pass that follows the update
    bool removed_ = false;
    bool busy_ = false;
    bool inTick_ = false;
    bool inQueuePass_ = false;
};
