// TOPCGroup: life cycle, interfaces, group state and the group tick. Item
// management, IO and callbacks are in GroupItemMgt.cpp, GroupIO.cpp and
// GroupCallbacks.cpp.
#include "GroupUnit.h"

#include "Globals.h"
#include "OpcContext.h"
#include "ServIMPL.h"
#include "TagWatch.h"
#include "TaskMem.h"

#include <algorithm>
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
                                         flow_.reset();
                                         sink_.As(IID_ISinkFlow, flow_);
                                         if (active_)
                                             RequestFullReport();
                                     },
                                     [this](IUnknown* sink) {
                                         if (sink_.get() == sink || !sink)
                                             flow_.reset();
                                         sink_.reset();
                                     }});
}

TOPCGroup::~TOPCGroup()
{
    stopAwaiting();
    leaveServer();
    queue_.clear(); // pending transactions go without callbacks
    TTagWatch& watch = TheTagWatch();
    for (const TagItems& t : tags_)
        if (t.head)
            watch.Unsubscribe(t.tagIndex, *this);
    tags_.clear();
    items_.clear();
}

void TOPCGroup::leaveServer()
{
    sink_.reset();
    flow_.reset();
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
    if (riid == IID_ISlicedRequest)
        return ComAnswer(static_cast<ISlicedRequest*>(this), ppv);
    return E_NOINTERFACE;
}

void TOPCGroup::setUpdateRate(DWORD requested)
{
    updateRate_ = requested == 0 ? kDefaultUpdateRate : requested;
    setElapsed(0);
}

DWORD TOPCGroup::Elapsed() const
{
    std::int64_t e = elapsedBase_;
    if (running_ && server_)
        e += server_->Clock() - baseClock_;
    return static_cast<DWORD>(std::max<std::int64_t>(e, 0));
}

void TOPCGroup::setElapsed(std::int64_t ms)
{
    stopAwaiting();
    elapsedBase_ = ms;
    baseClock_ = server_ ? server_->Clock() : 0;
    schedule();
}

void TOPCGroup::schedule()
{
    if (server_ && running_)
        server_->ScheduleGroup(serverHandle_, DueClock());
}

void TOPCGroup::wantVisit()
{
    if (server_ && awaiting_) {
        stopAwaiting();
        schedule(); // due since it began to await
    }
    if (server_ && !visitQueued) {
        visitQueued = true;
        server_->VisitGroup(serverHandle_);
    }
}

void TOPCGroup::RequestInProgress(BOOL inProgress)
{
    busy_ = inProgress != 0;
    if (!busy_)
        wantVisit(); // what waited is done at the next pulse
}

void TOPCGroup::ItemNeedsCheck(TOPCItem& item)
{
    if (!item.checkQueued) {
        item.checkQueued = true;
        toCheck_.push_back(item.ServerHandle());
    }
    wantVisit();
}

void TOPCGroup::TagChanged(std::size_t) { wantVisit(); }

void TOPCGroup::startAwaiting()
{
    if (awaiting_)
        return;
    awaiting_ = true;
    TTagWatch& watch = TheTagWatch();
    for (const TagItems& place : tags_)
        if (place.head)
            watch.Await(place.tagIndex, +1);
}

void TOPCGroup::stopAwaiting()
{
    if (!awaiting_)
        return;
    awaiting_ = false;
    TTagWatch& watch = TheTagWatch();
    for (const TagItems& place : tags_)
        if (place.head)
            watch.Await(place.tagIndex, -1);
}

void TOPCGroup::catchUp(TOPCItem& item)
{
    const TTagWatch& watch = TheTagWatch();
    const int tag = item.TagIndex();
    const std::uint64_t serial = watch.Serial(tag);
    if (item.seenSerial == serial)
        return;
    if (item.IsActive()) {
        // Two moves: some pulse saw a text other than the item's; one: the
        // pulses saw the sample, which a check then would have compared.
        if (serial - item.seenSerial >= 2)
            item.MarkChanged();
        item.ChangeCheck(watch.SampleText(tag), watch.SampleStale(tag));
    }
    item.seenSerial = serial;
}

void TOPCGroup::recheckIfAhead(TOPCItem& item)
{
    if (inTick_ || !item.IsActive())
        return; // within a pulse every stored tag is sampled at once
    const TTagWatch& watch = TheTagWatch();
    const int tag = item.TagIndex();
    if (watch.Stale(tag) != watch.SampleStale(tag) || TagText(TheOpcContext().tags, tag) != watch.SampleText(tag))
        ItemNeedsCheck(item);
}

void TOPCGroup::lookAtMovedPlaces()
{
    const TTagTable* table = TheOpcContext().tags;
    const TTagWatch& watch = TheTagWatch();
    for (TagItems& place : tags_) {
        if (!place.head)
            continue;
        const std::uint64_t serial = watch.Serial(place.tagIndex);
        if (serial == place.seenSerial)
            continue;
        place.seenSerial = serial;
        // Every item of the place shows the same tag: its text and state
        // are looked up once.
        const std::string& text = TagText(table, place.tagIndex);
        const bool stale = watch.Stale(place.tagIndex);
        for (TOPCItem* item = place.head; item; item = item->nextOfTag) {
            catchUp(*item);
            if (item->IsActive()) {
                item->ChangeCheck(text, stale);
                if (item->Changed())
                    notePending(*item);
            }
        }
    }
}

void TOPCGroup::check(TOPCItem& item)
{
    catchUp(item);
    if (!item.IsActive())
        return; // checked again when it is activated
    const int tag = item.TagIndex();
    item.ChangeCheck(TagText(TheOpcContext().tags, tag), TheTagWatch().Stale(tag));
    if (item.Changed())
        notePending(item);
    recheckIfAhead(item);
}

void TOPCGroup::notePending(TOPCItem& item)
{
    if (!item.reportQueued) {
        item.reportQueued = true;
        pending_.push_back(item.ServerHandle());
    }
    if (awaiting_)
        wantVisit(); // a change outside the tick (a read, a new item)
}

void TOPCGroup::insertItem(std::unique_ptr<TOPCItem> item)
{
    if (awaiting_) {
        stopAwaiting(); // the tags it awaits change: it updates at the next pulse
        schedule();
    }
    TOPCItem& ref = *item;
    ref.slot = items_.size();
    ref.checkQueued = false;
    ref.reportQueued = false;
    items_.push_back(std::move(item));
    try {
        byHandle_.emplace(ref.ServerHandle(), &ref);
        const auto [place, fresh] = tagPlace_.try_emplace(ref.TagIndex(), tags_.size());
        if (fresh) {
            tags_.emplace_back();
            tags_.back().tagIndex = ref.TagIndex();
        }
        TagItems& ofTag = tags_[place->second];
        if (!ofTag.head) {
            TheTagWatch().Subscribe(ref.TagIndex(), *this, place->second);
            ofTag.seenSerial = TheTagWatch().Serial(ref.TagIndex());
        }
        // What the tag was before the item came is not the item's.
        ref.seenSerial = TheTagWatch().Serial(ref.TagIndex());
        ref.tagPlace = place->second;
        ref.prevOfTag = nullptr;
        ref.nextOfTag = ofTag.head;
        if (ofTag.head)
            ofTag.head->prevOfTag = &ref;
        ofTag.head = &ref;
    } catch (...) {
        byHandle_.erase(ref.ServerHandle());
        items_.pop_back();
        throw;
    }
    ref.SetOwner(this);
    if (liveItems_++ == 0 && !running_) {
        // The elapsed counter runs again from where it stopped.
        running_ = true;
        baseClock_ = server_ ? server_->Clock() : 0;
        schedule();
    }
    // Its first check: now rather than at the next pulse, which compares
    // the same (a store meanwhile marks its tag) and keeps large requests
    // from loading one pulse.
    check(ref);
}

void TOPCGroup::eraseItem(TOPCItem& item)
{
    if (awaiting_) {
        stopAwaiting();
        schedule();
    }
    if (item.tagPlace < tags_.size()) {
        TagItems& ofTag = tags_[item.tagPlace];
        if (item.prevOfTag)
            item.prevOfTag->nextOfTag = item.nextOfTag;
        else
            ofTag.head = item.nextOfTag;
        if (item.nextOfTag)
            item.nextOfTag->prevOfTag = item.prevOfTag;
        item.prevOfTag = item.nextOfTag = nullptr;
        if (!ofTag.head)
            TheTagWatch().Unsubscribe(item.TagIndex(), *this);
    }
    byHandle_.erase(item.ServerHandle());
    item.SetOwner(nullptr);
    std::unique_ptr<TOPCItem> owned = std::move(items_[item.slot]);
    // An item removed from inside a callback may have lent its text to
    // that callback's arrays: it goes when the pass is over.
    if (inQueuePass_) {
        item.removed = true; // the data change in progress skips it
        retired_.push_back(std::move(owned));
    }
    owned.reset();
    if (--liveItems_ == 0 && running_) {
        elapsedBase_ = Elapsed();
        running_ = false;
    }
    // Empty places are squeezed out once they outnumber the items, which
    // keeps removals constant in time on average; the order stays.
    const std::size_t empty = items_.size() - liveItems_;
    if (empty > 64 && empty > liveItems_) {
        std::size_t next = 0;
        for (auto& slot : items_)
            if (slot) {
                slot->slot = next;
                items_[next++] = std::move(slot);
            }
        items_.resize(next);
    }
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
    server_->NoteGroupHandle(*this);
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
    if (clone.server_)
        clone.server_->NoteGroupHandle(clone);
    clone.setElapsed(0);
    try {
        clone.items_.reserve(liveItems_);
        clone.byHandle_.reserve(liveItems_);
        forEachItem([&](const TOPCItem& item) { clone.insertItem(item.Copy()); });
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void TOPCGroup::RequestFullReport()
{
    forEachItem([](TOPCItem& item) { item.RequestFullReport(); });
    lookAtAll_ = true;
    setElapsed(updateRate_);
    wantVisit();
}

// ------------------------------------------------------------------ the tick

void TOPCGroup::Tick(double now)
{
    visitQueued = false;
    if (!server_ || inTick_ || liveItems_ == 0 || busy_)
        return;
    inTick_ = true;
    releaseDroppedSink();
    const FILETIME stamp = server_->FileTimeOf(now);
    const bool due = Elapsed() >= updateRate_;
    // Items are compared before transactions report them and before an
    // update, whether the group is active or not.
    if (lookAtAll_) {
        lookAtAll_ = false;
        forEachItem([this](TOPCItem& item) { check(item); });
    } else if (due || !queue_.empty()) {
        lookAtMovedPlaces();
    }
    processQueue(stamp);
    checkMarked();
    if (due)
        update(stamp);
    inTick_ = false;
    if (!queue_.empty() || !toCheck_.empty())
        wantVisit();
}

void TOPCGroup::checkMarked()
{
    if (!toCheck_.empty()) {
        std::vector<OPCHANDLE> marked;
        marked.swap(toCheck_);
        for (OPCHANDLE h : marked)
            if (TOPCItem* item = findItem(h)) {
                item->checkQueued = false;
                check(*item);
            }
    }
    // The checks themselves move no quality: nothing was marked meanwhile.
    toCheck_.clear();
}

void TOPCGroup::update(const FILETIME& stamp)
{
    const bool reporting = sink_ && active_ && asyncEnable_;
    if (reporting && flow_ && flow_->FlowState() == SinkFlowState::Congested) {
        // The client is not reading: its items keep their changes (each its
        // latest value) for the first pulse after it drained.
        processQueue(stamp);
        // Looked at again at the next regular pulse (not at every early one).
        server_->ScheduleGroup(serverHandle_, server_->Clock() + kPulsePeriod - 1);
        return;
    }
    changed_.clear();
    changedItems_.clear();
    if (pending_.size() > liveItems_ / 8) {
        // Most items changed: one walk of the list in its order is cheaper
        // than sorting them.
        pending_.clear();
        forEachItem([this](TOPCItem& item) {
            item.reportQueued = false;
            if (!item.Changed())
                return;
            if (item.IsActive()) {
                item.TakeChanged();
                changed_.push_back(item.ServerHandle());
                changedItems_.push_back(&item);
            } else {
                notePending(item); // reported once active again
            }
        });
    } else if (!pending_.empty()) {
        std::vector<TOPCItem*> taken;
        std::vector<OPCHANDLE> kept;
        for (OPCHANDLE h : pending_) {
            TOPCItem* item = findItem(h);
            if (!item)
                continue;
            if (!item->Changed()) {
                item->reportQueued = false;
            } else if (item->IsActive()) {
                item->TakeChanged();
                item->reportQueued = false;
                taken.push_back(item);
            } else {
                kept.push_back(h); // reported once active again
            }
        }
        pending_.swap(kept);
        std::sort(taken.begin(), taken.end(), [](const TOPCItem* a, const TOPCItem* b) { return a->slot < b->slot; });
        changed_.reserve(taken.size());
        for (TOPCItem* item : taken)
            changed_.push_back(item->ServerHandle());
        changedItems_ = std::move(taken);
    }
    if (reporting && !changed_.empty()) {
        if (auto t = TAsyncIO2::Create(TAsyncKind::DataChange, 0, NextCancelId(), 0)) {
            t->SetHandleSource(&changed_);
            queue_.push_back(std::move(t));
        }
    }
    processQueue(stamp);
    if (changed_.empty()) {
        if (running_)
            startAwaiting();
        return;
    }
    // The next update counts from now, as pulses count: every ceil(rate /
    // 10) pulses. What this one came late because its pulse itself came
    // late counts towards the next one, so late pulses add up to no more
    // than one pulse of delay.
    const std::int64_t late = static_cast<std::int64_t>(Elapsed()) - static_cast<std::int64_t>(updateRate_);
    const std::int64_t pulseLate = server_->LastStep() - static_cast<std::int64_t>(kPulsePeriod);
    setElapsed(std::clamp<std::int64_t>(std::min(late, pulseLate), 0, updateRate_ - 1));
}

void TOPCGroup::releaseDroppedSink()
{
    if (!flow_ || flow_->FlowState() != SinkFlowState::Dropped)
        return;
    TConnectionPoint* point = points_.Point(IID_IOPCDataCallback);
    const DWORD cookie = point ? point->CookieOf(sink_.get()) : 0;
    if (cookie)
        point->Unadvise(cookie); // resets sink_ and flow_
    sink_.reset();
    flow_.reset();
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
