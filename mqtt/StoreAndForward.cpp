#include "StoreAndForward.h"

#include <utility>

bool StoreAndForward::Push(StoredValue value)
{
    if (limit_ == 0) {
        ++dropped_;
        return true;
    }
    bool full = false;
    if (values_.size() >= limit_) {
        values_.pop_front();
        ++dropped_;
        full = true;
    }
    values_.push_back(std::move(value));
    return full;
}

std::deque<StoredValue> StoreAndForward::TakeAll()
{
    std::deque<StoredValue> all;
    all.swap(values_);
    return all;
}

std::uint64_t StoreAndForward::TakeDropped() { return std::exchange(dropped_, 0); }
