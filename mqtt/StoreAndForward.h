#pragma once
// Values kept while the broker is unreachable (or the primary host is
// offline): bounded, oldest first. When full, the oldest value makes room for
// the newest and is counted as dropped. Main thread only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

struct StoredValue {
    int linkIndex = -1;
    std::string device;     // the device id when the value came
    std::string text;       // the tag's text (port bytes)
    std::int64_t changedMs = 0;
};

class StoreAndForward {
public:
    explicit StoreAndForward(std::size_t limit) : limit_(limit) {}

    // True when the store was full (a value was dropped: the oldest, or this
    // one when the bound is 0).
    bool Push(StoredValue value);
    // Every kept value, oldest first; the store is empty afterwards.
    std::deque<StoredValue> TakeAll();

    std::size_t Size() const { return values_.size(); }
    std::size_t Limit() const { return limit_; }
    // Values dropped since the last TakeDropped.
    std::uint64_t TakeDropped();

private:
    std::size_t limit_;
    std::deque<StoredValue> values_;
    std::uint64_t dropped_ = 0;
};
