#include "ItemPropIMPL.h"

#include "EnumString.h"
#include "Globals.h"
#include "OpcContext.h"
#include "PortText.h"
#include "TaskMem.h"

#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

// ---------------------------------------------------------------------------
// Filter patterns

namespace {

constexpr int kMaxStarRuns = 30;

// The characters of 8-bit program text as code points, ASCII letters
// upper-cased. Bytes that are not UTF-8 count as one character each, with the
// value the client sees for them (see U16FromAnsi).
std::u32string FoldedCharacters(std::string_view text)
{
    const std::u16string wide = U16FromAnsi(text);
    std::u32string out;
    out.reserve(wide.size());
    for (std::size_t i = 0; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size()) // only whole pairs come from U16FromAnsi
            c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(wide[++i]) - 0xDC00);
        if (c >= U'a' && c <= U'z')
            c -= U'a' - U'A';
        out.push_back(c);
    }
    return out;
}

struct PatternToken {
    enum Kind { Literal, AnyOne, AnyRun, Set };
    explicit PatternToken(Kind k, char32_t literal = 0) : kind(k), c(literal) {}

    Kind kind;
    char32_t c = 0;                                // Literal
    bool negated = false;                          // Set
    std::vector<std::pair<char32_t, char32_t>> ranges; // Set: inclusive, single characters as c-c

    bool Matches(char32_t ch) const
    {
        switch (kind) {
        case Literal: return ch == c;
        case AnyOne: return true;
        case Set: {
            bool in = false;
            for (const auto& [lo, hi] : ranges)
                in = in || (lo <= ch && ch <= hi);
            return in != negated;
        }
        case AnyRun: break;
        }
        return false;
    }
};

// The pattern as tokens, each but AnyRun matching exactly one character;
// nullopt when it is invalid.
std::optional<std::vector<PatternToken>> CompilePattern(std::string_view pattern)
{
    const std::u32string p = FoldedCharacters(pattern);
    std::vector<PatternToken> tokens;
    int starRuns = 0;
    const auto afterStar = [&] { return !tokens.empty() && tokens.back().kind == PatternToken::AnyRun; };
    std::size_t i = 0;
    while (i < p.size()) {
        const char32_t c = p[i];
        if (c == U'*') {
            if (i == 0 || p[i - 1] != U'*')
                ++starRuns;
            if (!afterStar())
                tokens.emplace_back(PatternToken::AnyRun);
            ++i;
        } else if (c == U'?') {
            if (!afterStar())
                tokens.emplace_back(PatternToken::AnyOne);
            ++i;
        } else if (c == U'[') {
            PatternToken set(PatternToken::Set);
            std::size_t j = i + 1;
            if (j < p.size() && p[j] == U'!') {
                set.negated = true;
                ++j;
            }
            bool closed = false;
            bool anyEntry = false;
            while (j < p.size()) {
                if (p[j] == U']') {
                    closed = true;
                    break;
                }
                if (!anyEntry && p[j] == U'-')
                    return std::nullopt; // a range without low end
                const char32_t lo = p[j];
                if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
                    if (lo <= p[j + 2])
                        set.ranges.emplace_back(lo, p[j + 2]);
                    j += 3;
                } else {
                    set.ranges.emplace_back(lo, lo);
                    j += 1;
                }
                anyEntry = true;
            }
            if (!closed || !anyEntry)
                return std::nullopt;
            tokens.push_back(std::move(set));
            i = j + 1;
        } else {
            tokens.emplace_back(PatternToken::Literal, c);
            ++i;
        }
    }
    if (starRuns > kMaxStarRuns)
        return std::nullopt;
    return tokens;
}

// Every token but AnyRun takes exactly one character, so backtracking to the
// latest AnyRun (trying the shortest run first, then one character more) is
// enough: an earlier AnyRun never needs to give back what it took.
bool MatchTokens(const std::u32string& text, const std::vector<PatternToken>& tokens)
{
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::size_t t = 0, k = 0;
    std::size_t runToken = kNone, runEnd = 0;
    while (t < text.size()) {
        if (k < tokens.size() && tokens[k].kind == PatternToken::AnyRun) {
            runToken = k++;
            runEnd = t;
        } else if (k < tokens.size() && tokens[k].Matches(text[t])) {
            ++k;
            ++t;
        } else if (runToken != kNone) {
            k = runToken + 1;
            t = ++runEnd;
        } else {
            return false;
        }
    }
    while (k < tokens.size() && tokens[k].kind == PatternToken::AnyRun)
        ++k;
    return k == tokens.size();
}

} // namespace

bool FilterPatternIsValid(std::string_view pattern) { return CompilePattern(pattern).has_value(); }

bool MatchFilterPattern(std::string_view text, std::string_view pattern, bool& matches)
{
    matches = false;
    const auto tokens = CompilePattern(pattern);
    if (!tokens)
        return false;
    matches = MatchTokens(FoldedCharacters(text), *tokens);
    return true;
}

// ---------------------------------------------------------------------------
// Helpers shared by browsing and item properties

namespace {

constexpr DWORD kTagHandleFirst = 5000;
constexpr DWORD kTagHandleLast = 5999;
constexpr WORD kQualityGood = OPC_QUALITY_GOOD;
constexpr FLOAT kServerScanRate = 6.0f;

// Handle of the tag whose name is exactly itemId; 0 when none (or no table).
DWORD HandleOfItem(const OpcContext& context, const std::string& itemId)
{
    return context.tags ? context.tags->HandleOfName(itemId) : 0;
}

// Index of the tag with this handle; nullopt when no tag has it.
std::optional<std::size_t> IndexOfHandle(const OpcContext& context, DWORD handle)
{
    if (!context.tags || handle < TTagTable::kFirstHandle)
        return std::nullopt;
    const std::size_t index = handle - TTagTable::kFirstHandle;
    if (index >= context.tags->Count() || context.tags->Entry(index).handle != handle)
        return std::nullopt;
    return index;
}

// The current text of tag index; nullopt when its value record is gone (the
// value records are freed at shutdown).
std::optional<std::string> CurrentText(const OpcContext& context, std::size_t index)
{
    try {
        return context.tags->Value(index).textValue;
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

DATE LocalNow(const OpcContext& context) { return context.localNow ? context.localNow() : SystemLocalNow(); }

// A task-allocator copy of a wide string; nullptr when out of memory.
LPWSTR CoTaskStrDupWide(LPCWSTR text)
{
    std::size_t n = 0;
    if (text)
        while (text[n])
            ++n;
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((n + 1) * sizeof(OLECHAR)));
    if (!out)
        return nullptr;
    if (n)
        std::memcpy(out, text, n * sizeof(OLECHAR));
    out[n] = 0;
    return out;
}

template <typename T> T* AllocArray(std::size_t count)
{
    return static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
}

void FreeStrings(LPWSTR* strings, std::size_t count)
{
    if (!strings)
        return;
    for (std::size_t i = 0; i < count; ++i)
        CoTaskMemFree(strings[i]);
    CoTaskMemFree(strings);
}

// The checks shared by GetItemProperties and LookupItemIDs, in their order.
// On success handle is the named tag's handle.
HRESULT CheckPropertyRequest(const OpcContext& context, LPCWSTR szItemID, DWORD dwCount, const DWORD* ids,
                             DWORD& handle)
{
    const std::string itemId = AnsiFromWide(szItemID);
    if (itemId.empty())
        return OPC_E_INVALIDITEMID;
    if (dwCount == 0)
        return E_INVALIDARG;
    handle = HandleOfItem(context, itemId);
    if (handle == 0)
        return OPC_E_INVALIDITEMID;
    if (!ids)
        return E_INVALIDARG;
    return S_OK;
}

} // namespace

// ---------------------------------------------------------------------------
// IOPCItemProperties

TOPCItemProp::TOPCItemProp(IUnknown& owner, OpcContext& context) : owner_(owner), context_(context) {}

HRESULT TOPCItemProp::QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                               LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes)
{
    if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes)
        return E_INVALIDARG;
    *ppPropertyIDs = nullptr;
    *ppDescriptions = nullptr;
    *ppvtDataTypes = nullptr;
    const std::string itemId = AnsiFromWide(szItemID);
    const DWORD handle = itemId.empty() ? 0 : HandleOfItem(context_, itemId);
    if (handle == 0)
        return OPC_E_INVALIDITEMID;

    struct Row {
        DWORD id;
        std::string description;
        VARTYPE type;
    };
    const Row rows[] = {
        {1, "Item Canonical Data Type", VT_I2},
        {2, "Item Value", VT_VARIANT},
        {3, "Item Quality", VT_I2},
        {4, "Item Timestamp", VT_DATE},
        {5, "Item Access Rights", VT_I4},
        {6, "Server Scan Rate", VT_R4},
        {handle, context_.tags->NameOfHandle(handle), context_.tags->CanonicalTypeOfHandle(handle)},
    };
    constexpr std::size_t kRows = std::size(rows);
    *pdwCount = kRows; // told even when the arrays cannot be made

    DWORD* ids = AllocArray<DWORD>(kRows);
    LPWSTR* descriptions = AllocArray<LPWSTR>(kRows);
    VARTYPE* types = AllocArray<VARTYPE>(kRows);
    if (descriptions)
        for (std::size_t i = 0; i < kRows; ++i)
            descriptions[i] = nullptr;
    bool complete = ids && descriptions && types;
    for (std::size_t i = 0; complete && i < kRows; ++i) {
        ids[i] = rows[i].id;
        types[i] = rows[i].type;
        descriptions[i] = CoTaskStrDupAnsi(rows[i].description);
        complete = descriptions[i] != nullptr;
    }
    if (!complete) {
        CoTaskMemFree(ids);
        FreeStrings(descriptions, kRows);
        CoTaskMemFree(types);
        return E_OUTOFMEMORY;
    }
    *ppPropertyIDs = ids;
    *ppDescriptions = descriptions;
    *ppvtDataTypes = types;
    return S_OK;
}

HRESULT TOPCItemProp::GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                        HRESULT** ppErrors)
{
    if (!ppvData || !ppErrors)
        return E_INVALIDARG;
    *ppvData = nullptr;
    *ppErrors = nullptr;
    DWORD handle = 0;
    if (const HRESULT check = CheckPropertyRequest(context_, szItemID, dwCount, pdwPropertyIDs, handle); FAILED(check))
        return check;
    const std::size_t itemIndex = *IndexOfHandle(context_, handle);

    VARIANT* values = AllocArray<VARIANT>(dwCount);
    HRESULT* errors = AllocArray<HRESULT>(dwCount);
    if (!values || !errors) {
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < dwCount; ++i)
        VariantInit(&values[i]);

    // A tag's text as VT_BSTR (the port text rule); false when it cannot be
    // allocated.
    const auto putText = [](VARIANT& v, const std::string& text) {
        BSTR b = BstrFromPortBytes(text);
        if (!b)
            return false;
        v.vt = VT_BSTR;
        v.bstrVal = b;
        return true;
    };

    HRESULT result = S_OK;
    bool outOfMemory = false;
    for (DWORD i = 0; i < dwCount && !outOfMemory; ++i) {
        VARIANT& v = values[i];
        const DWORD id = pdwPropertyIDs[i];
        errors[i] = S_OK;
        switch (id) {
        case 1:
            v.vt = VT_I2;
            v.iVal = static_cast<SHORT>(context_.tags->CanonicalTypeOfHandle(handle));
            break;
        case 2:
            if (const auto text = CurrentText(context_, itemIndex)) {
                outOfMemory = !putText(v, *text);
                // Tags of other types keep their text: give the value its type.
                const VARTYPE canonical = context_.tags->CanonicalTypeOfHandle(handle);
                if (!outOfMemory && canonical != VT_BSTR &&
                    FAILED(VariantChangeTypeEx(&v, &v, LOCALE_USER_DEFAULT, 0, canonical)))
                    errors[i] = E_FAIL;
            } else {
                errors[i] = E_FAIL;
            }
            break;
        case 3:
            v.vt = VT_I2;
            v.iVal = static_cast<SHORT>(kQualityGood);
            break;
        case 4:
            // The moment of the call: the table keeps no change time.
            v.vt = VT_DATE;
            v.date = LocalNow(context_);
            break;
        case 5:
            v.vt = VT_I4;
            v.lVal = context_.tags->AccessRightsOfHandle(handle) ? OPC_READABLE | OPC_WRITEABLE : OPC_READABLE;
            break;
        case 6:
            v.vt = VT_R4;
            v.fltVal = kServerScanRate;
            break;
        default: {
            // Vendor IDs are tag handles: the text of that tag, whichever item
            // was named.
            const auto index = (id >= kTagHandleFirst && id <= kTagHandleLast) ? IndexOfHandle(context_, id)
                                                                               : std::nullopt;
            if (!index)
                errors[i] = OPC_E_INVALID_PID;
            else if (const auto text = CurrentText(context_, *index))
                outOfMemory = !putText(v, *text);
            else
                errors[i] = E_FAIL;
        }
        }
        if (FAILED(errors[i]))
            result = S_FALSE;
    }
    if (outOfMemory) {
        for (DWORD i = 0; i < dwCount; ++i)
            VariantClear(&values[i]);
        CoTaskMemFree(values);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    *ppvData = values;
    *ppErrors = errors;
    return result;
}

HRESULT TOPCItemProp::LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                                    HRESULT** ppErrors)
{
    if (!ppszNewItemIDs || !ppErrors)
        return E_INVALIDARG;
    *ppszNewItemIDs = nullptr;
    *ppErrors = nullptr;
    DWORD handle = 0;
    if (const HRESULT check = CheckPropertyRequest(context_, szItemID, dwCount, pdwPropertyIDs, handle); FAILED(check))
        return check;

    LPWSTR* ids = AllocArray<LPWSTR>(dwCount);
    HRESULT* errors = AllocArray<HRESULT>(dwCount);
    if (!ids || !errors) {
        CoTaskMemFree(ids);
        CoTaskMemFree(errors);
        return E_OUTOFMEMORY;
    }
    for (DWORD i = 0; i < dwCount; ++i)
        ids[i] = nullptr;

    // Only the item's own property (its handle, never below 5000) leads to an
    // item ID: the item itself. The standard properties (and 0) have none.
    HRESULT result = S_OK;
    for (DWORD i = 0; i < dwCount; ++i) {
        const bool own = pdwPropertyIDs[i] == handle;
        ids[i] = own ? CoTaskStrDupWide(szItemID) : CoTaskStrDupAnsi("");
        if (!ids[i]) {
            FreeStrings(ids, dwCount);
            CoTaskMemFree(errors);
            return E_OUTOFMEMORY;
        }
        errors[i] = own ? S_OK : OPC_E_INVALID_PID;
        if (!own)
            result = S_FALSE;
    }
    *ppszNewItemIDs = ids;
    *ppErrors = errors;
    return result;
}

// ---------------------------------------------------------------------------
// IOPCBrowseServerAddressSpace

TOPCBrowser::TOPCBrowser(IUnknown& owner, OpcContext& context) : owner_(owner), context_(context) {}

HRESULT TOPCBrowser::QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType)
{
    if (!pNameSpaceType)
        return E_INVALIDARG;
    *pNameSpaceType = OPC_NS_FLAT;
    return S_OK;
}

HRESULT TOPCBrowser::ChangeBrowsePosition(OPCBROWSEDIRECTION, LPCWSTR)
{
    // Every tag sits at the top level: there is no position to change.
    return E_FAIL;
}

HRESULT TOPCBrowser::BrowseOPCItemIDs(OPCBROWSETYPE, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                      DWORD dwAccessRightsFilter, IEnumString** ppIEnumString)
{
    // The browse type does not matter: with no branches, branches, leaves and
    // the flat list are all the same list of tags.
    if (ppIEnumString)
        *ppIEnumString = nullptr;
    if (dwAccessRightsFilter > (OPC_READABLE | OPC_WRITEABLE) || !ppIEnumString)
        return E_INVALIDARG;
    const std::string criteria = AnsiFromWide(szFilterCriteria);
    std::optional<std::vector<PatternToken>> pattern;
    if (!criteria.empty()) {
        pattern = CompilePattern(criteria);
        if (!pattern)
            return OPC_E_INVALIDFILTER;
    }

    std::vector<std::string> names;
    const std::size_t count = context_.tags ? context_.tags->Count() : 0;
    for (std::size_t i = 0; i < count; ++i) {
        const TTagEntry& tag = context_.tags->Entry(i);
        const bool writable = context_.tags->AccessRightsOfHandle(tag.handle);
        // A filter asks for exactly these rights, except that 3 (read and
        // write) and 2 (write) both find a writable tag.
        const bool rightsPass = dwAccessRightsFilter == 0 ||
                                (writable ? (dwAccessRightsFilter == OPC_WRITEABLE ||
                                             dwAccessRightsFilter == (OPC_READABLE | OPC_WRITEABLE))
                                          : dwAccessRightsFilter == OPC_READABLE);
        const bool typePasses = vtDataTypeFilter == VT_EMPTY || vtDataTypeFilter == tag.canonicalType;
        if (!rightsPass || !typePasses)
            continue;
        if (pattern && !MatchTokens(FoldedCharacters(tag.name), *pattern))
            continue;
        names.push_back(tag.name);
    }

    IEnumString* enumerator = CreateStringsEnumerator(names);
    if (!enumerator)
        return E_OUTOFMEMORY;
    *ppIEnumString = enumerator;
    return (pattern && names.empty()) ? S_FALSE : S_OK;
}

HRESULT TOPCBrowser::GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID)
{
    if (!szItemID)
        return E_INVALIDARG;
    *szItemID = nullptr;
    const std::string name = AnsiFromWide(szItemDataID);
    if (!name.empty() && HandleOfItem(context_, name) == 0)
        return E_INVALIDARG;
    // The item ID of a tag is its name.
    *szItemID = CoTaskStrDupAnsi(name);
    return *szItemID ? S_OK : E_OUTOFMEMORY;
}

HRESULT TOPCBrowser::BrowseAccessPaths(LPCWSTR, IEnumString** ppIEnumString)
{
    if (ppIEnumString)
        *ppIEnumString = nullptr;
    return E_NOTIMPL;
}
