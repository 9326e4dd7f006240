#include "TagWatch.h"

void TTagWatch::Add(int tagIndex, TOPCItem& item, TItemOwner& owner)
{
    if (tagIndex < 0)
        return;
    const auto t = static_cast<std::size_t>(tagIndex);
    if (t >= byTag_.size())
        byTag_.resize(t + 1);
    item.watchSlot = byTag_[t].size();
    byTag_[t].push_back(Entry{&item, &owner});
}

void TTagWatch::Remove(int tagIndex, TOPCItem& item)
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= byTag_.size())
        return;
    auto& list = byTag_[static_cast<std::size_t>(tagIndex)];
    const std::size_t slot = item.watchSlot;
    if (slot >= list.size() || list[slot].item != &item)
        return;
    // The last entry takes the freed place.
    list[slot] = list.back();
    list[slot].item->watchSlot = slot;
    list.pop_back();
}

void TTagWatch::Changed(int tagIndex)
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= byTag_.size())
        return;
    // Owners only note the item: the list does not change meanwhile.
    for (const Entry& e : byTag_[static_cast<std::size_t>(tagIndex)])
        e.owner->ItemNeedsCheck(*e.item);
}

void TTagWatch::SetStale(int tagIndex, bool stale)
{
    if (tagIndex < 0)
        return;
    const auto t = static_cast<std::size_t>(tagIndex);
    if (t >= stale_.size()) {
        if (!stale)
            return;
        stale_.resize(t + 1, 0);
    }
    if (static_cast<bool>(stale_[t]) == stale)
        return;
    stale_[t] = stale ? 1 : 0;
    Changed(tagIndex);
}

void TTagWatch::ClearStale()
{
    for (std::size_t t = 0; t < stale_.size(); ++t)
        if (stale_[t])
            SetStale(static_cast<int>(t), false);
}

std::size_t TTagWatch::Watching(int tagIndex) const
{
    if (tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= byTag_.size())
        return 0;
    return byTag_[static_cast<std::size_t>(tagIndex)].size();
}

TTagWatch& TheTagWatch()
{
    static TTagWatch watch;
    return watch;
}
