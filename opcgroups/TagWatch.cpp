#include "TagWatch.h"

#include <algorithm>

TTagWatch::Tag& TTagWatch::tag(int tagIndex)
{
    const auto t = static_cast<std::size_t>(tagIndex);
    if (t >= tags_.size())
        tags_.resize(t + 1);
    return tags_[t];
}

void TTagWatch::tell(int tagIndex)
{
    // Subscribers only note the tag: none comes or goes meanwhile.
    for (const auto& [s, key] : tags_[static_cast<std::size_t>(tagIndex)].subscribers)
        s->TagChanged(key);
}

void TTagWatch::Changed(int tagIndex)
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= tags_.size())
        return; // nobody ever showed it
    Tag& t = tags_[static_cast<std::size_t>(tagIndex)];
    if (t.subscribers.empty())
        return;
    if (inPulse_) {
        tell(tagIndex);
        return;
    }
    bool awaited = false;
    if (!t.noted) {
        t.noted = true;
        noted_.push_back(tagIndex);
        for (const auto& entry : t.subscribers)
            if (entry.first->AwaitsChange()) {
                awaited = true;
                break;
            }
    }
    if (storedBetweenPulses)
        storedBetweenPulses(awaited);
}

void TTagWatch::BeginPulse()
{
    inPulse_ = true;
    std::vector<int> noted;
    noted.swap(noted_);
    for (int index : noted) {
        tags_[static_cast<std::size_t>(index)].noted = false;
        tell(index);
    }
}

void TTagWatch::Subscribe(int tagIndex, TTagSubscriber& subscriber, std::size_t key)
{
    if (tagIndex < 0)
        return;
    auto& list = tag(tagIndex).subscribers;
    for (const auto& entry : list)
        if (entry.first == &subscriber)
            return;
    list.emplace_back(&subscriber, key);
}

void TTagWatch::Unsubscribe(int tagIndex, TTagSubscriber& subscriber)
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= tags_.size())
        return;
    auto& list = tags_[static_cast<std::size_t>(tagIndex)].subscribers;
    const auto it =
        std::find_if(list.begin(), list.end(), [&](const auto& entry) { return entry.first == &subscriber; });
    if (it != list.end()) {
        *it = list.back();
        list.pop_back();
    }
}

std::size_t TTagWatch::Subscribers(int tagIndex) const
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= tags_.size())
        return 0;
    return tags_[static_cast<std::size_t>(tagIndex)].subscribers.size();
}

void TTagWatch::SetStale(int tagIndex, bool stale)
{
    if (tagIndex < 0)
        return;
    Tag& t = tag(tagIndex);
    if (t.stale == stale)
        return;
    t.stale = stale;
    tell(tagIndex);
}

void TTagWatch::ClearStale()
{
    for (std::size_t t = 0; t < tags_.size(); ++t)
        if (tags_[t].stale)
            SetStale(static_cast<int>(t), false);
}

TTagWatch& TheTagWatch()
{
    static TTagWatch watch;
    return watch;
}
