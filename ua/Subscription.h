#pragma once
// Subscriptions and their monitored items: what a sample does to an item's
// queue (trigger, absolute deadband, queue size, discardOldest and the
// overflow bit), and what a subscription hands to a Publish response
// (notifications in order, sequence numbers, the retransmission queue for
// Republish and acknowledgements). When a subscription publishes, keeps
// alive or expires is the server's publishing cycle (SubscriptionServices).
//
// Threads: main thread. Items are owned by their subscription;
// subscriptions by their session.
#include "Limits.h"
#include "Messages.h"

#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace ua {

struct MonitoredItem {
    std::uint32_t id = 0;
    std::uint32_t subscription = 0;
    std::uint32_t clientHandle = 0;
    ReadValueId item;
    MonitoringMode mode = MonitoringMode::Reporting;
    double samplingInterval = limits::kMinSamplingIntervalMs; // revised
    std::uint32_t queueSize = 1;                              // revised
    bool discardOldest = true;
    bool hasFilter = false;
    DataChangeFilter filter;
    TimestampsToReturn timestamps = TimestampsToReturn::Both;

    // Sampling. Items on a tag's Value are sampled when the tag changes
    // (at most once per sampling interval; a change inside the interval is
    // sampled at its end); the rest are sampled every interval.
    int node = -1; // index in the address space; -1 while the node is gone
    bool eventDriven = false;
    std::int64_t lastSampleMs = 0;
    std::int64_t nextSampleMs = 0;
    bool samplePending = false;
    bool haveLast = false;
    DataValue last; // the last value that passed the filter

    // Oldest first. A vector: most queues hold one value, and a deque's
    // first block alone is larger than the rest of the item.
    std::vector<DataValue> queue;

    // Takes a sample: queues it when it passes the trigger and deadband.
    // True when it was queued.
    bool Offer(const DataValue& sample);
    // Whether a new sample differs enough from the last one.
    bool Changed(const DataValue& sample) const;
    // The value as the client asked for its time stamps.
    DataValue Stamped(const DataValue& v) const;
};

class Subscription {
public:
    Subscription(std::uint32_t id, std::int64_t nowMs) : nextPublishMs(nowMs), id_(id) {}

    std::uint32_t Id() const { return id_; }

    // Revised parameters.
    double publishingInterval = limits::kMinPublishingIntervalMs;
    std::uint32_t lifetimeCount = 30;
    std::uint32_t maxKeepAliveCount = 10;
    std::uint32_t maxNotificationsPerPublish = limits::kMaxNotificationsPerPublish;
    std::uint8_t priority = 0;
    bool publishingEnabled = true;

    // Publishing state, driven by the server's cycle.
    std::int64_t nextPublishMs;
    std::uint32_t keepAliveCounter = 0;
    std::uint32_t lifetimeCounter = 0;
    bool late = false;          // has something to send and waits for a Publish request
    std::int64_t lateSinceMs = 0;
    bool firstMessageSent = false;

    std::map<std::uint32_t, std::unique_ptr<MonitoredItem>> items;

    // Any reporting item with queued values.
    bool HasNotifications() const;
    // Up to maxNotificationsPerPublish queued values, oldest first, in a
    // new numbered message kept for Republish; more is set when values stay.
    NotificationMessage TakeNotifications(DateTime now, bool& more);
    // A keep-alive: no data, the sequence number the next message will have.
    NotificationMessage KeepAlive(DateTime now) const;
    // A numbered message carrying one status change (the subscription's end).
    NotificationMessage StatusChange(DateTime now, StatusCode status);
    // Good, or Bad_SequenceNumberUnknown.
    StatusCode Acknowledge(std::uint32_t sequenceNumber);
    // The message with that sequence number if it is still kept.
    const NotificationMessage* Retransmit(std::uint32_t sequenceNumber) const;
    std::vector<std::uint32_t> AvailableSequenceNumbers() const;
    // The earliest time an item needs a sample; INT64_MAX when none does.
    std::int64_t NextSampleDue() const;

private:
    NotificationMessage numbered(NotificationMessage m);

    std::uint32_t id_;
    std::uint32_t nextSequence_ = 1;
    std::deque<NotificationMessage> sent_;
};

} // namespace ua
