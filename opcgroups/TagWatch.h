#pragma once
// TTagWatch: which groups show each tag, so that a pulse checks only the
// items whose tag changed.
//
// The owner of the address space tells it when a tag's value was stored
// (OpcTagChanged) and when a tag's port lost its device or got it back
// (OpcSetTagStale). A store between pulses is noted in constant time; at the
// start of the next pulse (BeginPulse) every group with items of a noted tag
// is told once (TagChanged), however often the tag was stored. A store
// during a pulse (an asynchronous write carried out by a group, a client
// writing from inside a callback) tells the groups at once, so groups that
// tick later in the same pulse see it there, as the others do at the next
// pulse. A group then compares the items of that tag with the tag's text at
// its tick, which is the change check every item had at every pulse: items
// whose tag was not stored have nothing to compare.
//
// Ownership: subscribers are plain pointers; a group subscribes for a tag
// when its first item of the tag comes and unsubscribes when the last one
// goes or the group is destroyed. Main thread only.
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

// A group told that a tag it shows was stored or changed its staleness; it
// hears of the tag by the key it subscribed with.
class TTagSubscriber {
public:
    virtual void TagChanged(std::size_t key) = 0;
    // Its update time came and found nothing to report: a store to one of its
    // tags is worth an early pulse.
    virtual bool AwaitsChange() const = 0;

protected:
    ~TTagSubscriber() = default;
};

class TTagWatch {
public:
    // The tag's value was stored (maybe with the same text).
    void Changed(int tagIndex);
    // The tag's port lost its device (stale) or has it again; a change of
    // staleness changes the quality of the tag's items.
    void SetStale(int tagIndex, bool stale);
    // Every tag fresh again (the ports were rebuilt; their states follow).
    void ClearStale();
    bool Stale(int tagIndex) const
    {
        return tagIndex >= 0 && static_cast<std::size_t>(tagIndex) < tags_.size() &&
               tags_[static_cast<std::size_t>(tagIndex)].stale;
    }

    // The pulse begins: the groups of the tags stored since the last pulse
    // are told. Until EndPulse, stores are told at once.
    void BeginPulse();
    void EndPulse() { inPulse_ = false; }

    void Subscribe(int tagIndex, TTagSubscriber& subscriber, std::size_t key);
    void Unsubscribe(int tagIndex, TTagSubscriber& subscriber);
    // Called at each store between pulses of a tag that groups show, so that
    // the program can make an early pulse deliver it sooner; awaited: a group
    // of the tag awaits a change (told at the first store since the pulse).
    std::function<void(bool awaited)> storedBetweenPulses;

    // Groups subscribed for the tag (for tests).
    std::size_t Subscribers(int tagIndex) const;

private:
    struct Tag {
        bool noted = false; // stored to since the last pulse
        bool stale = false;
        std::vector<std::pair<TTagSubscriber*, std::size_t>> subscribers; // with their keys
    };
    Tag& tag(int tagIndex);
    void tell(int tagIndex);

    std::vector<Tag> tags_;
    std::vector<int> noted_;
    bool inPulse_ = false;
};

TTagWatch& TheTagWatch();

// What the owner of the address space calls (main thread).
inline void OpcTagChanged(int tagIndex) { TheTagWatch().Changed(tagIndex); }
inline void OpcSetTagStale(int tagIndex, bool stale) { TheTagWatch().SetStale(tagIndex, stale); }
