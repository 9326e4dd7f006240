#pragma once
// TTagWatch: which items show each tag, and which tags are stale (their
// port waits for a lost device). The owner of the address space tells it
// when a tag's value was stored (OpcTagChanged) and when a tag's state moved
// (OpcSetTagStale); the watch then asks the owner of every item of that tag
// to check it at the next pulse. So a pulse costs what changed, not what is
// subscribed.
//
// Ownership: entries are plain pointers. A group adds an item when the item
// enters its list and removes it when it leaves (removal, group
// destruction), so no entry outlives its item. Main thread only.
#include "ItemsUnit.h"

#include <cstddef>
#include <vector>

class TTagWatch {
public:
    void Add(int tagIndex, TOPCItem& item, TItemOwner& owner);
    void Remove(int tagIndex, TOPCItem& item);
    // The tag's value was stored: every item of it is checked.
    void Changed(int tagIndex);
    // The tag's port lost its device (stale) or has it again; a change of
    // state is a change of its items' quality.
    void SetStale(int tagIndex, bool stale);
    bool Stale(int tagIndex) const
    {
        return tagIndex >= 0 && static_cast<std::size_t>(tagIndex) < stale_.size() &&
               stale_[static_cast<std::size_t>(tagIndex)];
    }
    // Every tag fresh again (the ports were rebuilt; their states follow).
    void ClearStale();
    // Items watching the tag (for tests).
    std::size_t Watching(int tagIndex) const;

private:
    struct Entry {
        TOPCItem* item;
        TItemOwner* owner;
    };
    std::vector<std::vector<Entry>> byTag_;
    std::vector<char> stale_;
};

TTagWatch& TheTagWatch();

// What the owner of the address space calls (main thread).
inline void OpcTagChanged(int tagIndex) { TheTagWatch().Changed(tagIndex); }
inline void OpcSetTagStale(int tagIndex, bool stale) { TheTagWatch().SetStale(tagIndex, stale); }
