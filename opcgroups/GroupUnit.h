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
//   its tick, and every stored item position is checked against the item
//   list before use.
// - Callback arrays are the group's and are freed when the call returns;
//   their text values may be lent from the items rather than copied. Items
//   removed from inside a callback are therefore kept until the queue pass
//   ends, so the arrays of the call in progress stay valid.
//
// Threads: main thread only.
#include "AsyncUnit.h"
#include "ComObject.h"
#include "ConnectionPoint.h"
#include "GroupList.h"
#include "ItemsUnit.h"
#include "OPCDA.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TDA2;

// The group class's own interface: no methods beyond IUnknown.
struct IOPCGroup : IUnknown {};

class TOPCGroup : public ComObject,
                  public IOPCItemMgt,
                  public IOPCGroupStateMgt,
                  public IOPCSyncIO,
                  public IOPCAsyncIO2,
                  public IOPCGroup {
public:
    static constexpr DWORD kDefaultUpdateRate = 1000; // for a requested rate of 0
    static constexpr DWORD kPulsePeriod = 10;         // ms counted per pulse
    static constexpr BOOL kEnabledAtCreation = -1;

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
    DWORD Elapsed() const { return elapsed_; }
    std::size_t ItemCount() const { return items_.size(); }
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

    // Position of the item with this server handle, or -1.
    int findItem(OPCHANDLE serverHandle) const;
    // The shape of the per-handle item calls (RemoveItems, SetActiveState,
    // SetClientHandles, SetDatatypes): the argument checks (argsGiven covers
    // the call's own arrays), the error array, OPC_E_INVALIDHANDLE for an
    // unknown handle, and S_FALSE when any entry failed. apply gets the
    // item's position and the entry's index and returns the entry's result.
    HRESULT forEachItemHandle(DWORD dwCount, const OPCHANDLE* phServer, bool argsGiven, HRESULT** ppErrors,
                              const std::function<HRESULT(std::size_t index, DWORD entry)>& apply);
    void setUpdateRate(DWORD requested);
    // Leaves the server: report, drop the sink and connections, free queue.
    void leaveServer();

    // Queue processing (IO of the tick).
    void processQueue(const FILETIME& stamp);
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
    DWORD elapsed_ = 0;
    TGroupList* list_;
    std::vector<std::unique_ptr<TOPCItem>> items_;
    std::vector<std::unique_ptr<TOPCItem>> retired_; // removed during a queue pass
    std::deque<std::unique_ptr<TAsyncIO2>> queue_;
    BOOL active_ = 0;
    BOOL asyncEnable_ = kEnabledAtCreation;
    LONG timeBias_ = 0;
    FLOAT percentDeadband_ = 0;
    ComPtr<IUnknown> sink_;
    std::vector<DWORD> changed_;
    bool removed_ = false;
    bool inTick_ = false;
    bool inQueuePass_ = false;
};
