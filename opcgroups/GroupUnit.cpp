// TOPCGroup: life cycle, interfaces, group state and the group tick. Item
// management, IO and callbacks are in GroupItemMgt.cpp, GroupIO.cpp and
// GroupCallbacks.cpp.
#include "GroupUnit.h"

#include "Globals.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TaskMem.h"

#include <new>

namespace {
// A cloned group's empty name is tried at most this many times with a tick
// count appended.
constexpr int kNameAttempts = 9;
} // namespace

TOPCGroup* TOPCGroup::Create(TDA2& server, TGroupList& list)
{
    return new (std::nothrow) TOPCGroup(server, list);
}

TOPCGroup::TOPCGroup(TDA2& server, TGroupList& list) : points_(*Identity()), server_(&server), list_(&list)
{
    // The group calls back only its most recently advised sink, and none
    // once any connection is removed.
    points_.AddPoint(IID_IOPCDataCallback, ConnectionKind::Many,
                     ConnectionHooks{[this](IUnknown* sink) {
                                         sink_ = ComPtr<IUnknown>(sink);
                                         if (active_)
                                             RequestFullReport();
                                     },
                                     [this](IUnknown*) { sink_.reset(); }});
}

TOPCGroup::~TOPCGroup()
{
    leaveServer();
    queue_.clear(); // pending transactions go without callbacks
    items_.clear();
}

void TOPCGroup::leaveServer()
{
    sink_.reset();
    if (!server_)
        return;
    TDA2* server = server_;
    server_ = nullptr;
    server->GroupDestroyed(list_, serverHandle_);
}

void TOPCGroup::Detach()
{
    leaveServer();
    if (TConnectionPoint* p = points_.Point(IID_IOPCDataCallback))
        p->ReleaseAll();
}

HRESULT TOPCGroup::QueryInterfaceImpl(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || riid == IID_IOPCItemMgt)
        return ComAnswer(static_cast<IOPCItemMgt*>(this), ppv);
    if (riid == IID_IOPCGroupStateMgt)
        return ComAnswer(static_cast<IOPCGroupStateMgt*>(this), ppv);
    if (riid == IID_IOPCSyncIO)
        return ComAnswer(static_cast<IOPCSyncIO*>(this), ppv);
    if (riid == IID_IOPCAsyncIO2)
        return ComAnswer(static_cast<IOPCAsyncIO2*>(this), ppv);
    if (riid == IID_IOPCGroup)
        return ComAnswer(static_cast<IOPCGroup*>(this), ppv);
    if (riid == IID_IConnectionPointContainer)
        return ComAnswer(static_cast<IConnectionPointContainer*>(&points_), ppv);
    return E_NOINTERFACE;
}

void TOPCGroup::setUpdateRate(DWORD requested)
{
    updateRate_ = requested == 0 ? kDefaultUpdateRate : requested;
    elapsed_ = 0;
}

void TOPCGroup::Init(const std::string& name, BOOL active, DWORD requestedUpdateRate, OPCHANDLE clientGroup,
                     FLOAT percentDeadband, DWORD lcid, DWORD serverHandle, const LONG* timeBias)
{
    name_ = name;
    active_ = active;
    clientHandle_ = clientGroup;
    percentDeadband_ = percentDeadband;
    lcid_ = lcid;
    serverHandle_ = serverHandle;
    setUpdateRate(requestedUpdateRate);
    asyncEnable_ = kEnabledAtCreation;
    server_->SetLastUpdateTime(TheOpcContext().localNow());
    timeBias_ = timeBias ? *timeBias : TheOpcContext().timeZoneBias();
}

bool TOPCGroup::CopyInto(TOPCGroup& clone, DWORD cloneServerHandle) const
{
    clone.serverHandle_ = cloneServerHandle;
    clone.clientHandle_ = clientHandle_;
    clone.updateRate_ = updateRate_;
    clone.lcid_ = lcid_;
    clone.timeBias_ = timeBias_;
    clone.percentDeadband_ = percentDeadband_;
    clone.active_ = 0;
    clone.asyncEnable_ = kEnabledAtCreation;
    clone.elapsed_ = 0;
    try {
        clone.items_.reserve(items_.size());
        for (const auto& item : items_)
            clone.items_.push_back(item->Copy());
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void TOPCGroup::RequestFullReport()
{
    for (auto& item : items_)
        item->RequestFullReport();
    elapsed_ = updateRate_;
}

int TOPCGroup::findItem(OPCHANDLE serverHandle) const
{
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i]->ServerHandle() == serverHandle)
            return static_cast<int>(i);
    return -1;
}

// ------------------------------------------------------------------ the tick

void TOPCGroup::Tick(double now)
{
    if (!server_ || inTick_ || items_.empty())
        return;
    inTick_ = true;
    const FILETIME stamp = server_->FileTimeOf(now);
    processQueue(stamp);
    elapsed_ += kPulsePeriod;
    // Every active item is compared at every pulse, whether the group is
    // active or not, so that a change that lasted a pulse is not missed.
    const TTagTable* tags = TheOpcContext().tags;
    for (auto& item : items_)
        if (item->IsActive())
            item->ChangeCheck(TagText(tags, item->TagIndex()));
    if (elapsed_ >= updateRate_) {
        changed_.clear();
        for (std::size_t i = 0; i < items_.size(); ++i)
            if (items_[i]->IsActive() && items_[i]->TakeChanged())
                changed_.push_back(static_cast<DWORD>(i));
        if (sink_ && active_ && asyncEnable_ && !changed_.empty()) {
            if (auto t = TAsyncIO2::Create(TAsyncKind::DataChange, 0, NextCancelId(), 0)) {
                t->SetIndexSource(&changed_);
                queue_.push_back(std::move(t));
            }
        }
        processQueue(stamp);
        elapsed_ = 0;
    }
    inTick_ = false;
}

// ------------------------------------------------------- IOPCGroupStateMgt

HRESULT TOPCGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                            OPCHANDLE* phServerGroup)
{
    if (ppName)
        *ppName = nullptr;
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (!pUpdateRate || !pActive || !ppName || !pTimeBias || !pPercentDeadband || !pLCID || !phClientGroup ||
        !phServerGroup)
        return E_INVALIDARG;
    LPWSTR name = CoTaskStrDupAnsi(name_);
    if (!name)
        return E_OUTOFMEMORY;
    *pUpdateRate = updateRate_;
    *pActive = active_;
    *ppName = name;
    *pTimeBias = timeBias_;
    *pPercentDeadband = percentDeadband_;
    *pLCID = lcid_;
    *phClientGroup = clientHandle_;
    *phServerGroup = serverHandle_;
    return S_OK;
}

HRESULT TOPCGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive, LONG* pTimeBias,
                            FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup)
{
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (removed_)
        return E_FAIL;
    HRESULT result = S_OK;
    if (pRequestedUpdateRate) {
        setUpdateRate(*pRequestedUpdateRate);
        if (updateRate_ != *pRequestedUpdateRate)
            result = OPC_S_UNSUPPORTEDRATE;
    }
    if (pTimeBias)
        timeBias_ = *pTimeBias;
    if (pPercentDeadband)
        percentDeadband_ = *pPercentDeadband; // stored only: no deadband filtering
    if (pLCID)
        lcid_ = *pLCID;
    if (phClientGroup)
        clientHandle_ = *phClientGroup;
    if (pRevisedUpdateRate)
        *pRevisedUpdateRate = updateRate_;
    if (pActive) {
        if (*pActive && !active_)
            RequestFullReport();
        active_ = *pActive;
    }
    return result;
}

HRESULT TOPCGroup::SetName(LPCWSTR szName)
{
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (removed_)
        return E_FAIL;
    if (!szName || !szName[0])
        return E_INVALIDARG;
    const std::string name = AnsiFromWide(szName);
    // The group's own name counts as taken too.
    if (TDA2::FindGroupByName(server_->PrivateGroups(), name) >= 0)
        return OPC_E_DUPLICATENAME;
    name_ = name;
    return S_OK;
}

HRESULT TOPCGroup::CloneGroup(LPCWSTR szName, REFIID riid, IUnknown** ppUnk)
{
    if (ppUnk)
        *ppUnk = nullptr;
    if (!server_)
        return RPC_E_DISCONNECTED;
    if (riid != IID_IOPCGroupStateMgt && riid != CLSID_OPCEnumerators)
        return E_NOINTERFACE;
    std::string name = AnsiFromWide(szName);
    if (!name.empty() && server_->GroupNameInUse(name))
        return OPC_E_DUPLICATENAME;
    if (server_->GroupNameInUse(name)) {
        int attempt = 0;
        do {
            name += std::to_string(TheOpcContext().tickCount());
        } while (server_->GroupNameInUse(name) && ++attempt < kNameAttempts);
        if (server_->GroupNameInUse(name))
            return E_FAIL;
    }
    if (!ppUnk)
        return E_INVALIDARG;
    return server_->CloneGroup(*this, name, ppUnk);
}
