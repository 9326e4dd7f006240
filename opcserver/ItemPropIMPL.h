#pragma once
// Address space browsing (IOPCBrowseServerAddressSpace) and item properties
// (IOPCItemProperties) over the tag table. Both are parts of the server
// object: their IUnknown calls go to the owner (the controlling unknown).
#include "OPCDA.h"

#include <string>
#include <string_view>

struct OpcContext;

// Item properties: IDs 1 to 6 (canonical type, value, quality, time stamp,
// access rights, scan rate) and the tag's own handle. IDs 5000-5999 read as
// tag handles: the current text of that tag, whichever item was named.
//
// Arrays and strings handed out come from the task allocator and belong to
// the caller (who also clears each VARIANT). Every call first sets the array
// out-pointers to null; on failure nothing stays allocated and they stay
// null. Empty and unknown item IDs are OPC_E_INVALIDITEMID. Null out-pointers
// are E_INVALIDARG. No call changes any state.
class TOPCItemProp : public IOPCItemProperties {
public:
    TOPCItemProp(IUnknown& owner, OpcContext& context);
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_.AddRef(); }
    ULONG Release() override { return owner_.Release(); }
    // The seven properties. *pdwCount is 7 also when the arrays cannot be
    // allocated (E_OUTOFMEMORY); it is not written for an invalid item ID.
    HRESULT QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
                                     VARTYPE** ppvtDataTypes) override;
    // Checks in order: empty item ID (OPC_E_INVALIDITEMID), dwCount 0
    // (E_INVALIDARG), unknown item ID (OPC_E_INVALIDITEMID). An unknown
    // property ID leaves its value VT_EMPTY with OPC_E_INVALID_PID and makes the
    // result S_FALSE.
    HRESULT GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                              HRESULT** ppErrors) override;
    // Same checks. The item's own handle gives a copy of szItemID; every other
    // ID an empty string with OPC_E_INVALID_PID (result S_FALSE).
    HRESULT LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                          HRESULT** ppErrors) override;

private:
    IUnknown& owner_;
    OpcContext& context_;
};

// Browsing of the flat address space: every tag is a leaf at the top level
// and its item ID is its name, compared exactly.
class TOPCBrowser : public IOPCBrowseServerAddressSpace {
public:
    TOPCBrowser(IUnknown& owner, OpcContext& context);
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return owner_.QueryInterface(riid, ppv); }
    ULONG AddRef() override { return owner_.AddRef(); }
    ULONG Release() override { return owner_.Release(); }
    HRESULT QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override; // OPC_NS_FLAT
    HRESULT ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override; // E_FAIL
    // *ppIEnumString is cleared first. Access filter above 3: E_INVALIDARG;
    // invalid filter criteria: OPC_E_INVALIDFILTER (no enumerator either way).
    // Otherwise an enumerator over the names that pass, in table order: S_OK,
    // or S_FALSE when filter criteria were given and no name is left.
    HRESULT BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                             DWORD dwAccessRightsFilter, IEnumString** ppIEnumString) override;
    // "" and tag names give a task-allocator copy; anything else E_INVALIDARG
    // with *szItemID null.
    HRESULT GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    HRESULT BrowseAccessPaths(LPCWSTR szItemID, IEnumString** ppIEnumString) override; // E_NOTIMPL

private:
    IUnknown& owner_;
    OpcContext& context_;
};

// The filter criteria of BrowseOPCItemIDs: a pattern that a whole item ID
// must match from its first to its last character.
//
//   *        any run of characters, also none; "**" is the same as "*".
//   ?        exactly one character. A "?" that follows a "*" (before the
//            next character or set) is ignored: "*?" and "*??" act as "*".
//   [set]    one character of the set: single characters and ranges "lo-hi"
//            (inclusive, by character code; a range whose high end is below
//            its low end adds nothing). "[!set]" is any one character not in
//            the set. Entries are read from left to right, each one
//            character or a range of two characters around a "-"; a "-"
//            where an entry starts stands for itself ("[a-]", "[a-c-e]"),
//            except as the first entry. A "]" always closes the set; "*",
//            "?", "[" and a "!" that is not first stand for themselves.
//   other    the character itself.
//
// Letters a-z and A-Z match regardless of case, in sets and ranges too (both
// sides are upper-cased before comparing, ASCII letters only, so "[a-z]" is
// "[A-Z]"); every other character must be equal. A multi-byte character of
// the program's text encoding (UTF-8) is one character.
//
// A pattern is invalid, whatever the item ID, when a set is not closed by
// "]", when a set has no entry ("[]", "[!]"), when its first entry is a "-"
// (a range without low end: "[-z]", "[!-z]"), or when it has more than 30
// separate runs of "*" in its text ("a*b**c" and "*?*" have two runs each).

// Whether pattern is a valid filter pattern.
bool FilterPatternIsValid(std::string_view pattern);
// Returns false for an invalid pattern (matches is then false); otherwise
// true, with matches telling whether text matches the pattern. Pure.
bool MatchFilterPattern(std::string_view text, std::string_view pattern, bool& matches);
