#include "ServIMPL.h"

#include "EnumString.h"
#include "EnumUnknown.h"
#include "Globals.h"
#include "GroupUnit.h"
#include "OPCErrorStrings.h"
#include "OpcContext.h"
#include "TagWatch.h"
#include "TaskMem.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

namespace {

std::array<TDA2*, TDA2::kSlots> g_slots{};

// A group name is tried at most this many times with a tick count appended.
constexpr int kNameAttempts = 9;

void ConsoleRefresh()
{
    if (TheOpcContext().consoleRefresh)
        TheOpcContext().consoleRefresh();
}

LPWSTR WideCopy(const std::string& text) { return CoTaskStrDupAnsi(text); }

} // namespace

// ---------------------------------------------------------------- TIOPCCommon

HRESULT TIOPCCommon::SetLocaleID(LCID dwLcid)
{
    if (dwLcid != LOCALE_SYSTEM_DEFAULT && dwLcid != LOCALE_USER_DEFAULT)
        return E_INVALIDARG;
    locale_ = dwLcid;
    return S_OK;
}

HRESULT TIOPCCommon::GetLocaleID(LCID* pdwLcid)
{
    if (!pdwLcid)
        return E_INVALIDARG;
    *pdwLcid = locale_;
    return S_OK;
}

HRESULT TIOPCCommon::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    if (!pdwCount || !pdwLcid)
        return E_INVALIDARG;
    *pdwCount = 2;
    *pdwLcid = static_cast<LCID*>(CoTaskMemAlloc(2 * sizeof(LCID)));
    if (!*pdwLcid)
        return E_OUTOFMEMORY;
    (*pdwLcid)[0] = LOCALE_SYSTEM_DEFAULT;
    (*pdwLcid)[1] = LOCALE_USER_DEFAULT;
    return S_OK;
}

HRESULT TIOPCCommon::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    if (!ppString)
        return E_INVALIDARG;
    *ppString = WideCopy(ResultText(dwError));
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT TIOPCCommon::SetClientName(LPCWSTR szName)
{
    clientName_ = AnsiFromWide(szName);
    return S_OK;
}

// ----------------------------------------------------------------------- TDA2

TDA2* TDA2::Create()
{
    const auto free = std::find(g_slots.begin(), g_slots.end(), nullptr);
    if (free == g_slots.end())
        return nullptr;
    return new (std::nothrow) TDA2(static_cast<int>(free - g_slots.begin()));
}

TDA2::TDA2(int slot)
    : common_(*Identity()), itemProp_(*Identity(), TheOpcContext()), browser_(*Identity(), TheOpcContext()),
      points_(*Identity()), slot_(slot)
{
    startTime_ = TheOpcContext().localNow();
    lastUpdateTime_ = 0;
    private_.reserve(255);
    points_.AddPoint(IID_IOPCShutdown, ConnectionKind::Single,
                     ConnectionHooks{[this](IUnknown* sink) { shutdownSink_ = ComPtr<IUnknown>(sink); },
                                     [this](IUnknown*) { shutdownSink_.reset(); }});
    g_slots[static_cast<std::size_t>(slot_)] = this;
    ConsoleRefresh();
}

TDA2::~TDA2() { teardown(); }

void TDA2::Discard() { teardown(); }

void TDA2::teardown()
{
    if (discarded_)
        return;
    discarded_ = true;
    detachGroups(private_);
    detachGroups(public_);
    removed_.clear();
    if (slot_ >= 0 && g_slots[static_cast<std::size_t>(slot_)] == this)
        g_slots[static_cast<std::size_t>(slot_)] = nullptr;
    shutdownSink_.reset();
    if (TConnectionPoint* p = points_.Point(IID_IOPCShutdown))
        p->ReleaseAll();
    ConsoleRefresh();
}

void TDA2::detachGroups(TGroupList& list)
{
    // Each group leaves the list itself when it is destroyed or detached.
    while (!list.empty()) {
        TOPCGroup* group = list.front();
        CoDisconnectObject(group->Identity(), 0);
        if (!list.empty() && list.front() == group)
            group->Detach();
    }
}

HRESULT TDA2::QueryInterfaceImpl(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCServer)
        return ComAnswer(static_cast<IOPCServer*>(this), ppv);
    if (riid == IID_IOPCCommon)
        return ComAnswer(static_cast<IOPCCommon*>(&common_), ppv);
    if (riid == IID_IConnectionPointContainer)
        return ComAnswer(static_cast<IConnectionPointContainer*>(&points_), ppv);
    if (riid == IID_IOPCItemProperties)
        return ComAnswer(static_cast<IOPCItemProperties*>(&itemProp_), ppv);
    if (riid == IID_IOPCBrowseServerAddressSpace)
        return ComAnswer(static_cast<IOPCBrowseServerAddressSpace*>(&browser_), ppv);
    return E_NOINTERFACE;
}

bool TDA2::GroupNameInUse(const std::string& name) const
{
    return FindGroupByName(private_, name) >= 0 || FindGroupByName(public_, name) >= 0;
}

int TDA2::FindGroupByName(const TGroupList& list, const std::string& name)
{
    for (std::size_t i = 0; i < list.size(); ++i)
        if (list[i]->Name() == name)
            return static_cast<int>(i);
    return -1;
}

HRESULT TDA2::AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                       LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                       DWORD* pRevisedUpdateRate, REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk)
        *ppUnk = nullptr;
    if (discarded_)
        return RPC_E_DISCONNECTED;
    // A group handed to nobody could never be released.
    if (!phServerGroup || !pRevisedUpdateRate || !ppUnk)
        return E_INVALIDARG;

    std::string name = AnsiFromWide(szName);
    if (name.empty()) {
        for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
            name += std::to_string(TheOpcContext().tickCount());
            if (!GroupNameInUse(name))
                break;
        }
    }
    if (GroupNameInUse(name)) {
        *phServerGroup = 0;
        return OPC_E_DUPLICATENAME;
    }

    const FLOAT deadband = pPercentDeadband ? *pPercentDeadband : 0.0f;
    if (std::isnan(deadband) || deadband < 0.0f || deadband > 100.0f)
        return E_INVALIDARG;

    TOPCGroup* group = TOPCGroup::Create(*this, private_);
    if (!group) {
        *phServerGroup = 0;
        return E_OUTOFMEMORY;
    }
    // The client gets the interface it asked for; a group without it is
    // never made (it goes with this reference, before it has a handle).
    ComPtr<TOPCGroup> hold(group);
    IUnknown* asked = nullptr;
    if (FAILED(group->QueryInterface(riid, reinterpret_cast<void**>(&asked))) || !asked) {
        *phServerGroup = 0;
        return E_NOINTERFACE;
    }
    private_.push_back(group);
    *phServerGroup = NextGroupServerHandle();
    group->Init(name, bActive, dwRequestedUpdateRate, hClientGroup, deadband, dwLCID, *phServerGroup, pTimeBias);
    *pRevisedUpdateRate = group->UpdateRate();
    const HRESULT result = group->UpdateRate() == dwRequestedUpdateRate ? S_OK : OPC_S_UNSUPPORTEDRATE;
    ConsoleRefresh();
    *ppUnk = asked;
    return result;
}

HRESULT TDA2::GetErrorString(HRESULT dwError, LCID, LPWSTR* ppString)
{
    if (discarded_)
        return RPC_E_DISCONNECTED;
    if (!ppString)
        return E_INVALIDARG;
    *ppString = WideCopy(ResultText(dwError));
    return *ppString ? S_OK : E_OUTOFMEMORY;
}

HRESULT TDA2::GetGroupByName(LPCWSTR szName, REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk)
        *ppUnk = nullptr;
    if (discarded_)
        return RPC_E_DISCONNECTED;
    const int index = FindGroupByName(private_, AnsiFromWide(szName));
    if (index < 0 || !ppUnk)
        return E_INVALIDARG;
    return private_[static_cast<std::size_t>(index)]->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
}

HRESULT TDA2::GetStatus(OPCSERVERSTATUS** ppServerStatus)
{
    if (!ppServerStatus)
        return E_INVALIDARG;
    *ppServerStatus = nullptr;
    if (discarded_)
        return RPC_E_DISCONNECTED;
    auto* status = static_cast<OPCSERVERSTATUS*>(CoTaskMemAlloc(sizeof(OPCSERVERSTATUS)));
    if (!status)
        return E_OUTOFMEMORY;
    std::memset(status, 0, sizeof *status);
    status->szVendorInfo = WideCopy(kVendorInfo);
    if (!status->szVendorInfo) {
        CoTaskMemFree(status);
        return E_OUTOFMEMORY;
    }
    status->ftStartTime = FileTimeFrom(LocalTimeToFileTime(startTime_));
    status->ftCurrentTime = FileTimeFrom(FileTimeNow());
    status->ftLastUpdateTime = FileTimeFrom(LocalTimeToFileTime(lastUpdateTime_));
    status->dwServerState = OPC_STATUS_RUNNING;
    status->dwGroupCount = GroupCount();
    status->dwBandWidth = 100;
    status->wMajorVersion = 1;
    status->wMinorVersion = 2;
    status->wBuildNumber = 5;
    status->wReserved = 0;
    *ppServerStatus = status;
    return S_OK;
}

HRESULT TDA2::RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce)
{
    if (discarded_)
        return RPC_E_DISCONNECTED;
    if (hServerGroup == 0)
        return E_INVALIDARG;
    for (TOPCGroupRemoved& record : removed_)
        if (record.serverHandle == hServerGroup)
            return ++record.removalCount == 1 ? S_OK : E_INVALIDARG;
    const auto it = std::find_if(private_.begin(), private_.end(),
                                 [&](TOPCGroup* g) { return g->ServerHandle() == hServerGroup; });
    if (it == private_.end())
        return E_INVALIDARG;
    TOPCGroup* group = *it;
    if (group->Removed())
        return E_INVALIDARG;
    group->MarkRemoved();
    if (!bForce)
        return OPC_S_INUSE;
    // The group goes as soon as no reference is left; one that an in-process
    // holder (a group enumerator) keeps stays in the list until then.
    if (group->RefCount() >= 1)
        CoDisconnectObject(group->Identity(), 0);
    return S_OK;
}

HRESULT TDA2::CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk)
        *ppUnk = nullptr;
    if (discarded_)
        return RPC_E_DISCONNECTED;
    const bool strings = riid == IID_IEnumString;
    if (!strings && riid != IID_IEnumUnknown)
        return E_NOINTERFACE;
    std::vector<const TGroupList*> lists;
    switch (dwScope) {
    case OPC_ENUM_PRIVATE_CONNECTIONS:
    case OPC_ENUM_PRIVATE:
        lists = {&private_};
        break;
    case OPC_ENUM_PUBLIC_CONNECTIONS:
    case OPC_ENUM_PUBLIC:
        lists = {&public_};
        break;
    case OPC_ENUM_ALL_CONNECTIONS:
    case OPC_ENUM_ALL:
        lists = {&private_, &public_};
        break;
    default:
        return E_INVALIDARG;
    }
    if (!ppUnk)
        return E_INVALIDARG;

    std::size_t count = 0;
    if (strings) {
        std::vector<std::string> names;
        for (const TGroupList* list : lists)
            for (TOPCGroup* g : *list)
                names.push_back(g->Name());
        count = names.size();
        IEnumString* e = CreateStringsEnumerator(names);
        if (!e)
            return E_OUTOFMEMORY;
        *ppUnk = e;
    } else {
        std::vector<IUnknown*> groups;
        for (const TGroupList* list : lists)
            for (TOPCGroup* g : *list) {
                IUnknown* unk = nullptr;
                g->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unk));
                groups.push_back(unk);
            }
        count = groups.size();
        IEnumUnknown* e = CreateUnknownEnumerator(std::move(groups));
        if (!e)
            return E_OUTOFMEMORY;
        *ppUnk = e;
    }
    return count == 0 ? S_FALSE : S_OK;
}

void TDA2::GroupDestroyed(const TGroupList* list, DWORD serverHandle)
{
    byHandle_.erase(serverHandle);
    TGroupList* target = list == &private_ ? &private_ : list == &public_ ? &public_ : nullptr;
    if (!target)
        return;
    const auto it = std::find_if(target->begin(), target->end(),
                                 [&](TOPCGroup* g) { return g->ServerHandle() == serverHandle; });
    if (it == target->end())
        return;
    removed_.push_back(TOPCGroupRemoved{(*it)->Name(), list, serverHandle, 0});
    target->erase(it);
    ConsoleRefresh();
}

HRESULT TDA2::CloneGroup(TOPCGroup& source, const std::string& name, IUnknown** ppUnk)
{
    *ppUnk = nullptr;
    TOPCGroup* clone = TOPCGroup::Create(*this, private_);
    if (!clone)
        return E_OUTOFMEMORY;
    // Holding a reference from here on lets a failure destroy the clone.
    ComPtr<TOPCGroup> hold(clone);
    try {
        private_.push_back(clone);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    clone->SetNameDirect(name);
    if (!source.CopyInto(*clone, NextGroupServerHandle())) {
        // Never handed out: no removed-group record for it.
        private_.erase(std::find(private_.begin(), private_.end(), clone));
        return E_OUTOFMEMORY;
    }
    *ppUnk = hold.detach()->Identity();
    return S_OK;
}

FILETIME TDA2::FileTimeOf(double localTime)
{
    if (localTime != fileTimeKey_) {
        fileTime_ = FileTimeFrom(LocalTimeToFileTime(localTime));
        fileTimeKey_ = localTime;
    }
    return fileTime_;
}

void TDA2::ScheduleGroup(DWORD groupHandle, std::int64_t due) { due_.emplace(due, groupHandle); }

void TDA2::VisitGroup(DWORD groupHandle) { visit_.push_back(groupHandle); }

void TDA2::NoteGroupHandle(TOPCGroup& group) { byHandle_[group.ServerHandle()] = &group; }

bool TDA2::advanceClock(bool early)
{
    // A pulse counts the time that passed since the previous one, so update
    // rates hold in real time however late (or early) pulses come; a tick
    // counter that stands still (a test's) counts the pulse period, except
    // right after an early pulse of the same millisecond.
    const std::uint32_t tick = TheOpcContext().tickCount ? TheOpcContext().tickCount() : 0;
    const std::uint32_t passed = ticked_ ? tick - lastTick_ : 0;
    if (early && !ticked_)
        return false;
    lastTick_ = tick;
    ticked_ = true;
    lastStep_ = passed > 0 || early || earlyLast_ ? passed : TOPCGroup::kPulsePeriod;
    earlyLast_ = early;
    clock_ += lastStep_;
    return true;
}

void TDA2::Pulse(double now)
{
    if (discarded_)
        return;
    lastUpdateTime_ = now;
    advanceClock(false);
    // The groups with something to do: those that asked, and those whose
    // update is due (entries made stale by a later schedule are skipped).
    std::vector<DWORD> handles;
    handles.swap(visit_);
    tickGroups(handles, now);
}

void TDA2::EarlyPulse(double now)
{
    if (discarded_ || !advanceClock(true))
        return;
    lastUpdateTime_ = now;
    std::vector<DWORD> handles;
    tickGroups(handles, now);
}

std::int64_t TDA2::MsToNextUpdate() const
{
    if (discarded_ || !ticked_ || due_.empty())
        return kNoUpdateDue;
    const std::uint32_t tick = TheOpcContext().tickCount ? TheOpcContext().tickCount() : 0;
    const auto now = clock_ + static_cast<std::int64_t>(tick - lastTick_);
    return std::max<std::int64_t>(due_.top().first - now, 0);
}

void TDA2::tickGroups(std::vector<DWORD>& handles, double now)
{
    while (!due_.empty() && due_.top().first <= clock_) {
        handles.push_back(due_.top().second);
        due_.pop();
    }
    if (handles.empty())
        return;
    // Group handles grow in list order.
    std::sort(handles.begin(), handles.end());
    handles.erase(std::unique(handles.begin(), handles.end()), handles.end());
    // A client may add, release or remove groups from inside a callback:
    // tick a snapshot, each group kept alive for its tick.
    std::vector<ComPtr<TOPCGroup>> groups;
    groups.reserve(handles.size());
    for (DWORD h : handles)
        if (const auto it = byHandle_.find(h); it != byHandle_.end())
            groups.emplace_back(it->second);
    for (auto& g : groups)
        if (!g->Detached())
            g->Tick(now);
}

bool TDA2::RequestShutdown()
{
    if (!shutdownSink_)
        return false;
    ComPtr<IUnknown> sink = shutdownSink_; // the client may Unadvise from inside the call
    ComPtr<IOPCShutdown> shutdown;
    if (FAILED(sink.As(IID_IOPCShutdown, shutdown)) || !shutdown)
        return false;
    const std::u16string reason = U16FromAnsi(kShutdownReason);
    shutdown->ShutdownRequest(reason.c_str());
    return true;
}

// ---------------------------------------------------------------- the table

TDA2* ServerInSlot(int slot)
{
    if (slot < 0 || slot >= TDA2::kSlots)
        return nullptr;
    return g_slots[static_cast<std::size_t>(slot)];
}

int ConnectedServerCount()
{
    int count = 0;
    for (TDA2* s : g_slots)
        if (s && CoIsHandlerConnected(s->Identity()))
            ++count;
    return count;
}

int TotalGroupCount()
{
    int count = 0;
    for (TDA2* s : g_slots)
        if (s)
            count += static_cast<int>(s->GroupCount());
    return count;
}

namespace {

template <typename F> void PulseEveryServer(F&& pulse)
{
    // The tags stored since the last pulse are sampled first.
    TheTagWatch().BeginPulse();
    struct End {
        ~End() { TheTagWatch().EndPulse(); }
    } end;
    for (int slot = 0; slot < TDA2::kSlots; ++slot)
        if (TDA2* s = g_slots[static_cast<std::size_t>(slot)]) {
            ComPtr<TDA2> keep(s); // a client may release it from inside a callback
            pulse(*s);
        }
}

} // namespace

void OpcServerPulse(double localNow)
{
    PulseEveryServer([localNow](TDA2& s) { s.Pulse(localNow); });
}

std::int64_t OpcMsToNextUpdate()
{
    std::int64_t ms = TDA2::kNoUpdateDue;
    for (TDA2* s : g_slots)
        if (s)
            ms = std::min(ms, s->MsToNextUpdate());
    return ms;
}

void OpcServerEarlyPulse(double localNow)
{
    PulseEveryServer([localNow](TDA2& s) { s.EarlyPulse(localNow); });
}

void RequestShutdownAll()
{
    for (int slot = 0; slot < TDA2::kSlots; ++slot)
        if (TDA2* s = g_slots[static_cast<std::size_t>(slot)]) {
            ComPtr<TDA2> keep(s);
            s->RequestShutdown();
        }
}

void DiscardAllServers()
{
    for (int slot = TDA2::kSlots - 1; slot >= 0; --slot)
        if (TDA2* s = g_slots[static_cast<std::size_t>(slot)]) {
            ComPtr<TDA2> keep(s);
            CoDisconnectObject(s->Identity(), 0);
            if (g_slots[static_cast<std::size_t>(slot)] == s)
                s->Discard();
        }
}

// ------------------------------------------------------------ class object

namespace {

// The class object of the server class. It lives as long as the process, so
// its reference count is only nominal, and LockServer has nothing to keep:
// what keeps a process started by the COM runtime alive is its live server
// objects.
class TDA2ClassFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IClassFactory)
            return ComAnswer(static_cast<IClassFactory*>(this), ppv);
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer)
            return CLASS_E_NOAGGREGATION;
        TDA2* server = TDA2::Create();
        if (!server)
            return E_OUTOFMEMORY; // all 31 slots taken
        // Hold a reference while asking for riid, so that a refused
        // interface destroys the object and frees its slot.
        server->AddRef();
        const HRESULT result = server->QueryInterface(riid, ppv);
        server->Release();
        return result;
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
};

TDA2ClassFactory g_da2Factory;

} // namespace

HRESULT GetOpcClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (clsid == CLSID_DA2)
        return g_da2Factory.QueryInterface(riid, ppv);
    return CLASS_E_CLASSNOTAVAILABLE;
}
