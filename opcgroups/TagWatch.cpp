#include "TagWatch.h"

#include "ItemsUnit.h"
#include "OpcContext.h"

#include <algorithm>

TTagWatch::Tag& TTagWatch::tag(int tagIndex)
{
    if (index(tagIndex) >= tags_.size())
        tags_.resize(index(tagIndex) + 1);
    return tags_[index(tagIndex)];
}

const std::string& TTagWatch::SampleText(int tagIndex) const
{
    static const std::string kNoText;
    return known(tagIndex) ? tags_[index(tagIndex)].sample : kNoText;
}

void TTagWatch::sample(int tagIndex)
{
    Tag& t = tags_[index(tagIndex)];
    const std::string& text = TagText(TheOpcContext().tags, tagIndex);
    if (text == t.sample && t.stale == t.sampleStale)
        return;
    t.sample = text;
    t.sampleStale = t.stale;
    ++t.serial;
    if (t.awaiting > 0) {
        // Subscribers only note the tag: none comes or goes meanwhile.
        for (const auto& [s, key] : t.subscribers)
            if (s->AwaitsChange())
                s->TagChanged(key);
    }
}

void TTagWatch::stored(int tagIndex)
{
    Tag& t = tags_[index(tagIndex)];
    if (inPulse_) {
        sample(tagIndex);
        return;
    }
    if (!t.noted) {
        t.noted = true;
        noted_.push_back(tagIndex);
    }
    if (storedBetweenPulses && !t.subscribers.empty())
        storedBetweenPulses(t.awaiting > 0);
}

void TTagWatch::Changed(int tagIndex)
{
    if (known(tagIndex))
        stored(tagIndex); // a tag nobody ever showed is sampled when first shown
}

void TTagWatch::BeginPulse()
{
    inPulse_ = true;
    std::vector<int> noted;
    noted.swap(noted_);
    for (int tagIndex : noted) {
        tags_[index(tagIndex)].noted = false;
        sample(tagIndex);
    }
}

void TTagWatch::Subscribe(int tagIndex, TTagSubscriber& subscriber, std::size_t key)
{
    if (tagIndex < 0)
        return;
    const bool fresh = index(tagIndex) >= tags_.size();
    auto& list = tag(tagIndex).subscribers;
    if (fresh || (list.empty() && !tags_[index(tagIndex)].noted)) {
        // Its sample is what it holds now: no one looked at it meanwhile.
        Tag& t = tags_[index(tagIndex)];
        t.sample = TagText(TheOpcContext().tags, tagIndex);
        t.sampleStale = t.stale;
    }
    for (const auto& entry : list)
        if (entry.first == &subscriber)
            return;
    list.emplace_back(&subscriber, key);
}

void TTagWatch::Unsubscribe(int tagIndex, TTagSubscriber& subscriber)
{
    if (!known(tagIndex))
        return;
    auto& list = tags_[index(tagIndex)].subscribers;
    const auto it =
        std::find_if(list.begin(), list.end(), [&](const auto& entry) { return entry.first == &subscriber; });
    if (it != list.end()) {
        *it = list.back();
        list.pop_back();
    }
}

void TTagWatch::Await(int tagIndex, int delta)
{
    if (known(tagIndex))
        tags_[index(tagIndex)].awaiting += delta;
}

std::size_t TTagWatch::Subscribers(int tagIndex) const
{
    return known(tagIndex) ? tags_[index(tagIndex)].subscribers.size() : 0;
}

void TTagWatch::SetStale(int tagIndex, bool stale)
{
    if (tagIndex < 0)
        return;
    Tag& t = tag(tagIndex);
    if (t.stale == stale)
        return;
    t.stale = stale;
    stored(tagIndex);
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
