#include "ItemsUnit.h"

#include "Globals.h"
#include "OpcError.h"
#include "PortText.h"

#include <cstring>

namespace {

long g_liveItems = 0;

// The tag's bytes as a BSTR by the port text rule (never null for an empty
// text); nullptr when out of memory. Device texts are mostly plain ASCII,
// which is copied unit by unit without going through the rule.
BSTR TextAsBstr(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return BstrFromPortBytes(text);
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (out)
        for (std::size_t i = 0; i < text.size(); ++i)
            out[i] = static_cast<OLECHAR>(static_cast<unsigned char>(text[i]));
    return out;
}

} // namespace

TOPCItem::TOPCItem(DWORD serverHandle, OPCHANDLE clientHandle, int tagIndex, std::string itemId, bool writable,
                   VARTYPE canonicalType)
    : tagIndex_(tagIndex), writable_(writable), serverHandle_(serverHandle), clientHandle_(clientHandle),
      requestedType_(canonicalType), canonicalType_(canonicalType), itemId_(std::move(itemId))
{
    ++g_liveItems;
}

TOPCItem::~TOPCItem()
{
    SysFreeString(text_);
    --g_liveItems;
}

long TOPCItem::LiveItems() { return g_liveItems; }

void TOPCItem::setQuality(WORD q)
{
    if (q == quality_)
        return;
    quality_ = q;
    if (owner_)
        owner_->ItemNeedsCheck(*this);
}

void TOPCItem::setLastQuality(SHORT q)
{
    if (q == lastQuality_)
        return;
    lastQuality_ = q;
    if (owner_)
        owner_->ItemNeedsCheck(*this);
}

void TOPCItem::SetActive(BOOL v)
{
    active_ = v;
    // The owner checks an item it activates (checks skip inactive items).
    quality_ = v ? LiveQuality() : OPC_QUALITY_OUT_OF_SERVICE;
}

void TOPCItem::SetRequestedType(VARTYPE vt) { requestedType_ = vt == VT_EMPTY ? canonicalType_ : vt; }

bool TOPCItem::TakeChanged()
{
    const bool was = changed_;
    changed_ = false;
    return was;
}

BSTR TOPCItem::lentText()
{
    if (!textStale_)
        return text_;
    bool ascii = true;
    for (unsigned char c : cached_)
        ascii = ascii && c < 0x80;
    const auto units = static_cast<UINT>(cached_.size());
    if (ascii && (!text_ || units > textCapacity_)) {
        // Room for longer texts to come, so that a reading whose length
        // changes does not cost a new string each time.
        const UINT capacity = (units + 16) & ~15u;
        BSTR fresh = SysAllocStringLen(nullptr, capacity);
        if (!fresh)
            return nullptr;
        SysFreeString(text_);
        text_ = fresh;
        textCapacity_ = capacity;
    }
    if (ascii) {
        for (UINT i = 0; i < units; ++i)
            text_[i] = static_cast<OLECHAR>(static_cast<unsigned char>(cached_[i]));
        // The BSTR layout: the byte length sits just before the text, and a
        // NUL unit follows it.
        const DWORD bytes = units * sizeof(OLECHAR);
        std::memcpy(reinterpret_cast<unsigned char*>(text_) - sizeof(DWORD), &bytes, sizeof bytes);
        text_[units] = 0;
    } else {
        BSTR fresh = BstrFromPortBytes(cached_);
        if (!fresh)
            return nullptr;
        SysFreeString(text_);
        text_ = fresh;
        textCapacity_ = SysStringLen(fresh);
    }
    textStale_ = false;
    return text_;
}

HRESULT TOPCItem::ValueFor(DWORD source, VARIANT& value, WORD& reported, bool mayLend, bool& lent)
{
    setQuality((source == OPC_DS_CACHE && !active_) ? OPC_QUALITY_OUT_OF_SERVICE : LiveQuality());
    reported = quality_;
    lent = false;
    VariantInit(&value);
    // Only a callback touches the item's own text: a synchronous read (which
    // may come from inside a callback) works on a copy, so a value lent to
    // that callback stays as it was.
    BSTR text = mayLend ? lentText() : TextAsBstr(cached_);
    if (!text)
        return E_OUTOFMEMORY;
    // The value record holds text; a string item lends it as it is, any other
    // type is converted from it.
    if (requestedType_ == VT_BSTR) {
        value.vt = VT_BSTR;
        value.bstrVal = text;
        lent = mayLend;
        return S_OK;
    }
    VARIANT asText;
    VariantInit(&asText);
    asText.vt = VT_BSTR;
    asText.bstrVal = text;
    const HRESULT result = ConvertValue(asText, requestedType_, reported, value);
    if (!mayLend)
        SysFreeString(text);
    if (FAILED(result)) {
        VariantClear(&value);
        VariantInit(&value);
    }
    return result;
}

HRESULT TOPCItem::StateFill(const std::string& tagText, bool stale, DWORD source, const FILETIME& timeStamp,
                            OPCITEMSTATE& state)
{
    ChangeCheck(tagText, stale);
    state.hClient = clientHandle_;
    state.ftTimeStamp = timeStamp;
    WORD reported = 0;
    bool lent = false;
    const HRESULT result = ValueFor(source, state.vDataValue, reported, false, lent);
    state.wQuality = reported;
    return result;
}

HRESULT TOPCItem::ReportFill(bool remember, OPCHANDLE& clientHandle, VARIANT& value, WORD& quality, bool& lent)
{
    clientHandle = clientHandle_;
    const HRESULT result = ValueFor(0, value, quality, true, lent);
    if (remember)
        setLastQuality(static_cast<SHORT>(quality_));
    return result;
}

HRESULT TOPCItem::Store(TTagTable* tags, const VARIANT& value, std::string& text) const
{
    // A tag of another canonical type keeps the text of its own type, so the
    // value must first be one of that type.
    Variant typed;
    const VARIANT* source = &value;
    if (canonicalType_ != VT_BSTR && canonicalType_ != VT_EMPTY) {
        if (FAILED(VariantChangeTypeEx(typed.get(), &value, LOCALE_USER_DEFAULT, 0, canonicalType_)))
            return OPC_E_BADTYPE;
        source = typed.get();
    }
    VARIANT asText;
    VariantInit(&asText);
    // Booleans are written as True/False rather than -1/0: the text goes to a
    // device, and the words are what an operator expects to see there.
    if (FAILED(VariantChangeTypeEx(&asText, source, LOCALE_USER_DEFAULT, VARIANT_ALPHABOOL, VT_BSTR)))
        return OPC_E_BADTYPE;
    std::string converted = PortBytesFromBstr(asText.bstrVal);
    VariantClear(&asText);
    if (!tags || tagIndex_ < 0 || static_cast<std::size_t>(tagIndex_) >= tags->ValueCount())
        return E_FAIL;
    text = converted;
    tags->SetText(static_cast<std::size_t>(tagIndex_), std::move(converted));
    return S_OK;
}

std::unique_ptr<TOPCItem> TOPCItem::Copy() const
{
    auto copy = std::make_unique<TOPCItem>(serverHandle_, clientHandle_, tagIndex_, itemId_, writable_, canonicalType_);
    copy->quality_ = quality_;
    copy->stale_ = stale_;
    copy->active_ = active_;
    copy->requestedType_ = requestedType_;
    copy->cached_ = cached_;
    copy->lastQuality_ = kQualityNeverCompared;
    copy->changed_ = false;
    return copy;
}
