#pragma once
// TOPCItem: one tag of the tag table bound into one group.
//
// Every tag is served as text: the item's cached value is the tag's text as
// last copied from the value list, and reads deliver it in the item's
// requested type. The change check compares the tag's current text and the
// item's quality with what the item compared last time; that is what makes
// a data change. The text compared last is always the cached value itself
// (every change check and every remembered report leave the two equal), so
// one field holds both.
//
// The item's quality is GOOD while it is active and its tag's port has its
// device, OPC_QUALITY_COMM_FAILURE while the port waits for a lost device
// (the tag is stale), and OUT_OF_SERVICE for the cache of an inactive item.
//
// Ownership: items are plain objects owned by their group's item list
// (std::unique_ptr); a clone owns its own copies. An item tells its owner
// (when it has one) whenever the outcome of its next change check may have
// moved, so that the group checks only such items at a pulse. Main thread
// only.
#include "OPCtypes.h"

#include <cstdint>
#include <memory>
#include <string>

#include "Globals.h"

// The tag's current text, or an empty text when the value list has no
// record at that index (no tag table, or its records were freed at close).
// Inline: the scan asks for it once per active item and pulse.
inline const std::string& TagText(const TTagTable* tags, int tagIndex)
{
    static const std::string kNoText;
    if (!tags || tagIndex < 0 || static_cast<std::size_t>(tagIndex) >= tags->ValueCount())
        return kNoText;
    return tags->Value(static_cast<std::size_t>(tagIndex)).textValue;
}

class TOPCItem;

// Told by an item whose quality or last-compared quality moved.
class TItemOwner {
public:
    virtual void ItemNeedsCheck(TOPCItem& item) = 0;

protected:
    ~TItemOwner() = default;
};

class TOPCItem {
public:
    static constexpr SHORT kQualityNeverCompared = -1;
    static constexpr SHORT kQualityFullReport = 64;

    TOPCItem(DWORD serverHandle, OPCHANDLE clientHandle, int tagIndex, std::string itemId, bool writable,
             VARTYPE canonicalType);
    ~TOPCItem();
    TOPCItem(const TOPCItem&) = delete;
    TOPCItem& operator=(const TOPCItem&) = delete;

    // Items alive in the process (leak checks).
    static long LiveItems();

    // active := v; quality := the live quality (GOOD, or COMM_FAILURE for a
    // stale tag) when v is non-zero, else 28. The owner checks an item it
    // activates.
    void SetActive(BOOL v);
    // requested type := vt, or the canonical type for VT_EMPTY.
    void SetRequestedType(VARTYPE vt);
    void SetClientHandle(OPCHANDLE h) { clientHandle_ = h; }

    // Copies the tag's text into the cached value, takes the tag's state
    // (stale: its port waits for a lost device) into an active item's
    // quality, and compares text and quality with what was compared last
    // time; sets the changed flag when either differs. Returns whether the
    // item changed.
    bool ChangeCheck(const std::string& tagText, bool stale)
    {
        stale_ = stale;
        if (active_)
            quality_ = LiveQuality();
        bool changed = false;
        if (cached_ != tagText) {
            cached_ = tagText;
            textStale_ = true;
            changed = true;
        }
        if (static_cast<int>(quality_) != static_cast<int>(lastQuality_)) {
            lastQuality_ = static_cast<SHORT>(quality_);
            changed = true;
        }
        if (changed)
            changed_ = true;
        return changed;
    }
    // Returns the changed flag and clears it.
    bool TakeChanged();
    // The next change check reports the item (full report); the owner
    // checks it.
    void RequestFullReport() { lastQuality_ = kQualityFullReport; }

    // The cached value for source (OPC_DS_CACHE, OPC_DS_DEVICE, or 0 for
    // callbacks) in the requested type. Sets the item's quality (28 for a
    // cache read of an inactive item, else 192); reported starts as that
    // quality and drops to 0 when the conversion overflowed. value must be
    // empty on entry; it is VT_EMPTY after a failed conversion, whose code is
    // returned as the per-item error.
    //
    // lent: the value is the item's own text (see LentText) rather than a
    // copy. A value handed to a client (synchronous read) is never lent; a
    // callback's [in] array may lend it, and its maker then empties that
    // entry instead of clearing it.
    HRESULT ValueFor(DWORD source, VARIANT& value, WORD& reported, bool mayLend, bool& lent);
    // Synchronous read: a change check against tagText and the tag's state,
    // then a copy of the value for source into state (state.vDataValue must
    // be empty on entry).
    HRESULT StateFill(const std::string& tagText, bool stale, DWORD source, const FILETIME& timeStamp,
                      OPCITEMSTATE& state);
    // Asynchronous read and data change: client handle and the value for
    // source 0 (possibly lent); remember: the compared state takes the
    // reported value.
    HRESULT ReportFill(bool remember, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, bool& lent);
    // Write: the tag's text := the text form of value; text receives it.
    // OPC_E_BADTYPE when the value has no text form, E_FAIL when the tag has
    // no value record. Nothing is changed on failure.
    HRESULT Store(TTagTable* tags, const VARIANT& value, std::string& text) const;
    // A copy for a cloned group: every field, but never compared and not
    // marked changed.
    std::unique_ptr<TOPCItem> Copy() const;

    // The quality of a value read from the device now.
    WORD LiveQuality() const { return stale_ ? OPC_QUALITY_COMM_FAILURE : OPC_QUALITY_GOOD; }
    bool Stale() const { return stale_; }

    void SetOwner(TItemOwner* owner) { owner_ = owner; }

    DWORD ServerHandle() const { return serverHandle_; }
    OPCHANDLE ClientHandle() const { return clientHandle_; }
    BOOL Active() const { return active_; }
    bool IsActive() const { return active_ != 0; }
    WORD Quality() const { return quality_; }
    SHORT LastQuality() const { return lastQuality_; }
    bool Changed() const { return changed_; }
    // A pulse saw its tag differ from what it holds (TTagWatch::Serial).
    void MarkChanged() { changed_ = true; }
    bool Writable() const { return writable_; }
    int TagIndex() const { return tagIndex_; }
    const std::string& ItemId() const { return itemId_; }
    const std::string& CachedValue() const { return cached_; }
    VARTYPE RequestedType() const { return requestedType_; }
    VARTYPE CanonicalType() const { return canonicalType_; }
    // Access rights as reported to clients.
    DWORD AccessRights() const { return writable_ ? (OPC_READABLE | OPC_WRITEABLE) : OPC_READABLE; }

private:
    void setQuality(WORD q);
    void setLastQuality(SHORT q);
    BSTR lentText();

    // What a change check reads comes first, within one cache line.
    TItemOwner* owner_ = nullptr;
    int tagIndex_;
    BOOL active_ = 0;
    WORD quality_ = OPC_QUALITY_OUT_OF_SERVICE;
    SHORT lastQuality_ = kQualityNeverCompared;
    bool stale_ = false;
    bool changed_ = false;
    bool textStale_ = true;
    bool writable_ = true;
    std::string cached_; // also the text compared last
    // The cached value as a BSTR for callbacks, remade only when the text
    // changed: a callback's arrays are the server's, so it can lend them
    // this instead of a fresh copy per value and update.
    BSTR text_ = nullptr;
    UINT textCapacity_ = 0; // units text_ can hold
    DWORD serverHandle_;
    OPCHANDLE clientHandle_;
    VARTYPE requestedType_;
    VARTYPE canonicalType_;
    std::string itemId_;

public:
    // The group's bookkeeping (see GroupUnit.h).
    std::size_t slot = 0;        // position in the group's item list (list order)
    std::size_t tagPlace = 0;    // the group's place for its tag
    TOPCItem* prevOfTag = nullptr; // the other items of that place
    TOPCItem* nextOfTag = nullptr;
    std::uint64_t seenSerial = 0; // its tag's serial when it last looked (TTagWatch)
    bool checkQueued = false;    // in the group's list of items to check
    bool reportQueued = false;   // in the group's list of items with the changed flag
    bool removed = false;        // removed during a queue pass, kept until it ends
};
