#pragma once
// TDA2: the OPC Data Access 2.0 server object, one per client, and the
// process-wide table of live server objects that the OPC server pulse, the
// close sequence, the console and the program exit walk.
//
// Interfaces of TDA2: IOPCServer (the object itself), IOPCCommon
// (TIOPCCommon), IConnectionPointContainer with one single-connection point
// for IOPCShutdown, IOPCItemProperties (TOPCItemProp) and
// IOPCBrowseServerAddressSpace (TOPCBrowser). The parts are owned by the
// server and delegate IUnknown to it, so any of its interfaces keeps the
// whole object alive. Everything else answers E_NOINTERFACE.
//
// Reference counts and ownership:
// - A client creates a server object through the class object
//   (GetOpcClassObject) and holds the references it was given; the table of
//   live server objects holds no counted reference. A server object takes
//   the lowest free of the 31 slots when it is made and leaves it when it is
//   destroyed.
// - The server holds no counted reference on its groups: a group lives as
//   long as its clients hold it and reports its destruction to the server,
//   which then records it in the removed-groups list and drops it from its
//   group list. A group holds a plain pointer to its server.
// - When the server goes while groups remain, each group is first
//   disconnected from its clients (CoDisconnectObject); a group that is
//   still referenced after that (by an in-process holder such as a group
//   enumerator) is detached: it leaves the list and answers every later call
//   with RPC_E_DISCONNECTED until its last reference goes.
// - The shutdown sink is held with a counted reference from Advise until
//   Unadvise or until the server goes.
//
// Threads: main thread only. Client calls, the pulse, callbacks and the exit
// all run there, one at a time; nothing is locked.
#include "ComObject.h"
#include "ConnectionPoint.h"
#include "GroupList.h"
#include "ItemPropIMPL.h"
#include "OPCDA.h"
#include "OPCRemovedGroupUnit.h"

#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// What a call through a disconnected object gives.
inline constexpr HRESULT RPC_E_DISCONNECTED = hr(0x80010108);

class TOPCGroup;

// IOPCCommon of a server object: locale and client name.
class TIOPCCommon : public IOPCCommon {
public:
    static constexpr const char* kDefaultClientName = "Client has not set the name";

    explicit TIOPCCommon(IUnknown& owner) : owner_(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_.AddRef(); }
    ULONG Release() override { return owner_.Release(); }

    // Only LOCALE_SYSTEM_DEFAULT and LOCALE_USER_DEFAULT are accepted.
    HRESULT SetLocaleID(LCID dwLcid) override;
    HRESULT GetLocaleID(LCID* pdwLcid) override;
    HRESULT QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    HRESULT GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    HRESULT SetClientName(LPCWSTR szName) override;

    LCID LocaleId() const { return locale_; }
    const std::string& ClientName() const { return clientName_; }

private:
    IUnknown& owner_;
    LCID locale_ = LOCALE_SYSTEM_DEFAULT;
    std::string clientName_ = kDefaultClientName;
};

class TDA2 : public ComObject, public IOPCServer {
public:
    static constexpr int kSlots = 31;
    static constexpr const char* kShutdownReason = "Quorbel Linvaro IOPCShutdown request.";
    static constexpr const char* kVendorInfo = "Quorbel";

    // A new, initialised server object in the lowest free slot, with no
    // reference yet (the caller adds the first); nullptr when every slot is
    // taken or it cannot be allocated.
    static TDA2* Create();

    LINVARO_COM_IUNKNOWN
    HRESULT QueryInterfaceImpl(REFIID riid, void** ppv);
    IUnknown* Identity() { return static_cast<IOPCServer*>(this); }

    // IOPCServer
    HRESULT AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                     LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                     DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk) override;
    HRESULT GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    HRESULT GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk) override;
    HRESULT GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    HRESULT RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    HRESULT CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk) override;

    // --- Operations of the groups.
    // A group of the private or public list has exactly this name.
    bool GroupNameInUse(const std::string& name) const;
    // Index of the first group of list with exactly this name, or -1.
    static int FindGroupByName(const TGroupList& list, const std::string& name);
    // A group of list is being destroyed (or detached): record it in the
    // removed-groups list and drop it from list. Unknown handles are ignored.
    void GroupDestroyed(const TGroupList* list, DWORD serverHandle);
    // Makes a clone of source named name in the private list and answers
    // ppUnk with its IUnknown (one reference). E_OUTOFMEMORY and no clone
    // when it cannot be made.
    HRESULT CloneGroup(TOPCGroup& source, const std::string& name, IUnknown** ppUnk);
    TGroupList& PrivateGroups() { return private_; }
    const TGroupList& PublicGroups() const { return public_; }

    // Local date-times (days since 1899-12-30).
    double StartTime() const { return startTime_; }
    double LastUpdateTime() const { return lastUpdateTime_; }
    void SetLastUpdateTime(double t) { lastUpdateTime_ = t; }
    // A local date-time as a UTC file time. The conversion of the latest
    // time asked for is kept: a pulse stamps every callback with one time.
    FILETIME FileTimeOf(double localTime);

    // --- Operations of the program.
    // The OPC server pulse: records now as the last update time, advances
    // the pulse clock and runs the tick of every group that has something
    // to do (see GroupUnit.h), in list order.
    void Pulse(double now);
    // An early pulse between two regular ones, made because a tag was
    // stored while a group's update was due or a group awaited a change: the
    // clock advances as for a pulse and only the groups whose update is due
    // are ticked (groups that asked for a visit wait for the regular pulse).
    void EarlyPulse(double now);
    // Ms from now until the first group's update is due (0 when one is due
    // now), on the time that passed since the last pulse; kNoUpdateDue when
    // no group is scheduled.
    std::int64_t MsToNextUpdate() const;
    static constexpr std::int64_t kNoUpdateDue = INT64_MAX;
    // The pulse clock (ms): each pulse advances it by the time that passed
    // since the previous pulse (by the pulse period when the tick counter
    // did not move), so update rates hold when the main thread is loaded.
    std::int64_t Clock() const { return clock_; }
    // How far the latest pulse advanced the clock.
    std::int64_t LastStep() const { return lastStep_; }
    // A group's next update is due at clock due (the latest call counts).
    void ScheduleGroup(DWORD groupHandle, std::int64_t due);
    // A group has work for the next pulse (queued transactions, marked items).
    void VisitGroup(DWORD groupHandle);
    // A group of this server got its handle.
    void NoteGroupHandle(TOPCGroup& group);
    // When a shutdown sink is connected: asks it for IOPCShutdown and calls
    // ShutdownRequest with the program's reason. True when the sink supports
    // IOPCShutdown.
    bool RequestShutdown();
    bool HasShutdownSink() const { return static_cast<bool>(shutdownSink_); }
    // Groups in the private and public lists (removed ones included).
    DWORD GroupCount() const { return static_cast<DWORD>(private_.size() + public_.size()); }
    int Slot() const { return slot_; }
    TIOPCCommon& Common() { return common_; }
    const std::vector<TOPCGroupRemoved>& RemovedGroups() const { return removed_; }
    // Program exit: when references remain after the object was
    // disconnected from its clients, it leaves its slot and lets go of its
    // groups now; later calls answer RPC_E_DISCONNECTED.
    void Discard();
    bool Discarded() const { return discarded_; }

private:
    explicit TDA2(int slot);
    // Advances the pulse clock by the time since the previous pulse; false
    // (and nothing changed) for an early pulse before the first pulse.
    bool advanceClock(bool early);
    // Ticks the groups of handles (any order, repeats allowed) in list order.
    void tickGroups(std::vector<DWORD>& handles, double now);
    ~TDA2() override;
    // Destroys or detaches every group, drops the shutdown sink and the
    // removed-group records, and leaves the slot. Runs once.
    void teardown();
    void detachGroups(TGroupList& list);

    TIOPCCommon common_;
    TOPCItemProp itemProp_;
    TOPCBrowser browser_;
    TConnectionPointContainer points_;
    TGroupList private_;
    TGroupList public_;
    std::vector<TOPCGroupRemoved> removed_;
    double startTime_ = 0;
    double lastUpdateTime_ = 0;
    ComPtr<IUnknown> shutdownSink_;
    int slot_;
    bool discarded_ = false;
    double fileTimeKey_ = -1e300; // the local time fileTime_ was made from
    FILETIME fileTime_{};
    std::int64_t clock_ = 0;
    std::int64_t lastStep_ = 0;
    std::uint32_t lastTick_ = 0;
    bool ticked_ = false;
    bool earlyLast_ = false; // the latest pulse was an early one
    std::unordered_map<DWORD, TOPCGroup*> byHandle_;
    std::vector<DWORD> visit_;
    using Due = std::pair<std::int64_t, DWORD>;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
};

// --- The table of live server objects.

// The server object in slot (0..30), or nullptr.
TDA2* ServerInSlot(int slot);
// Occupied slots whose object is connected; every object of this process is,
// so this is the number of occupied slots.
int ConnectedServerCount();
// Groups of every live server object (for the console).
int TotalGroupCount();
// The OPC server pulse: every live server object, in slot order.
void OpcServerPulse(double localNow);
// A tag was stored between pulses: ms until the first update of a group of
// any live server object is due (TDA2::MsToNextUpdate), so that an early
// pulse then delivers the change rather than the next regular pulse.
std::int64_t OpcMsToNextUpdate();
// The early pulse: every live server object, in slot order (TDA2::EarlyPulse).
void OpcServerEarlyPulse(double localNow);
// The close sequence: request shutdown of every live server object, in slot
// order.
void RequestShutdownAll();
// Program exit: slots 30 down to 0; each server object is disconnected from
// its clients and discarded.
void DiscardAllServers();

// The class object of clsid (as DllGetClassObject): CLSID_DA2 gives the
// server class's IClassFactory. Groups, items and enumerators are made by
// the server only: their class IDs, like every other, give
// CLASS_E_CLASSNOTAVAILABLE.
HRESULT GetOpcClassObject(REFCLSID clsid, REFIID riid, void** ppv);
