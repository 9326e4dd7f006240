#pragma once
// TTagWatch: what each tag was at the pulses, so that a group checks its
// items when its update comes rather than at every pulse.
//
// The owner of the address space tells it when a tag's value was stored
// (OpcTagChanged) and when a tag's port lost its device or got it back
// (OpcSetTagStale). A tag is sampled at the first pulse after it was stored
// (BeginPulse), and at once when the store happens during a pulse (an
// asynchronous write carried out by a group, a client writing from inside
// a callback): its text and staleness then are its sample, and its serial
// counts the samples that differed from the one before. A group compares an
// item with its tag when it updates or the item is observed otherwise (a
// read, an activation): when the serial moved by two or more since the item
// last looked, some pulse saw the tag differ from what the item holds, as a
// check at every pulse would have seen; when it moved by one, the item is
// compared with that sample and then with the tag now.
//
// A group whose update found nothing awaits a change (TTagSubscriber::
// AwaitsChange); such groups are counted per tag, so a store tells the
// program at no cost whether an early pulse is worth making, and the sample
// that moves the tag wakes them.
//
// Ownership: subscribers are plain pointers; a group subscribes for a tag
// when its first item of the tag comes and unsubscribes when the last one
// goes or the group is destroyed. Main thread only.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// A group that shows a tag; it hears of the tag by the key it subscribed with.
class TTagSubscriber {
public:
    // The tag moved while the group awaited a change.
    virtual void TagChanged(std::size_t key) = 0;
    // Its update time came and found nothing to report.
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
    bool Stale(int tagIndex) const { return known(tagIndex) && tags_[static_cast<std::size_t>(tagIndex)].stale; }

    // The samples of the tag: how many differed from the one before, and
    // the latest (an unknown tag: 0, an empty text, fresh).
    std::uint64_t Serial(int tagIndex) const { return known(tagIndex) ? tags_[index(tagIndex)].serial : 0; }
    const std::string& SampleText(int tagIndex) const;
    bool SampleStale(int tagIndex) const { return known(tagIndex) && tags_[index(tagIndex)].sampleStale; }

    // The pulse begins: the tags stored since the last pulse are sampled.
    // Until EndPulse, stores are sampled at once.
    void BeginPulse();
    void EndPulse() { inPulse_ = false; }

    void Subscribe(int tagIndex, TTagSubscriber& subscriber, std::size_t key);
    void Unsubscribe(int tagIndex, TTagSubscriber& subscriber);
    // A subscriber of the tag began (+1) or stopped (-1) awaiting a change.
    void Await(int tagIndex, int delta);
    // Groups subscribed for the tag (for tests).
    std::size_t Subscribers(int tagIndex) const;

    // Called at each store between pulses of a tag that groups show, so that
    // the program can make an early pulse deliver it sooner; awaited: a group
    // of the tag awaits a change.
    std::function<void(bool awaited)> storedBetweenPulses;

private:
    struct Tag {
        bool noted = false; // stored to since the last pulse
        bool stale = false;
        bool sampleStale = false;
        int awaiting = 0; // subscribers awaiting a change
        std::uint64_t serial = 0;
        std::string sample;
        std::vector<std::pair<TTagSubscriber*, std::size_t>> subscribers; // with their keys
    };
    static std::size_t index(int tagIndex) { return static_cast<std::size_t>(tagIndex); }
    bool known(int tagIndex) const { return tagIndex >= 0 && index(tagIndex) < tags_.size(); }
    Tag& tag(int tagIndex);
    void stored(int tagIndex);
    void sample(int tagIndex);

    std::vector<Tag> tags_;
    std::vector<int> noted_;
    bool inPulse_ = false;
};

TTagWatch& TheTagWatch();

// What the owner of the address space calls (main thread).
inline void OpcTagChanged(int tagIndex) { TheTagWatch().Changed(tagIndex); }
inline void OpcSetTagStale(int tagIndex, bool stale) { TheTagWatch().SetStale(tagIndex, stale); }
