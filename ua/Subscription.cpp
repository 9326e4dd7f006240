#include "Subscription.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ua {

namespace {

constexpr std::int32_t kTriggerStatus = 0, kTriggerStatusValueTimestamp = 2;
constexpr std::uint32_t kDeadbandAbsolute = 1;

} // namespace

bool MonitoredItem::Changed(const DataValue& sample) const
{
    if (!haveLast)
        return true;
    const std::int32_t trigger = hasFilter ? filter.trigger : 1;
    if ((sample.status & 0xFFFF0000u) != (last.status & 0xFFFF0000u))
        return true;
    if (trigger == kTriggerStatus)
        return false;
    bool valueChanged = !(sample.value == last.value);
    double a = 0, b = 0;
    if (valueChanged && hasFilter && filter.deadbandType == kDeadbandAbsolute && sample.value.AsDouble(a) &&
        last.value.AsDouble(b))
        valueChanged = std::fabs(a - b) > filter.deadbandValue;
    if (valueChanged)
        return true;
    return trigger == kTriggerStatusValueTimestamp && sample.sourceTimestamp != last.sourceTimestamp;
}

bool MonitoredItem::Offer(const DataValue& sample)
{
    if (mode == MonitoringMode::Disabled || !Changed(sample))
        return false;
    last = sample;
    haveLast = true;
    if (queue.size() < queueSize) {
        queue.push_back(sample);
        return true;
    }
    // Full: one value goes, and with a queue of more than one the client is
    // told by the overflow bit.
    const StatusCode overflow = queueSize > 1 ? (kInfoTypeDataValue | kOverflowBit) : 0;
    if (discardOldest) {
        queue.erase(queue.begin());
        queue.push_back(sample);
        queue.front().status |= overflow;
    } else {
        queue.back() = sample;
        queue.back().status |= overflow;
    }
    return true;
}

DataValue MonitoredItem::Stamped(const DataValue& v) const
{
    DataValue out = v;
    if (timestamps == TimestampsToReturn::Server || timestamps == TimestampsToReturn::Neither) {
        out.sourceTimestamp = 0;
        out.sourcePicoseconds = 0;
    }
    if (timestamps == TimestampsToReturn::Source || timestamps == TimestampsToReturn::Neither) {
        out.serverTimestamp = 0;
        out.serverPicoseconds = 0;
    }
    return out;
}

bool Subscription::HasNotifications() const
{
    for (const auto& [id, item] : items)
        if (item->mode == MonitoringMode::Reporting && !item->queue.empty())
            return true;
    return false;
}

NotificationMessage Subscription::numbered(NotificationMessage m)
{
    m.sequenceNumber = nextSequence_;
    // Sequence numbers start at 1 and skip 0 when they wrap.
    nextSequence_ = nextSequence_ == std::numeric_limits<std::uint32_t>::max() ? 1 : nextSequence_ + 1;
    sent_.push_back(m);
    while (sent_.size() > limits::kMaxRetransmissionQueue)
        sent_.pop_front();
    return m;
}

NotificationMessage Subscription::TakeNotifications(DateTime now, bool& more)
{
    DataChangeNotification change;
    const std::size_t max = maxNotificationsPerPublish == 0
                                ? limits::kMaxNotificationsPerPublish
                                : std::min(maxNotificationsPerPublish, limits::kMaxNotificationsPerPublish);
    more = false;
    for (auto& [id, item] : items) {
        if (item->mode != MonitoringMode::Reporting)
            continue;
        const std::size_t room = max - change.monitoredItems.size();
        const std::size_t take = std::min(room, item->queue.size());
        for (std::size_t i = 0; i < take; ++i)
            change.monitoredItems.push_back({item->clientHandle, item->Stamped(item->queue[i])});
        item->queue.erase(item->queue.begin(), item->queue.begin() + static_cast<std::ptrdiff_t>(take));
        if (!item->queue.empty()) {
            more = true;
            break;
        }
    }
    NotificationMessage m;
    m.publishTime = now;
    m.notificationData.push_back(ToExtension(enc::DataChangeNotification, change));
    return numbered(std::move(m));
}

NotificationMessage Subscription::KeepAlive(DateTime now) const
{
    NotificationMessage m;
    m.sequenceNumber = nextSequence_;
    m.publishTime = now;
    return m;
}

NotificationMessage Subscription::StatusChange(DateTime now, StatusCode status)
{
    NotificationMessage m;
    m.publishTime = now;
    m.notificationData.push_back(ToExtension(enc::StatusChangeNotification, StatusChangeNotification{status, {}}));
    return numbered(std::move(m));
}

StatusCode Subscription::Acknowledge(std::uint32_t sequenceNumber)
{
    const auto it = std::find_if(sent_.begin(), sent_.end(),
                                 [&](const NotificationMessage& m) { return m.sequenceNumber == sequenceNumber; });
    if (it == sent_.end())
        return sc::BadSequenceNumberUnknown;
    sent_.erase(it);
    return sc::Good;
}

const NotificationMessage* Subscription::Retransmit(std::uint32_t sequenceNumber) const
{
    for (const NotificationMessage& m : sent_)
        if (m.sequenceNumber == sequenceNumber)
            return &m;
    return nullptr;
}

std::vector<std::uint32_t> Subscription::AvailableSequenceNumbers() const
{
    std::vector<std::uint32_t> out;
    out.reserve(sent_.size());
    for (const NotificationMessage& m : sent_)
        out.push_back(m.sequenceNumber);
    return out;
}

std::int64_t Subscription::NextSampleDue() const
{
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    for (const auto& [id, item] : items) {
        if (item->mode == MonitoringMode::Disabled || item->node < 0)
            continue;
        if (!item->eventDriven || item->samplePending)
            due = std::min(due, item->nextSampleMs);
    }
    return due;
}

} // namespace ua
