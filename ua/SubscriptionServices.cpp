// The subscription and monitored item services, Publish and Republish, and
// the publishing cycle: each publishing interval a subscription sends its
// queued data changes, or a keep-alive when maxKeepAliveCount intervals
// passed without a message, on the oldest queued Publish request of its
// session; without a request it is late and counts towards its lifetime,
// and at lifetimeCount it ends with a StatusChangeNotification Bad_Timeout.
#include "Server.h"

#include "PortHub.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ua {

namespace {

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

double Clamp(double v, double lo, double hi) { return std::isnan(v) ? lo : std::clamp(v, lo, hi); }

bool IsNumericType(std::uint32_t dataType)
{
    return dataType >= 2 && dataType <= 11; // SByte .. Double
}

} // namespace

// ---- subscriptions -------------------------------------------------------------

void Server::reviseSubscription(Subscription& s, double interval, std::uint32_t lifetime, std::uint32_t keepAlive,
                                std::uint32_t maxNotifications, std::uint8_t priority)
{
    s.publishingInterval = Clamp(interval, limits::kMinPublishingIntervalMs, limits::kMaxPublishingIntervalMs);
    s.maxKeepAliveCount = keepAlive == 0 ? 10 : std::min(keepAlive, limits::kMaxKeepAliveCount);
    s.lifetimeCount = std::clamp(lifetime, 3 * s.maxKeepAliveCount, limits::kMaxLifetimeCount);
    s.maxNotificationsPerPublish = maxNotifications;
    s.priority = priority;
    s.lifetimeCounter = 0;
}

void Server::createSubscription(Call& call, CreateSubscriptionRequest& r)
{
    Session& session = *call.session;
    std::size_t all = 0;
    for (const auto& [number, s] : sessions_)
        all += s->subscriptions.size();
    if (session.subscriptions.size() >= static_cast<std::size_t>(limits::kMaxSubscriptionsPerSession) ||
        all >= static_cast<std::size_t>(limits::kMaxSubscriptions)) {
        fault(call, sc::BadTooManySubscriptions);
        return;
    }
    auto s = std::make_unique<Subscription>(nextSubscription_++, now());
    reviseSubscription(*s, r.requestedPublishingInterval, r.requestedLifetimeCount, r.requestedMaxKeepAliveCount,
                       r.maxNotificationsPerPublish, r.priority);
    s->publishingEnabled = r.publishingEnabled;
    s->nextPublishMs = now() + static_cast<std::int64_t>(s->publishingInterval);
    sampleDue_[s->Id()] = kNever;
    CreateSubscriptionResponse response;
    response.subscriptionId = s->Id();
    response.revisedPublishingInterval = s->publishingInterval;
    response.revisedLifetimeCount = s->lifetimeCount;
    response.revisedMaxKeepAliveCount = s->maxKeepAliveCount;
    session.subscriptions.push_back(std::move(s));
    ++summary_.cumulatedSubscriptionCount;
    respond(call, enc::CreateSubscriptionResponse, response);
}

void Server::modifySubscription(Call& call, ModifySubscriptionRequest& r)
{
    Subscription* s = call.session->FindSubscription(r.subscriptionId);
    if (!s) {
        fault(call, sc::BadSubscriptionIdInvalid);
        return;
    }
    reviseSubscription(*s, r.requestedPublishingInterval, r.requestedLifetimeCount, r.requestedMaxKeepAliveCount,
                       r.maxNotificationsPerPublish, r.priority);
    s->nextPublishMs = std::min(s->nextPublishMs, now() + static_cast<std::int64_t>(s->publishingInterval));
    ModifySubscriptionResponse response;
    response.revisedPublishingInterval = s->publishingInterval;
    response.revisedLifetimeCount = s->lifetimeCount;
    response.revisedMaxKeepAliveCount = s->maxKeepAliveCount;
    respond(call, enc::ModifySubscriptionResponse, response);
}

void Server::deleteSubscription(Session& session, std::uint32_t id)
{
    const auto it = std::find_if(session.subscriptions.begin(), session.subscriptions.end(),
                                 [id](const auto& s) { return s->Id() == id; });
    if (it == session.subscriptions.end())
        return;
    for (auto& [itemId, item] : (*it)->items)
        unindex(*item);
    itemCount_ -= (*it)->items.size();
    sampleDue_.erase(id);
    session.subscriptions.erase(it);
}

void Server::deleteSubscriptions(Call& call, DeleteSubscriptionsRequest& r)
{
    if (const StatusCode s = checkCount(r.subscriptionIds.size(), limits::kMaxSubscriptionIdsPerCall); IsBad(s)) {
        fault(call, s);
        return;
    }
    Session& session = *call.session;
    StatusResultsResponse response;
    for (std::uint32_t id : r.subscriptionIds) {
        const bool found = session.FindSubscription(id) != nullptr;
        deleteSubscription(session, id);
        response.results.push_back(found ? sc::Good : sc::BadSubscriptionIdInvalid);
    }
    diagnose(call, response.header, response.diagnosticInfos, response.results);
    respond(call, enc::DeleteSubscriptionsResponse, response);
    // Publish requests that no subscription will ever answer.
    if (session.subscriptions.empty() && session.endedSubscriptions.empty())
        while (!session.publishQueue.empty()) {
            PendingPublish p = std::move(session.publishQueue.front());
            session.publishQueue.pop_front();
            if (SecureChannel* channel = Channel(p.channelId)) {
                Call c{*channel, p.requestId, p.header, &session};
                fault(c, sc::BadNoSubscription);
            }
        }
}

void Server::setPublishingMode(Call& call, SetPublishingModeRequest& r)
{
    if (const StatusCode s = checkCount(r.subscriptionIds.size(), limits::kMaxSubscriptionIdsPerCall); IsBad(s)) {
        fault(call, s);
        return;
    }
    StatusResultsResponse response;
    for (std::uint32_t id : r.subscriptionIds) {
        Subscription* s = call.session->FindSubscription(id);
        if (s) {
            s->publishingEnabled = r.publishingEnabled;
            s->lifetimeCounter = 0;
        }
        response.results.push_back(s ? sc::Good : sc::BadSubscriptionIdInvalid);
    }
    diagnose(call, response.header, response.diagnosticInfos, response.results);
    respond(call, enc::SetPublishingModeResponse, response);
}

// ---- monitored items -------------------------------------------------------------

void Server::resolve(MonitoredItem& item)
{
    item.node = space_.IndexOf(item.item.nodeId);
    item.eventDriven = item.node >= 0 && space_.At(item.node).source == ValueSource::TagText &&
                       item.item.attributeId == static_cast<std::uint32_t>(AttributeId::Value);
}

void Server::index(MonitoredItem& item)
{
    if (!item.eventDriven)
        return;
    const auto tag = static_cast<std::size_t>(space_.At(item.node).arg);
    if (tag >= itemsByTag_.size())
        itemsByTag_.resize(tag + 1);
    itemsByTag_[tag].push_back(&item);
}

void Server::unindex(MonitoredItem& item)
{
    for (auto& list : itemsByTag_) {
        const auto it = std::find(list.begin(), list.end(), &item);
        if (it != list.end()) {
            list.erase(it);
            return;
        }
    }
}

StatusCode Server::applyParameters(MonitoredItem& item, const MonitoringParameters& p, bool creating)
{
    const ExtensionObject& f = p.filter;
    DataChangeFilter filter;
    bool hasFilter = false;
    if (!(f.typeId.IsNull() && f.encoding == ExtensionObject::None)) {
        if (f.typeId == NodeId::Numeric(enc::EventFilter) || f.typeId == NodeId::Numeric(enc::AggregateFilter))
            return sc::BadMonitoredItemFilterUnsupported;
        if (!FromExtension(f, enc::DataChangeFilter, filter))
            return sc::BadMonitoredItemFilterInvalid;
        if (item.item.attributeId != static_cast<std::uint32_t>(AttributeId::Value))
            return sc::BadFilterNotAllowed;
        if (filter.trigger < 0 || filter.trigger > 2)
            return sc::BadMonitoredItemFilterInvalid;
        if (filter.deadbandType == 2)
            return sc::BadMonitoredItemFilterUnsupported; // no EURange to take a percentage of
        if (filter.deadbandType > 2 || filter.deadbandValue < 0 || std::isnan(filter.deadbandValue))
            return sc::BadDeadbandFilterInvalid;
        if (filter.deadbandType == 1 && (item.node < 0 || !IsNumericType(space_.At(item.node).dataType)))
            return sc::BadFilterNotAllowed;
        hasFilter = true;
    }
    item.hasFilter = hasFilter;
    item.filter = filter;
    item.clientHandle = p.clientHandle;
    double interval = p.samplingInterval;
    if (interval < 0) {
        // -1: the subscription's publishing interval.
        for (const auto& [n, s] : sessions_)
            if (Subscription* sub = s->FindSubscription(item.subscription))
                interval = sub->publishingInterval;
    }
    // A tag's Value is sampled as it changes, so it can have every change
    // (0) or any interval; everything else is polled, at the program's
    // pulse at the fastest.
    item.samplingInterval = Clamp(interval, item.eventDriven ? 0.0 : limits::kMinSamplingIntervalMs,
                                  limits::kMaxSamplingIntervalMs);
    item.queueSize = std::clamp<std::uint32_t>(p.queueSize, 1, limits::kMaxQueueSize);
    item.discardOldest = p.discardOldest;
    if (item.queue.size() > item.queueSize) {
        const auto excess = static_cast<std::ptrdiff_t>(item.queue.size() - item.queueSize);
        if (item.discardOldest)
            item.queue.erase(item.queue.begin(), item.queue.begin() + excess);
        else
            item.queue.resize(item.queueSize);
    }
    if (!creating)
        item.nextSampleMs = item.lastSampleMs + static_cast<std::int64_t>(item.samplingInterval);
    return sc::Good;
}

void Server::sample(MonitoredItem& item, std::int64_t nowMs)
{
    DataValue v = item.node >= 0 ? readAttribute(item.node, item.item, TimestampsToReturn::Both, nullptr)
                                 : DataValue::Bad(sc::BadNodeIdUnknown);
    if (v.serverTimestamp == 0)
        v.serverTimestamp = Now();
    item.lastSampleMs = nowMs;
    item.samplePending = false;
    item.nextSampleMs = nowMs + static_cast<std::int64_t>(item.samplingInterval);
    item.Offer(v);
}

void Server::sampleDue(Subscription& s, std::int64_t nowMs)
{
    for (auto& [id, item] : s.items) {
        if (item->mode == MonitoringMode::Disabled || item->node < 0)
            continue;
        const bool due = (!item->eventDriven || item->samplePending) && nowMs >= item->nextSampleMs;
        if (due)
            sample(*item, nowMs);
    }
    sampleDue_[s.Id()] = s.NextSampleDue();
}

// The subscription a monitored item call names, after the checks every such
// call shares (the time stamps asked for, when the call has them, and the
// number of items); null when the call got a fault instead.
Subscription* Server::itemCall(Call& call, std::uint32_t subscriptionId, std::size_t items,
                               const TimestampsToReturn* timestamps)
{
    Subscription* s = call.session->FindSubscription(subscriptionId);
    StatusCode status = sc::Good;
    if (!s)
        status = sc::BadSubscriptionIdInvalid;
    else if (timestamps &&
             static_cast<std::uint32_t>(*timestamps) > static_cast<std::uint32_t>(TimestampsToReturn::Neither))
        status = sc::BadTimestampsToReturnInvalid;
    else
        status = checkCount(items, limits::kMaxMonitoredItemsPerCall);
    if (IsBad(status)) {
        fault(call, status);
        return nullptr;
    }
    s->lifetimeCounter = 0;
    return s;
}

void Server::createMonitoredItems(Call& call, CreateMonitoredItemsRequest& r)
{
    Subscription* s = itemCall(call, r.subscriptionId, r.itemsToCreate.size(), &r.timestampsToReturn);
    if (!s)
        return;
    const std::int64_t t = now();
    CreateMonitoredItemsResponse response;
    std::vector<StatusCode> statuses;
    for (const MonitoredItemCreateRequest& c : r.itemsToCreate) {
        MonitoredItemCreateResult result;
        auto item = std::make_unique<MonitoredItem>();
        item->item = c.itemToMonitor;
        item->subscription = s->Id();
        item->timestamps = r.timestampsToReturn;
        resolve(*item);
        const int mode = static_cast<int>(c.monitoringMode);
        if (itemCount_ >= static_cast<std::size_t>(limits::kMaxMonitoredItems)) {
            result.statusCode = sc::BadTooManyMonitoredItems;
        } else if (item->node < 0) {
            result.statusCode = sc::BadNodeIdUnknown;
        } else if (mode < 0 || mode > 2) {
            result.statusCode = sc::BadMonitoringModeInvalid;
        } else {
            // What reading the attribute says about it (an attribute the node
            // lacks, a range or encoding that does not apply).
            const StatusCode readable = readAttribute(item->node, item->item, TimestampsToReturn::Neither, nullptr).status;
            if (readable == sc::BadAttributeIdInvalid || readable == sc::BadIndexRangeInvalid ||
                readable == sc::BadDataEncodingInvalid || readable == sc::BadDataEncodingUnsupported)
                result.statusCode = readable;
            else
                result.statusCode = applyParameters(*item, c.requestedParameters, true);
        }
        if (result.statusCode == sc::Good) {
            item->mode = c.monitoringMode;
            item->id = nextItem_++;
            result.monitoredItemId = item->id;
            result.revisedSamplingInterval = item->samplingInterval;
            result.revisedQueueSize = item->queueSize;
            MonitoredItem& ref = *item;
            s->items[item->id] = std::move(item);
            ++itemCount_;
            index(ref);
            // The first sample is the item's initial value.
            if (ref.mode != MonitoringMode::Disabled)
                sample(ref, t);
        }
        statuses.push_back(result.statusCode);
        response.results.push_back(std::move(result));
    }
    sampleDue_[s->Id()] = s->NextSampleDue();
    diagnose(call, response.header, response.diagnosticInfos, statuses);
    respond(call, enc::CreateMonitoredItemsResponse, response);
}

void Server::modifyMonitoredItems(Call& call, ModifyMonitoredItemsRequest& r)
{
    Subscription* s = itemCall(call, r.subscriptionId, r.itemsToModify.size(), &r.timestampsToReturn);
    if (!s)
        return;
    ModifyMonitoredItemsResponse response;
    std::vector<StatusCode> statuses;
    for (const MonitoredItemModifyRequest& m : r.itemsToModify) {
        MonitoredItemModifyResult result;
        const auto it = s->items.find(m.monitoredItemId);
        if (it == s->items.end()) {
            result.statusCode = sc::BadMonitoredItemIdInvalid;
        } else {
            // A rejected change leaves the item as it was.
            MonitoredItem changed = *it->second;
            result.statusCode = applyParameters(changed, m.requestedParameters, false);
            if (result.statusCode == sc::Good) {
                changed.timestamps = r.timestampsToReturn;
                MonitoredItem& item = *it->second;
                item.clientHandle = changed.clientHandle;
                item.samplingInterval = changed.samplingInterval;
                item.queueSize = changed.queueSize;
                item.discardOldest = changed.discardOldest;
                item.hasFilter = changed.hasFilter;
                item.filter = changed.filter;
                item.timestamps = changed.timestamps;
                item.queue = std::move(changed.queue);
                item.nextSampleMs = changed.nextSampleMs;
                result.revisedSamplingInterval = item.samplingInterval;
                result.revisedQueueSize = item.queueSize;
            }
        }
        statuses.push_back(result.statusCode);
        response.results.push_back(std::move(result));
    }
    sampleDue_[s->Id()] = s->NextSampleDue();
    diagnose(call, response.header, response.diagnosticInfos, statuses);
    respond(call, enc::ModifyMonitoredItemsResponse, response);
}

void Server::setMonitoringMode(Call& call, SetMonitoringModeRequest& r)
{
    const int mode = static_cast<int>(r.monitoringMode);
    if (mode < 0 || mode > 2) {
        fault(call, sc::BadMonitoringModeInvalid);
        return;
    }
    Subscription* s = itemCall(call, r.subscriptionId, r.monitoredItemIds.size(), nullptr);
    if (!s)
        return;
    const std::int64_t t = now();
    StatusResultsResponse response;
    for (std::uint32_t id : r.monitoredItemIds) {
        const auto it = s->items.find(id);
        if (it == s->items.end()) {
            response.results.push_back(sc::BadMonitoredItemIdInvalid);
            continue;
        }
        MonitoredItem& item = *it->second;
        const bool wasDisabled = item.mode == MonitoringMode::Disabled;
        item.mode = r.monitoringMode;
        if (item.mode == MonitoringMode::Disabled) {
            // Disabled items forget what they had: enabled again, they
            // report the value of that moment.
            item.queue.clear();
            item.haveLast = false;
        } else if (wasDisabled) {
            sample(item, t);
        }
        response.results.push_back(sc::Good);
    }
    sampleDue_[s->Id()] = s->NextSampleDue();
    diagnose(call, response.header, response.diagnosticInfos, response.results);
    respond(call, enc::SetMonitoringModeResponse, response);
}

void Server::deleteMonitoredItems(Call& call, DeleteMonitoredItemsRequest& r)
{
    Subscription* s = itemCall(call, r.subscriptionId, r.monitoredItemIds.size(), nullptr);
    if (!s)
        return;
    StatusResultsResponse response;
    for (std::uint32_t id : r.monitoredItemIds) {
        const auto it = s->items.find(id);
        if (it == s->items.end()) {
            response.results.push_back(sc::BadMonitoredItemIdInvalid);
            continue;
        }
        unindex(*it->second);
        s->items.erase(it);
        --itemCount_;
        response.results.push_back(sc::Good);
    }
    sampleDue_[s->Id()] = s->NextSampleDue();
    diagnose(call, response.header, response.diagnosticInfos, response.results);
    respond(call, enc::DeleteMonitoredItemsResponse, response);
}

// ---- publishing ------------------------------------------------------------------

bool Server::sendPublish(Session& session, Subscription& s)
{
    if (session.publishQueue.empty())
        return false;
    PendingPublish p = std::move(session.publishQueue.front());
    session.publishQueue.pop_front();
    PublishResponse response;
    response.subscriptionId = s.Id();
    response.results = std::move(p.ackResults);
    if (s.publishingEnabled && s.HasNotifications()) {
        bool more = false;
        response.notificationMessage = s.TakeNotifications(Now(), more);
        response.moreNotifications = more;
        s.late = more; // the rest goes with the next request at once
        s.lateSinceMs = now();
    } else {
        response.notificationMessage = s.KeepAlive(Now());
        s.late = false;
    }
    s.keepAliveCounter = 0;
    s.firstMessageSent = true;
    response.availableSequenceNumbers = s.AvailableSequenceNumbers();
    if (SecureChannel* channel = Channel(p.channelId)) {
        Call call{*channel, p.requestId, p.header, &session};
        respond(call, enc::PublishResponse, response);
    }
    return true;
}

bool Server::sendEnded(Session& session)
{
    if (session.endedSubscriptions.empty() || session.publishQueue.empty())
        return false;
    PendingPublish p = std::move(session.publishQueue.front());
    session.publishQueue.pop_front();
    PublishResponse response;
    response.subscriptionId = session.endedSubscriptions.front().first;
    response.notificationMessage = std::move(session.endedSubscriptions.front().second);
    response.results = std::move(p.ackResults);
    session.endedSubscriptions.pop_front();
    if (SecureChannel* channel = Channel(p.channelId)) {
        Call call{*channel, p.requestId, p.header, &session};
        respond(call, enc::PublishResponse, response);
    }
    return true;
}

void Server::servePendingPublishes(Session& session)
{
    while (!session.publishQueue.empty()) {
        if (sendEnded(session))
            continue;
        // The late subscription of the highest priority, the longest late first.
        Subscription* best = nullptr;
        for (const auto& s : session.subscriptions)
            if (s->late && (!best || s->priority > best->priority ||
                            (s->priority == best->priority && s->lateSinceMs < best->lateSinceMs)))
                best = s.get();
        if (!best)
            return;
        sendPublish(session, *best);
    }
}

void Server::publishCycle(Session& session, Subscription& s, std::int64_t nowMs)
{
    const auto interval = static_cast<std::int64_t>(s.publishingInterval);
    s.nextPublishMs += interval;
    if (s.nextPublishMs <= nowMs)
        s.nextPublishMs = nowMs + interval;
    const bool data = s.publishingEnabled && s.HasNotifications();
    const bool keepAliveDue = !s.firstMessageSent || s.keepAliveCounter + 1 >= s.maxKeepAliveCount;
    if (!session.publishQueue.empty()) {
        if (data || keepAliveDue)
            sendPublish(session, s);
        else
            ++s.keepAliveCounter;
        return;
    }
    if (data || keepAliveDue) {
        if (!s.late) {
            s.late = true;
            s.lateSinceMs = nowMs;
        }
    } else {
        ++s.keepAliveCounter;
    }
    if (++s.lifetimeCounter >= s.lifetimeCount) {
        // No Publish request for a whole lifetime: the subscription ends and
        // says so in the next Publish response the session gets.
        session.endedSubscriptions.emplace_back(s.Id(), s.StatusChange(Now(), sc::BadTimeout));
        deleteSubscription(session, s.Id());
    }
}

void Server::publish(Call& call, PublishRequest& r)
{
    Session& session = *call.session;
    PendingPublish p;
    p.channelId = call.channel.Id();
    p.requestId = call.requestId;
    p.header = call.header;
    p.deadlineMs = call.header.timeoutHint ? now() + call.header.timeoutHint : 0;
    for (const SubscriptionAcknowledgement& a : r.subscriptionAcknowledgements) {
        Subscription* s = session.FindSubscription(a.subscriptionId);
        p.ackResults.push_back(s ? s->Acknowledge(a.sequenceNumber) : sc::BadSubscriptionIdInvalid);
    }
    if (session.subscriptions.empty() && session.endedSubscriptions.empty()) {
        fault(call, sc::BadNoSubscription);
        return;
    }
    for (const auto& s : session.subscriptions)
        s->lifetimeCounter = 0;
    session.publishQueue.push_back(std::move(p));
    if (session.publishQueue.size() > limits::kMaxPublishRequestsPerSession) {
        PendingPublish oldest = std::move(session.publishQueue.front());
        session.publishQueue.pop_front();
        Call c{call.channel, oldest.requestId, oldest.header, &session};
        fault(c, sc::BadTooManyPublishRequests);
    }
    servePendingPublishes(session);
}

void Server::republish(Call& call, RepublishRequest& r)
{
    Subscription* s = call.session->FindSubscription(r.subscriptionId);
    if (!s) {
        fault(call, sc::BadSubscriptionIdInvalid);
        return;
    }
    s->lifetimeCounter = 0;
    const NotificationMessage* m = s->Retransmit(r.retransmitSequenceNumber);
    if (!m) {
        fault(call, sc::BadMessageNotAvailable);
        return;
    }
    RepublishResponse response;
    response.notificationMessage = *m;
    respond(call, enc::RepublishResponse, response);
}

} // namespace ua
